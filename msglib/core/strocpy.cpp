#include "strocpy.h"

#include <cstring>

// memmove, not strcpy: callers slide the tail of a buffer down over a part
// they delete, so source and destination overlap.
char* strocpy(char* d, const char* s) {
  std::memmove(d, s, std::strlen(s) + 1);
  return d;
}
