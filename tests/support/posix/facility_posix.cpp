#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>

#include "testutil.h"

namespace zt {

const char* Lacks(Facility) { return nullptr; }

bool MakeFifo(const std::string& path) { return ::mkfifo(path.c_str(), 0600) == 0; }

bool MakeSymlink(const std::string& target, const std::string& link) {
  return ::symlink(target.c_str(), link.c_str()) == 0;
}

void SetTimeZone(const char* tz) {
  if (tz)
    ::setenv("TZ", tz, 1);
  else
    ::unsetenv("TZ");
  ::tzset();
}

std::int64_t TimeGm(struct tm* t) { return ::timegm(t); }

}  // namespace zt
