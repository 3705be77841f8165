// Squish areas: open, create, validate, close, the base header merge and the
// area lock.
#include "api_sq.h"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "sq_int.h"

namespace {

constexpr _apifuncs sq_funcs = MSGAPI_TABLE(Squish);

std::string file_name(const char* base, const char* ext) { return std::string(base) + ext; }

bool same_name(const byte* a, const byte* b) {
  for (int i = 0; i < SQ_BASE_NAME_SIZE; ++i) {
    if (std::tolower(a[i]) != std::tolower(b[i])) return false;
    if (a[i] == 0) return true;
  }
  return true;
}

SQBASE new_base() {
  SQBASE b{};
  b.base_size = SQBASE_SIZE;
  b.next_uid = 1;
  b.end_of_file = SQBASE_SIZE;
  b.frame_hdr_size = SQHDR_SIZE;
  return b;
}

bool read_header(SquishAreaData& d, SQBASE& base) {
  if (seek_file(d.sfd.get(), 0, SEEK_FROM_START) == 0 && read_sqbase(d.sfd.get(), &base)) return true;
  msgapierr = APIERR_FILE_IO;
  note_reason("not a Squish base: short data file");
  return false;
}

// An early return of _OpenSquish for a file that would not open: `path`
// null for the data file.
bool file_failed(const char* path, int err) {
  note_errno(path ? path_tail(path) : nullptr, err);
  return false;
}

// Opens both files and settles whether the area is new. Every open that may
// create or empty the area decides under the record lock, and writes the new
// base header before letting go, so that programs posting into a missing
// area at the same moment all end up in one area with all their messages:
// an empty data file is one that nobody has set up yet, whoever created it.
// When the lock cannot be had, its holder may be setting the area up right
// now: the open fails (APIERR_FILE_IO) and nothing is created or written.
// An area with both files and a header needs no setting up, and is opened
// without the lock, as for reading.
// A missing index beside a data file that has a header makes the area new
// with AOPEN_CREATE_IF_MISSING: the old frames become dead space past
// end_of_file. A base either of whose files we may not write is opened
// read-only as it stands, never created or emptied.
// On success `mode` is AOPEN_CREATE when the area is new and `base` holds
// its header. On failure the reason is noted: the data file's own failures
// in plain words ("no such file or directory"), the index file's with its
// name in front.
bool _OpenSquish(SquishAreaData& d, word& mode, SQBASE& base) {
  const char* name = reinterpret_cast<const char*>(d.base.base_name);
  const std::string sqd = file_name(name, ".sqd");
  const std::string sqi = file_name(name, ".sqi");
  msgapierr = APIERR_NOT_FOUND;  // what every early return below means
  bool sqd_ro = false, sqi_ro = false;
  if (!open_existing(d.sfd, sqd.c_str(), sqd_ro, &d.write_refused)) {
    if (mode == AOPEN_EXISTING) return file_failed(nullptr, errno);
    // Created exclusively: when another process creates it at the same
    // moment, its file is the one we open.
    if (!create_or_open(d.sfd, sqd.c_str())) return file_failed(nullptr, errno);
  }
  d.data_ahead.keep_mapped(sqd);
  const bool have_sqi = open_existing(d.ifd, sqi.c_str(), sqi_ro, &d.write_refused);
  const int sqi_err = errno;
  if (sqd_ro || sqi_ro) {
    if (!have_sqi) return file_failed(sqi.c_str(), sqi_err);
    if (mode == AOPEN_CREATE) {
      note_not_writable(d.write_refused);
      return false;
    }
    d.read_only = true;
    mode = AOPEN_EXISTING;
    return read_header(d, base);
  }
  if (mode == AOPEN_EXISTING)
    return have_sqi ? read_header(d, base) : file_failed(sqi.c_str(), sqi_err);
  if (mode != AOPEN_CREATE && have_sqi && file_length(d.sfd.get()) > 0) return read_header(d, base);

  if (!_SquishLock(d, true)) {
    msgapierr = APIERR_FILE_IO;
    return false;
  }
  bool fresh = mode == AOPEN_CREATE || file_length(d.sfd.get()) == 0;
  if (!d.ifd && !d.ifd.open(sqi.c_str(), OF_READWRITE)) {
    fresh = true;
    if (!d.ifd.open(sqi.c_str(), OF_READWRITE | OF_CREATE)) {
      file_failed(sqi.c_str(), errno);
      _SquishUnlock(d);
      return false;
    }
  }
  bool ok = true;
  if (fresh) {
    mode = AOPEN_CREATE;
    base = new_base();
    std::memcpy(base.base_name, d.base.base_name, sizeof base.base_name);
    ok = truncate_file(d.sfd.get(), 0) == 0 && truncate_file(d.ifd.get(), 0) == 0 &&
         write_sqbase(d.sfd.get(), &base);
    if (!ok) msgapierr = APIERR_FILE_IO;
  } else {
    ok = read_header(d, base);
  }
  _SquishUnlock(d);
  return ok;
}

}  // namespace

SQHDR Init_Hdr() {
  SQHDR h{};
  h.id = SQHDRID;
  return h;
}

void SqbaseToSq(SquishAreaData& d, const SQBASE& b) {
  d.ha.num_msg = b.num_msg;
  d.ha.high_msg = b.high_msg;
  d.ha.high_water = b.high_water;
  d.base = b;
  d.base.num_msg = d.base.high_msg = d.base.high_water = 0;  // kept in the handle
  d.base.base_name[sizeof d.base.base_name - 1] = '\0';
  // A limit that exempts all but one message would delete the newest one on
  // every write: take it as no limit.
  if (d.base.max_msgs && d.base.skip_msgs >= d.base.max_msgs - 1)
    d.base.max_msgs = d.base.skip_msgs = 0;
}

void SqToSqbase(const SquishAreaData& d, SQBASE* b) {
  *b = d.base;
  b->num_msg = d.ha.num_msg;
  b->high_msg = d.ha.high_msg;
  b->high_water = d.ha.high_water;
  // The reserved fields are written as zeros, whatever the file held.
  b->reserved1 = 0;
  std::memset(b->reserved2, 0, sizeof b->reserved2);
}

bool _SquishWriteSq(SquishAreaData& d) {
  SQBASE b;
  SqToSqbase(d, &b);
  if (seek_file(d.sfd.get(), 0, SEEK_FROM_START) != 0 || !write_sqbase(d.sfd.get(), &b)) return false;
  d.saved_base = b;
  return true;
}

namespace {

// Applies to `merged` (the header on disk) what we changed since `saved`:
// message counts by difference, so that other processes' additions and
// deletions survive; everything else by last writer.
void merge_into(SQBASE& merged, const SQBASE& mine, const SQBASE& saved) {
  if (!same_name(saved.base_name, mine.base_name))
    std::memcpy(merged.base_name, mine.base_name, sizeof merged.base_name);
  merged.num_msg += mine.num_msg - saved.num_msg;
  merged.high_msg += mine.high_msg - saved.high_msg;
  auto take = [](dword& m, dword mine_v, dword saved_v) {
    if (mine_v != saved_v) m = mine_v;
  };
  take(merged.max_msgs, mine.max_msgs, saved.max_msgs);
  if (mine.retention != saved.retention) merged.retention = mine.retention;
  take(merged.skip_msgs, mine.skip_msgs, saved.skip_msgs);
  take(merged.high_water, mine.high_water, saved.high_water);
  take(merged.next_uid, mine.next_uid, saved.next_uid);
  take(merged.first_frame, mine.first_frame, saved.first_frame);
  take(merged.last_frame, mine.last_frame, saved.last_frame);
  take(merged.free_first, mine.free_first, saved.free_first);
  take(merged.free_last, mine.free_last, saved.free_last);
  take(merged.end_of_file, mine.end_of_file, saved.end_of_file);
}

bool has_changes(const SQBASE& mine, const SQBASE& saved) {
  SQBASE merged = saved;
  merge_into(merged, mine, saved);
  return std::memcmp(&merged, &saved, sizeof merged) != 0;
}

bool same_header(const SQBASE& a, const SQBASE& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;  // no padding: checked below
}
static_assert(sizeof(SQBASE) == SQBASE_SIZE, "SQBASE has no padding bytes");

}  // namespace

bool _SquishUpdateSq(SquishAreaData& d, bool force) {
  if (d.ha.locked && !force) return true;
  SQBASE mine;
  SqToSqbase(d, &mine);
  // Outside a locked change there is nothing to learn that anyone would use,
  // so an unchanged header is not even read; a changed one is merged under
  // the record lock, or a concurrent writer's header could be overwritten by
  // one read before it.
  const bool changed = has_changes(mine, d.saved_base);
  if (!d.rec_locked && !changed) return true;
  if (d.read_only && changed) {
    note_not_writable(d.write_refused);
    return false;
  }
  SqWriteLock guard(d);
  if (!guard.ok()) return false;

  SQBASE disk;
  if (seek_file(d.sfd.get(), 0, SEEK_FROM_START) != 0 || !read_sqbase(d.sfd.get(), &disk)) {
    note_reason("cannot read the base header");
    return false;
  }
  SQBASE merged = disk;  // base_size and frame_hdr_size always stay as on disk
  merge_into(merged, mine, d.saved_base);
  SqbaseToSq(d, merged);

  SQBASE out;
  SqToSqbase(d, &out);
  if (!same_header(out, disk) &&
      (seek_file(d.sfd.get(), 0, SEEK_FROM_START) != 0 || !write_sqbase(d.sfd.get(), &out)))
    return false;
  d.saved_base = out;
  return true;
}

bool _SquishReloadSq(SquishAreaData& d) {
  SQBASE disk;
  if (seek_file(d.sfd.get(), 0, SEEK_FROM_START) != 0 || !read_sqbase(d.sfd.get(), &disk)) return false;
  SqbaseToSq(d, disk);
  d.saved_base = disk;
  return true;
}

bool _SquishLock(SquishAreaData& d, bool wait) {
  if (!TakeAreaLock(d.sfd.get(), wait ? LockWait::kWait : LockWait::kNoWait)) return false;
  d.rec_locked = true;
  return true;
}

void _SquishUnlock(SquishAreaData& d) {
  if (d.rec_locked) ReleaseAreaLock(d.sfd.get());
  d.rec_locked = false;
}

SqWriteLock::SqWriteLock(SquishAreaData& d)
    : d_(d), lock_(d.sfd.get(), LockWait::kWait, d.rec_locked) {
  if (lock_.taken()) d.rec_locked = true;
}

SqWriteLock::~SqWriteLock() {
  if (!lock_.taken()) return;
  lock_.release();
  d_.rec_locked = false;
}

SqChange::SqChange(SquishAreaData& d, bool refresh) : d_(d), lock_(d) {
  ok_ = lock_.ok() && !(refresh && lock_.fresh() && !_SquishUpdateSq(d, false));
}

bool SqChange::commit() { return _SquishUpdateSq(d_, false); }

bool _SquishStoreNow(SquishAreaData& d) {
  if (d.ha.locked && d.have_idx && _SquishFlushIndex(d) != 0) return false;
  return _SquishUpdateSq(d, true);
}

void SqChange::rollback() {
  if (!d_.ha.locked) _SquishReloadSq(d_);
}

HAREA SquishOpenArea(const char* name, word mode, word type) {
  return guard_alloc<HAREA>(nullptr, [&]() -> HAREA {
    // The name is kept in an 80-byte field of the base header.
    if (name == nullptr || std::strlen(name) >= SQ_BASE_NAME_SIZE) {
      note_reason("area path too long");
      return fail_null<HAREA>(APIERR_NOT_FOUND);
    }
    auto d = std::make_unique<SquishAreaData>();
    d->ha.id = AREA_HANDLE_ID;
    d->ha.len = sizeof(MSGA);
    d->ha.isecho = (type & AT_ECHO) ? 1 : 0;
    d->ha.apidata = d.get();
    std::memcpy(d->base.base_name, name, std::strlen(name));
    SQBASE b;
    if (!_OpenSquish(*d, mode, b)) return fail_null<HAREA>(msgapierr);
    d->saved_base = b;
    // Memory takes the name we were opened by; the disk copy learns it at the
    // next merge. A read-only area keeps the name on disk: it has nothing to
    // merge.
    if (!d->read_only) {
      std::memset(b.base_name, 0, sizeof b.base_name);
      std::memcpy(b.base_name, name, std::strlen(name));
    }
    SqbaseToSq(*d, b);
    _SquishPositionBeforeFirst(*d);

    d->ha.type = AT_SQUISH;
    d->ha.sz_xmsg = XMSG_SIZE;
    d->funcs = sq_funcs;
    d->ha.api = &d->funcs;
    return &d.release()->ha;
  });
}

sword SquishValidate(const char* name) {
  if (name == nullptr) return 0;
  return fexist(file_name(name, ".sqd").c_str()) && fexist(file_name(name, ".sqi").c_str()) ? 1 : 0;
}

sword SquishCloseArea(HAREA ha) {
  if (InvalidMh(ha)) return -1;
  SquishAreaData& d = sq_area(ha);
  sword r = ha->locked ? SquishUnlock(ha) : 0;
  // Our header changes go out now. When they cannot (the lock is held
  // elsewhere, a read-only area, a failed write), the area still closes,
  // but the caller learns that they were not stored.
  if (!_SquishUpdateSq(d, true)) r = -1;
  if (d.open_msgs) return fail(APIERR_MSGS_OPEN, "messages still open");
  ha->id = 0;
  d.data_ahead.drop();
  kept_area_closed();
  delete &d;
  return r == 0 ? 0 : fail(APIERR_FILE_IO);
}

sword SquishLock(HAREA ha) {
  if (InvalidMh(ha)) return -1;
  if (ha->locked) return 0;
  SquishAreaData& d = sq_area(ha);
  if (!_SquishLock(d, false)) {
    report_failure_keeping_code();
    return -1;
  }
  // Other processes may have written since we last saw the header; a batch
  // of changes built on a stale one would overwrite theirs.
  if (!_SquishUpdateSq(d, false)) {
    _SquishUnlock(d);
    return fail(APIERR_FILE_IO);
  }
  // Only the index records from the message count on are taken in: a batch
  // of writes appends there, and whatever needs more brings it in then.
  if (_SquishReadIndexFrom(d, ha->num_msg) != 0) {
    _SquishUnlock(d);
    return -1;
  }
  ha->locked = 1;
  return 0;
}

sword SquishUnlock(HAREA ha) {
  if (InvalidMh(ha) || !ha->locked) return -1;
  SquishAreaData& d = sq_area(ha);
  ha->locked = 0;
  sword r = d.have_idx ? _SquishWriteIndex(d) : 0;
  // The header goes out while we still hold the lock: a later, unlocked
  // write would race with the next writer.
  if (!_SquishUpdateSq(d, false)) r = fail(APIERR_FILE_IO);
  _SquishUnlock(d);
  return sword(r);
}

void SquishSetMaxMsg(HAREA ha, dword max_msgs, dword skip_msgs, dword retention) {
  constexpr dword KEEP = 0xFFFFFFFFu;  // leaves the value as it is
  SquishAreaData& d = sq_area(ha);
  if (max_msgs != KEEP) d.base.max_msgs = max_msgs;
  if (skip_msgs != KEEP) d.base.skip_msgs = skip_msgs;
  if (retention != KEEP) d.base.retention = word(retention);
}
