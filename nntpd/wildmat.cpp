#include "wildmat.h"

namespace nntpd {
namespace {

// Matches the class starting after '[' at p; advances p past ']'. An
// unterminated class is taken as the literal '['.
bool matchClass(std::string_view pat, std::size_t& p, char c, bool& valid) {
  std::size_t i = p;
  bool negate = i < pat.size() && (pat[i] == '^' || pat[i] == '!');
  if (negate) ++i;
  bool hit = false;
  bool first = true;
  for (; i < pat.size() && (first || pat[i] != ']'); first = false) {
    char lo = pat[i];
    if (lo == '\\' && i + 1 < pat.size()) lo = pat[++i];
    ++i;
    char hi = lo;
    if (i + 1 < pat.size() && pat[i] == '-' && pat[i + 1] != ']') {
      hi = pat[i + 1];
      if (hi == '\\' && i + 2 < pat.size()) hi = pat[++i + 1];
      i += 2;
    }
    if ((unsigned char)c >= (unsigned char)lo && (unsigned char)c <= (unsigned char)hi)
      hit = true;
  }
  valid = i < pat.size();
  if (!valid) return false;
  p = i + 1;
  return hit != negate;
}

// One pattern without commas against the whole text; backtracking on '*'
// from the last star only, so the cost stays linear in practice.
bool matchOne(std::string_view pat, std::string_view text) {
  std::size_t p = 0, t = 0;
  std::size_t starP = std::string_view::npos, starT = 0;
  while (t < text.size()) {
    if (p < pat.size()) {
      char pc = pat[p];
      if (pc == '*') {
        starP = ++p;
        starT = t;
        continue;
      }
      if (pc == '?') {
        ++p;
        ++t;
        continue;
      }
      if (pc == '[') {
        std::size_t q = p + 1;
        bool valid = false;
        bool hit = matchClass(pat, q, text[t], valid);
        if (valid) {
          if (hit) {
            p = q;
            ++t;
            continue;
          }
        } else if (text[t] == '[') {
          ++p;
          ++t;
          continue;
        }
      } else {
        if (pc == '\\' && p + 1 < pat.size()) pc = pat[++p];
        if (pc == text[t]) {
          ++p;
          ++t;
          continue;
        }
      }
    }
    if (starP == std::string_view::npos) return false;
    p = starP;
    t = ++starT;
  }
  while (p < pat.size() && pat[p] == '*') ++p;
  return p == pat.size();
}

}  // namespace

bool wildmatMatch(std::string_view wildmat, std::string_view text) {
  bool result = false;
  while (true) {
    std::size_t comma = wildmat.find(',');
    std::string_view pat = wildmat.substr(0, comma);
    bool negate = !pat.empty() && pat[0] == '!';
    if (negate) pat.remove_prefix(1);
    if (matchOne(pat, text)) result = !negate;
    if (comma == std::string_view::npos) break;
    wildmat.remove_prefix(comma + 1);
  }
  return result;
}

}  // namespace nntpd
