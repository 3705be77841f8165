#include "structrw_sq.h"

#include <cassert>
#include <new>
#include <vector>

#include "platform.h"
#include "structrw.h"

void decode_xmsg(const uint8_t* buf, XMSG* msg) {
  const uint8_t* pbuf = buf;
  XMSG x;
  x.attr = get_u32(pbuf);
  get_bytes(pbuf, x.from, sizeof x.from);
  get_bytes(pbuf, x.to, sizeof x.to);
  get_bytes(pbuf, x.subj, sizeof x.subj);
  for (NETADDR* a : {&x.orig, &x.dest}) {
    a->zone = get_u16(pbuf);
    a->net = get_u16(pbuf);
    a->node = get_u16(pbuf);
    a->point = get_u16(pbuf);
  }
  x.date_written = get_stamp(pbuf);
  x.date_arrived = get_stamp(pbuf);
  x.utc_ofs = get_s16(pbuf);
  x.replyto = get_u32(pbuf);
  for (UMSGID& r : x.replies) r = get_u32(pbuf);
  get_bytes(pbuf, x.__ftsc_date, sizeof x.__ftsc_date);
  assert(pbuf - buf == XMSG_SIZE);
  *msg = x;
}

int read_xmsg(int fd, XMSG* msg) {
  uint8_t buf[XMSG_SIZE];
  if (!read_exact(fd, buf, sizeof buf)) return 0;
  decode_xmsg(buf, msg);
  return 1;
}

int write_xmsg(int fd, const XMSG* msg) {
  uint8_t buf[XMSG_SIZE];
  uint8_t* pbuf = buf;
  put_u32(pbuf, msg->attr);
  put_bytes(pbuf, msg->from, sizeof msg->from);
  put_bytes(pbuf, msg->to, sizeof msg->to);
  put_bytes(pbuf, msg->subj, sizeof msg->subj);
  for (const NETADDR* a : {&msg->orig, &msg->dest}) {
    put_u16(pbuf, a->zone);
    put_u16(pbuf, a->net);
    put_u16(pbuf, a->node);
    put_u16(pbuf, a->point);
  }
  put_stamp(pbuf, msg->date_written);
  put_stamp(pbuf, msg->date_arrived);
  put_u16(pbuf, uint16_t(msg->utc_ofs));
  put_u32(pbuf, msg->replyto);
  for (UMSGID r : msg->replies) put_u32(pbuf, r);
  put_bytes(pbuf, msg->__ftsc_date, sizeof msg->__ftsc_date);
  assert(pbuf - buf == XMSG_SIZE);
  return write_all(fd, buf, sizeof buf) ? 1 : 0;
}

void decode_sqhdr(const uint8_t* buf, SQHDR* hdr) {
  const uint8_t* pbuf = buf;
  SQHDR h;
  h.id = get_u32(pbuf);
  h.next_frame = get_u32(pbuf);
  h.prev_frame = get_u32(pbuf);
  h.frame_size = get_u32(pbuf);
  h.msg_size = get_u32(pbuf);
  h.ctrl_size = get_u32(pbuf);
  h.frame_type = get_u16(pbuf);
  h.reserved = get_u16(pbuf);
  assert(pbuf - buf == SQHDR_SIZE);
  *hdr = h;
}

int read_sqhdr(int fd, SQHDR* hdr) {
  uint8_t buf[SQHDR_SIZE];
  if (!read_exact(fd, buf, sizeof buf)) return 0;
  decode_sqhdr(buf, hdr);
  return 1;
}

int write_sqhdr(int fd, const SQHDR* hdr) {
  uint8_t buf[SQHDR_SIZE];
  uint8_t* pbuf = buf;
  put_u32(pbuf, hdr->id);
  put_u32(pbuf, hdr->next_frame);
  put_u32(pbuf, hdr->prev_frame);
  put_u32(pbuf, hdr->frame_size);
  put_u32(pbuf, hdr->msg_size);
  put_u32(pbuf, hdr->ctrl_size);
  put_u16(pbuf, hdr->frame_type);
  put_u16(pbuf, hdr->reserved);
  assert(pbuf - buf == SQHDR_SIZE);
  return write_all(fd, buf, sizeof buf) ? 1 : 0;
}

int read_sqbase(int fd, SQBASE* base) {
  uint8_t buf[SQBASE_SIZE];
  if (!read_exact(fd, buf, sizeof buf)) return 0;
  const uint8_t* pbuf = buf;
  SQBASE b;
  b.base_size = get_u16(pbuf);
  b.reserved1 = get_u16(pbuf);
  b.num_msg = get_u32(pbuf);
  b.high_msg = get_u32(pbuf);
  b.skip_msgs = get_u32(pbuf);
  b.high_water = get_u32(pbuf);
  b.next_uid = get_u32(pbuf);
  get_bytes(pbuf, b.base_name, sizeof b.base_name);
  b.first_frame = get_u32(pbuf);
  b.last_frame = get_u32(pbuf);
  b.free_first = get_u32(pbuf);
  b.free_last = get_u32(pbuf);
  b.end_of_file = get_u32(pbuf);
  b.max_msgs = get_u32(pbuf);
  b.retention = get_u16(pbuf);
  b.frame_hdr_size = get_u16(pbuf);
  get_bytes(pbuf, b.reserved2, sizeof b.reserved2);
  assert(pbuf - buf == SQBASE_SIZE);
  *base = b;
  return 1;
}

int write_sqbase(int fd, const SQBASE* base) {
  uint8_t buf[SQBASE_SIZE];
  uint8_t* pbuf = buf;
  put_u16(pbuf, base->base_size);
  put_u16(pbuf, base->reserved1);
  put_u32(pbuf, base->num_msg);
  put_u32(pbuf, base->high_msg);
  put_u32(pbuf, base->skip_msgs);
  put_u32(pbuf, base->high_water);
  put_u32(pbuf, base->next_uid);
  put_bytes(pbuf, base->base_name, sizeof base->base_name);
  put_u32(pbuf, base->first_frame);
  put_u32(pbuf, base->last_frame);
  put_u32(pbuf, base->free_first);
  put_u32(pbuf, base->free_last);
  put_u32(pbuf, base->end_of_file);
  put_u32(pbuf, base->max_msgs);
  put_u16(pbuf, base->retention);
  put_u16(pbuf, base->frame_hdr_size);
  put_bytes(pbuf, base->reserved2, sizeof base->reserved2);
  assert(pbuf - buf == SQBASE_SIZE);
  return write_all(fd, buf, sizeof buf) ? 1 : 0;
}

void decode_sqidx(const uint8_t* p, SQIDX* out) {
  const uint8_t* pbuf = p;
  out->frame_offset = get_u32(pbuf);
  out->umsgid = get_u32(pbuf);
  out->hash = get_u32(pbuf);
  assert(pbuf - p == SQIDX_SIZE);
}

namespace {

void encode_sqidx(uint8_t* p, const SQIDX& in) {
  uint8_t* pbuf = p;
  put_u32(pbuf, in.frame_offset);
  put_u32(pbuf, in.umsgid);
  put_u32(pbuf, in.hash);
  assert(pbuf - p == SQIDX_SIZE);
}

// Records per transfer for `count` records: all of them while they fit in
// 32,767 bytes, else SQIDX_CHUNK. 1 (no buffer) when the count is 0 or 1 or
// no buffer can be had.
dword chunk_buffer(std::vector<uint8_t>& buf, dword count) {
  if (count <= 1) return 1;
  dword chunk = count * uint64_t(SQIDX_SIZE) > 32767 ? SQIDX_CHUNK : count;
  try {
    buf.resize(size_t(chunk) * SQIDX_SIZE);
  } catch (const std::bad_alloc&) {
    return 1;
  }
  return chunk;
}

}  // namespace

int read_sqidx(int fd, SQIDX* idx, dword count) {
  std::vector<uint8_t> heap;
  uint8_t one[SQIDX_SIZE];
  dword chunk = chunk_buffer(heap, count);
  uint8_t* buf = heap.empty() ? one : heap.data();
  for (dword i = 0; i < count; i += chunk) {
    dword n = count - i < chunk ? count - i : chunk;
    if (!read_exact(fd, buf, size_t(n) * SQIDX_SIZE)) return 0;
    for (dword j = 0; j < n; ++j) decode_sqidx(buf + size_t(j) * SQIDX_SIZE, &idx[i + j]);
  }
  return 1;
}

int write_sqidx(int fd, const SQIDX* idx, dword count) {
  std::vector<uint8_t> heap;
  uint8_t one[SQIDX_SIZE];
  dword chunk = chunk_buffer(heap, count);
  uint8_t* buf = heap.empty() ? one : heap.data();
  for (dword i = 0; i < count; i += chunk) {
    dword n = count - i < chunk ? count - i : chunk;
    for (dword j = 0; j < n; ++j) encode_sqidx(buf + size_t(j) * SQIDX_SIZE, idx[i + j]);
    if (!write_all(fd, buf, size_t(n) * SQIDX_SIZE)) return 0;
  }
  return 1;
}
