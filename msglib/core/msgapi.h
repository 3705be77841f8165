// The message API: one programming interface over the three base formats.
//
// This header is the face of msglib/core, the API core: handles and the
// table of operations (here), dispatch to the formats through one table of
// them (formats.h), errors (msgerr.h, and apiutil.h for the formats), the
// area lock every format takes (arealock.h), control information blocks
// (ctrlinfo.h), FidoNet text (fidotext.h), the byte coding of records
// (structrw.h) and small string helpers. The core may use the platform
// layer (platform.h); of the formats only formats.cpp names their entry
// points. The formats (squish/, jam/, sdm/) use the core and the platform
// layer, never each other.
//
// A caller opens an area with MsgOpenArea, which picks the format from the
// type bits and returns an area handle. Every further operation goes through
// the table of operations (`api`) that the format hung off that handle.
// Failures come back as results (-1, null, 0 or all ones) with the reason in
// `msgapierr`, and in words from MsgErrorText; nothing here prints.
//
// Ownership: the caller owns an area handle from MsgOpenArea until CloseArea
// and a message handle from OpenMsg until CloseMsg. An area refuses to close
// while messages of it are open.
#ifndef ZANDREL_MSGAPI_H
#define ZANDREL_MSGAPI_H

#include "stamp.h"
#include "typedefs.h"

// ---------------------------------------------------------------------------
// Addresses, identifiers and the message header

struct NETADDR {
  word zone;
  word net;
  word node;
  word point;  // 0: the address is a node, not a point
};

// Identifies a message within its area for the area's lifetime; 0 = none.
typedef dword UMSGID;

struct _xmsg {
  dword attr;
  byte from[36];  // NUL-terminated when shorter than the field
  byte to[36];
  byte subj[72];
  NETADDR orig;
  NETADDR dest;
  SCOMBO date_written;  // local time
  SCOMBO date_arrived;
  sword utc_ofs;
  UMSGID replyto;
  UMSGID replies[10];
  byte __ftsc_date[20];  // FidoNet date text, NUL-terminated when shorter
};
typedef struct _xmsg XMSG;

constexpr int XMSG_FROM_SIZE = 36;
constexpr int XMSG_TO_SIZE = 36;
constexpr int XMSG_SUBJ_SIZE = 72;
constexpr int XMSG_DATE_SIZE = 20;
constexpr int MAX_REPLY = 10;

// Attribute bits of XMSG::attr. The low 16 are the FidoNet *.MSG attribute
// word; the two high ones exist only in the 32-bit form.
constexpr dword MSGPRIVATE = 0x0001;
constexpr dword MSGCRASH = 0x0002;
constexpr dword MSGREAD = 0x0004;  // received
constexpr dword MSGSENT = 0x0008;
constexpr dword MSGFILE = 0x0010;  // file attached
constexpr dword MSGFWD = 0x0020;   // in transit
constexpr dword MSGORPHAN = 0x0040;
constexpr dword MSGKILL = 0x0080;  // kill when sent
constexpr dword MSGLOCAL = 0x0100;
constexpr dword MSGHOLD = 0x0200;  // hold for pickup
constexpr dword MSGXX2 = 0x0400;   // unnamed; carried to and from JAM's direct bit
constexpr dword MSGFRQ = 0x0800;   // file request
constexpr dword MSGRRQ = 0x1000;   // return receipt request
constexpr dword MSGCPT = 0x2000;   // is return receipt
constexpr dword MSGARQ = 0x4000;   // audit request
constexpr dword MSGURQ = 0x8000;   // file update request
constexpr dword ATTR_IMMEDIATE = 0x00040000;
constexpr dword ATTR_LOCKED = 0x40000000;

// ---------------------------------------------------------------------------
// Constants that callers pass

// Area type bits (MsgOpenArea, MsgValidate).
constexpr word AT_SDM = 0x01;
constexpr word AT_SQUISH = 0x02;
constexpr word AT_JAM = 0x08;
constexpr word AT_ECHO = 0x80;
constexpr word AT_LOCAL = 0x100;

// Area open modes.
constexpr word AOPEN_EXISTING = 0;
constexpr word AOPEN_CREATE = 1;  // existing files are truncated
constexpr word AOPEN_CREATE_IF_MISSING = 2;

// Message open modes.
constexpr word MO_CREATE = 0;
constexpr word MO_READ = 1;
constexpr word MO_WRITE = 2;
constexpr word MO_READWRITE = 3;

// Relative message numbers for OpenMsg.
constexpr dword MSGN_CURRENT = 0xFFFFFFFFu;
constexpr dword MSGN_PREVIOUS = 0xFFFFFFFEu;
constexpr dword MSGN_NEXT = 0xFFFFFFFDu;

// UidToMsgn search kinds.
constexpr word UIDSEEK_EXACT = 0;
constexpr word UIDSEEK_NEXT = 1;
constexpr word UIDSEEK_PREVIOUS = 2;

// Handle ids: "MA" 01 02 and "MH" 02 03 in file order.
constexpr dword AREA_HANDLE_ID = 0x0201414Du;
constexpr dword MSG_HANDLE_ID = 0x0302484Du;

// ---------------------------------------------------------------------------
// Handles and the table of operations

struct _apifuncs;

struct _msgapi {
  dword id;          // AREA_HANDLE_ID while valid, 0 once closed
  word len;          // size of the handle record
  word type;         // AT_SQUISH, AT_JAM, or 0 for *.MSG
  dword num_msg;     // messages in the area
  dword cur_msg;     // current message (0 = before the first)
  dword high_msg;    // highest message number in use
  dword high_water;  // high-water mark (a UMSGID in Squish areas)
  word sz_xmsg;      // size of the format's header record
  byte locked;       // non-zero while the caller holds the area lock
  byte isecho;       // 0 netmail, 1 echo, 3 local (JAM only)
  struct _apifuncs* api;  // this area's own copy of the format's table
  void* apidata;          // the format's private per-area data
};
typedef struct _msgapi MSGA;
typedef MSGA* HAREA;

// Every format's message handle begins with these fields.
struct _msgh {
  HAREA sq;             // the area the message belongs to
  dword id;             // MSG_HANDLE_ID while valid, 0 once closed
  dword bytes_written;  // text bytes written so far through this handle
  dword cur_pos;        // current read position in the text
};
typedef struct _msgh MSGH;
typedef MSGH* HMSG;

// Sixteen slots in fixed order. sword results are 0 or -1; ReadMsg gives the
// text bytes read or (dword)-1. ReadMsg writes a NUL after what it delivers
// into each buffer, so buffers are one byte longer than the counts asked for.
// CloseArea failing with APIERR_MSGS_OPEN leaves the area open; failing with
// APIERR_FILE_IO it has closed the area, but could not store what it had to
// (another program held the lock, the area is read-only, a write failed).
struct _apifuncs {
  sword (*CloseArea)(HAREA mh);
  HMSG (*OpenMsg)(HAREA mh, word mode, dword msgnum);
  sword (*CloseMsg)(HMSG msgh);
  dword (*ReadMsg)(HMSG msgh, XMSG* msg, dword ofs, dword bytes, byte* text,
                   dword cbytes, byte* ctxt);
  sword (*WriteMsg)(HMSG msgh, word append, const XMSG* msg, const byte* text,
                    dword textlen, dword totlen, dword clen, const byte* ctxt);
  sword (*KillMsg)(HAREA mh, dword msgnum);
  sword (*Lock)(HAREA mh);
  sword (*Unlock)(HAREA mh);
  sword (*SetCurPos)(HMSG msgh, dword pos);
  dword (*GetCurPos)(HMSG msgh);
  UMSGID (*MsgnToUid)(HAREA mh, dword msgnum);
  dword (*UidToMsgn)(HAREA mh, UMSGID umsgid, word type);
  dword (*GetHighWater)(HAREA mh);
  sword (*SetHighWater)(HAREA mh, dword hwm);
  dword (*GetTextLen)(HMSG msgh);
  dword (*GetCtrlLen)(HMSG msgh);
};

// Start-up record. The core keeps one copy (`mi`) for the whole process.
struct _minf {
  word req_version;  // stored, never examined
  word def_zone;     // zone assumed for addresses that carry none
  word haveshare;    // sharing and locking; MsgOpenApi always sets it
};

extern struct _minf mi;

// ---------------------------------------------------------------------------
// Errors

extern word msgapierr;

constexpr word APIERR_OK = 0;
constexpr word APIERR_BAD_HANDLE = 1;
constexpr word APIERR_FILE_IO = 2;
constexpr word APIERR_NO_MEMORY = 3;
constexpr word APIERR_SHORT_WRITE = 4;
constexpr word APIERR_NOT_FOUND = 5;
constexpr word APIERR_BAD_MOVE = 6;
constexpr word APIERR_MSGS_OPEN = 7;

// The reason for the most recent failure, in words for a sysop: lower case,
// without a full stop ("message 12 not found", "not a JAM base: short header
// file", "write failed: no space left on device"). Specific where the
// library knows why, else the meaning of msgapierr; it goes with msgapierr
// and stays as long as that does. The text holds until the next call into
// the library.
const char* MsgErrorText(void);

// The reason given when another program holds the lock an operation needs
// and the operation does not wait for it (Lock); one that waited says so:
// MSGERR_LOCKED " for 10 s".
#define MSGERR_LOCKED "locked by another program"

// ---------------------------------------------------------------------------
// The core

sword MsgOpenApi(struct _minf* minf);
sword MsgCloseApi(void);

// Squish when `type` has AT_SQUISH, else JAM when it has AT_JAM, else *.MSG.
HAREA MsgOpenArea(const char* name, word mode, word type);
sword MsgValidate(word type, const char* name);

// 0 when the handle is valid; otherwise msgapierr = APIERR_BAD_HANDLE and 1.
sword InvalidMh(HAREA mh);
sword InvalidMsgh(HMSG msgh);

#endif
