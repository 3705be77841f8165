// The file wrapper: descriptors and whole-buffer transfers.
//
// Every base file is opened through open_file: no newline translation,
// sharing that denies nothing to other programs (the platform's default), and
// a created file gets mode 0666 and a created directory 0777, both narrowed
// by the umask, as any program's files are. Formats never call the platform
// directly.
#ifndef ZANDREL_FILEIO_H
#define ZANDREL_FILEIO_H

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <utility>

// Repeats a platform call that a signal cut short (-1 with errno EINTR)
// until it completes or fails for another reason. The front end's signals,
// and a harness's timer, may arrive in the middle of any call. Never for
// close: the descriptor is gone even when close reports EINTR, and a second
// close could hit a descriptor opened meanwhile.
template <class Call>
auto retry_eintr(Call call) -> decltype(call()) {
  for (;;) {
    auto r = call();
    if (!(r == -1 && errno == EINTR)) return r;
  }
}

// Open flags, combined with |.
enum : unsigned {
  OF_READ = 1u,
  OF_WRITE = 2u,
  OF_READWRITE = 3u,
  OF_CREATE = 4u,
  OF_TRUNCATE = 8u,
  OF_EXCLUSIVE = 16u,  // with OF_CREATE: fail when the file exists
};

// Seek origins.
enum SeekFrom { SEEK_FROM_START, SEEK_FROM_CURRENT, SEEK_FROM_END };

// Returns a descriptor, or -1 with errno set (ENOENT: the file or its
// directory does not exist; EEXIST: OF_EXCLUSIVE and it exists).
int open_file(const char* path, unsigned flags);
// 0 or -1. A close cut short by a signal has closed the descriptor all the
// same: that counts as success.
int close_file(int fd);

// Reads until `n` bytes arrived or the file ends; returns the count read, or
// -1 when the platform read fails before anything arrived.
std::int64_t read_upto(int fd, void* buf, std::size_t n);
// True only when exactly `n` bytes arrived.
bool read_exact(int fd, void* buf, std::size_t n);
// Writes all `n` bytes; returns the count written (less on a full disk), or
// -1 when nothing could be written. A write that falls short notes why
// ("write failed: no space left on device") for the failure it causes; so
// does a truncate_file that fails.
std::int64_t write_upto(int fd, const void* buf, std::size_t n);
// True only when all `n` bytes were written.
bool write_all(int fd, const void* buf, std::size_t n);

// New position, or -1.
std::int64_t seek_file(int fd, std::int64_t offset, SeekFrom from);
std::int64_t tell_file(int fd);
// Size of the open file, or -1.
std::int64_t file_length(int fd);

// Reads like read_upto, but at `offset`, leaving the file position alone.
std::int64_t read_at(int fd, void* buf, std::size_t n, std::int64_t offset);

// Cuts or extends the open file to `length` bytes; 0 or -1.
int truncate_file(int fd, std::int64_t length);

int remove_file(const char* path);  // 0 or -1
int make_dir(const char* path);     // 0 or -1; one level

// Gives the file `from` the name `to`, in the same directory, unless a file
// of that name exists: then nothing changes and errno is EEXIST. The name
// appears at once with all the file's bytes. 0, or -1 with errno set.
int move_noreplace(const char* from, const char* to);
// Gives the file `from` the name `to`, replacing what had it, in one step:
// every reader sees the old file or the new one. 0, or -1 with errno set.
int move_replace(const char* from, const char* to);

// This process's id, for names no other process uses at the same time.
unsigned process_id();

class UniqueFd;
// Creates `path` for reading and writing, exclusively, or opens the file
// that is there (another process may create it at the same moment). On
// failure errno says why the file could not be created, or, when it
// existed, why it could not be opened.
bool create_or_open(UniqueFd& fd, const char* path);

// Owns one descriptor; closes it in its destructor. Move-only.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  UniqueFd(UniqueFd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& o) noexcept {
    if (this != &o) reset(std::exchange(o.fd_, -1));
    return *this;
  }
  ~UniqueFd() { reset(); }

  // Opens `path`; false (and no descriptor) on failure.
  bool open(const char* path, unsigned flags) {
    reset(open_file(path, flags));
    return fd_ >= 0;
  }
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  explicit operator bool() const { return fd_ >= 0; }
  int release() { return std::exchange(fd_, -1); }
  // Closing a descriptor drops the byte-range locks held through it.
  void reset(int fd = -1) {
    if (fd_ >= 0) close_file(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

// Opens an existing file for reading and writing or, when writing it is
// refused (another user's file, a read-only mount), for reading only;
// `read_only` tells which. Only a refusal falls back to reading: a file
// that was missing stays missing even when another program makes it a
// moment later, so a file being created is never taken for a read-only one.
// When it opens read-only, `*refused` (if given) gets the errno of the
// refusal; on failure errno says why the file cannot even be read.
bool open_existing(UniqueFd& fd, const char* path, bool& read_only, int* refused = nullptr);

// How a mapping is used: kScan, read once from front to back and unmapped
// (the kernel is told so); kKept, kept and read again, each time from front
// to back.
enum class MapUse { kScan, kKept };

// A read-only mapping of `length` bytes of a file from
// `offset`, for scanning large files without copying them. Unmapped in the
// destructor. Touching a mapped page whose bytes the file no longer holds
// (another program shortened it) raises a bus error. In a kScan mapping,
// read mapped bytes only inside run_mapped. A kKept mapping may be read
// anywhere: such a page is replaced by one of zeros, as a read that came
// short would leave them, and the mapping says it is damaged from then on.
class FileMap {
 public:
  FileMap() = default;
  FileMap(const FileMap&) = delete;
  FileMap& operator=(const FileMap&) = delete;
  ~FileMap() { unmap(); }

  bool map(int fd, std::int64_t offset, std::size_t length, MapUse use = MapUse::kScan);
  void unmap();
  // The byte at file offset `offset`, which lies inside the mapped range.
  const unsigned char* at(std::int64_t offset) const {
    return base_ + (offset - start_);
  }
  // A page of it lost its file bytes and reads as zeros (kKept only).
  bool damaged() const { return damaged_ != 0; }
  // Asks for the mapped pages of `length` bytes from file offset `offset`,
  // all inside the file and the mapping, to be made present at once, which
  // costs far less than a fault on each of them.
  void populate(std::int64_t offset, std::size_t length) const;

 private:
  const unsigned char* base_ = nullptr;
  std::int64_t start_ = 0;  // file offset of base_
  std::size_t length_ = 0;  // bytes mapped from start_
  bool repairable_ = false;  // registered with the bus error handler
  volatile int damaged_ = 0;  // set by the bus error handler
};

// Which file an open descriptor is, told apart from every other file for as
// long as it stays open or mapped (its number cannot go to another file
// then), and how many names it has left.
struct FileId {
  std::uint64_t dev = 0, ino = 0;
  std::uint64_t links = 0;  // 0 once every name of it is removed; not compared
  std::uint64_t length = 0;  // bytes it holds now; not compared
  bool operator==(const FileId& o) const { return dev == o.dev && ino == o.ino; }
};
// True, with *id filled in, where a FileMap shows the file's bytes as they
// are at every moment, so that a mapping kept from one use to the next is
// as good as a new one. False where a FileMap is a copy (Windows) and when
// the system cannot tell.
bool live_map_identity(int fd, FileId* id);

// Runs fn(ctx); false when it was abandoned because a mapped page lost its
// file bytes. fn is cut off mid-way then, so it must own nothing (no
// destructors to run, no allocations) and must only read mapped bytes and
// write plain memory through `ctx`.
bool run_mapped(void (*fn)(void*), void* ctx);

#endif
