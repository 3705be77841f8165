// SCOMBO: a date and time to two-second precision, as DOS packs it.
//
// The three views share storage. `msg_st` names the bit fields, `dos_st` shows
// the same two packed words, `ldate` the whole stamp as one 32-bit value.
// Writing one field leaves the other bits of its word as they were. Reading a
// view other than the one last written is type punning through a union, which
// GCC and Clang define. Nothing here is a file format: the serialisers pack
// the date word (da | mo << 5 | yr << 9) and the time word
// (ss | mm << 5 | hh << 11) themselves.
#ifndef ZANDREL_STAMP_H
#define ZANDREL_STAMP_H

#include "typedefs.h"

struct _stamp {
  struct {
    word da : 5;  // day of month, 1-31
    word mo : 4;  // month, 1-12
    word yr : 7;  // years since 1980
  } date;
  struct {
    word ss : 5;  // seconds divided by two
    word mm : 6;
    word hh : 5;
  } time;
};

struct _dos_st {
  word date;
  word time;
};

union stamp_combo {
  dword ldate;
  struct _stamp msg_st;
  struct _dos_st dos_st;
};

typedef union stamp_combo SCOMBO;

static_assert(sizeof(SCOMBO) == 4, "a stamp is two 16-bit words");

// A stamp is empty when its date word is zero; the time word is not consulted.
inline bool StampIsEmpty(const SCOMBO& s) { return s.dos_st.date == 0; }

#endif
