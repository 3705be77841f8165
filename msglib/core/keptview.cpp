#include "keptview.h"

#include <algorithm>
#include <array>

namespace {

// Bytes kept mapped at most, over all files: a quarter of a base of
// 100,000 small messages, and half of the 64 MB a gateway process should
// stay within.
constexpr std::uint64_t KEEP_LIMIT = 32u << 20;
// Below this a file is not kept in part.
constexpr std::uint64_t KEEP_LEAST = 1u << 20;
static_assert(KEEP_LIMIT >> 20 <= 64, "one bit of FileView's mask per megabyte kept");

struct Kept {
  FileId id;
  UniqueFd own;  // what it was mapped through: tells when the file loses its last name
  FileMap map;
  std::uint64_t len = 0;   // bytes mapped from offset 0; 0 when unused
  bool partial = false;    // cut short by the limit: not made anew as the file grows
  unsigned holders = 0;    // FileViews using it
  std::uint64_t present = 0;  // megabytes made present (see FileView)
  std::uint64_t used = 0;  // the closing count when it was last asked for

  void drop() {
    map.unmap();
    own.reset();
    len = 0;
    holders = 0;
  }
};

std::array<Kept, 4> kept;
std::uint64_t closings = 0;

Kept* find(const FileId& id) {
  for (Kept& k : kept)
    if (k.len && k.id == id) return &k;
  return nullptr;
}

std::uint64_t kept_bytes() {
  std::uint64_t n = 0;
  for (const Kept& k : kept) n += k.len;
  return n;
}

// Lets go of the least recently used mapping that no view holds and that
// was not asked for since the last area closed (the mappings of the area
// being read make room for nothing else). False when there is none.
bool drop_one_unused() {
  Kept* oldest = nullptr;
  for (Kept& k : kept)
    if (k.len && !k.holders && k.used < closings &&
        (!oldest || k.used < oldest->used))
      oldest = &k;
  if (!oldest) return false;
  oldest->drop();
  return true;
}

Kept* free_slot() {
  for (Kept& k : kept)
    if (!k.len) return &k;
  return nullptr;
}

// `id` is the file's as live_map_identity gave it, `file_len` its length.
Kept* lookup(const FileId& id, const char* path, std::uint64_t file_len) {
  if (file_len == 0 || !path) return nullptr;
  Kept* k = find(id);
  if (k && !k->map.damaged() && (k->len >= file_len || k->partial || k->holders)) {
    k->used = closings;
    return k;
  }
  if (k && k->holders) return nullptr;  // damaged, but still read through
  if (k) k->drop();
  // It reaches past the file's end by an eighth (1 MB at least), so that a
  // base a tosser appends to is not mapped anew for every command.
  const std::uint64_t whole = file_len + std::max<std::uint64_t>(KEEP_LEAST, file_len / 8);
  const std::uint64_t want = std::min(KEEP_LIMIT, whole);
  while (kept_bytes() + want > KEEP_LIMIT && drop_one_unused()) {
  }
  const std::uint64_t room = std::min(want, KEEP_LIMIT - kept_bytes());
  if (room < std::min(file_len, KEEP_LEAST)) return nullptr;
  Kept* slot = free_slot();
  if (!slot && drop_one_unused()) slot = free_slot();
  if (!slot) return nullptr;
  UniqueFd own(open_file(path, OF_READ));
  FileId own_id;
  if (!own || !live_map_identity(own.get(), &own_id) || !(own_id == id)) return nullptr;
  if (!slot->map.map(own.get(), 0, std::size_t(room), MapUse::kKept)) return nullptr;
  slot->own = std::move(own);
  slot->id = id;
  slot->len = room;
  slot->partial = room < whole;
  slot->holders = 0;
  slot->present = 0;
  slot->used = closings;
  return slot;
}

}  // namespace

KeptMapping kept_mapping(int fd, const char* path, std::uint64_t file_len) {
  FileId id;
  const Kept* k = live_map_identity(fd, &id) ? lookup(id, path, file_len) : nullptr;
  return k ? KeptMapping{&k->map, k->len} : KeptMapping{};
}

void kept_area_closed() {
  ++closings;
  for (Kept& k : kept) {
    FileId id;
    if (k.len && !k.holders && (!live_map_identity(k.own.get(), &id) || id.links == 0)) k.drop();
  }
}

void FileView::forget() {
  if (map_)
    for (Kept& k : kept)
      if (&k.map == map_ && k.holders) --k.holders;
  map_ = nullptr;
  present_ = nullptr;
  known_ = 0;
  learned_ = 0;
  ++generation_;
}

const std::uint8_t* FileView::refresh(int fd, std::uint64_t pos, std::size_t n) {
  if (path_.empty() || learned_ >= 2) return nullptr;
  FileId id;
  const int learned = learned_ + 1;
  forget();
  learned_ = learned;
  Kept* k = live_map_identity(fd, &id) ? lookup(id, path_.c_str(), id.length) : nullptr;
  // Learning the length again helps only where the mapping reaches past
  // what the file held.
  if (!k || k->len <= id.length) learned_ = 2;
  if (!k) return nullptr;
  ++k->holders;
  map_ = &k->map;
  present_ = &k->present;
  known_ = std::min(id.length, k->len);
  if (pos + n > known_ || pos + n < pos) return nullptr;
  return bytes(fd, pos, n);
}

void FileView::make_present(std::uint64_t pos, std::size_t n) {
  for (std::uint64_t c = pos >> CHUNK_SHIFT; c <= (pos + n - 1) >> CHUNK_SHIFT; ++c) {
    if (*present_ >> c & 1) continue;
    const std::uint64_t from = c << CHUNK_SHIFT;
    const std::uint64_t to = std::min(from + (std::uint64_t(1) << CHUNK_SHIFT), known_);
    map_->populate(std::int64_t(from), std::size_t(to - from));
    *present_ |= std::uint64_t(1) << c;
  }
}
