// *.MSG messages: opening by number, reading header, kludges and text, and
// writing them back.
//
// A stored text is: zone and point lines (netmail only), the kludge lines of
// the control block, the body, a NUL. On the first read at offset 0 the
// leading kludge lines become the handle's control block and are cut from
// the text the caller sees; text offsets count from the first body byte.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
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

// How many numbers a new message tries when other writers keep taking them.
constexpr int SDM_CREATE_TRIES = 256;

constexpr char SDM_NUMBERS_USED_UP[] = "message numbers used up";

// How many names a temporary file tries: a killed process that had our
// process id may have left some.
constexpr int SDM_TEMP_TRIES = 64;

// A temporary file older than this was left by a writer that was killed.
constexpr std::int64_t SDM_STALE_TEMP_SECONDS = 3600;

// Temporary files are "zandrel-<pid>-<serial>.tmp": no mail program takes
// that for a message, whatever case it matches names in.
constexpr char sd_tmp_prefix[] = "zandrel-";
constexpr char sd_tmp_suffix[] = ".tmp";

unsigned temp_serial = 0;  // counts this process's temporary files

constexpr dword SDM_MAX_MSGN = 0xFFFF;

// Bytes after the header in a file of `size` bytes.
dword TextBytes(std::int64_t size) {
  std::int64_t len = size - std::int64_t(OMSG_SIZE);
  return len <= 0 ? 0 : dword(std::min<std::int64_t>(len, SDM_UNSET - 1));
}

template <std::size_t N>
void CopyField(byte (&dst)[N], const byte* src, std::size_t srclen) {
  std::size_t n = strnlen(reinterpret_cast<const char*>(src), std::min(srclen, N - 1));
  std::memcpy(dst, src, n);
  std::memset(dst + n, 0, N - n);
}

template <std::size_t N>
void ForceNul(byte (&field)[N]) {
  field[N - 1] = 0;
}

// The number that a new message takes next.
dword NextNumber(const SdmArea* a) {
  dword n = a->ha.high_msg + 1;
  return a->ha.isecho && n == 1 ? 2 : n;  // message 1 holds the high-water mark
}

// Removes the temporary files that the listing found and that are older
// than an hour: their writers were killed before they could remove them. A
// younger one may belong to a writer still at work.
void ClearStaleTemps(SdmArea* a) {
  const std::int64_t now = std::int64_t(std::time(nullptr));
  for (const std::string& name : a->temp_names) {
    std::string path = a->dir + name;
    std::int64_t t = fmtime(path.c_str());
    if (t >= 0 && now - t > SDM_STALE_TEMP_SECONDS) remove_file(path.c_str());
  }
  a->temp_names.clear();
}

// Creates the temporary file that message `m` is written into; false, with
// errno set, when none can be made.
bool CreateTemp(const SdmArea* a, SdmMsg* m) {
  for (int tries = 0; tries < SDM_TEMP_TRIES; ++tries) {
    char name[64];
    std::snprintf(name, sizeof name, "%s%u-%u%s", sd_tmp_prefix, process_id(), temp_serial++,
                  sd_tmp_suffix);
    std::string path = a->dir + name;
    if (m->file.open(path.c_str(), OF_READWRITE | OF_CREATE | OF_EXCLUSIVE)) {
      m->temp = std::move(path);
      return true;
    }
    if (errno != EEXIST) return false;
  }
  return false;  // errno is EEXIST
}

// Counts a new message that has just appeared under number `n`.
void AddNew(SdmArea* a, dword n) {
  a->ha.high_msg = n;
  a->ha.cur_msg = n;
  a->numbers.push_back(sdword(n));  // above every entry: high_msg bounds the table
  a->ha.num_msg = dword(a->numbers.size());
  a->unchecked.reset(n);
  a->other_names.erase(word(n));
}

// Gives the whole message in the handle's temporary file its number: the
// given one, replacing what was there, or the next one nobody holds. Another
// program that took that number since we last looked (a tosser, another
// gateway) makes us rescan and move on; its file is never touched.
// 0, or -1 with msgapierr set.
sword Publish(SdmMsg* m) {
  SdmArea* a = &sdm_area(m->sq);
  if (m->publish_as != 0) {
    if (move_replace(m->temp.c_str(), a->MsgPath(m->publish_as).c_str()) != 0) {
      note_errno(nullptr, errno);
      return fail(APIERR_FILE_IO);
    }
    m->temp.clear();
    a->other_names.erase(word(m->publish_as));
    return 0;
  }
  for (int tries = 0; tries < SDM_CREATE_TRIES; ++tries) {
    dword n = NextNumber(a);
    if (n > SDM_MAX_MSGN) return fail(APIERR_NOT_FOUND, SDM_NUMBERS_USED_UP);  // never wrap
    if (move_noreplace(m->temp.c_str(), a->MsgPath(n).c_str()) == 0) {
      m->temp.clear();
      AddNew(a, n);
      return 0;
    }
    if (errno != EEXIST) {
      note_errno(nullptr, errno);
      return fail(APIERR_FILE_IO);
    }
    if (!a->ha.locked && !_SdmRescanArea(a)) return -1;
    // A file still being written is too short for the scan to count; step
    // past it all the same.
    a->ha.high_msg = std::max(a->ha.high_msg, n);
  }
  return fail(APIERR_FILE_IO, "other programs kept taking every free message number");
}

void TakeSnapshot(SdmMsg* m) {
  m->snap.resize(SDM_SNAP);
  std::int64_t got = read_at(m->file.get(), m->snap.data(), SDM_SNAP, 0);
  m->has_snap = got >= 0;
  m->snap.resize(got > 0 ? std::size_t(got) : 0);
  m->snap_whole = m->has_snap && m->snap.size() < SDM_SNAP;
}

// The message number that `msgnum` names; nothing (msgapierr 5) when a
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
    // Numbers are 16-bit; a larger one would name a file that a scan files
    // under another number.
    if ((fresh ? NextNumber(a) : n) > SDM_MAX_MSGN) {
      note_reason(SDM_NUMBERS_USED_UP);
      return fail_null(APIERR_NOT_FOUND);
    }
    ClearStaleTemps(a);
    if (!CreateTemp(a, m.get())) {
      note_errno(nullptr, errno);
      return fail_null(APIERR_FILE_IO);
    }
    m->publish_as = n;
    m->text_bytes = 0;
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
  a->ha.cur_msg = fresh ? NextNumber(a) : n;
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

namespace {

// Writes header, kludge lines and text at their places in the handle's file.
// 0, or -1 with msgapierr set; what was written stays.
sword WriteParts(SdmMsg* m, word append, const XMSG* msg, const byte* text, dword textlen,
                 dword clen, const byte* ctxt) {
  int fd = m->file.get();
  m->has_snap = false;  // what is read next must be what the file now holds
  auto seek = [fd](std::int64_t pos, SeekFrom from) { return seek_file(fd, pos, from) >= 0; };
  // The caller's block is read no further than it said, and ends at its
  // first NUL.
  bool have_ctrl = clen != 0 && ctxt != nullptr;
  std::string ctrl;
  if (have_ctrl)
    ctrl.assign(reinterpret_cast<const char*>(ctxt),
                strnlen(reinterpret_cast<const char*>(ctxt), clen));

  if (!seek(0, SEEK_FROM_START)) return fail(APIERR_FILE_IO);
  if (msg) {
    OMSG f;
    Convert_Xmsg_To_Fmsg(msg, &f);
    if (!write_omsg(fd, &f)) return fail(APIERR_SHORT_WRITE);
    if (!append && m->ctrl_bytes == SDM_UNSET && m->zone_bytes == 0 && !m->sq->isecho) {
      bool stored = true;
      word n = WriteZPInfo(msg, [fd, &stored](const char* s) { stored = WriteToFd(fd, s) && stored; },
                           have_ctrl ? ctrl.c_str() : nullptr);
      if (!stored) return fail(APIERR_SHORT_WRITE);
      m->zone_bytes = n;
    }
  } else if (!append || have_ctrl) {
    if (!seek(std::int64_t(OMSG_SIZE) + m->zone_bytes, SEEK_FROM_START))
      return fail(APIERR_FILE_IO);
  }

  if (have_ctrl) {
    std::string lines = CvtCtrlToKludge(ctrl.c_str());
    if (!write_all(fd, lines.data(), lines.size())) return fail(APIERR_SHORT_WRITE);
  }
  if (append && !seek(0, SEEK_FROM_END)) return fail(APIERR_FILE_IO);
  if (text) {
    if (!write_all(fd, text, textlen)) return fail(APIERR_SHORT_WRITE);
    // The stored text always ends with a NUL.
    if (textlen == 0 || text[textlen - 1] != 0) {
      static constexpr byte nul = 0;
      if (!write_all(fd, &nul, 1)) return fail(APIERR_SHORT_WRITE);
    }
  }
  return 0;
}

}  // namespace

// A handle that creates a message publishes it once its first write has
// stored everything; a write that fails publishes nothing.
sword SdmWriteMsg(HMSG msgh, word append, const XMSG* msg, const byte* text,
                  dword textlen, dword, dword clen, const byte* ctxt) {
  if (InvalidMsgh(msgh)) return -1;
  return guard_alloc<sword>(-1, [&]() -> sword {
    SdmMsg* m = &sdm_msg(msgh);
    if (m->lost) return fail(APIERR_FILE_IO, "an earlier write of this message failed");
    sword r = WriteParts(m, append, msg, text, textlen, clen, ctxt);
    if (r == 0 && !m->temp.empty()) r = Publish(m);
    if (r != 0) {
      if (!m->temp.empty()) m->lost = true;
      m->DropTemp();
      return r;
    }
    msgapierr = APIERR_OK;
    return 0;
  });
}

void SdmMsg::DropTemp() {
  if (temp.empty()) return;
  remove_file(temp.c_str());
  temp.clear();
}

bool IsSdmTempName(const char* name) {
  auto digits = [](const char*& p) {
    const char* start = p;
    while (*p >= '0' && *p <= '9') ++p;
    return p != start;
  };
  constexpr std::size_t plen = sizeof sd_tmp_prefix - 1;
  if (std::strncmp(name, sd_tmp_prefix, plen) != 0) return false;
  const char* p = name + plen;
  if (!digits(p) || *p++ != '-' || !digits(p)) return false;
  return std::strcmp(p, sd_tmp_suffix) == 0;
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

void Convert_Xmsg_To_Fmsg(const XMSG* msg, OMSG* fmsg) {
  std::memset(fmsg, 0, sizeof *fmsg);
  CopyField(fmsg->from, msg->from, sizeof msg->from);
  CopyField(fmsg->to, msg->to, sizeof msg->to);
  CopyField(fmsg->subj, msg->subj, sizeof msg->subj);
  fmsg->orig_net = msg->orig.net;
  fmsg->orig_node = msg->orig.node;
  fmsg->dest_net = msg->dest.net;
  fmsg->dest_node = msg->dest.node;

  if (msg->__ftsc_date[0]) {
    CopyField(fmsg->date, msg->__ftsc_date, FTSC_DATE_LEN);
  } else {
    const auto& d = msg->date_written.msg_st;
    Ftsc_Date(reinterpret_cast<char*>(fmsg->date), d.date.da ? d.date.da : 1u, d.date.mo,
              d.date.yr + 80u, d.time.hh, d.time.mm, d.time.ss * 2u);
  }

  fmsg->date_written = msg->date_written;
  fmsg->date_arrived = msg->date_arrived;
  fmsg->reply_to = word(msg->replyto);
  fmsg->next_reply = word(msg->replies[0]);
  fmsg->attr = word(msg->attr);
  if (msg->orig.point) {
    fmsg->times_read = msg->orig.point;
    fmsg->cost = word(~msg->orig.point);
  }
}

// ---------------------------------------------------------------------------
// Zone and point lines

bool WriteToFd(int fd, const char* str) { return write_all(fd, str, std::strlen(str)); }

word WriteZPInfo(const XMSG* msg, const LineWriter& wfunc, const char* kludges) {
  if (!kludges) kludges = "";
  char line[64];
  word total = 0;
  auto emit = [&](int len) {
    wfunc(line);
    total = word(total + len);
  };
  if ((msg->dest.zone != mi.def_zone || msg->orig.zone != mi.def_zone) &&
      !std::strstr(kludges, "\x01" "INTL"))
    emit(std::snprintf(line, sizeof line, "\x01" "INTL %hu:%hu/%hu %hu:%hu/%hu\r",
                       msg->dest.zone, msg->dest.net, msg->dest.node, msg->orig.zone,
                       msg->orig.net, msg->orig.node));
  if (msg->orig.point && !std::strstr(kludges, "\x01" "FMPT"))
    emit(std::snprintf(line, sizeof line, "\x01" "FMPT %hu\r", msg->orig.point));
  if (msg->dest.point && !std::strstr(kludges, "\x01" "TOPT"))
    emit(std::snprintf(line, sizeof line, "\x01" "TOPT %hu\r", msg->dest.point));
  return total;
}
