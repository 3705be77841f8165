// JAM areas: opening, closing, locking, and the active-message table that
// turns message numbers into index records.
#include "api_jam.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "arealock.h"
#include "jam_int.h"

namespace {

constexpr _apifuncs jm_funcs = MSGAPI_TABLE(Jam);

constexpr const char* SUFFIX_JHR = ".jhr";
constexpr const char* SUFFIX_JDT = ".jdt";
constexpr const char* SUFFIX_JDX = ".jdx";
constexpr const char* SUFFIX_JLR = ".jlr";

JamHdrInfo initial_hdrinfo() {
  JamHdrInfo h;
  std::memset(&h, 0, sizeof h);
  std::memcpy(h.Signature, "JAM", 4);
  h.DateCreated = jam_local_now();
  h.ModCounter = 1;
  h.PasswordCRC = 0xFFFFFFFFu;
  h.BaseMsgNum = 1;
  return h;
}

// Notes why one of the base's files would not open: the header file's
// reason in plain words ("no such file or directory"), the others' with the
// file's name in front.
void note_file(const JamBase* b, const char* suffix, int err) {
  const std::string path = b->name + suffix;
  note_errno(suffix == SUFFIX_JHR ? nullptr : path_tail(path.c_str()), err);
}

// Opens the four files; 0, or the errno of the first of the header, text
// and index files that would not open, whose reason is then noted.
int open_all(JamBase* b, unsigned flags) {
  int err = 0;
  for (auto [fd, suffix] : {std::pair{&b->jhr, SUFFIX_JHR}, std::pair{&b->jdt, SUFFIX_JDT},
                            std::pair{&b->jdx, SUFFIX_JDX}}) {
    if (fd->open((b->name + suffix).c_str(), flags) || err) continue;
    err = errno;
    note_file(b, suffix, err);
  }
  b->jlr.open((b->name + SUFFIX_JLR).c_str(), flags);  // never tested
  return err;
}

void close_all(JamBase* b) {
  b->jhr.reset();
  b->jdt.reset();
  b->jdx.reset();
  b->jlr.reset();
}

bool core_open(const JamBase* b) { return b->jhr && b->jdt && b->jdx; }

// How one of the other three files is opened once the header file is
// settled: as it is; for a new base, made when missing but never taken over
// when it holds data (a new base doesn't wipe what another left); or, for
// an explicit re-creation, whatever is there.
enum class Part { kExisting, kNew, kAny };

// 0, or why the file could not be had: an errno value, EEXIST for a file
// with data that a new base must not take over.
int open_part(UniqueFd& fd, const std::string& path, Part how) {
  if (fd.open(path.c_str(), OF_READWRITE)) {
    if (how != Part::kNew || file_length(fd.get()) == 0) return 0;
    fd.reset();
    return EEXIST;
  }
  if (how == Part::kExisting) return errno;
  return fd.open(path.c_str(), OF_READWRITE | OF_CREATE) ? 0 : errno;
}

// Opens the text, index and last-read files as open_part does; false, with
// the reason noted, when the first or second would not open.
bool open_parts(JamBase* b, Part how, int* err) {
  const int jdt = open_part(b->jdt, b->name + SUFFIX_JDT, how);
  const int jdx = open_part(b->jdx, b->name + SUFFIX_JDX, how);
  open_part(b->jlr, b->name + SUFFIX_JLR, how);  // never tested
  if (jdt) note_file(b, SUFFIX_JDT, *err = jdt);
  else if (jdx) note_file(b, SUFFIX_JDX, *err = jdx);
  return !jdt && !jdx;
}

// Whether writing one of the base's files is refused, as opposed to a file
// that is missing or was made only a moment ago by a program setting the
// base up.
bool write_refused(const JamBase* b) {
  for (const char* suffix : {SUFFIX_JHR, SUFFIX_JDT, SUFFIX_JDX}) {
    UniqueFd fd;
    bool read_only = false;
    if (open_existing(fd, (b->name + suffix).c_str(), read_only) && read_only) return true;
  }
  return false;
}

// Opens the base as it stands for reading only, when writing is refused
// (another user's base, a read-only mount); `refused` is why.
bool open_read_only(JamBase* b, int refused) {
  close_all(b);
  if (!write_refused(b)) return false;
  open_all(b, OF_READ);
  if (core_open(b)) {
    b->read_only = true;
    b->write_refused = refused;
    return true;
  }
  close_all(b);
  return false;
}

// Opens the four files; *mode becomes AOPEN_CREATE when a new base was made.
// False (msgapierr APIERR_NOT_FOUND) when the base can be neither opened nor
// created.
//
// A base is made under the lock on its header file, and the header info is
// written before the lock goes, so that programs posting into a missing
// area at the same moment all end up in one base with all their messages.
// The header file is created exclusively; an empty one is a base that nobody
// has set up yet, whoever created it. When the lock cannot be had, its
// holder may be setting the base up right now: nothing is created or
// written, and the open fails. A base whose header file holds its header
// info needs no setting up and is opened without the lock. A base with only
// some of its files is not repaired; one that we may read but not write is
// opened read-only, never created or emptied.
bool Jam_OpenFile(JamBase* b, word* mode) {
  msgapierr = APIERR_NOT_FOUND;  // what every failure below means
  int refused = 0;  // why read/write was refused
  if (*mode == AOPEN_EXISTING) {
    refused = open_all(b, OF_READWRITE);
    return core_open(b) || open_read_only(b, refused);
  }
  const std::string jhr = b->name + SUFFIX_JHR;
  if (!b->jhr.open(jhr.c_str(), OF_READWRITE) && !create_or_open(b->jhr, jhr.c_str())) {
    refused = errno;
    if (*mode != AOPEN_CREATE && open_read_only(b, refused)) return true;
    // Missing and not to be created: say why it could not be created.
    if (*mode == AOPEN_CREATE || !fexist(jhr.c_str())) note_file(b, SUFFIX_JHR, refused);
    return false;
  }
  if (*mode != AOPEN_CREATE && file_length(b->jhr.get()) > 0)
    return open_parts(b, Part::kExisting, &refused) || open_read_only(b, refused);

  AreaLock lock(b->jhr.get(), LockWait::kWait);
  if (!lock.ok()) {
    close_all(b);
    return false;
  }
  const bool fresh = *mode == AOPEN_CREATE || file_length(b->jhr.get()) == 0;
  const Part how = *mode == AOPEN_CREATE ? Part::kAny : fresh ? Part::kNew : Part::kExisting;
  bool ok = open_parts(b, how, &refused);
  if (ok && fresh) {
    *mode = AOPEN_CREATE;
    b->hinfo = initial_hdrinfo();
    for (UniqueFd* fd : {&b->jhr, &b->jdt, &b->jdx, &b->jlr})
      if (*fd && truncate_file(fd->get(), 0) != 0) ok = false;
    ok = ok && seek_file(b->jhr.get(), 0, SEEK_FROM_START) == 0 &&
         write_hdrinfo(b->jhr.get(), b->hinfo);
  }
  lock.release();
  if (!ok) close_all(b);
  return ok;
}

bool Jam_OpenBase(JamBase* b, word* mode, const char* name) {
  b->name = name;
  b->txt_ahead.keep_mapped(b->name + SUFFIX_JDT);
  b->hdr_view.attach(b->name + SUFFIX_JHR);
  if (!Jam_OpenFile(b, mode)) return false;
  // A header file too short for its header info is not a base we can use.
  if (seek_file(b->jhr.get(), 0, SEEK_FROM_START) != 0 || !read_hdrinfo(b->jhr.get(), &b->hinfo)) {
    close_all(b);
    note_reason("not a JAM base: short header file");
    return false;
  }
  return true;
}

dword Jam_HighMsg(JamBase* b) {
  std::int64_t len = file_length(b->jdx.get());
  return len > 0 ? dword(len / IDX_SIZE) : 0;
}

// Whether the table still matches the base whose header info is `disk`.
bool in_sync(JamBase* b, const JamHdrInfo& disk) {
  return b->synced && disk.ModCounter == b->sync_mod &&
         file_length(b->jdx.get()) == b->scan.jdx_len &&
         file_length(b->jhr.get()) == b->scan.jhr_len;
}

bool read_disk_hdrinfo(JamBase* b, JamHdrInfo* out) {
  return seek_file(b->jhr.get(), 0, SEEK_FROM_START) == 0 && read_hdrinfo(b->jhr.get(), out);
}

}  // namespace

sword JamCloseArea(HAREA ha) {
  if (InvalidMh(ha)) return -1;
  JamBase* b = &jam_area(ha);
  if (b->open_msgs) return fail(APIERR_MSGS_OPEN);
  // The header info is stored on every close, under the lock. After a
  // change (a message stored or deleted, a new high-water mark) the close
  // waits for the lock, and when it cannot be had, or the write fails, the
  // area still closes but the caller learns that it was not stored. After
  // reading only, there is nothing of ours to store but the close itself
  // (ModCounter, a recount of ActiveMsgs): that is done when the lock is
  // free at once and skipped while another program holds it, so a reader
  // never waits on a tosser's lock. A read-only area stores nothing.
  sword rc = 0;
  AreaLock lock;
  if (!b->read_only) {
    lock = AreaLock(b->jhr.get(), b->changed ? LockWait::kWait : LockWait::kNoWait, ha->locked);
    if (lock.ok()) {
      // Other processes change the header info too: merge rather than write
      // back a copy that may be stale.
      JamHdrInfo h;
      if (read_disk_hdrinfo(b, &h)) {
        if (in_sync(b, h)) h.ActiveMsgs = b->num_active();
      } else {
        h = b->hinfo;
      }
      h.HighWater = ha->high_water;
      h.ModCounter++;
      if (!Jam_WriteHdrInfo(b, h)) rc = fail(APIERR_FILE_IO);
    } else if (b->changed) {
      rc = fail(APIERR_FILE_IO);
    }
  }
  lock.release();
  if (ha->locked) JamUnlock(ha);
  b->drop_ahead();
  kept_area_closed();
  ha->id = 0;
  delete b;  // the handle with it; closing the descriptors drops any lock they hold
  return rc;
}

HAREA JamOpenArea(const char* name, word mode, word type) {
  return guard_alloc<HAREA>(nullptr, [&]() -> HAREA {
    auto b = std::make_unique<JamBase>();
    MSGA& ha = b->ha;
    ha.id = AREA_HANDLE_ID;
    ha.isecho = (type & AT_LOCAL) ? 3 : (type & AT_ECHO) ? 1 : 0;
    ha.len = word(sizeof(MSGA));
    if (!Jam_OpenBase(b.get(), &mode, name)) return fail_null<HAREA>(APIERR_FILE_IO);
    b->sync_mod = b->hinfo.ModCounter;  // read before the table is built
    b->synced = Jam_ActiveMsgs(b.get());
    ha.high_water = b->hinfo.HighWater;
    ha.high_msg = Jam_HighMsg(b.get());
    ha.num_msg = b->num_active();
    ha.type = AT_JAM;
    ha.sz_xmsg = JAM_SZ_XMSG;
    b->funcs = jm_funcs;
    ha.api = &b->funcs;
    ha.apidata = b.get();
    msgapierr = APIERR_OK;
    return &b.release()->ha;
  });
}

sword JamValidate(const char* name) {
  const std::string base = name;
  return fexist((base + SUFFIX_JHR).c_str()) && fexist((base + SUFFIX_JDT).c_str()) &&
                 fexist((base + SUFFIX_JDX).c_str())
             ? 1
             : 0;
}

sword JamDeleteBase(const char* name) {
  const std::string base = name;
  int failed = 0;
  for (const char* suffix : {SUFFIX_JHR, SUFFIX_JDT, SUFFIX_JDX, SUFFIX_JLR})
    if (remove_file((base + suffix).c_str()) != 0) ++failed;
  return failed ? 0 : 1;
}

// ---------------------------------------------------------------------------
// Locking: the area lock, one byte at offset 0 of ".jhr"

bool Jam_Lock(HAREA ha, int wait) {
  return TakeAreaLock(jam_area(ha).jhr.get(), wait ? LockWait::kWait : LockWait::kNoWait);
}

void Jam_Unlock(HAREA ha) { ReleaseAreaLock(jam_area(ha).jhr.get()); }

sword JamLock(HAREA ha) {
  if (InvalidMh(ha)) return -1;
  if (ha->locked) return 0;
  if (!Jam_Lock(ha, 0)) {
    report_failure_keeping_code();
    return -1;
  }
  ha->locked = 1;
  // What other programs stored or deleted since the area was opened is taken
  // in now, so that the locked handle numbers every message there is until
  // it lets go. Unchanged since then, the base costs one read to check.
  JamBase* b = &jam_area(ha);
  JamHdrInfo disk;
  if (Jam_SyncLocked(b, &disk)) {
    ha->num_msg = b->num_active();
    ha->high_msg = Jam_HighMsg(b);
  }
  return 0;
}

sword JamUnlock(HAREA ha) {
  if (InvalidMh(ha) || !ha->locked) return -1;
  ha->locked = 0;
  Jam_Unlock(ha);
  return 0;
}

// ---------------------------------------------------------------------------
// Header info and the active-message table

bool Jam_WriteHdrInfo(JamBase* b, const JamHdrInfo& h) {
  b->drop_ahead();
  b->hinfo = h;
  return seek_file(b->jhr.get(), 0, SEEK_FROM_START) == 0 && write_hdrinfo(b->jhr.get(), h);
}

bool Jam_ActiveMsgs(JamBase* b) {
  b->drop_ahead();
  const std::string jhr_path = b->name + SUFFIX_JHR;
  if (!read_allidx(b->jdx.get(), b->jhr.get(), &b->scan, jhr_path.c_str())) return false;
  b->hinfo.ActiveMsgs = b->num_active();
  b->jhr_size = b->scan.jhr_len;
  return true;
}

bool Jam_ReadIdx(JamBase* b, dword idx_pos, JamIdx* out) {
  // Records per read: overviews open hundreds of messages in index order.
  constexpr std::size_t IDX_AHEAD = 512;
  if (idx_pos < b->ahead_pos || idx_pos - b->ahead_pos + IDX_SIZE > b->ahead.size()) {
    // Walking back from the block read last (POST looking for the newest
    // messages of a sender), the block that ends at `idx_pos`.
    const bool back = !b->ahead.empty() && idx_pos + IDX_SIZE == b->ahead_pos;
    const dword first =
        back ? idx_pos - std::min<dword>(idx_pos, (IDX_AHEAD - 1) * IDX_SIZE) : idx_pos;
    b->ahead.resize(IDX_AHEAD * IDX_SIZE);
    std::int64_t got = read_at(b->jdx.get(), b->ahead.data(), b->ahead.size(), first);
    if (got < std::int64_t(idx_pos - first + IDX_SIZE)) {
      b->ahead.clear();
      return false;
    }
    b->ahead.resize(std::size_t(got) / IDX_SIZE * IDX_SIZE);
    b->ahead_pos = first;
  }
  decode_idx(b->ahead.data() + (idx_pos - b->ahead_pos), out);
  return true;
}

const uint8_t* Jam_HeaderBytes(JamBase* b, dword msgn, std::uint64_t pos, std::size_t want,
                               std::int64_t* got) {
  // Bytes per read: the headers of a few hundred messages.
  constexpr std::uint64_t HDR_AHEAD = 64 * 1024;
  if (const uint8_t* kept = b->hdr_view.bytes(b->jhr.get(), pos, want)) {
    *got = std::int64_t(want);
    return kept;
  }
  auto& blk = b->hdr_ahead;
  if (blk.empty() || pos < b->hdr_ahead_pos || pos - b->hdr_ahead_pos + want > blk.size()) {
    // Through the headers of the following messages, as far as they come
    // one after another.
    const auto& t = b->scan.table;
    std::uint64_t end = pos + want;
    if (msgn >= 1 && msgn <= t.size() && t[msgn - 1].hdr_ofs == pos) {
      for (std::size_t j = msgn; j < t.size() && t[j].hdr_ofs > t[j - 1].hdr_ofs &&
                                 t[j].hdr_ofs - pos <= HDR_AHEAD;
           ++j)
        end = std::max<std::uint64_t>(end, t[j].hdr_ofs);
    }
    if (end - pos == want) {
      b->hdr_buf.resize(want);
      *got = read_at(b->jhr.get(), b->hdr_buf.data(), want, std::int64_t(pos));
      return *got < 0 ? nullptr : b->hdr_buf.data();
    }
    blk.resize(std::size_t(end - pos));
    std::int64_t n = read_at(b->jhr.get(), blk.data(), blk.size(), std::int64_t(pos));
    if (n < 0) {
      blk.clear();
      *got = -1;
      return nullptr;
    }
    blk.resize(std::size_t(n));
    b->hdr_ahead_pos = pos;
  }
  const std::uint64_t rel = pos - b->hdr_ahead_pos;
  *got = std::int64_t(std::min<std::uint64_t>(want, blk.size() - rel));
  return blk.data() + rel;
}

bool Jam_SyncLocked(JamBase* b, JamHdrInfo* disk) {
  if (!read_disk_hdrinfo(b, disk)) return false;
  if (!in_sync(b, *disk)) {
    b->synced = Jam_ActiveMsgs(b);
    b->sync_mod = disk->ModCounter;
  }
  b->hinfo = *disk;
  b->hinfo.ActiveMsgs = b->num_active();
  return true;
}

namespace {

std::vector<JamActive>::iterator find_entry(JamBase* b, dword idx_pos) {
  auto& t = b->scan.table;
  return std::lower_bound(t.begin(), t.end(), idx_pos,
                          [](const JamActive& e, dword pos) { return e.idx_pos < pos; });
}

}  // namespace

void Jam_TableSet(JamBase* b, dword idx_pos, dword hdr_ofs) {
  auto it = find_entry(b, idx_pos);
  if (it != b->scan.table.end() && it->idx_pos == idx_pos)
    it->hdr_ofs = hdr_ofs;
  else
    b->scan.table.insert(it, {idx_pos, hdr_ofs});
}

void Jam_TableErase(JamBase* b, dword idx_pos) {
  auto it = find_entry(b, idx_pos);
  if (it != b->scan.table.end() && it->idx_pos == idx_pos) b->scan.table.erase(it);
}

void Jam_TableDropHeader(JamBase* b, dword hdr_ofs) {
  auto& t = b->scan.table;
  t.erase(std::remove_if(t.begin(), t.end(), [&](const JamActive& e) { return e.hdr_ofs == hdr_ofs; }),
          t.end());
}

void Jam_TableCommit(JamBase* b, dword new_mod) {
  b->sync_mod = new_mod;
  b->scan.jdx_len = file_length(b->jdx.get());
  b->scan.jhr_len = file_length(b->jhr.get());
  b->jhr_size = b->scan.jhr_len;
  // An index record whose header lay past the end of ".jhr" turns live when
  // the file grows over it; only a fresh scan can say.
  if (b->scan.unreadable_end <= std::uint64_t(b->scan.jhr_len)) b->synced = Jam_ActiveMsgs(b);
}

bool Jam_HeaderFits(JamBase* b, std::uint64_t ofs, std::uint64_t extra) {
  // Offsets below the header info would make it read as a message header.
  if (ofs < HDRINFO_SIZE) return false;
  const std::uint64_t end = ofs + HDR_SIZE + extra;
  if (end <= std::uint64_t(b->jhr_size)) return true;
  b->jhr_size = std::max<std::int64_t>(file_length(b->jhr.get()), 0);  // it may have grown
  return end <= std::uint64_t(b->jhr_size);
}

bool Jam_TextFits(JamBase* b, std::uint64_t ofs, std::uint64_t len) {
  const std::uint64_t end = ofs + len;
  if (end <= std::uint64_t(b->jdt_size)) return true;
  b->jdt_size = std::max<std::int64_t>(file_length(b->jdt.get()), 0);
  return end <= std::uint64_t(b->jdt_size);
}
