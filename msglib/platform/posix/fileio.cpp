#include "fileio.h"

#include <cerrno>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "msgerr.h"

int open_file(const char* path, unsigned flags) {
  int oflags = O_CLOEXEC;
  switch (flags & OF_READWRITE) {
    case OF_READ: oflags |= O_RDONLY; break;
    case OF_WRITE: oflags |= O_WRONLY; break;
    default: oflags |= O_RDWR; break;
  }
  if (flags & OF_CREATE) oflags |= O_CREAT;
  if (flags & OF_TRUNCATE) oflags |= O_TRUNC;
  if (flags & OF_EXCLUSIVE) oflags |= O_EXCL;
  // Read and write for everyone, narrowed by the umask (and a setgid
  // directory hands on its group): a tosser running under another account
  // of the same group must be able to toss into what we create.
  return retry_eintr([&] { return ::open(path, oflags, 0666); });
}

int close_file(int fd) { return ::close(fd) == 0 || errno == EINTR ? 0 : -1; }

namespace {

// Reads until `n` bytes arrived or the file ends, at the current position
// (offset < 0) or at `offset`.
std::int64_t read_loop(int fd, void* buf, std::size_t n, std::int64_t offset) {
  auto* p = static_cast<unsigned char*>(buf);
  std::size_t got = 0;
  while (got < n) {
    ssize_t r = offset < 0 ? ::read(fd, p + got, n - got)
                           : ::pread(fd, p + got, n - got, off_t(offset + std::int64_t(got)));
    if (r < 0) {
      if (errno == EINTR) continue;
      return got ? std::int64_t(got) : -1;
    }
    if (r == 0) break;
    got += std::size_t(r);
  }
  return std::int64_t(got);
}

}  // namespace

std::int64_t read_upto(int fd, void* buf, std::size_t n) { return read_loop(fd, buf, n, -1); }

std::int64_t read_at(int fd, void* buf, std::size_t n, std::int64_t offset) {
  return offset < 0 ? -1 : read_loop(fd, buf, n, offset);
}

std::int64_t write_upto(int fd, const void* buf, std::size_t n) {
  auto* p = static_cast<const unsigned char*>(buf);
  std::size_t put = 0;
  while (put < n) {
    ssize_t r = ::write(fd, p + put, n - put);
    if (r < 0) {
      if (errno == EINTR) continue;
      note_write_failure(errno);
      return put ? std::int64_t(put) : -1;
    }
    if (r == 0) {
      note_write_failure(0);
      break;
    }
    put += std::size_t(r);
  }
  return std::int64_t(put);
}

std::int64_t seek_file(int fd, std::int64_t offset, SeekFrom from) {
  int whence = from == SEEK_FROM_START ? SEEK_SET
               : from == SEEK_FROM_CURRENT ? SEEK_CUR
                                           : SEEK_END;
  return ::lseek(fd, off_t(offset), whence);
}

std::int64_t tell_file(int fd) { return ::lseek(fd, 0, SEEK_CUR); }

std::int64_t file_length(int fd) {
  struct stat st;
  if (retry_eintr([&] { return ::fstat(fd, &st); }) != 0) return -1;
  return st.st_size;
}

int truncate_file(int fd, std::int64_t length) {
  if (retry_eintr([&] { return ::ftruncate(fd, off_t(length)); }) == 0) return 0;
  note_write_failure(errno);
  return -1;
}

int remove_file(const char* path) {
  return retry_eintr([&] { return ::unlink(path); }) == 0 ? 0 : -1;
}

int make_dir(const char* path) {
  return retry_eintr([&] { return ::mkdir(path, 0777); }) == 0 ? 0 : -1;
}

int move_noreplace(const char* from, const char* to) {
  if (retry_eintr([&] {
        return ::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE);
      }) == 0)
    return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
  // A file system that cannot rename without replacing: a hard link never
  // replaces either; the old name then goes.
  if (retry_eintr([&] { return ::link(from, to); }) != 0) return -1;
  remove_file(from);
  return 0;
}

int move_replace(const char* from, const char* to) {
  return retry_eintr([&] { return ::rename(from, to); }) == 0 ? 0 : -1;
}

unsigned process_id() { return unsigned(::getpid()); }

namespace {

sigjmp_buf* bus_error_jump = nullptr;

// The kept mappings, where a bus error is mended rather than fatal. A fixed
// table, so that the handler reads plain memory only.
struct Repairable {
  const unsigned char* base;
  std::size_t length;
  volatile int* damaged;
};
constexpr std::size_t MAX_REPAIRABLE = 8;
Repairable repairable[MAX_REPAIRABLE];

void on_bus_error(int sig, siginfo_t* info, void*) {
  if (bus_error_jump) siglongjmp(*bus_error_jump, 1);
  // A page of a kept mapping that the file no longer reaches: zeros take
  // its place, and the read goes on as if it had come short.
  const auto* at = static_cast<const unsigned char*>(info->si_addr);
  const std::uintptr_t page = std::uintptr_t(::sysconf(_SC_PAGESIZE));
  for (const Repairable& r : repairable) {
    if (!r.base || at < r.base || at >= r.base + r.length) continue;
    void* start = reinterpret_cast<void*>(std::uintptr_t(at) / page * page);
    if (::mmap(start, page, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) ==
        MAP_FAILED)
      break;
    *r.damaged = 1;
    return;
  }
  ::signal(sig, SIG_DFL);  // not a mapped read of ours: the default action
  ::raise(sig);
}

// Installed once and left in place. SA_NODEFER: a jump out of the handler
// does not leave the signal blocked.
bool catch_bus_errors() {
  static bool installed = false;
  if (installed) return true;
  struct sigaction sa = {};
  sa.sa_sigaction = on_bus_error;
  sa.sa_flags = SA_SIGINFO | SA_NODEFER;
  sigemptyset(&sa.sa_mask);
  installed = ::sigaction(SIGBUS, &sa, nullptr) == 0;
  return installed;
}

}  // namespace

bool FileMap::map(int fd, std::int64_t offset, std::size_t length, MapUse use) {
  unmap();
  if (length == 0 || offset < 0) return false;
  const std::int64_t page = ::sysconf(_SC_PAGESIZE);
  const std::int64_t start = offset - offset % page;
  const std::size_t len = length + std::size_t(offset - start);
  Repairable* slot = nullptr;
  if (use == MapUse::kKept) {
    for (Repairable& r : repairable)
      if (!r.base) {
        slot = &r;
        break;
      }
    if (!slot || !catch_bus_errors()) return false;
  }
  // Pages come in as the scan first touches them, each fault mapping the
  // cached pages around it; populating the whole window up front measured
  // slower. A scan runs front to back once, which the advice tells the
  // kernel; a kept mapping is read again, and its pages are worth keeping.
  void* p = ::mmap(nullptr, len, PROT_READ, MAP_SHARED, fd, off_t(start));
  if (p == MAP_FAILED) return false;
  if (use == MapUse::kScan) ::madvise(p, len, MADV_SEQUENTIAL);
  base_ = static_cast<const unsigned char*>(p);
  start_ = start;
  length_ = len;
  damaged_ = 0;
  if (slot) {
    *slot = Repairable{base_, length_, &damaged_};
    repairable_ = true;
  }
  return true;
}

void FileMap::populate(std::int64_t offset, std::size_t length) const {
#ifdef MADV_POPULATE_READ
  const std::int64_t page = ::sysconf(_SC_PAGESIZE);
  const std::int64_t from = offset - offset % page;
  // A refusal (an older kernel) leaves the pages to come in as touched.
  ::madvise(const_cast<unsigned char*>(at(from)), std::size_t(offset - from) + length,
            MADV_POPULATE_READ);
#else
  (void)offset;
  (void)length;
#endif
}

bool live_map_identity(int fd, FileId* id) {
  struct stat st;
  if (retry_eintr([&] { return ::fstat(fd, &st); }) != 0) return false;
  id->dev = std::uint64_t(st.st_dev);
  id->ino = std::uint64_t(st.st_ino);
  id->links = std::uint64_t(st.st_nlink);
  id->length = std::uint64_t(st.st_size);
  return true;
}

void FileMap::unmap() {
  if (repairable_) {
    for (Repairable& r : repairable)
      if (r.base == base_) r = Repairable{};
    repairable_ = false;
  }
  if (base_) ::munmap(const_cast<unsigned char*>(base_), length_);
  base_ = nullptr;
  length_ = 0;
}

bool run_mapped(void (*fn)(void*), void* ctx) {
  // A page of a shared file mapping whose bytes were cut off by a truncation
  // elsewhere raises SIGBUS when touched; the handler jumps back here.
  if (!catch_bus_errors()) return false;
  sigjmp_buf jump;
  volatile bool ok = false;
  if (sigsetjmp(jump, 0) == 0) {
    bus_error_jump = &jump;
    fn(ctx);
    ok = true;
  }
  bus_error_jump = nullptr;
  return ok;
}
