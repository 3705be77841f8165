// Consistency check of a *.MSG area: every numbered file holds at least a
// header and a text that ends in NUL, as the writer leaves it. The writer
// fills a temporary file and gives it its number only when it is whole, so
// a writer cut off leaves nothing but that temporary file.
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
  for (const auto& e : fs::directory_iterator(dir, ec)) {
    const std::string name = e.path().filename().string();
    if (name.rfind("zandrel-", 0) == 0 && name.size() > 12 &&
        name.compare(name.size() - 4, 4, ".tmp") == 0) {
      out.leftovers.push_back(name + " is the temporary file of a cut-off write");
      continue;
    }
    const unsigned long n = NumberOf(name);
    if (n == 0 || !e.is_regular_file()) continue;
    const std::uintmax_t size = e.file_size(ec);
    if (size < HEADER_SIZE) {
      out.damage.push_back(name + " is shorter than a header");
      continue;
    }
    if (n == 1 && echo) continue;  // the high-water mark
    std::ifstream in(e.path(), std::ios::binary);
    in.seekg(std::streamoff(size - 1));
    char last = 1;
    in.get(last);
    if (last != 0) out.damage.push_back(name + " text does not end in NUL");
  }
  return out;
}

}  // namespace zt
