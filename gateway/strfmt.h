// Number formatting for the replies that go out once per message. HEAD
// prints a line for every message of an area, and printf's format parsing
// costs more there than everything else the gateway does per message.
#ifndef ZANDREL_STRFMT_H
#define ZANDREL_STRFMT_H

#include <charconv>
#include <string>

// Appends the decimal text of `v`, zero-padded to `width` digits like "%0*ld".
inline void appendNum(std::string& out, long v, int width = 0) {
  char buf[24];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
  (void)ec;  // a long always fits
  const long digits = end - buf - (v < 0);
  if (v < 0) out += '-';
  if (digits < width) out.append(std::size_t(width - digits), '0');
  // A character at a time: a general append of a few bytes costs a call
  // to the C library's copy, which here costs more than the copy.
  for (const char* p = end - digits; p != end; ++p) out += *p;
}

// The same for a value of 0 to 99 in two digits, as "%02d" writes it: the
// fields of a date.
inline void appendTwoDigits(std::string& out, unsigned v) {
  if (v > 99) return appendNum(out, long(v), 2);
  const char pair[2] = {char('0' + v / 10), char('0' + v % 10)};
  out.append(pair, 2);
}

#endif
