#include "ffind.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "winapi.h"

namespace {

// The longest name a find record can carry; longer ones are never returned.
constexpr std::size_t FFIND_NAME_MAX = sizeof(FFIND::name) - 1;

char fold(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

// Wildcard match of a whole name, '*' for any run and '?' for one
// character, without regard to the case of ASCII letters.
bool wild_match(const char* pat, const char* name) {
  const char* star = nullptr;
  const char* resume = nullptr;
  while (*name) {
    if (*pat == '*') {
      star = pat++;
      resume = name;
    } else if (*pat == '?' || (*pat != '\0' && fold(*pat) == fold(*name))) {
      ++pat;
      ++name;
    } else if (star) {
      pat = star + 1;
      name = ++resume;
    } else {
      return false;
    }
  }
  while (*pat == '*') ++pat;
  return *pat == '\0';
}

}  // namespace

// The platform side of one search. `h` is closed once the listing is
// exhausted, so later calls see the end at once.
struct FFindPrivate {
  HANDLE h = INVALID_HANDLE_VALUE;
  WIN32_FIND_DATAA data;  // the entry the listing is on
  std::string pattern;    // the wildcard name
  byte wanted = 0;        // the caller's attribute wish (low 8 bits)

  ~FFindPrivate() { end(); }
  void end() {
    if (h != INVALID_HANDLE_VALUE) FindClose(h);
    h = INVALID_HANDLE_VALUE;
  }
};

namespace {

// The host matches names without regard to case (12.MSG is a message), and
// it also matches a name whose short 8.3 alias fits the pattern: "*.msg"
// lists "12.msgx" and "12.msg~", whose alias ends in ".MSG". Only names that
// fit the pattern themselves are returned. "*.*" means every name, as it
// always has on this host.
bool fits(const FFindPrivate& p, const char* name) {
  return p.pattern == "*.*" || wild_match(p.pattern.c_str(), name);
}

// Fills the public fields from the entry the listing is on, or moves on to
// the next entry that qualifies. False at the end of the listing.
bool settle(FFIND* ff, bool advance) {
  FFindPrivate& p = *ff->priv;
  if (p.h == INVALID_HANDLE_VALUE) return false;
  for (;; advance = true) {
    if (advance && !FindNextFileA(p.h, &p.data)) {
      p.end();
      return false;
    }
    const WIN32_FIND_DATAA& d = p.data;
    const std::size_t len = std::strlen(d.cFileName);
    const bool is_dir = (d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (len > FFIND_NAME_MAX || (is_dir && !(p.wanted & MSDOS_SUBDIR))) continue;
    if (!fits(p, d.cFileName)) continue;
    std::memcpy(ff->name, d.cFileName, len + 1);
    ff->attr = is_dir ? byte(MSDOS_SUBDIR) : byte(0);
    // The listing carries every entry's size; a directory's is 0.
    ff->size = sdword(d.nFileSizeLow);
    return true;
  }
}

FFIND* open_search(const char* filespec, word attribute) {
  if (filespec == nullptr) return nullptr;
  try {
    auto ff = std::make_unique<FFIND>();
    auto priv = std::make_unique<FFindPrivate>();
    std::string spec(filespec);
    std::size_t cut = spec.find_last_of("\\/:");
    priv->pattern = cut == std::string::npos ? spec : spec.substr(cut + 1);
    priv->wanted = byte(attribute & 0xFF);
    priv->h = FindFirstFileA(filespec, &priv->data);
    if (priv->h == INVALID_HANDLE_VALUE) {
      // Nothing that matches is an empty search; anything else is why the
      // directory cannot be searched.
      switch (GetLastError()) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_NO_MORE_FILES: errno = 0; break;
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME: errno = ENOENT; break;
        case ERROR_ACCESS_DENIED: errno = EACCES; break;
        case ERROR_DIRECTORY: errno = ENOTDIR; break;
        default: errno = EIO; break;
      }
      return nullptr;
    }
    ff->priv = priv.get();
    if (!settle(ff.get(), false)) {
      errno = 0;
      return nullptr;
    }
    priv.release();  // the record owns it until FFindClose
    return ff.release();
  } catch (const std::bad_alloc&) {
    errno = ENOMEM;
    return nullptr;
  }
}

}  // namespace

FFIND* FFindOpen(const char* filespec, word attribute) { return open_search(filespec, attribute); }

// The host's listing carries the sizes, so there is nothing to leave unasked.
FFIND* FFindOpenNoSize(const char* filespec, word attribute) {
  return open_search(filespec, attribute);
}

int FFindNext(FFIND* ff) {
  if (ff == nullptr || ff->priv == nullptr) return -1;
  return settle(ff, true) ? 0 : -1;
}

void FFindClose(FFIND* ff) {
  if (ff == nullptr) return;
  delete ff->priv;
  delete ff;
}

FFIND* FindInfo(const char* filespec) { return FFindOpen(filespec, 0); }
