// One line per event: a connection that ends, a POST, an error. Lines go to
// standard error unless the configuration names a file.
#ifndef NNTPD_LOG_H
#define NNTPD_LOG_H

#include <cstdio>
#include <string>
#include <string_view>

namespace nntpd {

class Log {
 public:
  Log() = default;
  ~Log();
  Log(const Log&) = delete;
  Log& operator=(const Log&) = delete;

  // Appends to `path` from now on; false (and standard error kept) when it
  // cannot be opened.
  bool open(const std::string& path);

  // Writes "<UTC time> <text>" as one line. Control characters in `text`
  // (which may quote what a client sent) are shown as '?'.
  void line(std::string_view text);

 private:
  std::FILE* file_ = nullptr;
};

}  // namespace nntpd

#endif
