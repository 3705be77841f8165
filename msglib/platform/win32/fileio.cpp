#include "fileio.h"

#include <direct.h>
#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <new>

#include "msgerr.h"
#include "winapi.h"
#include "winlock.h"

namespace {

HANDLE os_handle(int fd) {
  // The runtime reports an unknown descriptor as INVALID_HANDLE_VALUE, but
  // a negative one is not even asked about.
  return fd < 0 ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

// One call moves at most this much, so that the count fits a DWORD and the
// runtime's int results.
constexpr std::size_t MAX_CHUNK = 1u << 30;

bool set_position(HANDLE h, std::int64_t offset) {
  LARGE_INTEGER to;
  to.QuadPart = offset;
  return SetFilePointerEx(h, to, nullptr, FILE_BEGIN) != 0;
}

std::int64_t position(HANDLE h) {
  LARGE_INTEGER zero, at;
  zero.QuadPart = 0;
  return SetFilePointerEx(h, zero, &at, FILE_CURRENT) ? at.QuadPart : -1;
}

// Reads until `n` bytes arrived or the file ends, at the current position.
// A range that another program holds locked is waited for.
std::int64_t read_loop(HANDLE h, void* buf, std::size_t n) {
  if (h == INVALID_HANDLE_VALUE) return -1;
  auto* p = static_cast<unsigned char*>(buf);
  std::size_t got = 0;
  while (got < n) {
    DWORD chunk = DWORD(std::min(n - got, MAX_CHUNK)), r = 0;
    if (!winlock::retry([&] { return ReadFile(h, p + got, chunk, &r, nullptr) != 0; }))
      return got ? std::int64_t(got) : -1;
    if (r == 0) break;
    got += r;
  }
  return std::int64_t(got);
}

// Sets errno from the failure the host reported, as far as callers tell
// failures apart; returns -1.
int fail_errno() {
  switch (GetLastError()) {
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: errno = EEXIST; break;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME: errno = ENOENT; break;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT: errno = EACCES; break;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: errno = ENOSPC; break;
    default: errno = EIO; break;
  }
  return -1;
}

}  // namespace

int open_file(const char* path, unsigned flags) {
  // Shared in every way: other programs may read and write the file while
  // we have it open, and rename or delete it too, as on every other host.
  // The runtime's deny-none mode (_SH_DENYNO) leaves out the last two, and
  // without them a *.MSG message could not be published by renaming the
  // file it was written into, nor a tosser remove a message we are reading.
  // Binary, and not inherited by child processes.
  DWORD access = 0;
  int oflags = _O_BINARY;
  switch (flags & OF_READWRITE) {
    case OF_READ: access = GENERIC_READ; oflags |= _O_RDONLY; break;
    case OF_WRITE: access = GENERIC_WRITE; oflags |= _O_WRONLY; break;
    default: access = GENERIC_READ | GENERIC_WRITE; oflags |= _O_RDWR; break;
  }
  const bool create = flags & OF_CREATE, truncate = flags & OF_TRUNCATE;
  const DWORD disposition = create && (flags & OF_EXCLUSIVE) ? CREATE_NEW
                            : create && truncate              ? CREATE_ALWAYS
                            : create                          ? OPEN_ALWAYS
                            : truncate                        ? TRUNCATE_EXISTING
                                                              : OPEN_EXISTING;
  HANDLE h = CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return fail_errno();
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), oflags);
  if (fd < 0) CloseHandle(h);
  return fd;
}

int close_file(int fd) {
  winlock::held::forget(fd);
  return _close(fd);
}

std::int64_t read_upto(int fd, void* buf, std::size_t n) { return read_loop(os_handle(fd), buf, n); }

std::int64_t read_at(int fd, void* buf, std::size_t n, std::int64_t offset) {
  // A read at an offset moves the position of a handle like this one, so
  // it is put back afterwards.
  HANDLE h = os_handle(fd);
  if (offset < 0 || h == INVALID_HANDLE_VALUE) return -1;
  const std::int64_t was = position(h);
  if (was < 0 || !set_position(h, offset)) return -1;
  const std::int64_t got = read_loop(h, buf, n);
  set_position(h, was);
  return got;
}

std::int64_t write_upto(int fd, const void* buf, std::size_t n) {
  HANDLE h = os_handle(fd);
  if (h == INVALID_HANDLE_VALUE) return -1;
  auto* p = static_cast<const unsigned char*>(buf);
  std::size_t put = 0;
  while (put < n) {
    DWORD chunk = DWORD(std::min(n - put, MAX_CHUNK)), w = 0;
    if (!winlock::retry([&] { return WriteFile(h, p + put, chunk, &w, nullptr) != 0; })) {
      fail_errno();
      note_write_failure(errno);
      return put ? std::int64_t(put) : -1;
    }
    if (w == 0) {
      note_write_failure(0);
      break;
    }
    put += w;
  }
  return std::int64_t(put);
}

std::int64_t seek_file(int fd, std::int64_t offset, SeekFrom from) {
  int whence = from == SEEK_FROM_START ? SEEK_SET
               : from == SEEK_FROM_CURRENT ? SEEK_CUR
                                           : SEEK_END;
  return fd < 0 ? -1 : _lseeki64(fd, offset, whence);
}

std::int64_t tell_file(int fd) { return fd < 0 ? -1 : _telli64(fd); }

std::int64_t file_length(int fd) {
  LARGE_INTEGER size;
  HANDLE h = os_handle(fd);
  return h != INVALID_HANDLE_VALUE && GetFileSizeEx(h, &size) ? size.QuadPart : -1;
}

int truncate_file(int fd, std::int64_t length) {
  // The end of file is set at the position, which is put back afterwards.
  HANDLE h = os_handle(fd);
  if (length < 0 || h == INVALID_HANDLE_VALUE) return -1;
  const std::int64_t was = position(h);
  if (was < 0 || !set_position(h, length)) return -1;
  const bool ok = winlock::retry([&] { return SetEndOfFile(h) != 0; });
  if (!ok) {
    fail_errno();
    note_write_failure(errno);
  }
  set_position(h, was);
  return ok ? 0 : -1;
}

int remove_file(const char* path) { return _unlink(path) == 0 ? 0 : -1; }

int make_dir(const char* path) { return _mkdir(path) == 0 ? 0 : -1; }

// Both names are in one directory, so a move is a rename: the file appears
// under its new name whole, or not at all.
int move_noreplace(const char* from, const char* to) {
  return MoveFileExA(from, to, 0) ? 0 : fail_errno();
}

int move_replace(const char* from, const char* to) {
  return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) ? 0 : fail_errno();
}

unsigned process_id() { return unsigned(GetCurrentProcessId()); }

// No mappings on this host: a file with a view mapped cannot be shortened
// by anyone, so a tosser packing the base would fail while we scan it. The
// range is read into memory instead; one that no longer arrives whole fails
// like a mapping that lost its bytes.
bool FileMap::map(int fd, std::int64_t offset, std::size_t length, MapUse) {
  unmap();
  if (length == 0 || offset < 0) return false;
  auto* copy = new (std::nothrow) unsigned char[length];
  if (!copy) return false;
  if (read_at(fd, copy, length, offset) != std::int64_t(length)) {
    delete[] copy;
    return false;
  }
  base_ = copy;
  start_ = offset;
  length_ = length;
  return true;
}

void FileMap::unmap() {
  delete[] base_;
  base_ = nullptr;
  length_ = 0;
}

// A copy is present already.
void FileMap::populate(std::int64_t, std::size_t) const {}

// A copy shows the bytes as they were: never to be kept.
bool live_map_identity(int, FileId*) { return false; }

// The bytes are a copy and cannot go away under the scan.
bool run_mapped(void (*fn)(void*), void* ctx) {
  fn(ctx);
  return true;
}
