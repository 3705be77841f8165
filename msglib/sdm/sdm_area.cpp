// *.MSG areas: open, scan, close, validate and the area lock.
#include "api_sdm.h"

#include <algorithm>
#include <bitset>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "apiutil.h"
#include "arealock.h"
#include "compiler.h"
#include "sdm_int.h"
#include "trail.h"

namespace {

constexpr _apifuncs sdm_funcs = MSGAPI_TABLE(Sdm);

constexpr char sd_msg[] = "%s%u.msg";

// The area lock is a byte of this file in the directory, zandrel's own: no
// tosser or editor takes it for a message, as it does not end in ".msg" in
// any case, and no message file is ever locked. It is created when missing
// and left in place.
constexpr char sd_lock[] = "zandrel.lck";
// Numbers past the highest looked at for messages stored by others: the
// probe ends at this many free numbers in a row.
constexpr dword SDM_LOCK_PROBE = 8;

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
  auto it = Find(n);
  if (it != numbers.end()) numbers.erase(it);
  ha.num_msg = dword(numbers.size());
}

std::vector<sdword>::iterator SdmArea::Find(dword n) {
  auto it = std::lower_bound(numbers.begin(), numbers.end(), sdword(n));
  return it != numbers.end() && dword(*it) == n ? it : numbers.end();
}

HAREA SdmOpenArea(const char* name, word mode, word type) {
  return guard_alloc<HAREA>(nullptr, [&]() -> HAREA {
    auto a = std::make_unique<SdmArea>();
    a->ha.id = AREA_HANDLE_ID;
    a->ha.isecho = (type & AT_ECHO) ? 1 : 0;

    std::string dir(name);
    dir.append(2, '\0');  // room for the delimiter and its terminator
    Add_Trailing(dir.data(), PATH_DELIM);
    dir.resize(std::strlen(dir.c_str()));
    a->dir = std::move(dir);

    a->ha.len = sizeof(MSGA);
    a->ha.high_water = SDM_UNSET;

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
    if (_SdmRescanArea(a.get()) != 0) return nullptr;

    a->funcs = sdm_funcs;
    a->ha.api = &a->funcs;
    a->ha.apidata = a.get();
    a->ha.sz_xmsg = API_XMSG_SIZE;
    msgapierr = APIERR_OK;
    return &a.release()->ha;
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

sword _SdmRescanArea(SdmArea* a) {
  return guard_alloc<sword>(-1, [&]() -> sword {
    a->ha.num_msg = 0;
    // A directory we may not list is no empty area.
    if (!ListDirectory(a)) {
      const int why = errno;
      note_errno("cannot list the directory", why);
      return fail(why == ENOMEM ? APIERR_NO_MEMORY : APIERR_FILE_IO);
    }
    // The highest number is what STAT reports: it must be a real message.
    while (!a->numbers.empty() && !a->HasHeader(dword(a->numbers.back())))
      a->numbers.pop_back();
    if (!a->numbers.empty() && dword(a->numbers.back()) > a->ha.high_msg)
      a->ha.high_msg = dword(a->numbers.back());
    a->ha.num_msg = dword(a->numbers.size());
    return 0;
  });
}

// With messages open the area stays open (APIERR_MSGS_OPEN) and a later
// close writes a changed mark again. Otherwise the area is closed, and a
// mark that could not be stored is reported as APIERR_FILE_IO all the same:
// the handle is gone either way, as a stream is after a failed fclose.
sword SdmCloseArea(HAREA mh) {
  if (InvalidMh(mh)) return -1;
  SdmArea* a = &sdm_area(mh);
  bool mark_lost = a->mark_changed && !SdmWriteHighWater(a);
  if (a->open_count) return fail(APIERR_MSGS_OPEN, "messages still open");
  a->ha.id = 0;
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
  SdmArea* a = &sdm_area(mh);
  return guard_alloc<sword>(-1, [&]() -> sword {
    // Fails at once when another holder has it, as the other formats' Lock.
    UniqueFd fd;
    if (!fd.open((a->dir + sd_lock).c_str(), OF_READWRITE | OF_CREATE)) {
      note_errno(sd_lock, errno);
      return fail(APIERR_FILE_IO);
    }
    if (!TakeAreaLock(fd.get(), LockWait::kNoWait)) return fail(APIERR_FILE_IO);
    // Messages that earlier holders stored while this handle was open follow
    // the highest number one after another (a few may be gone again); the
    // table takes them in, so the locked area shows everything stored before
    // the lock was had.
    dword n = std::max(a->ha.high_msg + 1, a->ha.isecho ? 2u : 1u);  // 1: the high-water mark
    for (dword missing = 0; n <= SDM_MAX_MSGN && missing < SDM_LOCK_PROBE; ++n) {
      if (fsize(a->MsgPath(n).c_str()) < sdword(OMSG_SIZE)) {
        ++missing;
        continue;
      }
      a->numbers.push_back(sdword(n));
      a->ha.high_msg = n;
      missing = 0;
    }
    a->ha.num_msg = dword(a->numbers.size());
    a->lock_file = std::move(fd);
    a->ha.locked = 1;
    msgapierr = APIERR_OK;
    return 0;
  });
}

sword SdmUnlock(HAREA mh) {
  if (InvalidMh(mh)) return -1;
  sdm_area(mh).lock_file.reset();  // closing drops the lock
  mh->locked = 0;
  msgapierr = APIERR_OK;
  return 0;
}

