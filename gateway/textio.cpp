#include "textio.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <unistd.h>
#include <utility>
#include <vector>

#include "host.h"

int TextIn::rawByte() {
  if (pushback_ >= 0) return std::exchange(pushback_, -1);
  if (pos_ == len_) {
    if (eof_) return -1;
    ssize_t r;
    do {
      r = ::read(fd_, buf_, sizeof buf_);
    } while (r < 0 && errno == EINTR);
    if (r <= 0) {  // a failing read ends the input like end of file
      eof_ = true;
      return -1;
    }
    pos_ = 0;
    len_ = std::size_t(r);
  }
  return buf_[pos_++];
}

int TextIn::getc() {
  int c = rawByte();
  if (c == '\r') {
    int next = rawByte();
    if (next == '\n') return '\n';
    pushback_ = next;  // -1 at end of input: nothing to keep
  }
  return c;
}

bool TextIn::getline(std::string& line, std::size_t max) {
  line.clear();
  while (line.size() < max) {
    int c = getc();
    if (c < 0) break;
    line.push_back(char(c));
    if (c == '\n') break;
  }
  return !line.empty();
}

void TextOut::write(const char* s, std::size_t n) {
  // Runs without a line feed are copied whole.
  while (n) {
    const void* lf = std::memchr(s, '\n', n);
    std::size_t run = lf ? std::size_t(static_cast<const char*>(lf) - s) : n;
    while (run) {
      if (len_ == sizeof buf_) flush();
      const std::size_t k = std::min(run, sizeof buf_ - len_);
      std::memcpy(buf_ + len_, s, k);
      len_ += k;
      s += k;
      n -= k;
      run -= k;
    }
    if (lf) {
      put('\n');
      ++s;
      --n;
    }
  }
}

void TextOut::puts(const char* s) { write(s, std::strlen(s)); }

void TextOut::printf(const char* fmt, ...) {
  char small[512];
  va_list ap;
  va_start(ap, fmt);
  int n = std::vsnprintf(small, sizeof small, fmt, ap);
  va_end(ap);
  if (n < 0) return;
  if (std::size_t(n) < sizeof small) {
    write(small, std::size_t(n));
    return;
  }
  std::vector<char> big(std::size_t(n) + 1);
  va_start(ap, fmt);
  std::vsnprintf(big.data(), big.size(), fmt, ap);
  va_end(ap);
  write(big.data(), std::size_t(n));
}

void TextOut::flush() {
  std::size_t done = 0;
  while (done < len_) {
    ssize_t r = ::write(fd_, buf_ + done, len_ - done);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    done += std::size_t(r);
  }
  len_ = 0;
}

namespace {
TextIn* redirected_in = nullptr;
TextOut* redirected_out = nullptr;
TextOut* redirected_err = nullptr;
}  // namespace

TextIn& gwIn() {
  if (redirected_in) return *redirected_in;
  static TextIn in(0);
  return in;
}

TextOut& gwOut() {
  if (redirected_out) return *redirected_out;
  static TextOut out(1, !host_output_adds_cr());
  return out;
}

TextOut& gwErr() {
  if (redirected_err) return *redirected_err;
  static TextOut err(2, !host_output_adds_cr());
  return err;
}

void gwRedirectErr(TextOut* err) { redirected_err = err; }

void gwRedirect(TextIn* in, TextOut* out) {
  redirected_in = in;
  redirected_out = out;
}
