// Small helpers for the JAM format tests: open an area, post a message the
// way the gateway does, read one back whole.
#ifndef ZANDREL_JAMTEST_H
#define ZANDREL_JAMTEST_H

#include <string>

#include "msgapi.h"

namespace zt {

constexpr word JAM_ECHO_AREA = AT_JAM | AT_ECHO;
constexpr word JAM_NET_AREA = AT_JAM;

HAREA OpenJam(const std::string& base, word mode = AOPEN_CREATE_IF_MISSING,
              word type = JAM_ECHO_AREA);

// An XMSG with the given names and subject, written 12 Jan 1997 10:20:30.
XMSG MakeXmsg(const std::string& from = "Ivan Petrov", const std::string& to = "All",
              const std::string& subj = "Hello");

// Stores a new message (mode 0, number 0); the WriteMsg result.
sword PostJam(HAREA ha, const XMSG& x, const std::string& text, const std::string& ctrl = "");

struct JamRead {
  XMSG x{};
  std::string ctrl;  // up to its first NUL
  std::string text;  // body and trailer
};

// Opens message `msgn` for reading and reads it whole; false when it does
// not open or the read fails.
bool ReadJam(HAREA ha, dword msgn, JamRead* out);

}  // namespace zt

#endif
