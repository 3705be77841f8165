// Byte coding for the record readers and writers of every base format.
//
// All base files are little-endian. Every record is packed and unpacked field
// by field through these helpers; a buffer is never cast to a struct and a
// struct's memory is never written to a file. The helpers advance the cursor,
// so a reader is one line per field in file order.
#ifndef ZANDREL_STRUCTRW_H
#define ZANDREL_STRUCTRW_H

#include <cstdint>
#include <cstring>

#include "stamp.h"

inline uint8_t get_u8(const uint8_t*& p) { return *p++; }

inline uint16_t get_u16(const uint8_t*& p) {
  uint16_t v = uint16_t(p[0] | uint16_t(p[1]) << 8);
  p += 2;
  return v;
}

// Widen before shifting: p[3] << 24 would shift into an int's sign bit.
inline uint32_t get_u32(const uint8_t*& p) {
  uint32_t v = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 |
               uint32_t(p[3]) << 24;
  p += 4;
  return v;
}

inline int16_t get_s16(const uint8_t*& p) { return int16_t(get_u16(p)); }
inline int32_t get_s32(const uint8_t*& p) { return int32_t(get_u32(p)); }

inline void get_bytes(const uint8_t*& p, void* dst, size_t n) {
  std::memcpy(dst, p, n);
  p += n;
}

inline void put_u8(uint8_t*& p, uint8_t v) { *p++ = v; }

inline void put_u16(uint8_t*& p, uint16_t v) {
  *p++ = uint8_t(v);
  *p++ = uint8_t(v >> 8);
}

inline void put_u32(uint8_t*& p, uint32_t v) {
  for (int i = 0; i < 4; ++i) *p++ = uint8_t(v >> (8 * i));
}

inline void put_bytes(uint8_t*& p, const void* src, size_t n) {
  std::memcpy(p, src, n);
  p += n;
}

// A stamp on disk: the date word, then the time word, 4 bytes in all.
inline uint16_t stamp_date_word(const SCOMBO& s) {
  return uint16_t(s.msg_st.date.da | s.msg_st.date.mo << 5 |
                  s.msg_st.date.yr << 9);
}
inline uint16_t stamp_time_word(const SCOMBO& s) {
  return uint16_t(s.msg_st.time.ss | s.msg_st.time.mm << 5 |
                  s.msg_st.time.hh << 11);
}

inline SCOMBO get_stamp(const uint8_t*& p) {
  uint16_t d = get_u16(p);
  uint16_t t = get_u16(p);
  SCOMBO s;
  s.ldate = 0;
  s.msg_st.date.da = d & 0x1F;
  s.msg_st.date.mo = (d >> 5) & 0x0F;
  s.msg_st.date.yr = (d >> 9) & 0x7F;
  s.msg_st.time.ss = t & 0x1F;
  s.msg_st.time.mm = (t >> 5) & 0x3F;
  s.msg_st.time.hh = (t >> 11) & 0x1F;
  return s;
}

inline void put_stamp(uint8_t*& p, const SCOMBO& s) {
  put_u16(p, stamp_date_word(s));
  put_u16(p, stamp_time_word(s));
}

#endif
