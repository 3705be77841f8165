// Platform differences, in one place: the path separator (PATH_DELIM) comes
// from the platform layer.
#ifndef ZANDREL_COMPILER_H
#define ZANDREL_COMPILER_H

#include <cstddef>
#include <cstring>

#include "platform.h"

// Plain forward copy and byte fill, kept under the names the index code uses.
inline void* farmemmove(void* dst, const void* src, std::size_t n) {
  return std::memmove(dst, src, n);
}
inline void* farmemset(void* dst, int c, std::size_t n) {
  return std::memset(dst, c, n);
}

#endif
