// Decimal numbers in kludge text (internal; not part of the API).
#ifndef ZANDREL_ATOWORD_H
#define ZANDREL_ATOWORD_H

#include "typedefs.h"

// Reads a number the way atoi does (leading blanks, an optional sign, then
// digits up to the first non-digit) and keeps the low 16 bits. Address parts
// are 16-bit fields, and text from other programs may carry any number of
// digits: the arithmetic is unsigned, so an overlong or negative number wraps
// modulo 65536 instead of overflowing ("70000" gives 4464, "-1" gives 65535).
// Reading stops at the string's NUL and at an SOH, so a pointer into a
// control block never runs into the next kludge.
inline word atoword(const char* s) {
  while (*s == ' ' || (*s >= '\t' && *s <= '\r')) ++s;
  bool negative = false;
  if (*s == '+' || *s == '-') negative = *s++ == '-';
  uint32_t v = 0;
  for (; *s >= '0' && *s <= '9'; ++s) v = v * 10u + uint32_t(*s - '0');
  if (negative) v = 0u - v;
  return word(v & 0xFFFFu);
}

#endif
