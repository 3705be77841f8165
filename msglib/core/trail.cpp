#include "trail.h"

#include <cstring>

char* Strip_Trailing(char* s, char ch) {
  if (s == nullptr || *s == '\0') return s;
  std::size_t len = std::strlen(s);
  if (s[len - 1] == ch) s[len - 1] = '\0';
  return s;
}

char* Add_Trailing(char* s, char ch) {
  if (s == nullptr || *s == '\0') return s;
  std::size_t len = std::strlen(s);
  if (s[len - 1] != ch) {
    s[len] = ch;
    s[len + 1] = '\0';
  }
  return s;
}
