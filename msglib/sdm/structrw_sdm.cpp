#include "structrw_sdm.h"

#include <cassert>

#include "platform.h"
#include "structrw.h"

void encode_omsg(const OMSG& in, uint8_t (&buf)[OMSG_SIZE]) {
  uint8_t* pbuf = buf;
  put_bytes(pbuf, in.from, sizeof in.from);
  put_bytes(pbuf, in.to, sizeof in.to);
  put_bytes(pbuf, in.subj, sizeof in.subj);
  put_bytes(pbuf, in.date, sizeof in.date);
  put_u16(pbuf, in.times_read);
  put_u16(pbuf, in.dest_node);
  put_u16(pbuf, in.orig_node);
  put_u16(pbuf, in.cost);
  put_u16(pbuf, in.orig_net);
  put_u16(pbuf, in.dest_net);
  put_stamp(pbuf, in.date_written);
  put_stamp(pbuf, in.date_arrived);
  put_u16(pbuf, in.reply_to);
  put_u16(pbuf, in.attr);
  put_u16(pbuf, in.next_reply);
  assert(pbuf - buf == OMSG_SIZE);
}

OMSG decode_omsg(const uint8_t (&buf)[OMSG_SIZE]) {
  const uint8_t* pbuf = buf;
  OMSG m;
  get_bytes(pbuf, m.from, sizeof m.from);
  get_bytes(pbuf, m.to, sizeof m.to);
  get_bytes(pbuf, m.subj, sizeof m.subj);
  get_bytes(pbuf, m.date, sizeof m.date);
  m.times_read = get_u16(pbuf);
  m.dest_node = get_u16(pbuf);
  m.orig_node = get_u16(pbuf);
  m.cost = get_u16(pbuf);
  m.orig_net = get_u16(pbuf);
  m.dest_net = get_u16(pbuf);
  m.date_written = get_stamp(pbuf);
  m.date_arrived = get_stamp(pbuf);
  m.reply_to = get_u16(pbuf);
  m.attr = get_u16(pbuf);
  m.next_reply = get_u16(pbuf);
  assert(pbuf - buf == OMSG_SIZE);
  return m;
}

int read_omsg(int fd, OMSG* out) {
  uint8_t buf[OMSG_SIZE];
  if (!read_exact(fd, buf, sizeof buf)) return 0;  // short read: *out untouched
  *out = decode_omsg(buf);
  return 1;
}

int write_omsg(int fd, const OMSG* in) {
  uint8_t buf[OMSG_SIZE];
  encode_omsg(*in, buf);
  return write_all(fd, buf, sizeof buf) ? 1 : 0;
}
