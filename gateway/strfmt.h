// Number formatting for the replies that go out once per message. HEAD
// prints a line for every message of an area, and printf's format parsing
// costs more there than everything else the gateway does per message; the
// line is written into a buffer through a plain pointer, which the compiler
// keeps in a register, where a string's every append reloads the string.
#ifndef ZANDREL_STRFMT_H
#define ZANDREL_STRFMT_H

#include <charconv>
#include <cstring>
#include <string_view>

// Writes `s` at `out`; the end of it.
inline char* putText(char* out, std::string_view s) {
  std::memcpy(out, s.data(), s.size());
  return out + s.size();
}

// Room putNum needs: the digits of any long and a sign.
constexpr int NUM_ROOM = 21;

// Writes the decimal text of `v` at `out` like "%ld"; the end of it.
inline char* putNum(char* out, long v) { return std::to_chars(out, out + NUM_ROOM, v).ptr; }

// The same for a value of 0 to 99 in two digits, as "%02d" writes it: the
// fields of a date. A larger value is written whole.
inline char* putTwoDigits(char* out, unsigned v) {
  if (v > 99) return putNum(out, long(v));
  out[0] = char('0' + v / 10);
  out[1] = char('0' + v % 10);
  return out + 2;
}

#endif
