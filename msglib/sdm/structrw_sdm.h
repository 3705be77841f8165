// The *.MSG message header: 190 bytes in front of every message text.
//
// Field order and widths are those of the FidoNet message file header; every
// number is little-endian. Zones are not stored here (they come from the
// default zone and the INTL kludge). A point number travels in `times_read`,
// with its complement in `cost` as a check (see Convert_Fmsg_To_Xmsg).
#ifndef ZANDREL_STRUCTRW_SDM_H
#define ZANDREL_STRUCTRW_SDM_H

#include <cstddef>
#include <cstdint>

#include "stamp.h"
#include "typedefs.h"

constexpr std::size_t OMSG_SIZE = 190;

struct OMSG {
  byte from[36];  // NUL-padded; the last byte is forced to NUL when used
  byte to[36];
  byte subj[72];
  byte date[20];  // FidoNet date string
  word times_read;
  word dest_node;
  word orig_node;
  word cost;
  word orig_net;
  word dest_net;
  SCOMBO date_written;
  SCOMBO date_arrived;
  word reply_to;    // in message 1 of an echo area: the high-water mark
  word attr;        // the low 16 attribute bits of XMSG
  word next_reply;
};

// Packing to and from a 190-byte buffer.
void encode_omsg(const OMSG& in, uint8_t (&buf)[OMSG_SIZE]);
OMSG decode_omsg(const uint8_t (&buf)[OMSG_SIZE]);

// Reads the header at the descriptor's position. 1 when all 190 bytes arrived
// (then *out is filled), 0 otherwise with *out untouched.
int read_omsg(int fd, OMSG* out);
// Writes the header at the descriptor's position; 1 only when all 190 bytes
// were stored.
int write_omsg(int fd, const OMSG* in);

#endif
