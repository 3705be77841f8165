// Consistency checks of bases on disk that tell damage from the harmless
// leftovers of a write that was cut off (a process killed in the middle of a
// POST): bytes no record reaches, a frame past the last one counted, an
// index record past the count, a stale message count. Leftovers never touch
// another message, and the next write reuses or overwrites them; damage is
// anything else.
//
// For the soak run and tests; no test framework needed.
#ifndef ZANDREL_BASE_CHECK_H
#define ZANDREL_BASE_CHECK_H

#include <string>
#include <vector>

namespace zt {

struct BaseCheck {
  std::vector<std::string> damage;
  std::vector<std::string> leftovers;
};

// Squish base at `base` (path without extension).
BaseCheck CheckSquishBaseDetailed(const std::string& base);
// JAM base at `base` (path without suffix).
BaseCheck CheckJamBaseDetailed(const std::string& base);
// *.MSG area in directory `dir`; `echo` areas keep their high-water mark in
// message 1.
BaseCheck CheckSdmAreaDetailed(const std::string& dir, bool echo);

}  // namespace zt

#endif
