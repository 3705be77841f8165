// Consistency check of a *.MSG area: every numbered file holds at least a
// header and a text that ends in NUL, as the writer leaves it.
#include <filesystem>
#include <fstream>
#include <sstream>

#include "base_check.h"

namespace fs = std::filesystem;

namespace zt {

namespace {

constexpr std::uintmax_t HEADER_SIZE = 190;

// The message number of a file name "<digits>.msg"; 0 for any other name.
unsigned long NumberOf(const std::string& name) {
  if (name.size() < 5 || name.compare(name.size() - 4, 4, ".msg") != 0) return 0;
  unsigned long n = 0;
  for (std::size_t i = 0; i + 4 < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9' || n > 65535) return 0;
    n = n * 10 + unsigned(name[i] - '0');
  }
  return n;
}

}  // namespace

BaseCheck CheckSdmAreaDetailed(const std::string& dir, bool echo) {
  BaseCheck out;
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) {
    out.damage.push_back("the area directory is missing");
    return out;
  }
  bool have_mark = false;
  for (const auto& e : fs::directory_iterator(dir, ec)) {
    const std::string name = e.path().filename().string();
    const unsigned long n = NumberOf(name);
    if (n == 0 || !e.is_regular_file()) continue;
    const std::uintmax_t size = e.file_size(ec);
    // A writer creates the file, then writes header, kludge lines and text
    // one after the other: cut off, it leaves a file too short to count or
    // a text without its final NUL. Readers skip the one and show the other
    // as far as it got; nothing else is touched.
    if (size < HEADER_SIZE) {
      out.leftovers.push_back(name + " is shorter than a header (a cut-off write)");
      continue;
    }
    if (n == 1 && echo) {
      have_mark = true;
      continue;
    }
    std::ifstream in(e.path(), std::ios::binary);
    in.seekg(std::streamoff(size - 1));
    char last = 1;
    in.get(last);
    if (last != 0) out.leftovers.push_back(name + " text does not end in NUL (a cut-off write)");
  }
  (void)have_mark;  // the high-water mark appears with the first post or kill
  return out;
}

}  // namespace zt
