// *.MSG numbering: UMSGIDs (the message numbers themselves), the high-water
// mark kept in message 1 of an echo area, and deletion.
#include <algorithm>
#include <cstring>
#include <string>

#include "apiutil.h"
#include "fidotext.h"
#include "sdm_int.h"

namespace {

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

}  // namespace

bool SdmWriteHighWater(SdmArea* a) {
  HMSG msg = SdmOpenMsg(&a->ha, MO_CREATE, 1);
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
  x.replyto = a->ha.high_water;
  x.attr = HWM_ATTR;
  sword r = SdmWriteMsg(msg, 0, &x, reinterpret_cast<const byte*>(msgbody), sizeof msgbody,
                        sizeof msgbody, 0, nullptr);
  KeepError keep;  // the write's failure, not the close's success
  SdmCloseMsg(msg);
  return r == 0;
}

UMSGID SdmMsgnToUid(HAREA mh, dword msgnum) {
  if (InvalidMh(mh)) return READ_FAILED;
  msgapierr = APIERR_OK;
  return msgnum;
}

dword SdmUidToMsgn(HAREA mh, UMSGID umsgid, word type) {
  if (InvalidMh(mh)) return READ_FAILED;
  SdmArea* a = &sdm_area(mh);
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
  if (InvalidMh(mh)) return READ_FAILED;
  if (mh->high_water != SDM_UNSET) return mh->high_water;
  HMSG msg = SdmOpenMsg(mh, MO_READ, 1);
  if (!msg) return 0;
  XMSG x;
  if (SdmReadMsg(msg, &x, 0, 0, nullptr, 0, nullptr) != READ_FAILED &&
      std::memcmp(x.from, hwm_from, sizeof hwm_from) == 0)
    mh->high_water = x.replyto;
  else
    mh->high_water = 0;
  SdmCloseMsg(msg);
  return mh->high_water;
}

sword SdmSetHighWater(HAREA mh, dword hwm) {
  if (InvalidMh(mh)) return -1;
  if (hwm != mh->high_water) sdm_area(mh).mark_changed = true;
  mh->high_water = hwm;
  msgapierr = APIERR_OK;
  return 0;
}

sword SdmKillMsg(HAREA mh, dword msgnum) {
  if (InvalidMh(mh)) return -1;
  SdmArea* a = &sdm_area(mh);
  auto it = a->Find(msgnum);
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
  a->ha.num_msg = dword(a->numbers.size());
  a->other_names.erase(word(msgnum));
  if (msgnum == a->ha.high_msg)
    a->ha.high_msg = a->numbers.empty() ? 0 : dword(a->numbers.back());

  dword hwm = SdmGetHighWater(mh);
  if (hwm != READ_FAILED && hwm != 0 && hwm >= msgnum)
    SdmSetHighWater(mh, msgnum - 1);
  msgapierr = APIERR_OK;
  return 0;
}
