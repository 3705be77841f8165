#include "ffind.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "fileio.h"

namespace {

struct DirCloser {
  void operator()(DIR* d) const { ::closedir(d); }
};

// The longest name a find record can carry; longer ones are never returned.
constexpr std::size_t FFIND_NAME_MAX = sizeof(FFIND::name) - 1;

}  // namespace

// The platform side of one search. `dir` is reset once the listing is
// exhausted, so later calls see the end at once.
struct FFindPrivate {
  std::unique_ptr<DIR, DirCloser> dir;
  std::string pattern;  // the wildcard name, matched against each entry
  // For a pattern of "*" and a literal tail ("*.msg", the common case): the
  // tail, which a name matches by ending in it. Large directories are
  // listed for every command, and the general matcher cost more per entry
  // than the listing's own work.
  bool star_tail = false;
  std::string tail;
  byte wanted = 0;      // the caller's attribute wish (low 8 bits)
  bool sizes = true;    // false: regular files are not queried for their size
};

namespace {

// The next entry of the listing, or null at its end or on an error. A
// listing cut short by a signal goes on where it stopped: null alone does
// not tell the end from an interruption, errno does.
const dirent* read_entry(DIR* dir) {
  for (;;) {
    errno = 0;
    if (const dirent* de = ::readdir(dir)) return de;
    if (errno != EINTR) return nullptr;
  }
}

// Advances to the next entry that matches the pattern and the wish, and
// fills the public fields from it. False at the end of the listing.
bool next_entry(FFIND* ff) {
  FFindPrivate& p = *ff->priv;
  if (!p.dir) return false;
  while (const dirent* de = read_entry(p.dir.get())) {
    std::size_t len = std::strlen(de->d_name);
    if (len > FFIND_NAME_MAX) continue;
    // Exact case and no escapes: a backslash in a pattern is an ordinary
    // character, as in the host's wildcards.
    if (p.star_tail) {
      if (len < p.tail.size() ||
          std::memcmp(de->d_name + len - p.tail.size(), p.tail.data(), p.tail.size()) != 0)
        continue;
    } else if (::fnmatch(p.pattern.c_str(), de->d_name, FNM_NOESCAPE) != 0) {
      continue;
    }
    // A status query per entry costs more than the listing itself; the
    // listing's own type tells regular files apart where the file system
    // records it (links and unknown types still get the query).
    if (!p.sizes && de->d_type == DT_REG) {
      std::memcpy(ff->name, de->d_name, len + 1);
      ff->attr = 0;
      ff->size = -1;
      return true;
    }
    struct stat st;
    // An entry that vanished between the listing and the query (a tosser
    // deleting a message) is simply no longer there.
    const int dfd = ::dirfd(p.dir.get());
    if (retry_eintr([&] { return ::fstatat(dfd, de->d_name, &st, 0); }) != 0) continue;
    bool is_dir = S_ISDIR(st.st_mode);
    if (is_dir && !(p.wanted & MSDOS_SUBDIR)) continue;
    std::memcpy(ff->name, de->d_name, len + 1);
    ff->attr = is_dir ? byte(MSDOS_SUBDIR) : byte(0);
    // The host reports no size for a directory; only the low 32 bits of a
    // file's size fit the field.
    ff->size = is_dir ? 0 : sdword(uint32_t(uint64_t(st.st_size)));
    return true;
  }
  p.dir.reset();
  return false;
}

}  // namespace

namespace {

FFIND* open_search(const char* filespec, word attribute, bool sizes) {
  if (filespec == nullptr) return nullptr;
  try {
    auto ff = std::make_unique<FFIND>();
    auto priv = std::make_unique<FFindPrivate>();
    // "dir/sub/*.msg" lists "dir/sub"; a bare "*.msg" lists the current
    // directory and "/x" the root.
    std::string spec(filespec);
    std::string dir;
    std::size_t slash = spec.rfind('/');
    if (slash == std::string::npos) {
      dir = ".";
      priv->pattern = spec;
    } else {
      dir = slash == 0 ? "/" : spec.substr(0, slash);
      priv->pattern = spec.substr(slash + 1);
    }
    if (priv->pattern.size() >= 1 && priv->pattern[0] == '*' &&
        priv->pattern.find_first_of("*?[", 1) == std::string::npos) {
      priv->star_tail = true;
      priv->tail = priv->pattern.substr(1);
    }
    priv->wanted = byte(attribute & 0xFF);
    priv->sizes = sizes;
    for (;;) {
      priv->dir.reset(::opendir(dir.c_str()));
      if (priv->dir || errno != EINTR) break;
    }
    if (!priv->dir) return nullptr;
    ff->priv = priv.get();
    if (!next_entry(ff.get())) {
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

FFIND* FFindOpen(const char* filespec, word attribute) {
  return open_search(filespec, attribute, true);
}

FFIND* FFindOpenNoSize(const char* filespec, word attribute) {
  return open_search(filespec, attribute, false);
}

int FFindNext(FFIND* ff) {
  if (ff == nullptr || ff->priv == nullptr) return -1;
  return next_entry(ff) ? 0 : -1;
}

void FFindClose(FFIND* ff) {
  if (ff == nullptr) return;
  delete ff->priv;
  delete ff;
}

FFIND* FindInfo(const char* filespec) { return FFindOpen(filespec, 0); }
