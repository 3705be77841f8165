// What every format module shares (internal; not part of the API): the
// shape of its objects behind the handles, and how an operation reports a
// failure.
//
// One success convention inside the library. The operations of the table
// keep the API's results (0 or -1, null, READ_FAILED). An internal step that
// reports its own failure (sets msgapierr, through fail below) returns sword
// 0 or -1 as they do, so that an operation passes its result on. A helper
// that only says whether it worked, and leaves msgapierr to its caller,
// returns bool. The record readers and writers keep their 1 and 0
// (structrw_*.h), the platform layer the host's 0 and -1.
#ifndef ZANDREL_APIUTIL_H
#define ZANDREL_APIUTIL_H

#include <new>

#include "msgapi.h"
#include "msgerr.h"

// The result of ReadMsg, GetTextLen, GetCtrlLen, UidToMsgn and the other
// dword operations when they fail: (dword)-1.
constexpr dword READ_FAILED = 0xFFFFFFFFu;

// sz_xmsg of a format whose messages have no header record of their own
// shape (JAM, *.MSG): the size the API's XMSG is given.
constexpr word API_XMSG_SIZE = 248;

// Every format keeps an open area in one object of its own, which holds the
// handle callers see as its member `ha` (with `apidata` pointing back at the
// object) and everything else the area owns: deleting the object releases
// it all. A message handle is the format's message object, derived from
// MSGH. These are the one way from a handle to its object.
template <class Area>
inline Area& area_object(HAREA ha) {
  return *static_cast<Area*>(ha->apidata);
}
template <class Msg>
inline Msg& msg_object(HMSG mh) {
  return *static_cast<Msg*>(mh);
}

// The sixteen operations of a format's table are named after the format,
// <F>CloseArea to <F>GetCtrlLen. MSGAPI_OPERATIONS(F) declares them in the
// format's internal header; MSGAPI_TABLE(F) lists them in the slot order of
// _apifuncs for the format's table constant, which its open copies into
// each handle.
#define MSGAPI_OPERATIONS(F)                                                                \
  sword F##CloseArea(HAREA ha);                                                             \
  HMSG F##OpenMsg(HAREA ha, word mode, dword msgnum);                                       \
  sword F##CloseMsg(HMSG msgh);                                                             \
  dword F##ReadMsg(HMSG msgh, XMSG* msg, dword ofs, dword bytes, byte* text, dword cbytes,   \
                   byte* ctxt);                                                             \
  sword F##WriteMsg(HMSG msgh, word append, const XMSG* msg, const byte* text,               \
                    dword textlen, dword totlen, dword clen, const byte* ctxt);             \
  sword F##KillMsg(HAREA ha, dword msgnum);                                                 \
  sword F##Lock(HAREA ha);                                                                  \
  sword F##Unlock(HAREA ha);                                                                \
  sword F##SetCurPos(HMSG msgh, dword pos);                                                 \
  dword F##GetCurPos(HMSG msgh);                                                            \
  UMSGID F##MsgnToUid(HAREA ha, dword msgnum);                                              \
  dword F##UidToMsgn(HAREA ha, UMSGID umsgid, word type);                                   \
  dword F##GetHighWater(HAREA ha);                                                          \
  sword F##SetHighWater(HAREA ha, dword hwm);                                               \
  dword F##GetTextLen(HMSG msgh);                                                           \
  dword F##GetCtrlLen(HMSG msgh)

#define MSGAPI_TABLE(F)                                                                     \
  {F##CloseArea,    F##OpenMsg,    F##CloseMsg,  F##ReadMsg,     F##WriteMsg,               \
   F##KillMsg,      F##Lock,       F##Unlock,    F##SetCurPos,   F##GetCurPos,              \
   F##MsgnToUid,    F##UidToMsgn,  F##GetHighWater, F##SetHighWater, F##GetTextLen,         \
   F##GetCtrlLen}

// SetCurPos and GetCurPos as every format keeps them: the position is the
// handle's cur_pos, and any value may be set.
inline sword set_cur_pos(HMSG msgh, dword pos) {
  if (InvalidMsgh(msgh)) return -1;
  msgh->cur_pos = pos;
  return 0;
}
inline dword get_cur_pos(HMSG msgh) {
  if (InvalidMsgh(msgh)) return READ_FAILED;
  return msgh->cur_pos;
}

// Report a failure where it happens: sets msgapierr and the reason
// MsgErrorText gives (the one noted below, else the code's meaning), and
// returns -1. With a text, that text is the reason.
inline sword fail(word code) {
  report_failure(code);
  return -1;
}
inline sword fail(word code, const char* why) {
  note_reason(why);
  return fail(code);
}

// A change refused because the area was opened for reading only; `why` is
// the errno that refused writing.
inline sword fail_read_only(int why) {
  note_not_writable(why);
  return fail(APIERR_FILE_IO);
}

// The same for operations that return a handle.
template <typename T = HMSG>
inline T fail_null(word code) {
  report_failure(code);
  return nullptr;
}

// The same for operations that return a dword (READ_FAILED).
inline dword fail_dword(word code) {
  report_failure(code);
  return READ_FAILED;
}

// No exception crosses the table of operations: an operation body that
// allocates runs inside this guard, and std::bad_alloc becomes
// APIERR_NO_MEMORY with the given failure result.
template <typename R, typename F>
inline R guard_alloc(R on_failure, F&& body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    note_reason("out of memory");
    report_failure(APIERR_NO_MEMORY);
    return on_failure;
  }
}

#endif
