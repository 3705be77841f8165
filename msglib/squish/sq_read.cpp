// Squish messages: opening by number or relative to the current message,
// reading header, control information and text, and frame header access.
#include <algorithm>
#include <cstring>
#include <memory>

#include "apiutil.h"
#include "ctrlinfo.h"
#include "sq_int.h"

sword _SquishReadHeader(SquishAreaData& d, dword frame, SQHDR* hdr) {
  if (frame == 0) return 0;
  byte buf[SQHDR_SIZE];
  if (read_at(d.sfd.get(), buf, sizeof buf, frame) != SQHDR_SIZE) return fail(APIERR_FILE_IO);
  SQHDR h;
  decode_sqhdr(buf, &h);
  if (h.id != SQHDRID) return fail(APIERR_FILE_IO);
  *hdr = h;
  return 0;
}

sword _SquishWriteHeader(SquishAreaData& d, dword frame, SQHDR* hdr) {
  if (frame == 0) return 0;
  _SquishNoteWrite(d);
  hdr->id = SQHDRID;
  if (seek_file(d.sfd.get(), frame, SEEK_FROM_START) != std::int64_t(frame) ||
      !write_sqhdr(d.sfd.get(), hdr))
    return fail(APIERR_FILE_IO);
  return 0;
}

namespace {

// Bytes read from the start of a frame when it is opened. The frame of the
// message after it usually starts where this one ends, and the index record
// read ahead says where: then the whole frame comes in one read. Otherwise a
// few kilobytes take the header and most texts.
constexpr dword HEAD_DEFAULT = 4096;
constexpr dword HEAD_MAX = 64 * 1024;

dword head_size(dword frame, dword next_frame) {
  if (next_frame > frame && next_frame - frame >= SQHDR_SIZE)
    return std::min<dword>(next_frame - frame, HEAD_MAX);
  return HEAD_DEFAULT;
}

// Where the frame after message `number`'s probably starts: the next
// message's index record (read ahead a block at a time, so this costs a read
// only now and then), or the end of the data for the last message. 0 when
// unknown. A hint only: a wrong one costs a second read or a longer one.
dword next_frame_hint(SquishAreaData& d, dword number) {
  if (number == 0 || number > d.ha.num_msg) return 0;
  if (number == d.ha.num_msg) return d.base.end_of_file;
  if (dword f = _SquishPeekIdxFrame(d, number)) return f;
  KeepError keep;  // a hint that cannot be had is no error
  SQIDX rec;
  return _SquishGetIdxFrame(d, number, &rec) == 0 ? rec.frame_offset : 0;
}

// True when the data file reaches `end`. The length learned earlier is
// asked again only when the frame seems to pass it: the file may have grown.
bool file_reaches(SquishAreaData& d, std::uint64_t end) {
  if (d.sqd_len >= 0 && end <= std::uint64_t(d.sqd_len)) return true;
  d.sqd_len = file_length(d.sfd.get());
  return d.sqd_len >= 0 && end <= std::uint64_t(d.sqd_len);
}

// Reads the start of a message frame that is about to be opened, `want`
// bytes at most, and checks that its sizes add up and that the frame lies
// inside the data file: a damaged frame must fail here, not become a huge
// text length or a read past the end. `msgnum` names the message in the
// reason for a failure.
sword read_message_head(SquishAreaData& d, dword frame, dword want, dword msgnum,
                        SquishMsgHandle* m) {
  if (frame == 0) return 0;
  if (d.data_gen != d.write_gen) {
    d.data_ahead.drop();
    d.data_gen = d.write_gen;
  }
  // Frames read in order stay where they lie in the block read ahead; any
  // other is read into a buffer of its own.
  std::unique_ptr<byte[]> buf;
  std::size_t held = 0;
  const byte* view = d.data_ahead.fetch(d.sfd.get(), frame, want, &held);
  std::int64_t got = std::int64_t(held);
  if (!view) {
    buf.reset(new byte[want]);  // filled by the read, not cleared first
    got = d.data_ahead.failed() ? -1 : read_at(d.sfd.get(), buf.get(), want, frame);
  }
  const byte* head = view ? view : buf.get();
  SQHDR h;
  auto damaged = [msgnum](const char* what) {
    note_message(msgnum, what);
    return fail(APIERR_FILE_IO);
  };
  if (got < SQHDR_SIZE) return damaged("frame lies past the end of the data file");
  decode_sqhdr(head, &h);
  std::uint64_t end = std::uint64_t(frame) + d.base.frame_hdr_size + h.frame_size;
  if (h.id != SQHDRID || h.msg_size < XMSG_SIZE || h.msg_size - XMSG_SIZE < h.ctrl_size ||
      h.msg_size > h.frame_size)
    return damaged("damaged frame header");
  if (!file_reaches(d, end)) return damaged("frame runs past the end of the data file");
  m->frame_hdr = h;
  m->head = std::move(buf);
  m->view = view;
  m->view_fill = d.data_ahead.fills();
  m->head_len = dword(got);
  m->head_gen = d.write_gen;
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
  auto not_found = [msgnum] {
    note_message(msgnum, nullptr);
    return fail_null<std::unique_ptr<SquishMsgHandle>>(APIERR_NOT_FOUND);
  };
  if (msgnum == MSGN_CURRENT && (f0 == 0 || f0 == d.base.end_of_file)) return not_found();

  auto m = std::make_unique<SquishMsgHandle>();
  Move kind;
  dword target;
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
    if (_SquishGetIdxFrame(d, msgnum - 1, &rec) != 0) {
      // Past the last message, or an index record we cannot use; the code
      // stays what the fetch left.
      note_message(msgnum, msgnum > ha->num_msg ? nullptr : "damaged index record");
      report_failure_keeping_code();
      return nullptr;
    }
    target = rec.frame_offset;
    const dword want = head_size(target, next_frame_hint(d, msgnum));
    if (read_message_head(d, target, want, msgnum, m.get()) != 0) return nullptr;
    ha->cur_msg = msgnum;
    d.cur_frame = target;
    d.cur_next = m->frame_hdr.next_frame;
    d.cur_prev = m->frame_hdr.prev_frame;
  }

  if (target == 0) {
    if (kind == Move::previous) _SquishPositionBeforeFirst(d);
    return not_found();
  }
  // A step that leads back to the current frame means the chain loops.
  if (target == f0 && (kind == Move::next || kind == Move::previous))
    return fail_null<std::unique_ptr<SquishMsgHandle>>(APIERR_BAD_MOVE);

  if (is_relative(kind)) {
    const dword number = kind == Move::next       ? ha->cur_msg + 1
                         : kind == Move::previous ? ha->cur_msg - 1
                                                  : ha->cur_msg;
    const dword want = head_size(target, next_frame_hint(d, number));
    if (read_message_head(d, target, want, number, m.get()) != 0) return nullptr;
    if (target != f0) {
      if (kind == Move::next) ++ha->cur_msg;
      if (kind == Move::previous) --ha->cur_msg;
    }
    d.cur_frame = target;
    d.cur_next = m->frame_hdr.next_frame;
    d.cur_prev = m->frame_hdr.prev_frame;
  }

  const SQHDR& hdr = m->frame_hdr;
  m->frame_offset = target;
  m->ctrl_length = hdr.ctrl_size;
  m->text_length = hdr.msg_size - hdr.ctrl_size - XMSG_SIZE;
  m->msgnum = msgnum;
  m->number = ha->cur_msg;
  return m;
}

// Delivers `n` bytes of the frame from `rel` bytes past its start into
// `buf`: what the head read at open holds (in its own buffer, or in the
// block read ahead while that is still the same) is copied, the rest comes
// from the kept mapping or is read. The count delivered (short only where
// the file ends), or -1.
std::int64_t frame_bytes(SquishAreaData& d, const SquishMsgHandle& m, std::uint64_t rel, byte* buf,
                         dword n) {
  dword copied = 0;
  const byte* head = nullptr;
  if (m.head_gen == d.write_gen) {
    if (m.head)
      head = m.head.get();
    else if (m.view && m.view_fill == d.data_ahead.fills())
      head = m.view;
  }
  if (head && rel < m.head_len) {
    copied = dword(std::min<std::uint64_t>(n, m.head_len - rel));
    std::memcpy(buf, head + rel, copied);
  }
  if (copied == n) return n;
  const std::uint64_t pos = m.frame_offset + rel + copied;
  if (const byte* kept = d.data_ahead.mapped(d.sfd.get(), pos, n - copied)) {
    std::memcpy(buf + copied, kept, n - copied);
    return n;
  }
  std::int64_t got = read_at(d.sfd.get(), buf + copied, n - copied, std::int64_t(pos));
  if (got < 0) return copied ? copied : -1;
  return copied + got;
}

// Delivers `want` bytes of the frame into `buf` and a NUL after them. A
// short read (the file shrank under us) leaves zeros, not stale memory, in
// the part that did not arrive. Bytes delivered, or -1.
std::int64_t read_into(SquishAreaData& d, const SquishMsgHandle& m, std::uint64_t rel, byte* buf,
                       dword want) {
  std::int64_t got = frame_bytes(d, m, rel, buf, want);
  if (got < 0) return -1;
  std::memset(buf + got, 0, std::size_t(want - dword(got)) + 1);
  return got;
}

}  // namespace

void _SquishPositionBeforeFirst(SquishAreaData& d) {
  d.ha.cur_msg = 0;
  d.cur_frame = 0;
  d.cur_prev = 0;
  d.cur_next = d.base.first_frame;
}

sword _SquishGotoMsg(SquishAreaData& d, dword msgnum, dword* frame_out, SQIDX* rec_out,
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
    SquishAreaData& d = sq_area(ha);
    std::unique_ptr<SquishMsgHandle> m;
    if (mode == MO_CREATE) {
      // 0 asks for a new message, 1..num_msg for rewriting one; the relative
      // tokens are refused.
      if (sdword(msgnum) < 0 || msgnum > ha->num_msg) {
        note_message(msgnum, nullptr);
        return fail_null(APIERR_NOT_FOUND);
      }
      m = std::make_unique<SquishMsgHandle>();
      m->msgnum = msgnum;
    } else {
      if (msgnum == 0) {
        note_message(0, nullptr);
        return fail_null(APIERR_NOT_FOUND);
      }
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
  // Nothing is written here: a frame reaches its full length at its first
  // write, under the record lock.
  SquishMsgHandle& m = sq_msg(msgh);
  --sq_area(msgh->sq).open_msgs;
  m.id = 0;
  delete &m;
  return 0;
}

dword SquishReadMsg(HMSG msgh, XMSG* msg, dword ofs, dword bytes, byte* text, dword cbytes,
                    byte* ctxt) {
  if (InvalidMsgh(msgh)) return READ_FAILED;
  SquishMsgHandle& m = sq_msg(msgh);
  SquishAreaData& d = sq_area(msgh->sq);
  // A handle opened for creation has no frame of its own to read from.
  if (m.mode == MO_CREATE) return fail_dword(APIERR_NOT_FOUND);
  // Positions inside the frame.
  const std::uint64_t xmsg_pos = d.base.frame_hdr_size;
  const std::uint64_t ctrl_pos = xmsg_pos + XMSG_SIZE;

  auto damaged = [&m](const char* what) {
    note_message(m.number, what);
    return fail_dword(APIERR_FILE_IO);
  };
  if (msg) {
    byte buf[XMSG_SIZE];
    if (frame_bytes(d, m, xmsg_pos, buf, XMSG_SIZE) != XMSG_SIZE)
      return damaged("frame runs past the end of the data file");
    decode_xmsg(buf, msg);
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
  if (m.frame_hdr.frame_type != FRAME_NORMAL) return damaged("not a message frame");
  m.cur_pos = ofs;

  if (cbytes && ctxt) {
    dword want = cbytes < m.ctrl_length ? cbytes : m.ctrl_length;
    if (read_into(d, m, ctrl_pos, ctxt, want) < 0) return fail_dword(APIERR_FILE_IO);
  }
  if (text == nullptr || bytes == 0) return 0;
  std::int64_t got = read_into(d, m, ctrl_pos + m.ctrl_length + ofs, text, bytes);
  if (got < 0) return fail_dword(APIERR_FILE_IO);
  m.cur_pos += dword(got);
  return dword(got);
}

sword SquishSetCurPos(HMSG msgh, dword pos) { return set_cur_pos(msgh, pos); }
dword SquishGetCurPos(HMSG msgh) { return get_cur_pos(msgh); }

dword SquishGetTextLen(HMSG msgh) { return sq_msg(msgh).text_length; }
dword SquishGetCtrlLen(HMSG msgh) { return sq_msg(msgh).ctrl_length; }
