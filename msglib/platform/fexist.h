// File and directory tests.
#ifndef ZANDREL_FEXIST_H
#define ZANDREL_FEXIST_H

#include <cstdint>

#include "typedefs.h"

// Non-zero when `path` is a regular file; 0 when missing or anything else.
int fexist(const char* path);
// Size in bytes (low 32 bits, signed), or -1 when the status query fails.
sdword fsize(const char* path);
// Non-zero when `path`, queried unchanged, is a directory.
int direxist(const char* path);
// Last modification of `path` in seconds since 1970, or -1 when the status
// query fails.
std::int64_t fmtime(const char* path);

#endif
