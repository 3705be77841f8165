// Squish writing: choosing a frame (first fit over the free chain, merging
// free neighbours, or a new frame at the end of the file), the message limit,
// linking, and storing header, control information and text.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "apiutil.h"
#include "fidotext.h"
#include "sq_int.h"

namespace {

sword update_link(SquishAreaData& d, dword frame, dword value, dword SQHDR::*link) {
  if (frame == 0) return 0;
  SQHDR h;
  if (_SquishReadHeader(d, frame, &h) != 0) return -1;
  h.*link = value;
  return _SquishWriteHeader(d, frame, &h);
}

}  // namespace

sword _SquishUpdateHeaderNext(SquishAreaData& d, dword frame, dword value) {
  return update_link(d, frame, value, &SQHDR::next_frame);
}

sword _SquishUpdateHeaderPrev(SquishAreaData& d, dword frame, dword value) {
  return update_link(d, frame, value, &SQHDR::prev_frame);
}

namespace {

// The last frame of the free chain, walked from free_first, when free_last
// does not name a free frame (a writer was cut off while it took free_last
// for a message): appending through it would overwrite a live message
// frame's link. 0 when the chain has no free frame.
dword confirmed_free_tail(SquishAreaData& d) {
  std::int64_t len = file_length(d.sfd.get());
  SQHDR h;
  auto is_free = [&](dword f) {
    return f >= SQBASE_SIZE && len > 0 && _SquishReadHeader(d, f, &h) == 0 &&
           h.frame_type == FRAME_FREE &&
           std::uint64_t(f) + d.base.frame_hdr_size + h.frame_size <= std::uint64_t(len);
  };
  if (is_free(d.base.free_last) && h.next_frame == 0) return d.base.free_last;
  dword tail = 0;
  std::uint64_t steps = len > 0 ? std::uint64_t(len) / SQHDR_SIZE + 1 : 0;
  for (dword f = d.base.free_first; f != 0 && steps-- > 0 && is_free(f); f = h.next_frame) tail = f;
  return tail;
}

}  // namespace

sword Add_To_Free_Chain(SquishAreaData& d, dword frame, SQHDR hdr) {
  hdr.next_frame = 0;
  if (d.base.free_first != 0 && d.base.free_last != 0) {
    d.base.free_last = confirmed_free_tail(d);
    if (d.base.free_last == 0) d.base.free_first = 0;
  }
  const bool empty = d.base.free_first == 0 || d.base.free_last == 0;
  hdr.prev_frame = empty ? 0 : d.base.free_last;
  hdr.frame_type = FRAME_FREE;  // frame_size stays: the frame keeps its space
  // The frame turns free before the chain leads to it: a writer killed in
  // between leaves an unreachable frame, never a free chain that runs into
  // a frame still typed as a message.
  if (_SquishWriteHeader(d, frame, &hdr) != 0) return -1;
  if (!empty && _SquishUpdateHeaderNext(d, d.base.free_last, frame) != 0) return -1;
  if (empty) d.base.free_first = frame;
  d.base.free_last = frame;
  return _SquishUpdateSq(d, false) ? 0 : fail(APIERR_FILE_IO);
}

namespace {

// Free frames (merged neighbours included) a write examines at most. Each
// costs a header read, and a long chain fills at its head with frames too
// small for most messages: past the bound the message goes to the end of
// the file, so a post costs about the same in a large area as in a small one.
constexpr std::uint64_t FREE_EXAMINE_LIMIT = 32;

// The frame chosen for a message.
struct Choice {
  dword frame = 0;
  SQHDR old{};          // its header as found, frame_size covering merged neighbours
  bool at_end = false;  // a new frame at end_of_file rather than a free one
  // Its neighbours in the free chain as the walk found them: the free frame
  // whose link led to it (0: it was free_first) and the free frame its link
  // leads to (0: none, or a link to anything but a free frame). A writer cut
  // off while it took a frame off the chain leaves links behind that the
  // walk does not confirm; those are never followed or written through.
  dword pred = 0, next = 0;
  bool takes_tail = false;  // free neighbours merged into it reach free_last
};

// Reads a free-chain entry and checks that it is a free frame inside the data
// file: a damaged chain must not hand out a live message's frame or space the
// file does not have.
bool read_free_header(SquishAreaData& d, dword frame, std::int64_t file_len, SQHDR* hdr) {
  if (frame < SQBASE_SIZE || _SquishReadHeader(d, frame, hdr) != 0) return false;
  std::uint64_t end = std::uint64_t(frame) + d.base.frame_hdr_size + hdr->frame_size;
  return hdr->frame_type == FRAME_FREE && end <= std::uint64_t(file_len);
}

// Deletes the oldest messages the limit may remove until one more fits. The
// run reads the index into memory once; each deletion stores what it changed
// before its frame turns free.
sword apply_limit(SquishAreaData& d) {
  HAREA ha = &d.ha;
  bool loaded = false;
  if (!d.have_idx) {
    if (_SquishReadIndex(d) != 0) return -1;
    loaded = true;
  }
  while (ha->num_msg + 1 > d.base.max_msgs) {
    if (SquishKillMsg(ha, d.base.skip_msgs + 1) != 0) {
      // The deletions before are stored; what the failed one left in memory
      // must not follow them to the disk.
      if (loaded) _SquishDropIndex(d);
      return -1;
    }
  }
  return loaded ? _SquishWriteIndex(d) : 0;
}

// Frames allocated by other processes since we last looked are seen: the
// change this is part of refreshed the header when it took the lock (a
// locked area, when it was locked).
sword _SquishFindFree(SquishAreaData& d, Choice* c, dword need, const SquishMsgHandle& m) {
  dword f = d.base.free_first;
  if (d.base.max_msgs && m.msgnum == 0 && apply_limit(d) != 0) return -1;

  std::int64_t file_len = file_length(d.sfd.get());
  if (file_len < 0) return fail(APIERR_FILE_IO);
  // Each frame takes at least a header's worth of the file, so a walk longer
  // than that has met a loop in a damaged chain. The walk stops much sooner,
  // though: every frame examined costs a read, and in a base with thousands
  // of free frames the head of the chain fills up with frames too small for
  // most messages, which every write would otherwise read again. Past
  // FREE_EXAMINE_LIMIT frames the message goes to the end of the file, as
  // it would with no free frame that fits; the frames not examined stay
  // free for later writes.
  std::uint64_t steps_left =
      std::min<std::uint64_t>(std::uint64_t(file_len) / SQHDR_SIZE + 1, FREE_EXAMINE_LIMIT);
  auto step = [&steps_left] { return steps_left > 0 ? (--steps_left, true) : false; };
  dword pred = 0;
  // The chosen frame with its confirmed neighbours.
  auto choose = [&](dword frame, const SQHDR& a) {
    *c = Choice{frame, a, false, pred, 0};
    SQHDR n;
    if (a.next_frame != 0 && read_free_header(d, a.next_frame, file_len, &n)) c->next = a.next_frame;
  };
  while (f != 0 && step()) {
    SQHDR a;
    if (!read_free_header(d, f, file_len, &a)) {
      msgapierr = APIERR_FILE_IO;
      break;
    }
    if (a.frame_size >= need) {
      choose(f, a);
      return 0;
    }
    // Free frames that follow each other in the file and in the chain are
    // merged while the frame is still too small.
    dword merged = 0;
    while (a.frame_size < need && a.next_frame != 0 && step() &&
           a.next_frame == std::uint64_t(f) + d.base.frame_hdr_size + a.frame_size) {
      SQHDR n;
      if (!read_free_header(d, a.next_frame, file_len, &n)) {
        msgapierr = APIERR_FILE_IO;
        break;
      }
      merged = a.next_frame;
      a.frame_size += d.base.frame_hdr_size + n.frame_size;  // fits: both lie inside the file
      a.next_frame = n.next_frame;
    }
    if (a.frame_size >= need) {
      choose(f, a);
      c->takes_tail = merged != 0 && merged == d.base.free_last;
      return 0;
    }
    pred = merged != 0 ? merged : f;
    f = a.next_frame;
  }

  // A new frame at the end. A header whose end_of_file points into the base
  // header itself, or past the end of the file (frames are written before
  // the header that counts them), is damaged: append after what the file
  // holds instead, rather than over the base header or after a hole.
  if (d.base.end_of_file < SQBASE_SIZE || d.base.end_of_file > file_len) {
    if (file_len > 0xFFFFFFFF) return fail(APIERR_FILE_IO);  // frame offsets are 32 bits
    d.base.end_of_file = dword(std::max<std::int64_t>(file_len, SQBASE_SIZE));
  }
  c->frame = d.base.end_of_file;
  c->old = SQHDR{};
  c->at_end = true;
  return 0;
}

// Takes the chosen frame off the free chain, through the links read when it
// was chosen. The base header that no longer lists it goes out before the
// frame becomes a message frame, in a locked area as well: a writer killed
// later leaves an unreachable frame, not a free chain that starts or ends at
// a message frame (which would keep every later writer from the free space,
// and make the next deletion drop the rest of the chain).
sword unlink_free(SquishAreaData& d, const Choice& c) {
  if (c.at_end) return 0;
  if (_SquishUpdateHeaderNext(d, c.pred, c.next) != 0 ||
      _SquishUpdateHeaderPrev(d, c.next, c.pred) != 0)
    return -1;
  if (c.pred == 0) d.base.free_first = c.next;
  if (c.frame == d.base.free_last || c.takes_tail || c.next == 0) d.base.free_last = c.pred;
  return _SquishStoreNow(d) ? 0 : fail(APIERR_FILE_IO);
}

void replace_frame(dword& field, dword from, dword to) {
  if (field == from) field = to;
}

// The stored header: the date text is made from date_written when empty.
XMSG stored_header(const XMSG& in) {
  XMSG x = in;
  if (x.__ftsc_date[0] == 0) {
    const auto& dt = x.date_written.msg_st.date;
    const auto& tm = x.date_written.msg_st.time;
    Ftsc_Date(reinterpret_cast<char*>(x.__ftsc_date), dt.da ? dt.da : 1u, dt.mo, dt.yr + 80u,
              tm.hh, tm.mm, tm.ss * 2u);
  }
  x.__ftsc_date[sizeof x.__ftsc_date - 1] = 0;
  return x;
}

bool write_at(int fd, std::int64_t pos, const void* buf, std::size_t n) {
  return seek_file(fd, pos, SEEK_FROM_START) == pos && write_all(fd, buf, n);
}

// The index carries a hash of the header's `to` and its received bit; a
// header rewritten in place must not leave a stale one behind. A message that
// was renumbered since it was opened is left alone.
sword refresh_hash(SquishAreaData& d, const SquishMsgHandle& m, dword hash) {
  SqWriteLock guard(d);
  if (!guard.ok()) return fail(APIERR_FILE_IO);
  SQIDX rec;
  if (m.number == 0 || _SquishGetIdxFrame(d, m.number - 1, &rec) != 0 ||
      rec.frame_offset != m.frame_offset || rec.hash == hash)
    return 0;
  rec.hash = hash;
  return AddIndex(d, rec, m.number - 1);
}

// Stores the message header (when given), on a first write the control
// information, and a piece of text into the frame at m.frame_offset. A
// first write also makes the data file reach the end of the frame at once,
// even when the rest of the text is still to come: the file then covers
// every frame the base header counts, and no other writer takes the
// missing bytes for the end of the file.
sword write_contents(SquishAreaData& d, SquishMsgHandle& m, const XMSG* header, bool first,
                     const byte* ctext, dword clen, const byte* text, dword textlen) {
  const int fd = d.sfd.get();
  _SquishNoteWrite(d);
  std::int64_t pos = std::int64_t(m.frame_offset) + d.base.frame_hdr_size;
  if (header) {
    XMSG x = stored_header(*header);
    if (seek_file(fd, pos, SEEK_FROM_START) != pos || !write_xmsg(fd, &x)) return fail(APIERR_FILE_IO);
    if (m.mode != MO_CREATE && refresh_hash(d, m, SquishIndexHash(x)) != 0) return -1;
  }
  pos += XMSG_SIZE;
  if (first) {
    if (clen && !write_at(fd, pos, ctext, clen)) return fail(APIERR_FILE_IO);
    m.ctrl_length = clen;
    m.bytes_written = 0;
  }
  pos += m.ctrl_length;

  if (text) {
    const dword n = std::min(textlen, m.text_total - m.bytes_written);
    if (n && !write_at(fd, pos + m.bytes_written, text, n)) return fail(APIERR_SHORT_WRITE);
    m.bytes_written += n;
  }
  if (first && m.bytes_written < m.text_total) {
    const byte zero = 0;
    if (!write_at(fd, pos + m.text_total - 1, &zero, 1)) return fail(APIERR_SHORT_WRITE);
  }
  return 0;
}

// The first write of a message: frame, contents, chains, index record and
// base header, in that order. Memory takes the new message only once all of
// it is on disk.
sword write_first(SquishAreaData& d, SquishMsgHandle& m, const XMSG& header, const byte* text,
                  dword textlen, dword totlen, dword clen, const byte* ctext) {
  HAREA ha = &d.ha;
  const dword need = XMSG_SIZE + clen + totlen;
  m.text_total = totlen;
  Choice c;
  if (_SquishFindFree(d, &c, need, m) != 0) return -1;
  // Refused before anything is written: a new message whose index record
  // could not be stored would be left in the chain uncounted.
  if ((m.msgnum == 0 || m.msgnum > ha->num_msg) && !_SquishIndexReaches(d, ha->num_msg))
    return fail(APIERR_FILE_IO, SQ_INDEX_SHORT);
  if (c.at_end && std::uint64_t(c.frame) + d.base.frame_hdr_size + need > 0xFFFFFFFFu)
    return fail(APIERR_FILE_IO);  // frame offsets are 32 bits
  if (m.msgnum == 0 || m.msgnum > ha->num_msg) m.msgnum = ha->num_msg + 1;

  dword old_frame = 0;
  SQIDX rec;
  SQHDR old;
  const bool replacing =
      m.msgnum <= ha->num_msg && _SquishGotoMsg(d, m.msgnum, &old_frame, &rec, &old, false) == 0;
  if (!replacing) m.msgnum = ha->num_msg + 1;
  // Off the free chain before a replaced frame goes on it: appending first
  // would change the chosen frame's links on disk behind our back.
  if (unlink_free(d, c) != 0) return -1;

  SQHDR nh = Init_Hdr();
  nh.prev_frame = replacing ? old.prev_frame : d.base.last_frame;
  nh.next_frame = replacing ? old.next_frame : 0;
  nh.frame_size = c.at_end ? need : c.old.frame_size;
  nh.msg_size = need;
  nh.ctrl_size = clen;
  nh.frame_type = FRAME_NORMAL;
  if (_SquishWriteHeader(d, c.frame, &nh) != 0) return -1;
  // A new message is linked in once its header is on disk; readers go by
  // the count, which comes last.
  if (!replacing && _SquishUpdateHeaderNext(d, d.base.last_frame, c.frame) != 0) return -1;
  m.frame_offset = c.frame;
  if (write_contents(d, m, &header, true, ctext, clen, text, textlen) != 0) return -1;
  if (c.at_end) d.base.end_of_file = c.frame + d.base.frame_hdr_size + need;

  if (replacing) {
    // The old frame gives way only now that the new one is whole: a write
    // that fails before this leaves the old message as it was.
    rec.frame_offset = c.frame;
    rec.hash = SquishIndexHash(header);
    if (_SquishUpdateHeaderNext(d, old.prev_frame, c.frame) != 0 ||
        _SquishUpdateHeaderPrev(d, old.next_frame, c.frame) != 0 ||
        AddIndex(d, rec, m.msgnum - 1) != 0)
      return fail(APIERR_FILE_IO);
    for (dword* f : {&d.base.first_frame, &d.base.last_frame, &d.cur_frame, &d.cur_next, &d.cur_prev})
      replace_frame(*f, old_frame, c.frame);
    // The index record and the header lead to the new frame before the old
    // one turns free (a locked area holds both back otherwise).
    if (!_SquishStoreNow(d)) return fail(APIERR_FILE_IO);
    if (Add_To_Free_Chain(d, old_frame, old) != 0) return -1;
  } else {
    if (AddIndex(d, SQIDX{c.frame, d.base.next_uid, SquishIndexHash(header)}, ha->num_msg) != 0)
      return fail(APIERR_FILE_IO);
    d.base.last_frame = c.frame;
    ++ha->num_msg;
    ++ha->high_msg;
  }
  ++d.base.next_uid;  // a replacement keeps its UMSGID; the one drawn stays unused
  if (d.base.first_frame == 0) d.base.first_frame = c.frame;
  if (d.cur_next == 0) d.cur_next = c.frame;
  return 0;
}

}  // namespace

sword SquishWriteMsg(HMSG msgh, word append, const XMSG* header, const byte* text, dword textlen,
                     dword totlen, dword clen, const byte* ctext) {
  if (InvalidMsgh(msgh)) return -1;
  return guard_alloc<sword>(-1, [&]() -> sword {
    SquishMsgHandle& m = sq_msg(msgh);
    SquishAreaData& d = sq_area(msgh->sq);
    if (d.read_only) return fail_read_only(d.write_refused);
    if (!ctext) clen = 0;
    if (!text) textlen = 0;
    if (!textlen) text = nullptr;
    if (!clen) ctext = nullptr;

    // An existing message is rewritten in place: header and text, never the
    // frame or the control information.
    if (m.mode != MO_CREATE) {
      m.bytes_written = 0;
      append = 1;
    } else if (append ? m.frame_offset == 0 : header == nullptr) {
      // A continuation needs a frame; a first write needs a header to hash.
      return fail(APIERR_NOT_FOUND);
    }
    // The stored block ends at its NUL, and includes it when clen reaches it.
    if (clen) {
      const void* nul = std::memchr(ctext, 0, clen);
      if (nul) clen = dword(static_cast<const byte*>(nul) - ctext) + 1;
    }

    // Every write, a continuation too, holds the area lock: writing without
    // it would race the process that holds it. A first write places a frame
    // and so decides from a fresh header, and stores the header once done;
    // a continuation only adds text to its frame.
    SqChange change(d, !append);
    if (!change.locked()) return fail(APIERR_FILE_IO);
    sword r;
    if (append) {
      r = write_contents(d, m, header, false, nullptr, 0, text, textlen);
    } else {
      r = change.ok() ? write_first(d, m, *header, text, textlen, totlen, clen, ctext)
                      : fail(APIERR_FILE_IO);
      if (r == 0 && !change.commit()) r = fail(APIERR_FILE_IO);
      if (r != 0) m.frame_offset = 0;  // no continuation into a frame never placed
    }
    // A write that failed part-way leaves on disk what a writer killed at
    // that point would, and memory no more than the disk holds, so that no
    // later merge stores what did not happen.
    if (r != 0) change.rollback();
    return sword(r);
  });
}
