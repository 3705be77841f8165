#include "basekind.h"

#include "base_check.h"
#include "testutil.h"

namespace zt {

std::map<std::string, std::string> Snapshot(const std::string& dir) {
  std::map<std::string, std::string> files;
  for (const std::string& name : ListDir(dir)) files[name] = ReadFile(dir + "/" + name);
  return files;
}

std::vector<std::string> Damage(const BaseKind& kind, const std::string& base) {
  return kind.type & AT_SQUISH ? CheckSquishBaseDetailed(base).damage
                               : CheckJamBaseDetailed(base).damage;
}

}  // namespace zt
