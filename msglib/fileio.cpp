#include "fileio.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
  int fd;
  do {
    fd = ::open(path, oflags, S_IRUSR | S_IWUSR);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

int close_file(int fd) { return ::close(fd); }

std::int64_t read_upto(int fd, void* buf, std::size_t n) {
  auto* p = static_cast<unsigned char*>(buf);
  std::size_t got = 0;
  while (got < n) {
    ssize_t r = ::read(fd, p + got, n - got);
    if (r < 0) {
      if (errno == EINTR) continue;
      return got ? std::int64_t(got) : -1;
    }
    if (r == 0) break;
    got += std::size_t(r);
  }
  return std::int64_t(got);
}

bool read_exact(int fd, void* buf, std::size_t n) {
  return read_upto(fd, buf, n) == std::int64_t(n);
}

std::int64_t write_upto(int fd, const void* buf, std::size_t n) {
  auto* p = static_cast<const unsigned char*>(buf);
  std::size_t put = 0;
  while (put < n) {
    ssize_t r = ::write(fd, p + put, n - put);
    if (r < 0) {
      if (errno == EINTR) continue;
      return put ? std::int64_t(put) : -1;
    }
    if (r == 0) break;
    put += std::size_t(r);
  }
  return std::int64_t(put);
}

bool write_all(int fd, const void* buf, std::size_t n) {
  return write_upto(fd, buf, n) == std::int64_t(n);
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
  if (::fstat(fd, &st) != 0) return -1;
  return st.st_size;
}

int remove_file(const char* path) { return ::unlink(path) == 0 ? 0 : -1; }

int make_dir(const char* path) { return ::mkdir(path, S_IRWXU) == 0 ? 0 : -1; }
