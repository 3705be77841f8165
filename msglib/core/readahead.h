// Reading a file ahead while it is read in order: a reader that asks for
// piece after piece, each starting where the one before ended (the texts of
// a JAM base, the frames of a Squish base, when a news reader asks for the
// overview of a whole area), gets them out of one block read at a time
// instead of one read each. A read anywhere else takes only what it asks
// for, so a lone read costs no more than before.
//
// The block belongs to one area handle and is dropped by every change that
// handle makes to the file, so the handle always sees its own changes.
// What other programs change meanwhile may go unseen until the block is
// read again, as it could between any two reads anyway.
//
// Where the file is kept mapped (keptview.h), the pieces read in order (or
// a little further on) are taken from there instead, and no block is read.
// A lone piece is still read: the first read of a page through a mapping
// costs more than reading it, and pays off only once the page is read
// again.
#ifndef ZANDREL_READAHEAD_H
#define ZANDREL_READAHEAD_H

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "keptview.h"
#include "platform.h"

class ReadAhead {
 public:
  // Bytes per block read: the texts of dozens of short messages. A piece of
  // LONE bytes or more is read on its own, straight where it is wanted: the
  // read then costs little beside the copy, and a second copy out of the
  // block would cost more.
  static constexpr std::size_t BLOCK = 128 * 1024;
  static constexpr std::size_t LONE = 16 * 1024;
  // Through a kept mapping, a piece that starts this far past the end of
  // the one before still belongs to the run (messages deleted in between).
  static constexpr std::uint64_t SKIP = 64 * 1024;

  // `n` bytes of `fd` from `pos` into `buf`: the count placed there (short
  // only where the file ends), or -1, as read_at gives them.
  std::int64_t read(int fd, std::uint64_t pos, void* buf, std::size_t n) {
    std::size_t have = 0;
    if (const std::uint8_t* p = fetch(fd, pos, n, &have)) {
      std::memcpy(buf, p, have);
      return std::int64_t(have);
    }
    if (failed_) return -1;
    return read_at(fd, buf, n, std::int64_t(pos));
  }

  // The same bytes left where they lie in the block: where they start, with
  // *have the count held (short only where the file ends). Null when the
  // piece is not read through the block (a read out of order, a piece of
  // LONE bytes or more, or a failed read, which failed() then tells): the
  // caller reads it itself. The pointer stays good while fills() stays the
  // same.
  const std::uint8_t* fetch(int fd, std::uint64_t pos, std::size_t n, std::size_t* have) {
    const bool in_order = pos == next_;
    const bool in_run = pos >= next_ && pos - next_ <= SKIP;
    next_ = pos + n;
    failed_ = false;
    if (in_run) {
      if (const std::uint8_t* p = view_.bytes(fd, pos, n)) {
        *have = n;
        return p;
      }
    }
    if (!holds(pos, n)) {
      if (!in_order || n >= LONE) {
        drop_block();
        return nullptr;
      }
      ++fills_;
      blk_.resize(BLOCK);
      const std::int64_t got = read_at(fd, blk_.data(), blk_.size(), std::int64_t(pos));
      if (got < 0) {
        drop_block();
        failed_ = true;
        return nullptr;
      }
      blk_.resize(std::size_t(got));
      pos_ = pos;
    }
    const std::uint64_t rel = pos - pos_;
    *have = std::size_t(std::min<std::uint64_t>(n, blk_.size() - rel));
    return blk_.data() + rel;
  }

  // The same bytes where the kept mapping holds them and they follow the
  // piece asked for before, or null; nothing is read.
  const std::uint8_t* mapped(int fd, std::uint64_t pos, std::size_t n) {
    if (pos != next_) return nullptr;
    const std::uint8_t* p = view_.bytes(fd, pos, n);
    if (p) next_ = pos + n;
    return p;
  }

  bool failed() const { return failed_; }
  // Changes whenever a pointer fetch() gave may have gone bad.
  std::uint64_t fills() const { return fills_ + view_.generation(); }

  // Reads go through a kept mapping of the file at `path` where they can.
  void keep_mapped(std::string path) { view_.attach(std::move(path)); }

  // Forgets the block and what was learned of the file; the next read in
  // order fills a new block.
  void drop() {
    drop_block();
    view_.forget();
  }

 private:
  void drop_block() {
    blk_.clear();
    ++fills_;
  }

  bool holds(std::uint64_t pos, std::size_t n) const {
    return !blk_.empty() && pos >= pos_ && pos - pos_ + n <= blk_.size();
  }

  FileView view_;
  std::vector<std::uint8_t> blk_;
  std::uint64_t pos_ = 0;              // file offset of blk_[0]
  std::uint64_t next_ = UINT64_MAX;    // where the last piece asked for ended
  std::uint64_t fills_ = 0;            // blocks read or dropped so far
  bool failed_ = false;                // the last block read failed
};

#endif
