// The *.MSG format. Lives here: sdm_area (open, close, validate, the scan
// of the directory, the area lock), sdm_read (opening and reading
// messages), sdm_write (writing and publishing), sdm_num (numbering,
// deletion and the high-water mark) and structrw_sdm (the header record on
// disk); api_sdm.h is what callers reach directly. This header is the
// internals they share, not part of the message API.
//
// May use: the API core (msgapi.h, apiutil.h, arealock.h, FidoNet text) and
// the platform layer (platform.h); no other format.
//
// An area is a directory; message n is the file "<dir>n.msg" with a 190-byte
// header and the text behind it. The set of messages is whatever the
// directory holds, scanned into a sorted number table when the area opens.
//
// The format has no lock, and tossers create their message files with
// truncation. So a message that we write anew is written whole into a
// temporary file of the directory first, under a name no mail program takes
// for a message ("zandrel-<pid>-<n>.tmp"), and then given its number in one
// step: a new message with a move that never replaces (a number another
// program took meanwhile makes us try the next one), a message rewritten
// under a given number with a move that replaces. Nobody sees a half-written
// message, and we never write into a file that another program published.
#ifndef ZANDREL_SDM_INT_H
#define ZANDREL_SDM_INT_H

#include <bitset>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "apiutil.h"
#include "msgapi.h"
#include "platform.h"
#include "structrw_sdm.h"

// One SdmArea object is the whole of an open area: it holds the handle
// callers see, and deleting it releases everything the area owns.
//
// A file shorter than a header is no message. Asking every file for its size
// would cost a status query per entry, several times the listing itself on
// a large area, so the scan takes regular files by name and marks them
// unchecked; an entry's size is looked at when the entry is first used:
// for high_msg, an open, a relative move, UidToMsgn or a kill. An entry that
// turns out too short leaves the table then. Until that, num_msg counts it.
struct SdmArea {
  MSGA ha{};
  _apifuncs funcs{};            // this area's copy of sdm_funcs
  std::string dir;              // the directory path, ending in '/'
  std::vector<sdword> numbers;  // messages present, ascending (16-bit values)
  std::bitset<0x10000> unchecked;  // numbers whose file size is not yet known
  // Numbers listed only under another name than "<n>.msg" ("0012.msg"),
  // with that name. Usually empty.
  std::map<word, std::string> other_names;
  // Temporary files of writers of ours that the listing found; the next new
  // message removes those left long ago by a writer that was killed.
  std::vector<std::string> temp_names;
  bool mark_changed = false;    // high_water set to a new value since open
  word open_count = 0;          // message handles of this area still open
  UniqueFd lock_file;           // open, and locked, while the caller holds Lock

  // Path of message `n` as this format names it.
  std::string MsgPath(dword n) const;
  // Path of the file that holds message `n`: the name the listing found it
  // under, which is MsgPath(n) unless only another name was listed.
  std::string ListedPath(dword n) const;
  // Whether message n's file holds at least a header; true without a look
  // when the scan already knew its size or the number is none of the table's.
  bool HasHeader(dword n);
  // Takes one entry `n` out of the table.
  void Drop(dword n);
  // The table's entry for `n`, or numbers.end().
  std::vector<sdword>::iterator Find(dword n);
};

// Marks an unmeasured text length and an unextracted control block.
constexpr dword SDM_UNSET = 0xFFFFFFFFu;

// The highest message number: numbers are 16-bit in the header's links, and
// a larger one would name a file that a scan files under another number.
constexpr dword SDM_MAX_MSGN = 0xFFFF;

// Copies a text field up to its NUL or `srclen` bytes into `dst`, cut to
// leave room for the NUL that always ends it, the rest zero.
template <std::size_t N>
void CopyField(byte (&dst)[N], const byte* src, std::size_t srclen) {
  std::size_t n = strnlen(reinterpret_cast<const char*>(src), std::min(srclen, N - 1));
  std::memcpy(dst, src, n);
  std::memset(dst + n, 0, N - n);
}

// The message handle; the caller's HMSG points at its _msgh base.
//
// A handle opened for reading takes the file's first bytes in one read when
// it opens (`snap`); header, kludge prefix, size and text are served from
// there as far as it reaches, so that a typical message costs one read. A
// write through the handle drops the snapshot.
struct SdmMsg : _msgh {
  dword ctrl_bytes = SDM_UNSET;  // control block length with its NUL
  std::string ctrl_block;        // valid once ctrl_bytes is set
  dword text_bytes = SDM_UNSET;  // bytes after the header in the file
  dword prefix_bytes = 0;        // leading kludge lines cut from the text
  word zone_bytes = 0;           // INTL/FMPT/TOPT bytes written after the header
  UniqueFd file;
  std::string snap;              // the file from offset 0, as far as read
  bool has_snap = false;
  bool snap_whole = false;       // snap ends where the file ended
  // A handle opened for creation writes into `temp` until its first write
  // has stored everything; then the file gets its number (`publish_as`, or
  // the next free one for 0) and later writes go to it in place. A write
  // that fails removes the temporary file and leaves the handle `lost`.
  std::string temp;
  dword publish_as = 0;
  bool lost = false;

  SdmMsg() = default;
  SdmMsg(const SdmMsg&) = delete;
  SdmMsg& operator=(const SdmMsg&) = delete;
  ~SdmMsg() { DropTemp(); }
  // Removes the temporary file, if the handle still has one.
  void DropTemp();

  // Reads like read_at, from the snapshot where it holds the bytes.
  std::int64_t ReadAt(void* buf, std::size_t n, std::int64_t offset);
};

inline SdmArea& sdm_area(HAREA ha) { return area_object<SdmArea>(ha); }
inline SdmMsg& sdm_msg(HMSG mh) { return msg_object<SdmMsg>(mh); }

// Rebuilds the number table from the directory: 0, or -1 with msgapierr
// APIERR_NO_MEMORY or APIERR_FILE_IO (the directory cannot be listed).
sword _SdmRescanArea(SdmArea* area);

// Whether `name` has the shape of our temporary files.
bool IsSdmTempName(const char* name);

// The number that a new message takes next (sdm_write.cpp).
dword SdmNextNumber(const SdmArea* a);
// Sets handle `m` up to create message `n` (0: the next free number) in a
// temporary file of its own; false, with the failure reported, when the
// numbers are used up or no temporary file can be made.
bool SdmStartNew(SdmArea* a, SdmMsg* m, dword n);
// Writes message 1 with the current high-water mark; false, with msgapierr
// set, when it could not be stored. The old message 1 then stays as it was
// (sdm_num.cpp).
bool SdmWriteHighWater(SdmArea* a);

// The table's operations: open in api_sdm.h; close, Lock and Unlock in
// sdm_area.cpp; opening, reading and positions in sdm_read.cpp; writing in
// sdm_write.cpp; deletion, numbering and the high-water mark in sdm_num.cpp.
MSGAPI_OPERATIONS(Sdm);

// Header conversion. Reading may rewrite an empty date string in `fmsg` with
// the current time, which then also lands in __ftsc_date.
void Convert_Fmsg_To_Xmsg(OMSG* fmsg, XMSG* msg, word def_zone);
void Convert_Xmsg_To_Fmsg(const XMSG* msg, OMSG* fmsg);

// Zone and point kludge lines for a netmail message: INTL when either zone
// differs from the default zone, FMPT and TOPT for points, each unless the
// control block already carries it. Returns the characters handed to `wfunc`.
using LineWriter = std::function<void(const char*)>;
word WriteZPInfo(const XMSG* msg, const LineWriter& wfunc, const char* kludges);
// Writes `str` without its NUL to `fd`; true when all of it was stored.
bool WriteToFd(int fd, const char* str);

void Init_Xmsg(XMSG* msg);

// Extracts the control information with a read that delivers nothing:
// 0 when that read succeeded, -1 otherwise.
sword _Grab_Clen(HMSG msgh);

#endif
