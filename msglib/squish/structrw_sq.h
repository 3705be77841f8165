// Squish records on disk: the base header, frame headers, index records and
// the 238-byte serialised message header.
//
// The data file ("<base>.sqd") starts with a 256-byte SQBASE; frames follow,
// each a 28-byte SQHDR and frame_size bytes of payload. The index file
// ("<base>.sqi") is a bare array of 12-byte SQIDX records. Everything is
// little-endian and packed field by field here; the in-memory records are not
// file images.
//
// Every reader and writer transfers exactly its record at the descriptor's
// current position and returns 1 on success, 0 on a short transfer. A failed
// read leaves the target untouched. None of them sets msgapierr.
#ifndef ZANDREL_STRUCTRW_SQ_H
#define ZANDREL_STRUCTRW_SQ_H

#include <cstdint>

#include "msgapi.h"

constexpr int SQBASE_SIZE = 256;
constexpr int SQHDR_SIZE = 28;
constexpr int XMSG_SIZE = 238;
constexpr int SQIDX_SIZE = 12;

// The most index records moved by one read or write call: 32,760 bytes.
constexpr dword SQIDX_CHUNK = 2730;

// Every frame header starts with these bytes: 53 44 AE AF.
constexpr dword SQHDRID = 0xAFAE4453u;

// SQHDR::frame_type.
constexpr word FRAME_NORMAL = 0;
constexpr word FRAME_FREE = 1;

constexpr int SQ_BASE_NAME_SIZE = 80;

struct SQBASE {
  word base_size;  // 256 in every base we create
  word reserved1;
  dword num_msg;
  dword high_msg;    // kept equal to num_msg
  dword skip_msgs;   // leading messages exempt from max_msgs
  dword high_water;  // a UMSGID, not a message number
  dword next_uid;    // UMSGID of the next new message
  byte base_name[SQ_BASE_NAME_SIZE];
  dword first_frame;  // message chain, 0 if empty
  dword last_frame;
  dword free_first;  // free chain, 0 if empty
  dword free_last;
  dword end_of_file;  // where the next new frame goes
  dword max_msgs;     // 0 = no limit
  word retention;     // stored and merged, never acted upon
  word frame_hdr_size;
  byte reserved2[124];
};

struct SQHDR {
  dword id;  // SQHDRID
  dword next_frame;
  dword prev_frame;
  dword frame_size;  // payload bytes owned by the frame
  dword msg_size;    // XMSG_SIZE + ctrl_size + text length
  dword ctrl_size;
  word frame_type;  // FRAME_NORMAL or FRAME_FREE
  word reserved;
};

struct SQIDX {
  dword frame_offset;  // 0 marks an unusable record
  UMSGID umsgid;       // strictly increasing along the index
  dword hash;          // SquishHash(to), bit 31 = received
};

int read_xmsg(int fd, XMSG* msg);
int write_xmsg(int fd, const XMSG* msg);
int read_sqhdr(int fd, SQHDR* hdr);
int write_sqhdr(int fd, const SQHDR* hdr);
int read_sqbase(int fd, SQBASE* base);
int write_sqbase(int fd, const SQBASE* base);
// `count` records, moved in chunks of at most SQIDX_CHUNK per call. On a
// short read the records already decoded stay filled; the rest are untouched.
int read_sqidx(int fd, SQIDX* idx, dword count);
int write_sqidx(int fd, const SQIDX* idx, dword count);

// Decoders of records already in memory, for readers that fetch several
// records, or a frame's head, in one transfer. `buf` holds the whole record.
void decode_xmsg(const uint8_t* buf, XMSG* msg);
void decode_sqhdr(const uint8_t* buf, SQHDR* hdr);
void decode_sqidx(const uint8_t* buf, SQIDX* idx);

#endif
