// Records of a JAM base and their byte coding.
//
// A JAM base is four files sharing one base path: ".jhr" (the header-info
// record, then message headers each followed by its subfield chain), ".jdt"
// (texts back to back), ".jdx" (one index record per message ever created)
// and ".jlr" (last-read records, which this library never touches). Every
// integer in them is little-endian and every record is packed and unpacked
// field by field here. The readers and writers transfer one record at the
// descriptor's current position and never seek; each returns 1, or 0 when
// the transfer fell short.
#ifndef ZANDREL_STRUCTRW_JAM_H
#define ZANDREL_STRUCTRW_JAM_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "msgapi.h"

constexpr dword HDRINFO_SIZE = 1024;
constexpr dword HDR_SIZE = 76;
constexpr dword IDX_SIZE = 8;
constexpr dword SUBF_HEAD_SIZE = 8;  // id, reserved word, length
constexpr dword HDRINFO_RESERVED_SIZE = 996;

// A killed index record holds this in both fields.
constexpr dword JAM_NO_OFFSET = 0xFFFFFFFFu;

// Header Attribute bits that carry no XMSG meaning.
constexpr dword JAM_ECHOMAIL = 0x01000000u;
constexpr dword JAM_NETMAIL = 0x02000000u;
constexpr dword JAM_DELETED = 0x80000000u;

// Subfield identifiers.
constexpr word SF_ORIG_ADDR = 0;
constexpr word SF_DEST_ADDR = 1;
constexpr word SF_SENDER = 2;
constexpr word SF_RECEIVER = 3;
constexpr word SF_MSGID = 4;
constexpr word SF_REPLY = 5;
constexpr word SF_SUBJECT = 6;
constexpr word SF_PID = 7;
constexpr word SF_VIA = 8;
constexpr word SF_KLUDGE = 2000;  // any other kludge, whole line without SOH
constexpr word SF_SEENBY = 2001;
constexpr word SF_PATH = 2002;
constexpr word SF_FLAGS = 2003;
constexpr word SF_TZUTC = 2004;

// Offset 0 of ".jhr".
struct JamHdrInfo {
  byte Signature[4];   // "JAM" and NUL
  dword DateCreated;   // local seconds
  dword ModCounter;    // raised by every change of the base
  dword ActiveMsgs;    // messages not deleted
  dword PasswordCRC;
  dword BaseMsgNum;    // identifier of index record 0
  dword HighWater;
  byte reserved[HDRINFO_RESERVED_SIZE];  // kept as read
};

// A message header; its subfield chain of SubfieldLen bytes follows it.
struct JamHdr {
  byte Signature[4];
  word Revision;
  word ReservedWord;
  dword SubfieldLen;
  dword TimesRead;
  dword MsgIdCRC;
  dword ReplyCRC;
  dword ReplyTo;
  dword Reply1st;
  dword ReplyNext;
  dword DateWritten;    // local seconds
  dword DateReceived;
  dword DateProcessed;  // local seconds
  dword MsgNum;         // index record number + BaseMsgNum
  dword Attribute;
  dword Attribute2;
  dword TxtOffset;      // into ".jdt"
  dword TxtLen;
  dword PasswordCRC;
  dword Cost;
};

// Record k of ".jdx" describes the message whose identifier is k + BaseMsgNum.
struct JamIdx {
  dword UserCRC;    // Jam_Crc32 of the receiver name
  dword HdrOffset;  // into ".jhr"
};

// One decoded subfield. On disk: id, reserved, length (u32), then the data.
struct JamSubfield {
  word id = 0;
  word reserved = 0;
  std::string data;  // not NUL-terminated on disk; may hold NULs
};
using JamChain = std::vector<JamSubfield>;

// Bytes a chain occupies on disk.
dword chain_size(const JamChain& chain);

// Buffer coding: `buf` holds exactly one record.
void decode_hdrinfo(const uint8_t* buf, JamHdrInfo* out);
void encode_hdrinfo(const JamHdrInfo& in, uint8_t* buf);
void decode_hdr(const uint8_t* buf, JamHdr* out);
void encode_hdr(const JamHdr& in, uint8_t* buf);
void decode_idx(const uint8_t* buf, JamIdx* out);
void encode_idx(const JamIdx& in, uint8_t* buf);

// Decodes the `n` chain bytes at `buf` into `out` (replacing its contents)
// and returns the bytes decoded. Decoding stops at a record whose length is
// negative or runs past `n`; that record is kept with no data and its head
// counts as decoded. A record head ending exactly at `n` is not decoded.
dword decode_subfields(const uint8_t* buf, dword n, JamChain* out,
                       std::vector<std::string>* spare = nullptr);
// The first `length` bytes of the chain's encoding.
std::string encode_subfields(const JamChain& chain, dword length);

int read_hdrinfo(int fd, JamHdrInfo* out);
int write_hdrinfo(int fd, const JamHdrInfo& in);
int read_hdr(int fd, JamHdr* out);
int write_hdr(int fd, const JamHdr& in);
int read_idx(int fd, JamIdx* out);
int write_idx(int fd, const JamIdx& in);
// Reads *length chain bytes and decodes them; *length becomes the bytes
// decoded. 0 when the read falls short (what arrived is still decoded).
int read_subfield(int fd, JamChain* chain, dword* length);
// Writes the first `length` bytes of the chain's encoding with one write.
int write_subfield(int fd, const JamChain& chain, dword length);

// The active-message table: the index records, in index order, that point
// at a readable header without the deleted bit. Entry i is message i + 1.
struct JamActive {
  dword idx_pos;  // byte offset of the index record in ".jdx"
  dword hdr_ofs;  // its HdrOffset
};

struct JamScan {
  std::vector<JamActive> table;
  std::int64_t jdx_len = 0;  // ".jdx" length the scan used
  std::int64_t jhr_len = 0;  // ".jhr" length the scan used
  // Smallest end (HdrOffset + header size) of an index record skipped
  // because its header lay past the end of ".jhr"; UINT64_MAX when none.
  // Such a record becomes live once the file grows over that point.
  std::uint64_t unreadable_end = UINT64_MAX;
};

// Builds the active-message table from one read of the whole index and a
// look at each indexed header's Attribute, done on large pieces of ".jhr"
// rather than one read per header. 0 when the index cannot be read; `out`
// is then unchanged. With the path of ".jhr", the look at its first
// megabytes goes through a mapping kept for the next scan of that file.
int read_allidx(int jdx_fd, int jhr_fd, JamScan* out, const char* jhr_path = nullptr);
// The same, reading ".jhr" through plain reads only (the fallback when
// ".jhr" is shortened while it is mapped).
int read_allidx_plain(int jdx_fd, int jhr_fd, JamScan* out);


// CRC-32 over `count` bytes with A-Z lower-cased first and no final
// inversion, as JAM stores beside names and identifiers.
dword Jam_Crc32(const void* bytes, std::size_t count);

// Attribute mapping between XMSG::attr and JamHdr::Attribute; bits without
// a counterpart are dropped.
dword Jam_MsgAttrToJam(const XMSG* msg);
dword Jam_JamAttrToMsg(dword jam_attr);

// True when the 4 signature bytes, read as a NUL-terminated string, are
// "JAM" in any case.
bool jam_signature_ok(const byte sig[4]);

// JAM dates are local wall-clock time counted in seconds since 1970 as if it
// were UTC. An empty stamp is 0.
dword jam_local_seconds(const SCOMBO& stamp);
// The current time in local seconds.
dword jam_local_now();
// A JAM date back as a stamp.
SCOMBO jam_stamp_from_seconds(dword secs);

#endif
