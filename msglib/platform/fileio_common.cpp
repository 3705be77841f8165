// The parts of the file wrapper that are the same on every host: built on
// open_file, read_upto and write_upto and the errno they leave.
#include <cerrno>

#include "fileio.h"

bool read_exact(int fd, void* buf, std::size_t n) {
  return read_upto(fd, buf, n) == std::int64_t(n);
}

bool write_all(int fd, const void* buf, std::size_t n) {
  return write_upto(fd, buf, n) == std::int64_t(n);
}

bool open_existing(UniqueFd& fd, const char* path, bool& read_only, int* refused) {
  read_only = false;
  fd.reset();  // no close between the open and the look at its errno
  if (fd.open(path, OF_READWRITE)) return true;
  if (errno != EACCES && errno != EPERM && errno != EROFS) return false;
  const int why = errno;
  read_only = fd.open(path, OF_READ);
  if (read_only && refused) *refused = why;
  return read_only;
}

bool create_or_open(UniqueFd& fd, const char* path) {
  if (fd.open(path, OF_READWRITE | OF_CREATE | OF_EXCLUSIVE)) return true;
  const int created = errno;
  if (fd.open(path, OF_READWRITE)) return true;
  if (created != EEXIST) errno = created;
  return false;
}
