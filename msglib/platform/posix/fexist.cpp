#include "fexist.h"

#include <sys/stat.h>

#include <cstdint>

#include "fileio.h"

namespace {

// stat() follows symbolic links, as the host's status query follows
// junctions: a link to a message file counts as the file itself.
bool query(const char* path, struct stat* st) {
  return path != nullptr && retry_eintr([&] { return ::stat(path, st); }) == 0;
}

}  // namespace

int fexist(const char* path) {
  struct stat st;
  return query(path, &st) && S_ISREG(st.st_mode) ? 1 : 0;
}

sdword fsize(const char* path) {
  struct stat st;
  if (!query(path, &st)) return -1;
  // Only the low 32 bits fit the result; a file of 2 GB or more wraps.
  return sdword(uint32_t(uint64_t(st.st_size)));
}

int direxist(const char* path) {
  struct stat st;
  return query(path, &st) && S_ISDIR(st.st_mode) ? 1 : 0;
}

std::int64_t fmtime(const char* path) {
  struct stat st;
  return query(path, &st) ? std::int64_t(st.st_mtime) : -1;
}
