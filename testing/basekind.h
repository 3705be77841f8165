// The two formats whose files are shared under a lock, for tests that run
// one case on each.
#ifndef ZANDREL_BASEKIND_H
#define ZANDREL_BASEKIND_H

#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "msgapi.h"

namespace zt {

struct BaseKind {
  const char* name;
  word type;              // area type bits for MsgOpenArea
  const char* prefix;     // of the gateway's area spec
  const char* lock_file;  // suffix of the file whose byte 0 is the area lock
};

inline const BaseKind kSquishKind{"Squish", AT_SQUISH | AT_ECHO, "$", ".sqd"};
inline const BaseKind kJamKind{"Jam", AT_JAM | AT_ECHO, "#", ".jhr"};

inline void PrintTo(const BaseKind& k, std::ostream* os) { *os << k.name; }

// Every regular file in `dir` with its bytes.
std::map<std::string, std::string> Snapshot(const std::string& dir);

// What the format's checker finds wrong with the base at `base`, leaving out
// the harmless leftovers of a write that was cut off.
std::vector<std::string> Damage(const BaseKind& kind, const std::string& base);

}  // namespace zt

#endif
