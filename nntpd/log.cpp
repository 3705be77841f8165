#include "log.h"

#include <ctime>

namespace nntpd {

Log::~Log() {
  if (file_) std::fclose(file_);
}

bool Log::open(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "a");
  if (!f) return false;
  if (file_) std::fclose(file_);
  file_ = f;
  return true;
}

void Log::line(std::string_view text) {
  char stamp[32];
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&now, &tm);
  std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ ", &tm);
  std::string out = stamp;
  out.reserve(out.size() + text.size() + 1);
  for (char c : text) out += ((unsigned char)c < ' ' || c == 0x7f) ? '?' : c;
  out += '\n';
  std::FILE* f = file_ ? file_ : stderr;
  std::fwrite(out.data(), 1, out.size(), f);
  std::fflush(f);
}

}  // namespace nntpd
