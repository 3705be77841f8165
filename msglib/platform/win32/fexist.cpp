#include "fexist.h"

#include <sys/stat.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace {

bool query(const char* path, struct _stati64* st) {
  return path != nullptr && _stati64(path, st) == 0;
}

}  // namespace

int fexist(const char* path) {
  struct _stati64 st;
  return query(path, &st) && (st.st_mode & _S_IFMT) == _S_IFREG ? 1 : 0;
}

sdword fsize(const char* path) {
  struct _stati64 st;
  if (!query(path, &st)) return -1;
  // Only the low 32 bits fit the result; a file of 2 GB or more wraps.
  return sdword(uint32_t(uint64_t(st.st_size)));
}

int direxist(const char* path) {
  if (path == nullptr) return 0;
  // The runtime's status query fails for a directory named with a
  // separator at the end ("D:\FIDO\ECHO\"), which is how *.MSG areas are
  // often written; the query gets the name without it. A drive's root
  // ("D:\", "\") keeps its separator: without it the name means something
  // else.
  std::string dir(path);
  while (dir.size() > 1 && (dir.back() == '\\' || dir.back() == '/') &&
         !(dir.size() == 3 && dir[1] == ':'))
    dir.pop_back();
  struct _stati64 st;
  return query(dir.c_str(), &st) && (st.st_mode & _S_IFMT) == _S_IFDIR ? 1 : 0;
}

std::int64_t fmtime(const char* path) {
  struct _stati64 st;
  return query(path, &st) ? std::int64_t(st.st_mtime) : -1;
}
