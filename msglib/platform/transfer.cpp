// The whole-buffer transfers of the file wrapper, the same on every host.
#include "fileio.h"

bool read_exact(int fd, void* buf, std::size_t n) {
  return read_upto(fd, buf, n) == std::int64_t(n);
}

bool write_all(int fd, const void* buf, std::size_t n) {
  return write_upto(fd, buf, n) == std::int64_t(n);
}
