// Neither restriction exists on this host: no user without privileges to
// become (and file modes do not bind a file's owner), no limit on the size
// of a process's files. Tests that need them are skipped (zt::Lacks).
#include "childrun.h"

namespace zt {

ChildResult RunUnprivileged(const ChildFn&) { return {-1, Lacks(Facility::kOtherUsers)}; }

void OpenToAll(const std::string&) {}

RunResult RunZandrelUnprivileged(const std::string&) { return RunResult{}; }

ChildResult RunWithFileSizeLimit(std::uint64_t, const ChildFn&) {
  return {-1, Lacks(Facility::kFileSizeLimit)};
}

}  // namespace zt
