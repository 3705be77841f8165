// *.MSG areas: open, scan, close, numbering, the high-water mark, removal.
#include "api_sdm.h"

#include <algorithm>
#include <bitset>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "api_sdm_int.h"
#include "apiutil.h"
#include "compiler.h"
#include "dates.h"
#include "fexist.h"
#include "ffind.h"
#include "locking.h"
#include "trail.h"

namespace {

constexpr _apifuncs sdm_funcs = {
    SdmCloseArea,     // 1
    SdmOpenMsg,       // 2
    SdmCloseMsg,      // 3
    SdmReadMsg,       // 4
    SdmWriteMsg,      // 5
    SdmKillMsg,       // 6
    SdmLock,          // 7
    SdmUnlock,        // 8
    SdmSetCurPos,     // 9
    SdmGetCurPos,     // 10
    SdmMsgnToUid,     // 11
    SdmUidToMsgn,     // 12
    SdmGetHighWater,  // 13
    SdmSetHighWater,  // 14
    SdmGetTextLen,    // 15
    SdmGetCtrlLen,    // 16
};

// Size that this format reports in the handle's sz_xmsg.
constexpr word SDM_SZ_XMSG = 248;

constexpr char sd_msg[] = "%s%u.msg";

// The area lock is a byte of this file in the directory, zandrel's own: no
// tosser or editor takes it for a message, as it does not end in ".msg" in
// any case, and no message file is ever locked. It is created when missing
// and left in place.
constexpr char sd_lock[] = "zandrel.lck";
// Numbers past the highest looked at for messages stored by others: the
// probe ends at this many free numbers in a row.
constexpr dword SDM_LOCK_PROBE = 8;

// Message 1 of an echo area records the high-water mark in its reply field.
// Other mail programs recognise it by this sender name; the bytes around the
// word are 0xA0, not spaces.
constexpr char hwm_from[] = "-=|\xa0RarevoRari\xa0|=-";
constexpr char hwm_subj[] = "High wadda' mark";
constexpr dword HWM_ATTR = MSGPRIVATE | MSGREAD | MSGSENT | MSGLOCAL;

// 27 carriage returns separate the notice from the signature.
#define CR9 "\r\r\r\r\r\r\r\r\r"
constexpr char msgbody[] =
    "NOECHO\r\rPlease ignore.  This message is only used by the RarevoRari "
    "system to store\rthe high water mark for each conference area." CR9 CR9
    CR9 "(Qwarl was here!)\r\r\r";
#undef CR9
static_assert(sizeof msgbody == 177, "the body is 176 characters and a NUL");

// The number at the start of a file name, as the C library's atoi reads it
// (leading white space, an optional sign, digits), reduced to 16 bits.
// Overflow wraps instead of being undefined.
word NameNumber(const char* s) {
  while (*s == ' ' || (*s >= '\t' && *s <= '\r')) ++s;
  bool neg = false;
  if (*s == '+' || *s == '-') neg = *s++ == '-';
  dword v = 0;
  for (; *s >= '0' && *s <= '9'; ++s) v = v * 10 + dword(*s - '0');
  return word(neg ? 0u - v : v);
}

// Whether `name` ends in ".msg", exactly so.
bool EndsWithMsg(const char* name) {
  std::size_t len = std::strlen(name);
  if (len < 4) return false;
  const char* ext = name + len - 4;
  // Where the host ignores the case of names, so does the listing.
  if (HOST_NAMES_IGNORE_CASE)
    return ext[0] == '.' && (ext[1] | 0x20) == 'm' && (ext[2] | 0x20) == 's' && (ext[3] | 0x20) == 'g';
  return std::memcmp(ext, ".msg", 4) == 0;
}

// Whether `name` is exactly "<n>.msg", the name this format gives message n.
bool IsPlainName(const char* name, word n) {
  char plain[16];
  std::snprintf(plain, sizeof plain, "%u.msg", unsigned(n));
  return std::strcmp(name, plain) == 0;
}

std::vector<sdword>::iterator Find(SdmArea* a, dword n) {
  auto it = std::lower_bound(a->numbers.begin(), a->numbers.end(), sdword(n));
  return it != a->numbers.end() && dword(*it) == n ? it : a->numbers.end();
}

// Writes message 1 with the current mark; false, with msgapierr set, when
// it could not be stored. The old message 1 then stays as it was.
bool WriteHighWaterMsg(SdmArea* a) {
  HMSG msg = SdmOpenMsg(a, MO_CREATE, 1);
  if (!msg) return false;
  XMSG x;
  Init_Xmsg(&x);
  std::memcpy(x.from, hwm_from, sizeof hwm_from);
  std::memcpy(x.to, hwm_from, sizeof hwm_from);
  std::memcpy(x.subj, hwm_subj, sizeof hwm_subj);
  Get_Dos_Date(&x.date_written);
  x.date_arrived = x.date_written;
  sc_time(&x.date_written, reinterpret_cast<char*>(x.__ftsc_date));
  x.orig.zone = x.dest.zone = mi.def_zone;
  x.replyto = a->high_water;
  x.attr = HWM_ATTR;
  sword r = SdmWriteMsg(msg, 0, &x, reinterpret_cast<const byte*>(msgbody), sizeof msgbody,
                        sizeof msgbody, 0, nullptr);
  KeepError keep;  // the write's failure, not the close's success
  SdmCloseMsg(msg);
  return r == 0;
}

}  // namespace

std::string SdmArea::MsgPath(dword n) const {
  std::string path(dir.size() + 16, '\0');
  int len = std::snprintf(path.data(), path.size(), sd_msg, dir.c_str(), unsigned(n));
  path.resize(std::size_t(len));
  return path;
}

std::string SdmArea::ListedPath(dword n) const {
  auto it = n <= 0xFFFF ? other_names.find(word(n)) : other_names.end();
  return it == other_names.end() ? MsgPath(n) : dir + it->second;
}

bool SdmArea::HasHeader(dword n) {
  if (n > 0xFFFF || !unchecked.test(n)) return true;
  unchecked.reset(n);
  return fsize(ListedPath(n).c_str()) >= sdword(OMSG_SIZE);
}

void SdmArea::Drop(dword n) {
  auto it = Find(this, n);
  if (it != numbers.end()) numbers.erase(it);
  num_msg = dword(numbers.size());
}

HAREA SdmOpenArea(const char* name, word mode, word type) {
  return guard_alloc<HAREA>(nullptr, [&]() -> HAREA {
    auto a = std::make_unique<SdmArea>();
    a->id = AREA_HANDLE_ID;
    a->isecho = (type & AT_ECHO) ? 1 : 0;

    std::string dir(name);
    dir.append(2, '\0');  // room for the delimiter and its terminator
    Add_Trailing(dir.data(), PATH_DELIM);
    dir.resize(std::strlen(dir.c_str()));
    a->dir = std::move(dir);

    a->len = sizeof(_msgapi);
    a->high_water = SDM_UNSET;

    // Another process creating the same area at this moment wins the
    // mkdir; its directory serves us just as well.
    errno = 0;
    if (!direxist(name)) {
      int why = errno ? errno : ENOTDIR;  // no errno: something that is no directory
      bool made = false;
      if (mode != AOPEN_EXISTING) {
        made = make_dir(name) == 0;
        if (!made) {
          why = errno == EEXIST ? ENOTDIR : errno;
          made = direxist(name);
        }
      }
      if (!made) {
        note_errno(nullptr, why);
        return fail_null<HAREA>(APIERR_NOT_FOUND);
      }
    }
    if (!_SdmRescanArea(a.get())) return nullptr;

    a->funcs = sdm_funcs;
    a->api = &a->funcs;
    a->apidata = a.get();
    a->sz_xmsg = SDM_SZ_XMSG;
    msgapierr = APIERR_OK;
    return a.release();
  });
}

sword SdmValidate(const char* name) {
  msgapierr = APIERR_OK;
  return direxist(name) ? 1 : 0;
}

namespace {

// Sorts message numbers, which are 16-bit, by their low byte and then by
// their high byte. A directory lists its files in no useful order, and a
// comparison sort of tens of thousands of numbers took longer than
// everything else a command does with the listing.
void SortNumbers(std::vector<sdword>& v) {
  std::vector<sdword> tmp(v.size());
  for (int shift = 0; shift < 16; shift += 8) {
    std::size_t start[257] = {};
    for (sdword n : v) ++start[((dword(n) >> shift) & 0xFF) + 1];
    for (int i = 0; i < 256; ++i) start[i + 1] += start[i];
    for (sdword n : v) tmp[start[(dword(n) >> shift) & 0xFF]++] = n;
    v.swap(tmp);
  }
}

// Reads the directory into the number table, sorted, and notes the names of
// our temporary files; regular files' sizes are left to be checked on use.
// False, with errno set, when the directory cannot be listed.
bool ListDirectory(SdmArea* a) {
  a->numbers.clear();
  a->numbers.reserve(256);
  a->unchecked.reset();
  a->other_names.clear();
  a->temp_names.clear();
  std::bitset<0x10000> plain_name;  // numbers listed as "<n>.msg"
  // Every entry, so that one listing also finds our temporary files; the
  // message files are those that end in ".msg".
  std::string spec = a->dir + "*";
  FFIND* ff = FFindOpenNoSize(spec.c_str(), 0);
  if (!ff && errno != 0) return false;
  if (ff) {
    // Closes the search even when the table cannot grow.
    std::unique_ptr<FFIND, void (*)(FFIND*)> guard(ff, FFindClose);
    do {
      if (!EndsWithMsg(ff->name)) {
        if (IsSdmTempName(ff->name)) a->temp_names.emplace_back(ff->name);
        continue;
      }
      bool known = ff->size != -1;
      if (known && ff->size < sdword(OMSG_SIZE)) continue;  // not even a header
      word n = NameNumber(ff->name);
      if (n == 0) continue;
      a->numbers.push_back(n);
      if (!known) a->unchecked.set(n);
      if (IsPlainName(ff->name, n)) {
        plain_name.set(n);
        a->other_names.erase(n);
      } else if (!plain_name.test(n)) {
        a->other_names.emplace(n, ff->name);  // the first such name serves
      }
    } while (FFindNext(ff) == 0);
  }
  SortNumbers(a->numbers);
  return true;
}

}  // namespace

int _SdmRescanArea(SdmArea* a) {
  return guard_alloc(0, [&] {
    a->num_msg = 0;
    // A directory we may not list is no empty area.
    if (!ListDirectory(a)) {
      const int why = errno;
      note_errno("cannot list the directory", why);
      report_failure(why == ENOMEM ? APIERR_NO_MEMORY : APIERR_FILE_IO);
      return 0;
    }
    // The highest number is what STAT reports: it must be a real message.
    while (!a->numbers.empty() && !a->HasHeader(dword(a->numbers.back())))
      a->numbers.pop_back();
    if (!a->numbers.empty() && dword(a->numbers.back()) > a->high_msg)
      a->high_msg = dword(a->numbers.back());
    a->num_msg = dword(a->numbers.size());
    return 1;
  });
}

// With messages open the area stays open (APIERR_MSGS_OPEN) and a later
// close writes a changed mark again. Otherwise the area is closed, and a
// mark that could not be stored is reported as APIERR_FILE_IO all the same:
// the handle is gone either way, as a stream is after a failed fclose.
sword SdmCloseArea(HAREA mh) {
  if (InvalidMh(mh)) return -1;
  SdmArea* a = Area(mh);
  bool mark_lost = a->mark_changed && !WriteHighWaterMsg(a);
  if (a->open_count) return fail(APIERR_MSGS_OPEN, "messages still open");
  a->id = 0;
  delete a;
  if (mark_lost) return fail(APIERR_FILE_IO);
  msgapierr = APIERR_OK;
  return 0;
}

sword SdmLock(HAREA mh) {
  if (InvalidMh(mh)) return -1;
  if (mh->locked) {
    msgapierr = APIERR_OK;
    return 0;
  }
  SdmArea* a = Area(mh);
  return guard_alloc<sword>(-1, [&]() -> sword {
    // Fails at once when another holder has it, as the other formats' Lock.
    UniqueFd fd;
    if (!fd.open((a->dir + sd_lock).c_str(), OF_READWRITE | OF_CREATE)) {
      note_errno(sd_lock, errno);
      return fail(APIERR_FILE_IO);
    }
    if (lock(fd.get(), 0, 1) != 0) return fail(APIERR_FILE_IO, MSGERR_LOCKED);
    // Messages that earlier holders stored while this handle was open follow
    // the highest number one after another (a few may be gone again); the
    // table takes them in, so the locked area shows everything stored before
    // the lock was had.
    dword n = std::max(a->high_msg + 1, a->isecho ? 2u : 1u);  // 1: the high-water mark
    for (dword missing = 0; n <= 0xFFFF && missing < SDM_LOCK_PROBE; ++n) {
      if (fsize(a->MsgPath(n).c_str()) < sdword(OMSG_SIZE)) {
        ++missing;
        continue;
      }
      a->numbers.push_back(sdword(n));
      a->high_msg = n;
      missing = 0;
    }
    a->num_msg = dword(a->numbers.size());
    a->lock_file = std::move(fd);
    a->locked = 1;
    msgapierr = APIERR_OK;
    return 0;
  });
}

sword SdmUnlock(HAREA mh) {
  if (InvalidMh(mh)) return -1;
  Area(mh)->lock_file.reset();  // closing drops the lock
  mh->locked = 0;
  msgapierr = APIERR_OK;
  return 0;
}

UMSGID SdmMsgnToUid(HAREA mh, dword msgnum) {
  if (InvalidMh(mh)) return 0xFFFFFFFFu;
  msgapierr = APIERR_OK;
  return msgnum;
}

dword SdmUidToMsgn(HAREA mh, UMSGID umsgid, word type) {
  if (InvalidMh(mh)) return 0xFFFFFFFFu;
  SdmArea* a = Area(mh);
  const auto& t = a->numbers;
  sdword u = sdword(umsgid & 0xFFFF);
  return guard_alloc<dword>(0, [&]() -> dword {
    for (;;) {  // each round either answers or drops an entry
      auto it = std::lower_bound(t.begin(), t.end(), u);  // first entry >= u
      dword n = 0;
      if (it != t.end() && *it == u)
        n = dword(u);
      else if (type == UIDSEEK_NEXT && it != t.end())
        n = dword(*it);
      else if (type == UIDSEEK_PREVIOUS && it != t.begin())
        n = dword(*(it - 1));
      if (n == 0) break;
      if (a->HasHeader(n)) {
        msgapierr = APIERR_OK;
        return n;
      }
      a->Drop(n);
    }
    msgapierr = APIERR_NOT_FOUND;
    return 0;
  });
}

dword SdmGetHighWater(HAREA mh) {
  if (InvalidMh(mh)) return 0xFFFFFFFFu;
  if (mh->high_water != SDM_UNSET) return mh->high_water;
  HMSG msg = SdmOpenMsg(mh, MO_READ, 1);
  if (!msg) return 0;
  XMSG x;
  if (SdmReadMsg(msg, &x, 0, 0, nullptr, 0, nullptr) != 0xFFFFFFFFu &&
      std::memcmp(x.from, hwm_from, sizeof hwm_from) == 0)
    mh->high_water = x.replyto;
  else
    mh->high_water = 0;
  SdmCloseMsg(msg);
  return mh->high_water;
}

sword SdmSetHighWater(HAREA mh, dword hwm) {
  if (InvalidMh(mh)) return -1;
  if (hwm != mh->high_water) Area(mh)->mark_changed = true;
  mh->high_water = hwm;
  msgapierr = APIERR_OK;
  return 0;
}

sword SdmKillMsg(HAREA mh, dword msgnum) {
  if (InvalidMh(mh)) return -1;
  SdmArea* a = Area(mh);
  auto it = Find(a, msgnum);
  if (it == a->numbers.end()) return fail(APIERR_NOT_FOUND);
  std::string path;
  bool is_msg = false;
  if (!guard_alloc(false, [&] {
        is_msg = a->HasHeader(msgnum);
        path = a->ListedPath(msgnum);
        return true;
      }))
    return -1;
  if (!is_msg) {  // too short to be a message: not one of the table's
    a->Drop(msgnum);
    return fail(APIERR_NOT_FOUND);
  }
  // Table and directory stay in step: an undeletable file keeps its entry.
  if (remove_file(path.c_str()) != 0) return fail(APIERR_NOT_FOUND);
  a->numbers.erase(it);
  a->num_msg = dword(a->numbers.size());
  a->other_names.erase(word(msgnum));
  if (msgnum == a->high_msg)
    a->high_msg = a->numbers.empty() ? 0 : dword(a->numbers.back());

  dword hwm = SdmGetHighWater(mh);
  if (hwm != 0xFFFFFFFFu && hwm != 0 && hwm >= msgnum)
    SdmSetHighWater(mh, msgnum - 1);
  msgapierr = APIERR_OK;
  return 0;
}
