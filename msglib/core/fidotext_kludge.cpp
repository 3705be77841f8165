// Kludge lookups in control information blocks.
#include "fidotext.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr char SOH = '\x01';

// Values the gateway copies fit the 256-byte buffers front ends were written
// against.
constexpr std::size_t MAX_VALUE = 255;

char lowerAscii(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

// The kludge that starts right after an SOH at `p`: its text up to the next
// SOH or the end of the block.
std::string_view kludge_text(const char* p) {
  return std::string_view(p, std::strcspn(p, "\x01"));
}

}  // namespace

// Found at the first occurrence of `what` only; none when that occurrence
// does not follow an SOH (a keyword inside another kludge's value, or at the
// very start of a block that does not begin with SOH).
std::optional<std::string_view> FindCtrlToken(const char* where, const char* what) {
  if (where == nullptr || what == nullptr) return std::nullopt;
  const char* p = std::strstr(where, what);
  if (p == nullptr || p == where || p[-1] != SOH) return std::nullopt;
  return kludge_text(p);
}

std::optional<std::string> GetCtrlToken(const char* where, const char* what) {
  auto kludge = FindCtrlToken(where, what);
  if (!kludge) return std::nullopt;
  return std::string(*kludge);
}

std::optional<std::string_view> findKludge(const char* ctl, const char* name) {
  if (!ctl) return std::nullopt;
  const std::size_t nlen = std::strlen(name);
  while (*ctl == SOH) {
    ++ctl;
    const std::string_view kludge = kludge_text(ctl);
    if (kludge.size() >= nlen &&
        std::equal(ctl, ctl + nlen, name,
                   [](char x, char y) { return lowerAscii(x) == lowerAscii(y); }))
      return kludge.substr(nlen, std::min(kludge.size() - nlen, MAX_VALUE));
    ctl += kludge.size();
  }
  return std::nullopt;
}

std::optional<std::string> getKludge(const char* ctl, const char* name) {
  if (auto v = findKludge(ctl, name)) return std::string(*v);
  return std::nullopt;
}
