// *.MSG messages: creating and writing them. A new message is written whole
// into a temporary file of the directory and then given its number in one
// step (sdm_int.h says why).
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "apiutil.h"
#include "ctrlinfo.h"
#include "fidotext.h"
#include "sdm_int.h"

namespace {

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
    dword n = SdmNextNumber(a);
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
    if (!a->ha.locked && _SdmRescanArea(a) != 0) return -1;
    // A file still being written is too short for the scan to count; step
    // past it all the same.
    a->ha.high_msg = std::max(a->ha.high_msg, n);
  }
  return fail(APIERR_FILE_IO, "other programs kept taking every free message number");
}

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

dword SdmNextNumber(const SdmArea* a) {
  dword n = a->ha.high_msg + 1;
  return a->ha.isecho && n == 1 ? 2 : n;  // message 1 holds the high-water mark
}

bool SdmStartNew(SdmArea* a, SdmMsg* m, dword n) {
  // Numbers are 16-bit; a larger one would name a file that a scan files
  // under another number.
  if ((n == 0 ? SdmNextNumber(a) : n) > SDM_MAX_MSGN) {
    note_reason(SDM_NUMBERS_USED_UP);
    report_failure(APIERR_NOT_FOUND);
    return false;
  }
  ClearStaleTemps(a);
  if (!CreateTemp(a, m)) {
    note_errno(nullptr, errno);
    report_failure(APIERR_FILE_IO);
    return false;
  }
  m->publish_as = n;
  m->text_bytes = 0;
  return true;
}

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

// ---------------------------------------------------------------------------
// Header conversion

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
