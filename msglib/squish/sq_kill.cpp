// Squish deletion: unlink the frame, put it on the free chain, close the gap
// in the index (later messages move down one number), and fix up counts and
// the current position.
#include "apiutil.h"
#include "compiler.h"
#include "sq_int.h"

namespace {

// A deletion that failed part-way: the index, when this call loaded it, and
// the header go back to what the files hold, as after a deleter killed at
// that point. A locked area keeps its memory: its header is written at
// unlock from changes that each succeeded.
sword kill_failed(SquishAreaData& d, bool loaded) {
  if (loaded) _SquishDropIndex(d);
  if (!d.ha.locked) _SquishReloadSq(d);
  return fail(APIERR_FILE_IO);
}

}  // namespace

sword SquishKillMsg(HAREA ha, dword msgnum) {
  if (InvalidMh(ha)) return -1;
  SquishAreaData& d = Sqd(ha);
  if (d.read_only) return fail_read_only(d.write_refused);
  // A deletion changes both chains and the header, so it needs the record
  // lock and a fresh header just like a write; inside a locked area or a
  // write (the message limit) both are already in place.
  SqWriteLock guard(d);
  if (!guard.ok()) return fail(APIERR_FILE_IO);
  if (guard.fresh() && _SquishUpdateSq(d, false) != 0) return fail(APIERR_FILE_IO);

  if (msgnum == 0 || msgnum > ha->num_msg) return fail(APIERR_FILE_IO);
  const dword pos = msgnum - 1;
  dword frame = d.first_frame;
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
  }
  if (pos >= d.idx_count) {
    if (loaded) _SquishDropIndex(d);
    return fail(APIERR_FILE_IO);
  }

  if (_SquishUpdateHeaderNext(d, h.prev_frame, h.next_frame) != 0 ||
      _SquishUpdateHeaderPrev(d, h.next_frame, h.prev_frame) != 0)
    return kill_failed(d, loaded);
  if (d.first_frame == frame) d.first_frame = h.next_frame;
  if (d.last_frame == frame) d.last_frame = h.prev_frame;
  if (d.cur_next == frame) d.cur_next = h.next_frame;
  if (d.cur_prev == frame) d.cur_prev = h.prev_frame;
  if (d.cur_frame == frame) d.cur_frame = h.next_frame;
  if (Add_To_Free_Chain(d, frame, h) != 0) return kill_failed(d, loaded);

  // Close the gap; the record that falls off the end is zeroed, and the file
  // keeps its length.
  SQIDX* idx = d.idx.data();
  farmemmove(idx + pos, idx + pos + 1, std::size_t(d.idx_count - pos - 1) * sizeof(SQIDX));
  --d.idx_count;
  farmemset(idx + d.idx_count, 0, sizeof(SQIDX));
  // dirty_hi stays: the write-back covers the zeroed record too.
  if (pos < d.dirty_lo) d.dirty_lo = pos;
  if (loaded && _SquishWriteIndex(d) != 0) return kill_failed(d, false);

  --ha->num_msg;
  --ha->high_msg;
  if (ha->cur_msg == msgnum) {
    if (msgnum == 1 || _SquishGotoMsg(d, msgnum - 1, nullptr, nullptr, nullptr, true) != 0)
      _SquishPositionBeforeFirst(d);
    else
      ha->cur_msg = msgnum - 1;
  } else if (ha->cur_msg > msgnum) {
    --ha->cur_msg;
  }
  return _SquishUpdateSq(d, false) == 0 ? 0 : kill_failed(d, false);
}
