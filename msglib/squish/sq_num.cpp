// Squish numbering: the index (the in-memory copy kept while an area is
// locked, single record access, the name hash), numbering by UMSGID, the
// high-water mark, and deletion.
#include <algorithm>
#include <new>

#include "apiutil.h"
#include "compiler.h"
#include "sq_int.h"

void _SquishDropIndex(SquishAreaData& d) {
  d.have_idx = false;
  std::vector<SQIDX>().swap(d.idx);
  d.idx_first = d.idx_count = d.dirty_lo = d.dirty_hi = 0;
}

namespace {

// Records `from`..`to`-1 of the file, into a vector with room for `spare`
// more; 0 or -1.
sword read_records(SquishAreaData& d, dword from, dword to, std::size_t spare,
                   std::vector<SQIDX>& out) {
  try {
    out.reserve(std::size_t(to - from) + spare);
    out.resize(to - from);
  } catch (const std::bad_alloc&) {
    return fail(APIERR_NO_MEMORY);
  }
  if (to > from && (seek_file(d.ifd.get(), std::int64_t(from) * SQIDX_SIZE, SEEK_FROM_START) < 0 ||
                    !read_sqidx(d.ifd.get(), out.data(), to - from)))
    return fail(APIERR_FILE_IO);
  return 0;
}

}  // namespace

sword _SquishReadIndex(SquishAreaData& d) { return _SquishReadIndexFrom(d, 0); }

sword _SquishReadIndexFrom(SquishAreaData& d, dword from) {
  std::int64_t len = file_length(d.ifd.get());
  if (len < 0) return fail(APIERR_FILE_IO);
  // A partial record at the end of the file is ignored.
  std::uint64_t count = std::uint64_t(len) / SQIDX_SIZE;
  if (count > 0xFFFFFFFFu / SQIDX_SIZE) return fail(APIERR_FILE_IO);
  from = dword(std::min<std::uint64_t>(from, count));
  std::vector<SQIDX> idx;
  // Room for a few new records before growing.
  if (read_records(d, from, dword(count), 16, idx) != 0) return -1;
  d.idx = std::move(idx);
  d.have_idx = true;
  d.idx_first = from;
  d.idx_count = d.dirty_lo = d.dirty_hi = dword(count);
  return 0;
}

sword _SquishLoadIndexFrom(SquishAreaData& d, dword pos) {
  if (!d.have_idx) return -1;
  if (pos >= d.idx_first) return 0;
  std::vector<SQIDX> idx;
  if (read_records(d, pos, d.idx_first, d.idx.size() + 16, idx) != 0) return -1;
  idx.insert(idx.end(), d.idx.begin(), d.idx.end());  // within the room reserved
  d.idx = std::move(idx);
  d.idx_first = pos;
  return 0;
}

sword _SquishFlushIndex(SquishAreaData& d) {
  if (!d.have_idx) return -1;
  if (d.dirty_lo == d.dirty_hi) return 0;
  _SquishNoteWrite(d);
  // The file is never shortened: records freed by deletions are written
  // back as zeros.
  // Every dirty record is in memory: dirty_lo is never below idx_first.
  if (seek_file(d.ifd.get(), std::int64_t(d.dirty_lo) * SQIDX_SIZE, SEEK_FROM_START) < 0 ||
      !write_sqidx(d.ifd.get(), d.idx.data() + (d.dirty_lo - d.idx_first), d.dirty_hi - d.dirty_lo))
    return fail(APIERR_FILE_IO);
  d.dirty_lo = d.dirty_hi = d.idx_count;
  return 0;
}

sword _SquishWriteIndex(SquishAreaData& d) {
  const sword r = _SquishFlushIndex(d);
  _SquishDropIndex(d);
  return r;
}

namespace {

sword read_record(SquishAreaData& d, dword pos, SQIDX* out) {
  if (seek_file(d.ifd.get(), std::int64_t(pos) * SQIDX_SIZE, SEEK_FROM_START) < 0 ||
      !read_sqidx(d.ifd.get(), out, 1))
    return fail(APIERR_FILE_IO);
  return 0;
}

sword write_record(SquishAreaData& d, dword pos, const SQIDX& rec) {
  _SquishNoteWrite(d);
  if (seek_file(d.ifd.get(), std::int64_t(pos) * SQIDX_SIZE, SEEK_FROM_START) < 0 ||
      !write_sqidx(d.ifd.get(), &rec, 1))
    return fail(APIERR_FILE_IO);
  return 0;
}

// Records fetched per read when messages are opened by number. Overviews
// walk an area in order, so one read serves hundreds of messages; a single
// RETR pays for a few kilobytes more than it needs.
constexpr dword IDX_AHEAD = 512;

bool have_ahead(const SquishAreaData& d, dword pos) {
  return d.ahead_gen == d.write_gen && pos >= d.ahead_first &&
         pos - d.ahead_first < d.ahead.size();
}

// Reads the records from `pos` on, as many as the file holds up to
// IDX_AHEAD; walking back from the block read last (POST looking for the
// newest messages of a sender), the IDX_AHEAD records up to `pos` instead.
// False when not even the one at `pos` arrives whole.
bool read_ahead(SquishAreaData& d, dword pos) {
  uint8_t buf[IDX_AHEAD * SQIDX_SIZE];
  const bool back = !d.ahead.empty() && pos + 1 == d.ahead_first;
  const dword first = back ? pos - std::min(pos, IDX_AHEAD - 1) : pos;
  std::int64_t got = read_at(d.ifd.get(), buf, sizeof buf, std::int64_t(first) * SQIDX_SIZE);
  if (got < std::int64_t(pos - first + 1) * SQIDX_SIZE) return false;
  const std::size_t n = std::size_t(got) / SQIDX_SIZE;
  d.ahead.resize(n);
  for (std::size_t i = 0; i < n; ++i) decode_sqidx(buf + i * SQIDX_SIZE, &d.ahead[i]);
  d.ahead_first = first;
  d.ahead_gen = d.write_gen;
  return true;
}

// Whether record `pos` is to be taken from the in-memory index rather than
// the file.
bool in_memory(const SquishAreaData& d, dword pos) { return d.have_idx && pos >= d.idx_first; }

}  // namespace

sword _SquishGetIdxFrame(SquishAreaData& d, dword pos, SQIDX* out) {
  if (in_memory(d, pos)) {
    if (pos >= d.idx_count) return fail(APIERR_NOT_FOUND);
    *out = d.idx[pos - d.idx_first];
  } else {
    if (!have_ahead(d, pos) && !read_ahead(d, pos)) return fail(APIERR_FILE_IO);
    *out = d.ahead[pos - d.ahead_first];
  }
  return out->frame_offset == 0 ? -1 : 0;
}

dword _SquishPeekIdxFrame(const SquishAreaData& d, dword pos) {
  if (in_memory(d, pos)) return pos < d.idx_count ? d.idx[pos - d.idx_first].frame_offset : 0;
  return have_ahead(d, pos) ? d.ahead[pos - d.ahead_first].frame_offset : 0;
}

bool _SquishIndexReaches(SquishAreaData& d, dword pos) {
  if (d.have_idx) return pos <= d.idx_count;
  std::int64_t len = file_length(d.ifd.get());
  return len >= 0 && std::uint64_t(pos) * SQIDX_SIZE <= std::uint64_t(len);
}

sword AddIndex(SquishAreaData& d, const SQIDX& rec, dword pos) {
  // A header that counts more messages than the index holds is damaged; a
  // record stored at its num_msg would leave a hole of zero records (and
  // a sparse file of any size) in front of it.
  if (!d.have_idx && !_SquishIndexReaches(d, pos))
    return fail(APIERR_FILE_IO, SQ_INDEX_SHORT);
  if (!d.have_idx) return write_record(d, pos, rec);
  if (pos > d.idx_count) return -1;  // would leave a gap
  if (_SquishLoadIndexFrom(d, pos) != 0) return -1;
  const dword at = pos - d.idx_first;
  if (at >= d.idx.size()) {
    try {
      if (d.idx.size() == d.idx.capacity()) d.idx.reserve(d.idx.size() + 16);
      d.idx.push_back(SQIDX{});
    } catch (const std::bad_alloc&) {
      // No room to grow: flush what we have and carry on with the file.
      // The record lock stays with its holder.
      if (_SquishWriteIndex(d) != 0) return -1;
      return write_record(d, pos, rec);
    }
  }
  d.idx[at] = rec;
  d.idx_count = std::max(d.idx_count, pos + 1);
  d.dirty_hi = std::max(d.dirty_hi, pos + 1);
  d.dirty_lo = std::min(d.dirty_lo, pos);
  return 0;
}

dword SquishHashField(const byte* name, std::size_t size) {
  dword h = 0;
  for (std::size_t i = 0; i < size && name[i]; ++i) {
    // Bytes count as signed: 0x80..0xFF add b - 256.
    int c = static_cast<signed char>(name[i]);
    if (c >= 'A' && c <= 'Z') c += 'a' - 'A';
    h = (h << 4) + dword(c);
    // OR, not XOR: once set, the top bits stay set.
    if (dword g = h & 0xF0000000u) h |= g >> 24;
  }
  return h & 0x7FFFFFFFu;
}

dword SquishHash(const byte* name) { return SquishHashField(name, std::size_t(-1)); }

dword SquishIndexHash(const XMSG& msg) {
  dword h = SquishHashField(msg.to, sizeof msg.to);
  return (msg.attr & MSGREAD) ? h | 0x80000000u : h;
}

UMSGID SquishMsgnToUid(HAREA ha, dword msgnum) {
  if (InvalidMh(ha)) return READ_FAILED;
  SQIDX rec;
  if (msgnum == 0 || _SquishGetIdxFrame(sq_area(ha), msgnum - 1, &rec) != 0) return 0;
  return rec.umsgid;
}

dword SquishUidToMsgn(HAREA ha, UMSGID umsgid, word type) {
  if (InvalidMh(ha) || umsgid == 0) return 0;
  SquishAreaData& d = sq_area(ha);
  // Without the in-memory index the records are read one probe at a time:
  // a bisection touches a few records, not the whole file.
  dword records;
  if (d.have_idx) {
    records = d.idx_count;
  } else {
    std::int64_t len = file_length(d.ifd.get());
    if (len < 0) return 0;
    records = dword(std::min<std::uint64_t>(std::uint64_t(len) / SQIDX_SIZE, 0xFFFFFFFFu));
  }
  auto uid_at = [&](dword pos, UMSGID* out) {
    if (in_memory(d, pos)) {
      *out = d.idx[pos - d.idx_first].umsgid;
      return true;
    }
    SQIDX rec;
    if (read_record(d, pos, &rec) != 0) return false;
    *out = rec.umsgid;
    return true;
  };

  const dword total = std::min(ha->num_msg, records);
  dword lo = 0, n = total, p = 0;
  UMSGID u = 0;
  if (total == 0) return 0;
  while (n > 0) {
    p = lo + n / 2;
    if (!uid_at(p, &u)) return 0;
    if (u == umsgid) return p + 1;
    if (u > umsgid) {
      n = p - lo;
    } else {
      n -= p - lo + 1;
      lo = p + 1;
    }
  }
  // No exact match; p is the last record probed, u its UMSGID.
  UMSGID other;
  switch (type) {
    case UIDSEEK_NEXT:
      if (u >= umsgid) return p + 1;
      if (p + 1 < total && uid_at(p + 1, &other) && other >= umsgid) return p + 2;
      return 0;
    case UIDSEEK_PREVIOUS:
      if (u <= umsgid) return p + 1;
      if (p > 0 && uid_at(p - 1, &other) && other <= umsgid) return p;
      return 0;
    default:
      return 0;
  }
}

dword SquishGetHighWater(HAREA ha) {
  if (InvalidMh(ha)) return 0;
  return SquishUidToMsgn(ha, ha->high_water, UIDSEEK_PREVIOUS);
}

sword SquishSetHighWater(HAREA ha, dword msgnum) {
  if (InvalidMh(ha)) return -1;
  // The mark could never reach the disk.
  if (sq_area(ha).read_only) return fail_read_only(sq_area(ha).write_refused);
  SQIDX rec;
  if (msgnum != 0 && _SquishGetIdxFrame(sq_area(ha), msgnum - 1, &rec) == 0)
    ha->high_water = rec.umsgid;
  return 0;
}

// ---------------------------------------------------------------------------
// Deletion: unlink the frame, close the gap in the index (later messages
// move down one number) and store it with the counts, put the frame on the
// free chain, and fix up the current position.

namespace {

// A deletion that failed part-way: the index, when this call loaded it, and
// the header go back to what the files hold, as after a deleter killed at
// that point. A locked area keeps its memory: its header is written at
// unlock from changes that each succeeded.
sword kill_failed(SqChange& change, SquishAreaData& d, bool loaded) {
  if (loaded) _SquishDropIndex(d);
  change.rollback();
  return fail(APIERR_FILE_IO);
}

}  // namespace

sword SquishKillMsg(HAREA ha, dword msgnum) {
  if (InvalidMh(ha)) return -1;
  SquishAreaData& d = sq_area(ha);
  if (d.read_only) return fail_read_only(d.write_refused);
  // A deletion changes both chains and the header, so it needs the record
  // lock and a fresh header just like a write; inside a locked area or a
  // write (the message limit) both are already in place.
  SqChange change(d, true);
  if (!change.ok()) return fail(APIERR_FILE_IO);

  if (msgnum == 0 || msgnum > ha->num_msg) return fail(APIERR_FILE_IO);
  const dword pos = msgnum - 1;
  dword frame = d.base.first_frame;
  if (msgnum != 1) {
    SQIDX rec;
    if (_SquishGetIdxFrame(d, pos, &rec) != 0) return fail(APIERR_FILE_IO);
    frame = rec.frame_offset;
  }
  SQHDR h;
  // Freeing a frame that is already free would tie the free chain in a loop.
  if (frame == 0 || _SquishReadHeader(d, frame, &h) != 0 || h.frame_type != FRAME_NORMAL)
    return fail(APIERR_FILE_IO);

  bool loaded = false;
  if (!d.have_idx) {
    if (_SquishReadIndex(d) != 0) return -1;
    loaded = true;
  } else if (_SquishLoadIndexFrom(d, 0) != 0) {
    // A locked area takes in the whole index once, for this and the
    // deletions that may follow.
    return -1;
  }
  if (pos >= d.idx_count) {
    if (loaded) _SquishDropIndex(d);
    return fail(APIERR_FILE_IO);
  }

  // The link back goes first: a deleter killed between the two leaves the
  // forward chain, which readers follow from one message to the next, whole.
  if (_SquishUpdateHeaderPrev(d, h.next_frame, h.prev_frame) != 0 ||
      _SquishUpdateHeaderNext(d, h.prev_frame, h.next_frame) != 0)
    return kill_failed(change, d, loaded);
  if (d.base.first_frame == frame) d.base.first_frame = h.next_frame;
  if (d.base.last_frame == frame) d.base.last_frame = h.prev_frame;
  if (d.cur_next == frame) d.cur_next = h.next_frame;
  if (d.cur_prev == frame) d.cur_prev = h.prev_frame;
  if (d.cur_frame == frame) d.cur_frame = h.next_frame;

  // Close the gap; the record that falls off the end is zeroed, and the file
  // keeps its length.
  SQIDX* idx = d.idx.data();
  farmemmove(idx + pos, idx + pos + 1, std::size_t(d.idx_count - pos - 1) * sizeof(SQIDX));
  --d.idx_count;
  farmemset(idx + d.idx_count, 0, sizeof(SQIDX));
  // dirty_hi stays: the write-back covers the zeroed record too.
  if (pos < d.dirty_lo) d.dirty_lo = pos;
  --ha->num_msg;
  --ha->high_msg;
  // The index and the header stop counting the message before its frame
  // turns free, in a locked area and in a run of limit deletions as well: a
  // deleter killed later leaves an unreachable frame, not a counted message
  // whose frame the next writer takes.
  if (_SquishFlushIndex(d) != 0 || !_SquishUpdateSq(d, true) || Add_To_Free_Chain(d, frame, h) != 0)
    return kill_failed(change, d, loaded);
  if (loaded) _SquishDropIndex(d);

  if (ha->cur_msg == msgnum) {
    if (msgnum == 1 || _SquishGotoMsg(d, msgnum - 1, nullptr, nullptr, nullptr, true) != 0)
      _SquishPositionBeforeFirst(d);
    else
      ha->cur_msg = msgnum - 1;
  } else if (ha->cur_msg > msgnum) {
    --ha->cur_msg;
  }
  return change.commit() ? 0 : kill_failed(change, d, false);
}
