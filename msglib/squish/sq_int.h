// The Squish format: a base is "<base>.sqd" (base header and message frames)
// and "<base>.sqi" (index). Lives here: sq_area (open, close, validate, the
// base header merge and the record lock), sq_read (frames and reading),
// sq_write (writing and frame allocation), sq_num (the index, numbering,
// deletion and the high-water mark) and structrw_sq (the records on disk);
// api_sq.h is what callers reach directly. This header is the internals
// they share, not part of the message API.
//
// May use: the API core (msgapi.h, apiutil.h, arealock.h, FidoNet text) and
// the platform layer (platform.h); no other format.
//
// One SquishAreaData object is the whole of an open area: it holds the
// handle callers see, the area's copy of the operations table, both
// descriptors and the in-memory index, so deleting it releases everything.
//
// Sharing. Other programs may change the base between our operations. The
// record lock on byte 0 of the data file serialises changes: a writer holds
// it for one write, Lock for a whole batch. Every change starts by re-reading
// and merging the base header under that lock (_SquishUpdateSq), and the
// header is written back before the lock is released, so no process works
// from, or leaves behind, a stale header.
#ifndef ZANDREL_SQ_INT_H
#define ZANDREL_SQ_INT_H

#include <cstdint>
#include <memory>
#include <vector>

#include "api_sq.h"
#include "apiutil.h"
#include "arealock.h"
#include "msgapi.h"
#include "platform.h"
#include "readahead.h"
#include "structrw_sq.h"

struct SquishAreaData {
  MSGA ha{};
  _apifuncs funcs{};
  UniqueFd sfd;  // "<base>.sqd"
  UniqueFd ifd;  // "<base>.sqi"
  // The base header as memory has it. Its num_msg, high_msg and high_water
  // are not kept here but in `ha`, where callers read them (SqToSqbase puts
  // them back); base_name always ends in a NUL.
  SQBASE base{};
  // The header exactly as we last read it from, or wrote it to, the file:
  // the baseline against which the merge finds our own changes.
  SQBASE saved_base{};

  // Current position: frame of the current message and its neighbours;
  // cur_frame 0 is "before the first message".
  dword cur_frame = 0, cur_next = 0, cur_prev = 0;

  // In-memory copy of the index file, present while the area is locked (and
  // for the length of one deletion or one run of limit deletions). idx may
  // hold zeroed records past idx_count: a deletion keeps them so that the
  // write-back clears them on disk too. Records dirty_lo..dirty_hi-1 may
  // differ from the file.
  // The copy may start at record idx_first (idx[i] is record idx_first + i):
  // Lock takes in only the records from the message count on, which is all
  // that appending needs. The records before it are read from the file,
  // where nothing of ours is pending for them, until a change that needs
  // them in memory brings them in (_SquishLoadIndexFrom).
  bool have_idx = false;
  std::vector<SQIDX> idx;
  dword idx_first = 0;
  dword idx_count = 0;
  dword dirty_lo = 0, dirty_hi = 0;

  word open_msgs = 0;
  bool rec_locked = false;  // we hold the record lock (or sharing is off)
  // Opened for reading only, because writing was refused (another user's
  // base, a read-only mount): every change fails with APIERR_FILE_IO before
  // it touches a file.
  bool read_only = false;
  int write_refused = 0;  // why, as errno told when writing was refused

  // Reading ahead. It lives in this handle only, so nothing read here
  // outlasts the area's close. `write_gen` counts our own writes to either
  // file; whatever was read ahead under an older count is never used, so
  // this handle always sees its own changes. Changes made by other programs
  // (or other handles) in the meantime may go unseen until the block is
  // read again, as they could between any two of our reads anyway.
  dword write_gen = 0;
  std::vector<SQIDX> ahead;  // index records from position ahead_first on
  dword ahead_first = 0;
  dword ahead_gen = 0;
  // Frames read ahead while they are read one after another; used only
  // while write_gen still equals data_gen.
  ReadAhead data_ahead;
  dword data_gen = 0;
  // Data file length as last learned: frames are checked against it, and it
  // is learned again only when a frame seems to reach past it.
  std::int64_t sqd_len = -1;
};

// Every write of ours to the data or index file goes through here first.
inline void _SquishNoteWrite(SquishAreaData& d) { ++d.write_gen; }

struct SquishMsgHandle : MSGH {
  dword text_length = 0;  // 0 for a handle opened for creation
  dword ctrl_length = 0;
  dword msgnum = 0;      // as opened: a number or a relative token
  dword number = 0;      // an existing message's number when it was opened
  dword text_total = 0;  // text bytes declared by the first write
  SQHDR frame_hdr{};     // as read at open; unused for a created message
  dword frame_offset = 0;  // 0 until a created message's first write
  word mode = MO_CREATE;
  // The frame's first head_len bytes as read when it was opened (frame
  // header, message header, control information, text), taken in one read;
  // valid while the area's write_gen still equals head_gen. They are in
  // `head`, or, for a frame read in order, in the area's data_ahead block
  // at `view` while its fills() still equals view_fill.
  std::unique_ptr<byte[]> head;
  const byte* view = nullptr;
  std::uint64_t view_fill = 0;
  dword head_len = 0;
  dword head_gen = 0;
};

inline SquishAreaData& sq_area(HAREA ha) { return area_object<SquishAreaData>(ha); }
inline SquishMsgHandle& sq_msg(HMSG msgh) { return msg_object<SquishMsgHandle>(msgh); }

// A header with the frame id and everything else zero.
SQHDR Init_Hdr();

// --- base header and record lock (sq_area.cpp)
void SqbaseToSq(SquishAreaData& d, const SQBASE& b);
void SqToSqbase(const SquishAreaData& d, SQBASE* b);
// Writes the header from memory as it stands; false when that fails.
bool _SquishWriteSq(SquishAreaData& d);
// Merges our changes since saved_base into the header on disk, takes the
// result into memory and writes it. Deferred (true at once) while the area
// is locked, unless forced. False when the header cannot be read, written or
// locked for the merge (msgapierr untouched).
bool _SquishUpdateSq(SquishAreaData& d, bool force);
// Takes the header on disk into memory as it stands, dropping whatever of
// ours it does not hold: after a change failed part-way, memory must not
// describe writes that never happened, or a later merge would store them.
bool _SquishReloadSq(SquishAreaData& d);
// Stores the header now, in a locked area too, and there the index records
// that it holds back before it: for a step of a change that the steps after
// it must not reach the disk ahead of. Everything a locked area holds back
// comes from changes that succeeded whole, so the files then agree with
// each other. False when a write fails.
bool _SquishStoreNow(SquishAreaData& d);
// The area lock on byte 0 of the data file: true once held, false when it
// cannot be had (the reason noted).
bool _SquishLock(SquishAreaData& d, bool wait);
void _SquishUnlock(SquishAreaData& d);

// The area lock for one step of a change, waiting for it unless the area
// already holds it (the caller's Lock, or the change this step is part of).
class SqWriteLock {
 public:
  explicit SqWriteLock(SquishAreaData& d);
  ~SqWriteLock();
  SqWriteLock(const SqWriteLock&) = delete;
  SqWriteLock& operator=(const SqWriteLock&) = delete;
  bool ok() const { return lock_.ok(); }
  // True when this object took the lock, so the header was not refreshed
  // under it yet.
  bool fresh() const { return lock_.taken(); }

 private:
  SquishAreaData& d_;
  AreaLock lock_;
};

// One change to the base: a message written or deleted. It holds the area
// lock for its length; with `refresh`, a change that took the lock takes in
// the header on disk first, so that it decides nothing from a stale one
// (a change inside a locked area, or inside another change, finds the header
// fresh already). Its header is stored by commit, once the change is done
// (the free-chain steps store it on the way as well, so that a writer
// killed between them leaves a free chain others can follow); a change that
// failed part-way calls rollback instead. In a locked area commit leaves the
// header to Unlock, but the free-chain steps still store it on the way
// (_SquishStoreNow), and a deletion stores the index and the header that no
// longer count its message before the frame turns free.
class SqChange {
 public:
  SqChange(SquishAreaData& d, bool refresh);
  SqChange(const SqChange&) = delete;
  SqChange& operator=(const SqChange&) = delete;
  // The lock is held; without it the change must not write anything.
  bool locked() const { return lock_.ok(); }
  // The lock is held and the header refreshed as asked; false with the
  // reason noted.
  bool ok() const { return ok_; }
  // Stores the header the change left in memory (in a locked area, at
  // Unlock); false when that fails.
  bool commit();
  // Memory goes back to the header on disk, as a writer killed at this
  // point would leave it, unless the area is locked: a locked area's memory
  // holds only changes that succeeded, and its header is stored at Unlock.
  void rollback();

 private:
  SquishAreaData& d_;
  SqWriteLock lock_;
  bool ok_;
};

// --- index, numbering and deletion (sq_num.cpp)
sword _SquishReadIndex(SquishAreaData& d);
// Takes in the records from `from` on (all of them from 0) as the in-memory
// index; 0 or -1.
sword _SquishReadIndexFrom(SquishAreaData& d, dword from);
// Brings the records from `pos` on into the in-memory index that the area
// holds; 0 or -1.
sword _SquishLoadIndexFrom(SquishAreaData& d, dword pos);
// Writes the records that memory changed, keeping the index in memory; 0 or
// -1.
sword _SquishFlushIndex(SquishAreaData& d);
// Writes them and lets the in-memory index go; 0 or -1.
sword _SquishWriteIndex(SquishAreaData& d);
void _SquishDropIndex(SquishAreaData& d);
sword _SquishGetIdxFrame(SquishAreaData& d, dword pos, SQIDX* out);
// The frame offset of the record at `pos` when it is already at hand (read
// ahead or in memory), else 0. Only a hint: nothing relies on it.
dword _SquishPeekIdxFrame(const SquishAreaData& d, dword pos);
sword AddIndex(SquishAreaData& d, const SQIDX& rec, dword pos);
// Whether a record can be stored at `pos` without leaving a gap before it.
bool _SquishIndexReaches(SquishAreaData& d, dword pos);
// The reason given when it cannot.
constexpr const char SQ_INDEX_SHORT[] = "damaged base: more messages counted than indexed";
// The hash of a fixed-width name field: stops at its NUL or its end.
dword SquishHashField(const byte* name, std::size_t size);
// The hash stored in the index for a message header.
dword SquishIndexHash(const XMSG& msg);

// --- frames and reading (sq_read.cpp)
sword _SquishReadHeader(SquishAreaData& d, dword frame, SQHDR* hdr);
sword _SquishWriteHeader(SquishAreaData& d, dword frame, SQHDR* hdr);
// Fetches message `msgnum`'s index record and frame header; optionally makes
// it the current message. 0 or -1.
sword _SquishGotoMsg(SquishAreaData& d, dword msgnum, dword* frame_out, SQIDX* rec_out,
                     SQHDR* hdr_out, bool set_current);
void _SquishPositionBeforeFirst(SquishAreaData& d);

// --- writing (sq_write.cpp)
sword Add_To_Free_Chain(SquishAreaData& d, dword frame, SQHDR hdr);
sword _SquishUpdateHeaderNext(SquishAreaData& d, dword frame, dword value);
sword _SquishUpdateHeaderPrev(SquishAreaData& d, dword frame, dword value);

// --- the table's operations: open in api_sq.h; close, Lock and Unlock in
// sq_area.cpp; opening, reading and positions in sq_read.cpp; writing in
// sq_write.cpp; deletion, numbering and the high-water mark in sq_num.cpp.
MSGAPI_OPERATIONS(Squish);

#endif
