// Character set recoding between code page 866 (the bases) and code page 1251
// (the front end). Bytes below 0x80 pass unchanged; the tables cover
// 0x80-0xFF, entry i standing for byte RECODE_FIRST + i. Recoding is always
// on: the tables are constants, in use from the start.
#ifndef ZANDREL_RECODE_H
#define ZANDREL_RECODE_H

#include "typedefs.h"

// The first byte the tables cover.
constexpr byte RECODE_FIRST = 0x80;

extern const byte alt2win[128];  // 866 -> 1251, for output
extern const byte win2alt[128];  // 1251 -> 866, for input

// The table for output and the one for input.
inline constexpr const byte* recode = alt2win;
inline constexpr const byte* recodeBack = win2alt;

// Output conversion in place: every byte of 0x80 or more through `recode`,
// then every byte of 0x1F or less becomes a space.
void recodeStr(char* s);
// Input conversion in place: every byte of 0x80 or more through `recodeBack`;
// nothing else changes.
void recodeStrBack(char* s);

// One byte through `recode`; control bytes and ASCII unchanged.
inline char recodeChar(char c) {
  auto b = static_cast<byte>(c);
  return b >= RECODE_FIRST ? static_cast<char>(recode[b - RECODE_FIRST]) : c;
}

#endif
