// *.MSG messages: opening by number, reading header, kludges and text.
//
// A stored text is: zone and point lines (netmail only), the kludge lines of
// the control block, the body, a NUL. On the first read at offset 0 the
// leading kludge lines become the handle's control block and are cut from
// the text the caller sees; text offsets count from the first body byte.
#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <optional>

#include "apiutil.h"
#include "ctrlinfo.h"
#include "fidotext.h"
#include "sdm_int.h"

namespace {

// Only kludge lines within this many leading text bytes become control
// information, unless the caller's first read is larger.
constexpr dword SDM_PEEK = 512;

// How much of a file a reading handle takes at once when it opens: the
// header and the text of most messages.
constexpr std::size_t SDM_SNAP = 16384;

// Bytes after the header in a file of `size` bytes.
dword TextBytes(std::int64_t size) {
  std::int64_t len = size - std::int64_t(OMSG_SIZE);
  return len <= 0 ? 0 : dword(std::min<std::int64_t>(len, SDM_UNSET - 1));
}

template <std::size_t N>
void ForceNul(byte (&field)[N]) {
  field[N - 1] = 0;
}

void TakeSnapshot(SdmMsg* m) {
  m->snap.resize(SDM_SNAP);
  std::int64_t got = read_at(m->file.get(), m->snap.data(), SDM_SNAP, 0);
  m->has_snap = got >= 0;
  m->snap.resize(got > 0 ? std::size_t(got) : 0);
  m->snap_whole = m->has_snap && m->snap.size() < SDM_SNAP;
}

// The message number that `msgnum` names; nothing (APIERR_NOT_FOUND) when a
// relative move finds no message or a number to read is not in the table.
std::optional<dword> Resolve(SdmArea* a, word mode, dword msgnum) {
  const auto& t = a->numbers;
  sdword cur = sdword(std::min<dword>(a->ha.cur_msg, 0x7FFFFFFF));
  switch (msgnum) {
    case MSGN_CURRENT:
      return a->ha.cur_msg;
    case MSGN_PREVIOUS:
    case MSGN_NEXT:
      for (;;) {  // each round either moves or drops an entry
        bool back = msgnum == MSGN_PREVIOUS;
        auto it = back ? std::lower_bound(t.begin(), t.end(), cur)
                       : std::upper_bound(t.begin(), t.end(), cur);
        if (back ? it == t.begin() : it == t.end()) break;
        dword n = dword(back ? *(it - 1) : *it);
        if (a->HasHeader(n)) return a->ha.cur_msg = n;
        a->Drop(n);
      }
      break;
    default:
      if (mode == MO_CREATE) return msgnum;
      if (msgnum <= SDM_MAX_MSGN && std::binary_search(t.begin(), t.end(), sdword(msgnum)))
        return msgnum;
      break;
  }
  note_message(msgnum, nullptr);
  report_failure(APIERR_NOT_FOUND);
  return std::nullopt;
}

HMSG OpenMsg(SdmArea* a, word mode, dword msgnum) {
  std::optional<dword> which = Resolve(a, mode, msgnum);
  if (!which) return nullptr;
  dword n = *which;
  bool creating = mode == MO_CREATE;
  bool fresh = creating && n == 0;

  auto m = std::make_unique<SdmMsg>();
  std::int64_t size = -1;  // of the file, when already measured here
  if (creating) {
    if (!SdmStartNew(a, m.get(), n)) return nullptr;
  } else {
    unsigned flags = mode == MO_READ ? OF_READ : mode == MO_WRITE ? OF_WRITE : OF_READWRITE;
    std::string path = a->ListedPath(n);
    if (!m->file.open(path.c_str(), flags)) {
      note_message(n, errno_text(errno));
      return fail_null(APIERR_NOT_FOUND);
    }
    if (mode != MO_WRITE) TakeSnapshot(m.get());
    if (m->has_snap && m->snap_whole) size = std::int64_t(m->snap.size());
    if (n <= SDM_MAX_MSGN && a->unchecked.test(n)) {
      a->unchecked.reset(n);
      if (size < 0) size = file_length(m->file.get());
      if (size < std::int64_t(OMSG_SIZE)) {
        a->Drop(n);
        note_message(n, nullptr);
        return fail_null(APIERR_NOT_FOUND);
      }
    }
    if (size >= 0) m->text_bytes = TextBytes(size);
  }
  // A new message gets its number when it is written: the one it is shown
  // here unless another program takes that first.
  a->ha.cur_msg = fresh ? SdmNextNumber(a) : n;
  if (creating && !fresh) {
    auto& t = a->numbers;
    a->unchecked.reset(n);
    auto it = std::lower_bound(t.begin(), t.end(), sdword(n));
    if (it == t.end() || *it != sdword(n)) t.insert(it, sdword(n));
    a->ha.num_msg = dword(t.size());
  }
  m->sq = &a->ha;
  m->id = MSG_HANDLE_ID;
  ++a->open_count;
  msgapierr = APIERR_OK;
  return m.release();
}

}  // namespace

HMSG SdmOpenMsg(HAREA mh, word mode, dword msgnum) {
  if (InvalidMh(mh)) return nullptr;
  return guard_alloc<HMSG>(nullptr, [&] { return OpenMsg(&sdm_area(mh), mode, msgnum); });
}

sword SdmCloseMsg(HMSG msgh) {
  if (InvalidMsgh(msgh)) return -1;
  SdmMsg* m = &sdm_msg(msgh);
  --sdm_area(m->sq).open_count;
  m->id = 0;
  delete m;
  msgapierr = APIERR_OK;
  return 0;
}

dword SdmReadMsg(HMSG msgh, XMSG* msg, dword ofs, dword bytes, byte* text,
                 dword cbytes, byte* ctxt) {
  if (InvalidMsgh(msgh)) return READ_FAILED;
  return guard_alloc<dword>(READ_FAILED, [&]() -> dword {
    SdmMsg* m = &sdm_msg(msgh);
    bool want_text = bytes != 0 && text != nullptr;
    bool want_ctrl = cbytes != 0 && ctxt != nullptr;
    // Every buffer given is one byte longer than asked for: it ends in a NUL
    // even when nothing is delivered into it.
    if (text) text[0] = 0;
    if (ctxt) ctxt[0] = 0;

    if (msg) {
      uint8_t raw[OMSG_SIZE];
      if (m->ReadAt(raw, sizeof raw, 0) != std::int64_t(sizeof raw))
        return fail_dword(APIERR_FILE_IO);
      OMSG f = decode_omsg(raw);
      Convert_Fmsg_To_Xmsg(&f, msg, mi.def_zone);
      StripNasties(reinterpret_cast<char*>(msg->from));
      StripNasties(reinterpret_cast<char*>(msg->to));
      StripNasties(reinterpret_cast<char*>(msg->subj));
    }

    // Until the kludge prefix is known, the first read looks at the leading
    // bytes through a private buffer unless the caller's is at least as big.
    bool extracted = m->ctrl_bytes != SDM_UNSET;
    std::array<byte, SDM_PEEK + 1> peek;
    byte* buf = nullptr;
    dword want = 0;
    if (extracted || (want_text && bytes >= SDM_PEEK)) {
      if (want_text) buf = text, want = bytes;
    } else {
      buf = peek.data(), want = SDM_PEEK;
    }
    bool into_caller = buf == text && buf != nullptr;

    dword got = 0;
    if (buf) {
      std::int64_t pos = std::int64_t(OMSG_SIZE) + m->prefix_bytes + ofs;
      m->cur_pos = ofs;
      std::int64_t r = m->ReadAt(buf, want, pos);
      got = r > 0 ? dword(r) : 0;  // a failed read counts as a read of nothing
      buf[got] = 0;
      if (into_caller) m->cur_pos += got;

      if (!extracted && got != 0 && ofs == 0) {
        const char* start = reinterpret_cast<const char*>(buf);
        const char* body = start;
        m->ctrl_block = CopyToControlBuf(start, &body, nullptr);
        m->ctrl_bytes = dword(std::strlen(m->ctrl_block.c_str())) + 1;
        // The scan stops at the NUL after the bytes read; the clamp only
        // guards that promise.
        m->prefix_bytes = std::min(dword(body - start), got);
        std::memmove(buf, body, got - m->prefix_bytes + 1);
        got -= m->prefix_bytes;
      }
    }

    bool have_ctrl = m->ctrl_bytes != SDM_UNSET;
    if (msg && have_ctrl) ConvertControlInfo(m->ctrl_block.c_str(), &msg->orig, &msg->dest);
    if (want_ctrl && have_ctrl) {
      dword n = std::min(cbytes, m->ctrl_bytes);
      std::memcpy(ctxt, m->ctrl_block.data(), n);
      ctxt[n] = 0;
    }
    msgapierr = APIERR_OK;
    return into_caller ? got : 0;
  });
}

std::int64_t SdmMsg::ReadAt(void* buf, std::size_t n, std::int64_t offset) {
  std::size_t have = snap.size();
  if (!has_snap || offset < 0 || (!snap_whole && (std::size_t(offset) > have ||
                                                  n > have - std::size_t(offset))))
    return read_at(file.get(), buf, n, offset);
  if (std::size_t(offset) >= have) return 0;  // at or past the end of the file
  std::size_t k = std::min(n, have - std::size_t(offset));
  std::memcpy(buf, snap.data() + offset, k);
  return std::int64_t(k);
}

sword SdmSetCurPos(HMSG msgh, dword pos) {
  if (InvalidMsgh(msgh)) return -1;
  msgh->cur_pos = pos;
  msgapierr = APIERR_OK;
  return 0;
}

dword SdmGetCurPos(HMSG msgh) {
  if (InvalidMsgh(msgh)) return READ_FAILED;
  msgapierr = APIERR_OK;
  return msgh->cur_pos;
}

sword _Grab_Clen(HMSG msgh) {
  return SdmReadMsg(msgh, nullptr, 0, 0, nullptr, 0, nullptr) == READ_FAILED ? -1 : 0;
}

dword SdmGetTextLen(HMSG msgh) {
  SdmMsg* m = &sdm_msg(msgh);
  if (m->text_bytes == SDM_UNSET)
    m->text_bytes = TextBytes(m->has_snap && m->snap_whole ? std::int64_t(m->snap.size())
                                                           : file_length(m->file.get()));
  if (m->ctrl_bytes == SDM_UNSET && _Grab_Clen(msgh) != 0) return 0;
  // Another program may have shortened the file since it was measured.
  return m->text_bytes >= m->prefix_bytes ? m->text_bytes - m->prefix_bytes : 0;
}

dword SdmGetCtrlLen(HMSG msgh) {
  SdmMsg* m = &sdm_msg(msgh);
  if (m->ctrl_bytes == SDM_UNSET && _Grab_Clen(msgh) != 0) return 0;
  return m->ctrl_bytes == SDM_UNSET ? 0 : m->ctrl_bytes;
}

// ---------------------------------------------------------------------------
// Header conversion

void Init_Xmsg(XMSG* msg) { std::memset(msg, 0, sizeof *msg); }

void Convert_Fmsg_To_Xmsg(OMSG* fmsg, XMSG* msg, word def_zone) {
  Init_Xmsg(msg);
  ForceNul(fmsg->from);
  ForceNul(fmsg->to);
  ForceNul(fmsg->subj);
  ForceNul(fmsg->date);
  CopyField(msg->from, fmsg->from, sizeof fmsg->from);
  CopyField(msg->to, fmsg->to, sizeof fmsg->to);
  CopyField(msg->subj, fmsg->subj, sizeof fmsg->subj);

  msg->orig.zone = msg->dest.zone = def_zone;
  msg->orig.net = fmsg->orig_net;
  msg->orig.node = fmsg->orig_node;
  msg->dest.net = fmsg->dest_net;
  msg->dest.node = fmsg->dest_node;

  char* date = reinterpret_cast<char*>(fmsg->date);
  Get_Binary_Date(&msg->date_written, &fmsg->date_written, date);
  Get_Binary_Date(&msg->date_arrived, &fmsg->date_arrived, date);
  ForceNul(fmsg->date);
  CopyField(msg->__ftsc_date, fmsg->date, sizeof fmsg->date);

  msg->utc_ofs = 0;
  msg->replyto = fmsg->reply_to;
  msg->replies[0] = fmsg->next_reply;
  msg->attr = fmsg->attr;
  // A point travels in times_read, confirmed by its complement in cost.
  if (fmsg->times_read != 0 && fmsg->cost == word(~fmsg->times_read))
    msg->orig.point = fmsg->times_read;
}
