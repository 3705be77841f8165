// Squish messages: opening by number or relative to the current message,
// reading header, control information and text, and frame header access.
#include <cstring>
#include <memory>

#include "apiutil.h"
#include "ctrlinfo.h"
#include "sq_int.h"

int _SquishReadHeader(SquishAreaData& d, dword frame, SQHDR* hdr) {
  if (frame == 0) return 0;
  if (seek_file(d.sfd.get(), frame, SEEK_FROM_START) != std::int64_t(frame) ||
      !read_sqhdr(d.sfd.get(), hdr) || hdr->id != SQHDRID)
    return fail(APIERR_FILE_IO);
  return 0;
}

int _SquishWriteHeader(SquishAreaData& d, dword frame, SQHDR* hdr) {
  if (frame == 0) return 0;
  hdr->id = SQHDRID;
  if (seek_file(d.sfd.get(), frame, SEEK_FROM_START) != std::int64_t(frame) ||
      !write_sqhdr(d.sfd.get(), hdr))
    return fail(APIERR_FILE_IO);
  return 0;
}

namespace {

// Reads the header of a message frame that is about to be opened and checks
// that its sizes add up and that the frame lies inside the data file: a
// damaged frame must fail here, not become a huge text length or a read past
// the end.
int read_message_header(SquishAreaData& d, dword frame, SQHDR* hdr) {
  SQHDR h;
  if (_SquishReadHeader(d, frame, &h) != 0) return -1;
  std::int64_t len = file_length(d.sfd.get());
  std::uint64_t end = std::uint64_t(frame) + d.frame_hdr_size + h.frame_size;
  if (h.msg_size < XMSG_SIZE || h.msg_size - XMSG_SIZE < h.ctrl_size ||
      h.msg_size > h.frame_size || len < 0 || end > std::uint64_t(len))
    return fail(APIERR_FILE_IO);
  *hdr = h;
  return 0;
}

enum class Move { current, next, previous, by_number };

bool is_relative(Move m) { return m != Move::by_number; }

// Opens an existing message. The current position moves only when the
// message opens, so a damaged frame does not strand the position on itself
// and the messages after it stay reachable.
std::unique_ptr<SquishMsgHandle> _SquishOpenMsgRead(SquishAreaData& d, dword msgnum) {
  HAREA ha = &d.ha;
  const dword f0 = d.cur_frame;
  if (msgnum == MSGN_CURRENT && (f0 == 0 || f0 == d.end_of_file))
    return fail_null<std::unique_ptr<SquishMsgHandle>>(APIERR_NOT_FOUND);

  Move kind;
  dword target;
  SQHDR hdr{};
  if (msgnum == MSGN_CURRENT || msgnum == ha->cur_msg) {
    kind = Move::current;
    target = d.cur_frame;
  } else if (msgnum == MSGN_NEXT || msgnum == ha->cur_msg + 1) {
    kind = Move::next;
    target = d.cur_next;
  } else if (msgnum == MSGN_PREVIOUS || msgnum == ha->cur_msg - 1) {
    kind = Move::previous;
    target = d.cur_prev;
  } else {
    kind = Move::by_number;
    SQIDX rec;
    if (_SquishGetIdxFrame(d, msgnum - 1, &rec) != 0) return nullptr;
    target = rec.frame_offset;
    if (read_message_header(d, target, &hdr) != 0) return nullptr;
    ha->cur_msg = msgnum;
    d.cur_frame = target;
    d.cur_next = hdr.next_frame;
    d.cur_prev = hdr.prev_frame;
  }

  if (target == 0) {
    if (kind == Move::previous) _SquishPositionBeforeFirst(d);
    return fail_null<std::unique_ptr<SquishMsgHandle>>(APIERR_NOT_FOUND);
  }
  // A step that leads back to the current frame means the chain loops.
  if (target == f0 && (kind == Move::next || kind == Move::previous))
    return fail_null<std::unique_ptr<SquishMsgHandle>>(APIERR_BAD_MOVE);

  if (is_relative(kind)) {
    if (read_message_header(d, target, &hdr) != 0) return nullptr;
    if (target != f0) {
      if (kind == Move::next) ++ha->cur_msg;
      if (kind == Move::previous) --ha->cur_msg;
    }
    d.cur_frame = target;
    d.cur_next = hdr.next_frame;
    d.cur_prev = hdr.prev_frame;
  }

  auto m = std::make_unique<SquishMsgHandle>();
  m->frame_hdr = hdr;
  m->frame_offset = target;
  m->ctrl_length = hdr.ctrl_size;
  m->text_length = hdr.msg_size - hdr.ctrl_size - XMSG_SIZE;
  m->msgnum = msgnum;
  m->number = ha->cur_msg;
  return m;
}

// Delivers `want` bytes from the current position into `buf` and a NUL after
// them. A short read (the file shrank under us) leaves zeros, not stale
// memory, in the part that did not arrive. Bytes read, or -1.
std::int64_t read_into(int fd, byte* buf, dword want) {
  std::int64_t got = read_upto(fd, buf, want);
  if (got < 0) return -1;
  std::memset(buf + got, 0, std::size_t(want - dword(got)) + 1);
  return got;
}

}  // namespace

void _SquishPositionBeforeFirst(SquishAreaData& d) {
  d.ha.cur_msg = 0;
  d.cur_frame = 0;
  d.cur_prev = 0;
  d.cur_next = d.first_frame;
}

int _SquishGotoMsg(SquishAreaData& d, dword msgnum, dword* frame_out, SQIDX* rec_out,
                   SQHDR* hdr_out, bool set_current) {
  SQIDX rec;
  SQHDR hdr;
  if (msgnum == 0 || _SquishGetIdxFrame(d, msgnum - 1, &rec) != 0) return -1;
  if (_SquishReadHeader(d, rec.frame_offset, &hdr) != 0) return -1;
  if (frame_out) *frame_out = rec.frame_offset;
  if (rec_out) *rec_out = rec;
  if (hdr_out) *hdr_out = hdr;
  if (set_current) {
    d.ha.cur_msg = msgnum;
    d.cur_frame = rec.frame_offset;
    d.cur_next = hdr.next_frame;
    d.cur_prev = hdr.prev_frame;
  }
  return 0;
}

HMSG SquishOpenMsg(HAREA ha, word mode, dword msgnum) {
  if (InvalidMh(ha)) return nullptr;
  return guard_alloc<HMSG>(nullptr, [&]() -> HMSG {
    SquishAreaData& d = Sqd(ha);
    std::unique_ptr<SquishMsgHandle> m;
    if (mode == MO_CREATE) {
      // 0 asks for a new message, 1..num_msg for rewriting one; the relative
      // tokens are refused.
      if (sdword(msgnum) < 0 || msgnum > ha->num_msg) return fail_null(APIERR_NOT_FOUND);
      m = std::make_unique<SquishMsgHandle>();
      m->msgnum = msgnum;
    } else {
      if (msgnum == 0) return fail_null(APIERR_NOT_FOUND);
      m = _SquishOpenMsgRead(d, msgnum);
      if (!m) return nullptr;
      // A write through this handle stays inside the existing text.
      m->text_total = m->text_length;
    }
    m->sq = ha;
    m->mode = mode;
    m->id = MSG_HANDLE_ID;
    ++d.open_msgs;
    return m.release();
  });
}

sword SquishCloseMsg(HMSG msgh) {
  if (InvalidMsgh(msgh)) return -1;
  SquishMsgHandle& m = Sqm(msgh);
  SquishAreaData& d = Sqd(msgh->sq);
  // A writer that declared more text than it wrote: make the data file cover
  // the whole frame. Only once the frame exists; before the first write
  // there is nothing of ours to extend.
  if (m.mode == MO_CREATE && m.frame_offset != 0 && m.bytes_written < m.text_total) {
    std::int64_t last = std::int64_t(m.frame_offset) + d.frame_hdr_size + XMSG_SIZE +
                        m.ctrl_length + m.text_total - 1;
    byte zero = 0;
    if (seek_file(d.sfd.get(), last, SEEK_FROM_START) == last) write_all(d.sfd.get(), &zero, 1);
  }
  --d.open_msgs;
  m.id = 0;
  delete &m;
  return 0;
}

dword SquishReadMsg(HMSG msgh, XMSG* msg, dword ofs, dword bytes, byte* text, dword cbytes,
                    byte* ctxt) {
  if (InvalidMsgh(msgh)) return 0xFFFFFFFFu;
  SquishMsgHandle& m = Sqm(msgh);
  SquishAreaData& d = Sqd(msgh->sq);
  int fd = d.sfd.get();
  // A handle opened for creation has no frame of its own to read from.
  if (m.mode == MO_CREATE) return fail_dword(APIERR_NOT_FOUND);
  const std::int64_t xmsg_pos = std::int64_t(m.frame_offset) + d.frame_hdr_size;

  if (msg) {
    if (seek_file(fd, xmsg_pos, SEEK_FROM_START) != xmsg_pos || !read_xmsg(fd, msg))
      return fail_dword(APIERR_FILE_IO);
    msg->from[sizeof msg->from - 1] = 0;
    msg->to[sizeof msg->to - 1] = 0;
    msg->subj[sizeof msg->subj - 1] = 0;
    msg->__ftsc_date[sizeof msg->__ftsc_date - 1] = 0;
    StripNasties(reinterpret_cast<char*>(msg->from));
    StripNasties(reinterpret_cast<char*>(msg->to));
    StripNasties(reinterpret_cast<char*>(msg->subj));
  }

  dword rest = ofs < m.text_length ? m.text_length - ofs : 0;
  if (bytes == 0 || bytes > rest) bytes = rest;
  if ((text == nullptr || bytes == 0) && cbytes == 0) return 0;
  if (m.frame_hdr.frame_type != FRAME_NORMAL) return fail_dword(APIERR_FILE_IO);
  m.cur_pos = ofs;

  const std::int64_t ctrl_pos = xmsg_pos + XMSG_SIZE;
  if (cbytes && ctxt) {
    dword want = cbytes < m.ctrl_length ? cbytes : m.ctrl_length;
    if (seek_file(fd, ctrl_pos, SEEK_FROM_START) != ctrl_pos || read_into(fd, ctxt, want) < 0)
      return fail_dword(APIERR_FILE_IO);
  }
  const std::int64_t text_pos = ctrl_pos + m.ctrl_length + ofs;
  if (seek_file(fd, text_pos, SEEK_FROM_START) != text_pos) return fail_dword(APIERR_FILE_IO);
  if (text == nullptr || bytes == 0) return 0;
  std::int64_t got = read_into(fd, text, bytes);
  if (got < 0) return fail_dword(APIERR_FILE_IO);
  m.cur_pos += dword(got);
  return dword(got);
}

sword SquishSetCurPos(HMSG msgh, dword pos) {
  if (InvalidMsgh(msgh)) return -1;
  msgh->cur_pos = pos;
  return 0;
}

dword SquishGetCurPos(HMSG msgh) {
  if (InvalidMsgh(msgh)) return 0xFFFFFFFFu;
  return msgh->cur_pos;
}

dword SquishGetTextLen(HMSG msgh) { return Sqm(msgh).text_length; }
dword SquishGetCtrlLen(HMSG msgh) { return Sqm(msgh).ctrl_length; }
