#include "container.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>

#include "bytes.h"
#include "fileio.h"

namespace fz {

bool PlainFileName(const std::string& name) {
  if (name.empty() || name.size() > 64 || name[0] == '.') return false;
  for (char c : name) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '.' || c == '_' || c == '-';
    if (!ok) return false;
  }
  return true;
}

std::vector<FileEntry> UnpackFiles(const std::uint8_t* p, std::size_t n) {
  std::vector<FileEntry> out;
  std::size_t at = 0;
  while (at < n) {
    std::size_t name_len = p[at++];
    if (name_len > n - at) break;
    std::string name(reinterpret_cast<const char*>(p + at), name_len);
    at += name_len;
    std::uint32_t len = 0;
    for (int i = 0; i < 4 && at < n; ++i) len |= std::uint32_t(p[at++]) << (8 * i);
    std::size_t take = len < n - at ? len : n - at;
    std::string data(reinterpret_cast<const char*>(p + at), take);
    at += take;
    if (PlainFileName(name)) out.push_back({std::move(name), std::move(data)});
  }
  return out;
}

std::string PackFiles(const std::vector<FileEntry>& files) {
  std::string out;
  for (const FileEntry& f : files) {
    out.push_back(char(f.name.size()));
    out += f.name;
    out += zt::Le32(std::uint32_t(f.data.size()));
    out += f.data;
  }
  return out;
}

namespace {

// libFuzzer's timer signal arrives once a second, and any system call below
// may be the one it cuts short. Every call here is repeated until it is not
// interrupted, so that each input starts from exactly the same files; the
// standard library's file system calls are not, and a copy interrupted half
// way would throw (or, with an error code, leave the last input's files).

// The entries of `dir`, without "." and "..".
std::vector<std::string> Names(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d;
  do d = ::opendir(dir.c_str());
  while (!d && errno == EINTR);
  if (!d) return names;
  for (;;) {
    errno = 0;
    const dirent* e = ::readdir(d);
    if (!e) {
      if (errno == EINTR) continue;
      break;
    }
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
      names.push_back(e->d_name);
  }
  ::closedir(d);
  return names;
}

bool IsDir(const std::string& path) {
  struct stat st;
  return retry_eintr([&] { return ::lstat(path.c_str(), &st); }) == 0 && S_ISDIR(st.st_mode);
}

std::string Slurp(const std::string& path) {
  std::string data;
  UniqueFd fd(open_file(path.c_str(), OF_READ));
  if (!fd) return data;
  char buf[1 << 16];
  for (std::int64_t n; (n = read_upto(fd.get(), buf, sizeof buf)) > 0;)
    data.append(buf, std::size_t(n));
  return data;
}

void Spill(const std::string& path, const std::string& data) {
  UniqueFd fd(open_file(path.c_str(), OF_WRITE | OF_CREATE | OF_TRUNCATE));
  if (!fd || !write_all(fd.get(), data.data(), data.size())) {
    std::perror(path.c_str());
    std::abort();
  }
}

void RemoveTree(const std::string& path) {
  if (IsDir(path)) {
    for (const std::string& n : Names(path)) RemoveTree(path + "/" + n);
    retry_eintr([&] { return ::rmdir(path.c_str()); });
  } else {
    remove_file(path.c_str());
  }
}

// Never destroyed: the exit handler that removes the directories may run
// after static destructors.
std::set<std::string>& scratch_dirs() {
  static auto* dirs = new std::set<std::string>;
  return *dirs;
}

void remove_scratch_dirs() {
  for (const auto& d : scratch_dirs()) RemoveTree(d);
}

}  // namespace

std::string MakeScratchDir(const char* tag) {
  const char* tmp = std::getenv("TMPDIR");
  std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/zandrel-fuzz-" + tag + "-XXXXXX";
  char* made;
  do made = ::mkdtemp(templ.data());
  while (!made && errno == EINTR);
  if (!made) {
    std::perror("mkdtemp");
    std::abort();
  }
  static std::once_flag once;
  std::call_once(once, [] { std::atexit(remove_scratch_dirs); });
  scratch_dirs().insert(templ);
  return templ;
}

void MakeDir(const std::string& dir) {
  if (retry_eintr([&] { return ::mkdir(dir.c_str(), 0777); }) != 0 && errno != EEXIST) {
    std::perror(dir.c_str());
    std::abort();
  }
}

void ClearDir(const std::string& dir) {
  for (const std::string& n : Names(dir)) RemoveTree(dir + "/" + n);
}

void WriteFiles(const std::string& dir, const std::vector<FileEntry>& files) {
  for (const FileEntry& f : files) Spill(dir + "/" + f.name, f.data);
}

std::vector<FileEntry> ReadFiles(const std::string& dir) {
  std::vector<FileEntry> out;
  for (const std::string& n : Names(dir)) {
    const std::string path = dir + "/" + n;
    struct stat st;
    if (retry_eintr([&] { return ::lstat(path.c_str(), &st); }) != 0 || !S_ISREG(st.st_mode))
      continue;
    out.push_back({n, Slurp(path)});
  }
  std::sort(out.begin(), out.end(),
            [](const FileEntry& a, const FileEntry& b) { return a.name < b.name; });
  return out;
}

void CopyTree(const std::string& from, const std::string& to) {
  for (const std::string& n : Names(from)) {
    const std::string src = from + "/" + n, dst = to + "/" + n;
    if (IsDir(src)) {
      MakeDir(dst);
      CopyTree(src, dst);
    } else {
      Spill(dst, Slurp(src));
    }
  }
}

}  // namespace fz
