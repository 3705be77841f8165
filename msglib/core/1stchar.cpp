#include "1stchar.h"

namespace {

// The string's NUL ends every word but is never looked up here, so a
// delimiter set cannot match it by accident (strchr would).
bool is_delim(char c, const char* delim) {
  for (; *delim; ++delim)
    if (*delim == c) return true;
  return false;
}

}  // namespace

const char* firstchar(const char* str, const char* delim, int n) {
  if (str == nullptr || *str == '\0' || n <= 0) return nullptr;
  if (delim == nullptr) delim = "";

  const char* p = str;
  while (*p && is_delim(*p, delim)) ++p;
  if (*p == '\0') return nullptr;

  // A run of delimiters counts as one separator: a word starts only where a
  // delimiter is followed by a non-delimiter.
  int word_no = 1;
  if (word_no == n) return p;
  for (; p[0] && p[1]; ++p) {
    if (is_delim(p[0], delim) && !is_delim(p[1], delim) && ++word_no == n)
      return p + 1;
  }
  return nullptr;
}
