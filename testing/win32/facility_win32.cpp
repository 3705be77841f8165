#include <cstdlib>
#include <ctime>
#include <utility>

#include "testutil.h"

namespace zt {

namespace {

// What this host lacks, and why.
constexpr std::pair<Facility, const char*> kLacking[] = {
    {Facility::kFifosAndLinks, "this host has no FIFOs, and its symbolic links need privileges"},
    {Facility::kFileSizeLimit,
     "this host has no per-process file size limit to stand in for a full disk"},
    {Facility::kPosixShell, "this host has no POSIX shell; the options have a test of the host's own"},
    {Facility::kFileModes, "this host has no Unix file modes or umask"},
    {Facility::kOtherUsers,
     "this host cannot start a child as another user, and file modes do not bind its owner"},
    {Facility::kFileMappings, "msglib reads windows of files into memory here instead of mapping them"},
    {Facility::kExactCaseNames,
     "this host matches names without regard to case; its listing has its own test"},
};

}  // namespace

const char* Lacks(Facility f) {
  for (const auto& [facility, why] : kLacking)
    if (facility == f) return why;
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
