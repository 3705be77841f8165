#include <cstdlib>
#include <ctime>

#include "testutil.h"

namespace zt {

const char* Lacks(Facility f) {
  switch (f) {
    case Facility::kFifosAndLinks:
      return "this host has no FIFOs, and its symbolic links need privileges";
    case Facility::kFileSizeLimit:
      return "this host has no per-process file size limit to stand in for a full disk";
    case Facility::kPosixShell:
      return "this host has no POSIX shell; the options have a test of the host's own";
    case Facility::kFileModes:
      return "this host has no Unix file modes or umask";
    case Facility::kOtherUsers:
      return "this host cannot start a child as another user, and file modes do not bind its owner";
    case Facility::kFileMappings:
      return "msglib reads windows of files into memory here instead of mapping them";
    case Facility::kExactCaseNames:
      return "this host matches names without regard to case; its listing has its own test";
  }
  return "unknown facility";
}

bool MakeFifo(const std::string&) { return false; }
bool MakeSymlink(const std::string&, const std::string&) { return false; }
std::pair<std::string, int> Shell(const std::string&) { return {"", -1}; }

void SetTimeZone(const char* tz) {
  _putenv_s("TZ", tz ? tz : "");  // an empty value removes it
  _tzset();
}

std::int64_t TimeGm(struct tm* t) { return _mkgmtime64(t); }


}  // namespace zt
