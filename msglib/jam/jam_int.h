// The JAM format: a base is "<base>.jhr" (header info and message headers),
// ".jdt" (texts), ".jdx" (index) and ".jlr" (last-read records). Lives here:
// jam_area (open, close, validate, the area lock, the active-message table),
// jam_read (opening and reading messages), jam_write (writing), jam_num
// (numbering, deletion and the high-water mark) and structrw_jam (the records
// on disk); api_jam.h is what callers reach directly. This header is the
// internals they share, not part of the message API.
//
// May use: the API core (msgapi.h, apiutil.h, arealock.h, FidoNet text) and
// the platform layer (platform.h); no other format.
//
// One JamBase object is the whole of an open area: it holds the handle
// callers see, the area's copy of the operations table, the four
// descriptors and the table; every message handle is a JamMsgState. Each is
// an ordinary C++ object, so deleting it releases its descriptors and
// buffers on every path.
#ifndef ZANDREL_JAM_INT_H
#define ZANDREL_JAM_INT_H

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "api_jam.h"
#include "apiutil.h"
#include "fidotext.h"
#include "platform.h"
#include "readahead.h"
#include "structrw_jam.h"

// Kludge lines made from a message's subfields, written one after another
// into room that the handle keeps from message to message (and that is
// never cleared first): every message read builds two of them. Always
// ends in a NUL.
class KludgeText {
 public:
  void clear() {
    len_ = 0;
    at_end(0);
  }
  // Appends the pieces as one line.
  void add(std::string_view a, std::string_view b = {}, std::string_view c = {}) {
    const std::size_t need = len_ + a.size() + b.size() + c.size() + 1;
    if (need > buf_.size()) buf_.resize(std::max(need, 2 * buf_.size()));
    for (std::string_view piece : {a, b, c}) {
      if (piece.empty()) continue;
      std::memcpy(buf_.data() + len_, piece.data(), piece.size());
      len_ += piece.size();
    }
    at_end(len_);
  }
  std::size_t size() const { return len_; }
  const char* data() const { return buf_.empty() ? "" : buf_.data(); }
  const char* c_str() const { return data(); }

 private:
  void at_end(std::size_t n) {
    if (!buf_.empty()) buf_[n] = '\0';
  }

  std::vector<char> buf_;
  std::size_t len_ = 0;
};

// A message handle. Its buffers keep their room when the area takes it back
// for the next message (JamBase::spare; Jam_NewMsg in jam_read.cpp resets
// every member, and must learn of any new one).
struct JamMsgState : _msgh {
  JamIdx idx{};
  JamHdr hdr{};
  JamChain chain;
  std::vector<std::string> spare_data;  // room of subfields the chain had before
  bool has_chain = false;  // mode-0 handles on a stored message carry none
  dword idx_pos = 0;       // of the index record in ".jdx"
  dword hdr_pos = 0;       // of the header in ".jhr"
  KludgeText ctrl;         // control block built from the subfields
  KludgeText trailer;      // SEEN-BY, PATH, Via and Recd lines, each ended by CR
  dword msgnum = 0;        // 0 for a new message
  word mode = 0;
};

struct JamBase {
  MSGA ha{};
  std::string name;  // base path; the files are name + suffix
  UniqueFd jhr, jdt, jdx, jlr;
  JamHdrInfo hinfo{};  // the header info as last read or written
  JamScan scan;        // the active-message table and what it was built from
  // ModCounter of the header info the table is known to match. Together
  // with scan.jdx_len and scan.jhr_len it tells whether anybody changed the
  // base since: every change raises the counter, and every new header or
  // index record grows a file.
  dword sync_mod = 0;
  bool synced = false;
  word open_msgs = 0;
  // Opened for reading only, because writing was refused (another user's
  // base, a read-only mount): every change fails with APIERR_FILE_IO before
  // it touches a file, and the close stores nothing.
  bool read_only = false;
  int write_refused = 0;  // why, as errno told when writing was refused
  // This handle changed the base (a message stored or deleted, a new
  // high-water mark): its close must store the header info, waiting for the
  // lock. A close after reading only does so when the lock is free at once.
  bool changed = false;
  _apifuncs funcs{};  // this area's own copy of jm_funcs
  // File sizes as last seen; offsets read from disk are checked against them
  // (and against fresh sizes before they are refused).
  std::int64_t jhr_size = 0, jdt_size = 0;
  // Index records read ahead in one read, from ".jdx" offset ahead_pos on,
  // so that opening messages in order costs one index read per block. It
  // lives in this handle only, and goes with every change of ours to the
  // index and every rebuild of the table: this handle always sees its own
  // changes. Other programs' changes in the meantime may go unseen until the
  // block is read again, as they could between any two reads anyway.
  std::vector<uint8_t> ahead;
  dword ahead_pos = 0;
  // Headers with their chains read ahead the same way, from ".jhr" offset
  // hdr_ahead_pos on: in a base written in order the headers of the next
  // messages follow one another.
  std::vector<uint8_t> hdr_ahead;
  std::uint64_t hdr_ahead_pos = 0;
  // Texts read ahead while they are read one after another.
  ReadAhead txt_ahead;
  // Headers where ".jhr" is kept mapped.
  FileView hdr_view;
  // Header and chain bytes of the message being opened.
  std::vector<uint8_t> hdr_buf;
  // The handle of the last message closed, kept for the next one to open so
  // that its buffers need not be allocated again.
  std::unique_ptr<JamMsgState> spare;

  // Every change of ours to the files, and every rebuild of the table.
  void drop_ahead() {
    ahead.clear();
    hdr_ahead.clear();
    txt_ahead.drop();
    hdr_view.forget();
  }

  dword num_active() const { return dword(scan.table.size()); }
};

inline JamBase& jam_area(HAREA ha) { return area_object<JamBase>(ha); }
inline JamMsgState& jam_msg(HMSG mh) { return msg_object<JamMsgState>(mh); }

// The size of the API's message header, reported in sz_xmsg: JAM has no
// header record of that shape.
constexpr word JAM_SZ_XMSG = API_XMSG_SIZE;

// The table's operations: open in api_jam.h; close, Lock and Unlock in
// jam_area.cpp; opening, reading and positions in jam_read.cpp; writing in
// jam_write.cpp; deletion, numbering and the high-water mark in jam_num.cpp.
MSGAPI_OPERATIONS(Jam);

// Area level (jam_area.cpp).
// The area lock on byte 0 of ".jhr" (arealock.h), as a bare take and
// release that leave the handle's `locked` alone: true when held (or
// locking is off). Not to be confused with JamLock and JamUnlock, the Lock and
// Unlock operations of the table, which a caller holds across a batch and
// which set `locked`. A change inside the library holds an AreaLock instead.
bool Jam_Lock(HAREA ha, int wait);
void Jam_Unlock(HAREA ha);
// Rebuilds the active-message table from disk; false when the index cannot
// be read (the table is then left as it was).
bool Jam_ActiveMsgs(JamBase* b);
// Under the lock: reads the header info from disk into *disk and rebuilds
// the table when anybody changed the base since the table was made. False
// when the header info cannot be read.
bool Jam_SyncLocked(JamBase* b, JamHdrInfo* disk);
// The index record at `idx_pos`, from the block read ahead when it holds
// it; false when the record cannot be read whole.
bool Jam_ReadIdx(JamBase* b, dword idx_pos, JamIdx* out);
// `want` bytes of ".jhr" from `pos`, where message `msgn` of the table has
// its header: in the block read ahead when it holds them, else read, with
// the headers of the messages after it when they follow, or alone into
// hdr_buf. Where they lie, with *got the count there (short only where the
// file ends); null (*got -1) when the read fails. Good until the next call.
const uint8_t* Jam_HeaderBytes(JamBase* b, dword msgn, std::uint64_t pos, std::size_t want,
                               std::int64_t* got);
// Writes the header info at offset 0 and records it as in memory; false
// when the write fails.
bool Jam_WriteHdrInfo(JamBase* b, const JamHdrInfo& h);
// Table upkeep after this process's own change, under the lock, so that the
// table equals a fresh rebuild without reading every header again.
void Jam_TableSet(JamBase* b, dword idx_pos, dword hdr_ofs);
void Jam_TableErase(JamBase* b, dword idx_pos);
void Jam_TableDropHeader(JamBase* b, dword hdr_ofs);
// After a change of this process: takes note of the new state (header info
// as written, file sizes), rebuilding instead when the change uncovered a
// header that an older index record pointed at.
void Jam_TableCommit(JamBase* b, dword new_mod);
// Index record, header and its bounds for a position read from disk: true
// when `ofs` is a place where a whole header can lie.
bool Jam_HeaderFits(JamBase* b, std::uint64_t ofs, std::uint64_t extra);
bool Jam_TextFits(JamBase* b, std::uint64_t ofs, std::uint64_t len);

// Messages (jam_read.cpp).
void DecodeSubf(JamMsgState* m);
// The first subfield with `id` at or after *pos (a chain index), leaving
// *pos after it; null when none.
const JamSubfield* Jam_GetSubField(const JamMsgState* m, std::size_t* pos, word id);

// Writing (jam_write.cpp).
void ConvertXmsgToJamHdr(const JamMsgState* m, const XMSG* msg, JamHdr* hdr, JamChain* chain);
void ConvertCtrlToSubf(JamHdr* hdr, JamChain* chain, dword clen, const byte* ctxt);
std::string DelimText(JamHdr* hdr, JamChain* chain, const char* text);
// One subfield for a kludge line; false for a line that yields none.
bool StrToSubfield(const char* line, JamSubfield* out);
JamSubfield NETADDRtoSubf(const NETADDR& addr, bool dest);

// Under the lock, the stores shared by writing and killing.
bool Jam_WriteIdx(JamBase* b, dword idx_pos, const JamIdx& idx);
// Marks a header deleted where it stands: text length 0 and bit 31.
bool Jam_MarkDeleted(JamBase* b, dword pos, JamHdr old);
// Ends a change: header info with the counter one past `disk`'s and the
// count from the table; then the table takes note. 0, or -1 with msgapierr
// APIERR_FILE_IO.
sword Jam_FinishStore(JamBase* b, const JamHdrInfo& disk);

// Numbers (jam_num.cpp).

#endif
