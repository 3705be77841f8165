// JAM operations on numbers: killing, message numbers against unique
// identifiers, the high-water mark and the text position.
//
// A message number is a position in the active-message table and shifts
// when an earlier message is killed; a unique identifier is the index record
// number plus BaseMsgNum and never changes, because killing a message only
// overwrites its index record with 0xFFFFFFFF in both fields.
#include "apiutil.h"
#include "arealock.h"
#include "jam_int.h"

namespace {

// Reads the index record at `idx_pos` and its header; true when the message
// is there to be killed. A header offset that cannot hold a header, or a
// place without a header's signature, is refused: writing a deleted header
// there would damage whatever the bytes really belong to.
bool Jam_PosHdrMsg(JamBase* b, dword idx_pos, JamIdx* idx, JamHdr* hdr) {
  uint8_t ibuf[IDX_SIZE];
  if (read_at(b->jdx.get(), ibuf, IDX_SIZE, idx_pos) != IDX_SIZE) return false;
  decode_idx(ibuf, idx);
  if (idx->HdrOffset == JAM_NO_OFFSET || !Jam_HeaderFits(b, idx->HdrOffset, 0)) return false;
  uint8_t hbuf[HDR_SIZE];
  if (read_at(b->jhr.get(), hbuf, HDR_SIZE, idx->HdrOffset) != HDR_SIZE) return false;
  decode_hdr(hbuf, hdr);
  return jam_signature_ok(hdr->Signature) && !(hdr->Attribute & JAM_DELETED);
}

}  // namespace

sword JamKillMsg(HAREA ha, dword msgn) {
  if (InvalidMh(ha)) return -1;
  // The kill takes and releases the area lock itself; under the caller's
  // Lock that release would end the caller's lock, so it refuses.
  if (ha->locked) return -1;
  JamBase* b = &jam_area(ha);
  if (b->read_only) return fail_read_only(b->write_refused);
  if (msgn == 0 || msgn > ha->num_msg || msgn > b->scan.table.size())
    return fail(APIERR_NOT_FOUND);
  const dword idx_pos = b->scan.table[msgn - 1].idx_pos;
  JamIdx idx;
  JamHdr hdr;
  if (!Jam_PosHdrMsg(b, idx_pos, &idx, &hdr)) return fail(APIERR_FILE_IO);
  // Another program holds the lock: nothing is written, and the kill does
  // not wait.
  AreaLock lock(b->jhr.get(), LockWait::kNoWait);
  if (!lock.ok()) return fail(APIERR_FILE_IO);

  sword rc = guard_alloc<sword>(-1, [&]() -> sword {
    // Look again under the lock: another process may have killed or
    // replaced the message meanwhile.
    JamHdrInfo disk;
    if (!Jam_SyncLocked(b, &disk) || !Jam_PosHdrMsg(b, idx_pos, &idx, &hdr))
      return fail(APIERR_FILE_IO);
    const dword hdr_ofs = idx.HdrOffset;
    if (!Jam_WriteIdx(b, idx_pos, JamIdx{JAM_NO_OFFSET, JAM_NO_OFFSET}) ||
        !Jam_MarkDeleted(b, hdr_ofs, hdr)) {
      Jam_ActiveMsgs(b);
      b->synced = false;
      return fail(APIERR_FILE_IO);
    }
    Jam_TableErase(b, idx_pos);
    Jam_TableDropHeader(b, hdr_ofs);
    return Jam_FinishStore(b, disk);
  });
  ha->num_msg = b->num_active();
  return rc;
}

UMSGID JamMsgnToUid(HAREA ha, dword msgn) {
  if (InvalidMh(ha)) return READ_FAILED;
  msgapierr = APIERR_OK;
  const JamBase* b = &jam_area(ha);
  if (msgn > ha->num_msg || msgn > b->scan.table.size()) return READ_FAILED;
  if (msgn == 0) return 0;
  return b->scan.table[msgn - 1].idx_pos / IDX_SIZE + b->hinfo.BaseMsgNum;
}

dword JamUidToMsgn(HAREA ha, UMSGID uid, word type) {
  if (InvalidMh(ha)) return READ_FAILED;
  if (uid == 0) return 0;
  // Identifiers rise strictly with message numbers.
  dword lo = 1, hi = ha->num_msg;
  while (lo <= hi) {
    const dword mid = lo + (hi - lo) / 2;
    const UMSGID at = JamMsgnToUid(ha, mid);
    if (at == uid) return mid;
    if (at < uid)
      lo = mid + 1;
    else
      hi = mid - 1;
  }
  if (type == UIDSEEK_EXACT) return 0;
  if (type == UIDSEEK_PREVIOUS) return hi;
  return lo > ha->num_msg ? ha->num_msg : lo;
}

dword JamGetHighWater(HAREA ha) {
  if (InvalidMh(ha)) return READ_FAILED;
  return ha->high_water;
}

sword JamSetHighWater(HAREA ha, dword hwm) {
  if (InvalidMh(ha)) return -1;
  if (hwm > ha->high_msg) return -1;
  // The mark could never reach the disk.
  if (jam_area(ha).read_only) return fail_read_only(jam_area(ha).write_refused);
  ha->high_water = hwm;
  jam_area(ha).changed = true;
  return 0;
}
