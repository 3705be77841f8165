// Standard streams in the host's text mode.
//
// The front end reads and writes lines ended by CR LF: every LF written
// leaves as CR LF, and an incoming CR LF arrives as a single LF. NUL and every other byte pass unchanged (a lone CR stays a CR).
// Line limits and the POST text length count characters after translation.
#ifndef ZANDREL_TEXTIO_H
#define ZANDREL_TEXTIO_H

#include <cstddef>
#include <string>

class TextIn {
 public:
  explicit TextIn(int fd) : fd_(fd) {}
  TextIn(const TextIn&) = delete;
  TextIn& operator=(const TextIn&) = delete;

  // Reads like fgets with room for `max` characters: up to `max` characters,
  // or through the first LF. Returns false only at end of input with nothing
  // read. The line may hold NUL bytes.
  bool getline(std::string& line, std::size_t max);
  // The next character, or -1 at end of input.
  int getc();

 private:
  int rawByte();  // the next untranslated byte, or -1

  int fd_;
  bool eof_ = false;
  int pushback_ = -1;  // one raw byte read ahead while looking past a CR
  std::size_t pos_ = 0, len_ = 0;
  unsigned char buf_[1 << 16];
};

class TextOut {
 public:
  // With `add_cr` false every LF leaves unchanged: for a descriptor whose
  // host runtime writes it as CR LF itself.
  explicit TextOut(int fd, bool add_cr = true) : fd_(fd), add_cr_(add_cr) {}
  TextOut(const TextOut&) = delete;
  TextOut& operator=(const TextOut&) = delete;
  ~TextOut() { flush(); }

  void put(char c) {
    if (c == '\n' && add_cr_) putRaw('\r');
    putRaw(c);
  }
  void write(const char* s, std::size_t n);
  void puts(const char* s);  // without adding a line end
  void printf(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  // Hands everything buffered to the platform. A reader that went away is
  // not an error here: the rest of the reply is dropped.
  void flush();

 private:
  void putRaw(char c) {
    if (len_ == sizeof buf_) flush();
    buf_[len_++] = c;
  }

  int fd_;
  bool add_cr_;
  std::size_t len_ = 0;
  char buf_[1 << 16];
};

// The gateway's input and output: the process's standard streams, unless a
// harness that runs the command loop in-process has redirected them.
TextIn& gwIn();
TextOut& gwOut();
// Standard error, in text mode like the others: diagnostics for the sysop.
TextOut& gwErr();
// Points gwIn()/gwOut() at other streams; null restores the standard one.
void gwRedirect(TextIn* in, TextOut* out);
// The same for gwErr().
void gwRedirectErr(TextOut* err);

#endif
