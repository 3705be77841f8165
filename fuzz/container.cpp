#include "container.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <set>
#include <sstream>

namespace fs = std::filesystem;

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
    std::uint32_t len = std::uint32_t(f.data.size());
    for (int i = 0; i < 4; ++i) out.push_back(char(len >> (8 * i)));
    out += f.data;
  }
  return out;
}

namespace {

// Never destroyed: the exit handler that removes the directories may run
// after static destructors.
std::set<std::string>& scratch_dirs() {
  static auto* dirs = new std::set<std::string>;
  return *dirs;
}

void remove_scratch_dirs() {
  std::error_code ec;
  for (const auto& d : scratch_dirs()) fs::remove_all(d, ec);
}

}  // namespace

std::string MakeScratchDir(const char* tag) {
  const char* tmp = std::getenv("TMPDIR");
  std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/zandrel-fuzz-" + tag + "-XXXXXX";
  if (!::mkdtemp(templ.data())) {
    std::perror("mkdtemp");
    std::abort();
  }
  static std::once_flag once;
  std::call_once(once, [] { std::atexit(remove_scratch_dirs); });
  scratch_dirs().insert(templ);
  return templ;
}

void ClearDir(const std::string& dir) {
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec)) fs::remove_all(e.path(), ec);
}

void WriteFiles(const std::string& dir, const std::vector<FileEntry>& files) {
  for (const FileEntry& f : files) {
    std::ofstream out(dir + "/" + f.name, std::ios::binary | std::ios::trunc);
    out.write(f.data.data(), std::streamsize(f.data.size()));
  }
}

std::vector<FileEntry> ReadFiles(const std::string& dir) {
  std::vector<FileEntry> out;
  for (const auto& e : fs::directory_iterator(dir)) {
    if (!e.is_regular_file()) continue;
    std::ifstream in(e.path(), std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    out.push_back({e.path().filename().string(), s.str()});
  }
  std::sort(out.begin(), out.end(),
            [](const FileEntry& a, const FileEntry& b) { return a.name < b.name; });
  return out;
}

void CopyTree(const std::string& from, const std::string& to) {
  fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::overwrite_existing);
}

}  // namespace fz
