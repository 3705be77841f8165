// Files kept mapped from one command to the next. Every command opens its
// area afresh and reads it through plain descriptors; most of the cost of
// reading a base through a new mapping instead would be the kernel setting
// up and tearing down its page tables, which a kept one has already. Where
// a mapping is live (see live_map_identity) it shows what a new one or a
// read would, other programs' writes included, so nothing learned from a
// file is kept: only the way to its bytes. Only bytes inside the file's
// present length are read through it.
//
// One table per process (msglib is used from one thread), bounded in size
// so that the resident memory of a process serving large bases stays
// small; a file past the bound is kept in part. A mapping is made through a
// descriptor of its own, opened by the file's path and never locked: a
// mapping holds on to the open file it was made through, and a byte-range
// lock lives as long as its open file does. That descriptor stays open
// with the mapping.
#ifndef ZANDREL_KEPTVIEW_H
#define ZANDREL_KEPTVIEW_H

#include <cstdint>
#include <string>

#include "platform.h"

// The first `len` bytes of a file mapped; `len` may pass the file's end,
// and only what lies inside its present length may be read.
struct KeptMapping {
  const FileMap* map = nullptr;
  std::uint64_t len = 0;
};

// The kept mapping of the file open as `fd` at `path`, `file_len` bytes
// long now, made if there is none yet that covers as much of it as may be
// kept; none where no mapping may be kept. It stays good until the next
// call or until kept_area_closed, unless it is held by a FileView.
KeptMapping kept_mapping(int fd, const char* path, std::uint64_t file_len);

// To be called as an area that read through kept mappings closes, once its
// views let go: the mappings of files without a name left (a base removed
// or replaced) are let go of, so that their space is freed now, and
// mappings not used since may make room for others.
void kept_area_closed();

// One handle's way to the bytes of one file through its kept mapping; the
// mapping is held (not let go of or made anew by anyone) while the view
// uses it. The view learns the file's length when it first needs it, and
// again once when a piece lies past that (the file may have grown).
class FileView {
 public:
  FileView() = default;
  FileView(const FileView&) = delete;
  FileView& operator=(const FileView&) = delete;
  ~FileView() { forget(); }

  // Reads go through a kept mapping of the file at `path`.
  void attach(std::string path) { path_ = std::move(path); }

  // Where the `n` bytes of `fd` from `pos` lie in the mapping, or null when
  // they do not lie inside it and inside the file's length as last learned.
  // The pointer stays good while generation() stays the same.
  const std::uint8_t* bytes(int fd, std::uint64_t pos, std::size_t n) {
    if (pos + n > known_ || pos + n < pos) return refresh(fd, pos, n);
    if (n && (*present_ & chunks(pos, n)) != chunks(pos, n)) make_present(pos, n);
    return map_->at(std::int64_t(pos));
  }

  // Lets go of the mapping: the length is learned again (after the
  // handle's own writes, and before it closes).
  void forget();
  std::uint64_t generation() const { return generation_; }

 private:
  // The pages of a kept mapping are made present a megabyte at a time, as
  // they are first read through a view: one call instead of a fault every
  // few pages. Bit i of the mask stands for the megabyte from i MB on.
  static constexpr unsigned CHUNK_SHIFT = 20;
  static std::uint64_t chunks(std::uint64_t pos, std::size_t n) {
    const std::uint64_t first = pos >> CHUNK_SHIFT, last = (pos + n - 1) >> CHUNK_SHIFT;
    return ((std::uint64_t(2) << (last - first)) - 1) << first;
  }
  void make_present(std::uint64_t pos, std::size_t n);
  const std::uint8_t* refresh(int fd, std::uint64_t pos, std::size_t n);

  std::string path_;
  const FileMap* map_ = nullptr;  // held while set
  std::uint64_t* present_ = nullptr;  // the mapping's chunks made present
  std::uint64_t known_ = 0;       // bytes readable through map_
  int learned_ = 0;               // times the length was learned since forget()
  std::uint64_t generation_ = 0;
};

#endif
