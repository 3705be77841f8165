// Helpers shared by the tests: scratch directories, file surgery, and the
// real gateway binary driven over pipes the way a front end drives it.
#ifndef ZANDREL_TESTUTIL_H
#define ZANDREL_TESTUTIL_H

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace zt {

// A fresh directory under $TMPDIR (or /tmp), removed with its contents when
// the object goes away.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);
bool Exists(const std::string& path);
std::int64_t FileSize(const std::string& path);  // -1 when missing
void PatchByte(const std::string& path, std::int64_t offset, std::uint8_t value);
void PatchBytes(const std::string& path, std::int64_t offset, const std::string& bytes);
void TruncateTo(const std::string& path, std::int64_t length);
// Copies the regular files of `from` into `to` (created when missing), and
// makes them writable.
void CopyDir(const std::string& from, const std::string& to);
std::vector<std::string> ListDir(const std::string& dir);  // sorted names

// Little-endian reads out of a byte string, for checking file bytes.
std::uint16_t U16At(const std::string& bytes, std::size_t offset);
std::uint32_t U32At(const std::string& bytes, std::size_t offset);

// Where the third-party bases used by the format tests live.
std::string ForeignFixtures();  // .../foreign
// Inputs that the fuzz targets found faults with, kept as regression tests.
std::string RegressInputs();  // .../regress

// The gateway binary as a child process with its standard streams on pipes.
class Zandrel {
 public:
  // Starts build/zandrel, or the gateway binary at `bin`.
  explicit Zandrel(const std::string& bin = ZANDREL_BIN);
  ~Zandrel();
  Zandrel(const Zandrel&) = delete;
  Zandrel& operator=(const Zandrel&) = delete;

  void Send(const std::string& bytes);
  // Reads until a NUL byte arrives; returns what came before it, without the
  // NUL. Fails the test (and returns what it has) after `timeout_ms`.
  std::string ReadReply(int timeout_ms = 20000);
  // Whatever arrives within `ms` milliseconds, without waiting for a NUL.
  std::string ReadFor(int ms);
  // Closes the child's standard input and collects the rest of its output
  // and its exit status (-1 when it did not end normally).
  int Finish(std::string* rest = nullptr, int timeout_ms = 20000);
  // Everything the child wrote to its standard error so far.
  std::string Errors() const;

 private:
  bool ReadSome(int timeout_ms);
  pid_t pid_ = -1;
  int in_ = -1, out_ = -1;
  int err_ = -1;  // a memory file that takes the child's standard error
  std::string pending_;
};

struct RunResult {
  std::string out;  // every byte the gateway wrote
  int status = -1;  // exit status, -1 when killed or hung
  std::string err;  // what it wrote to standard error
};

// Runs the gateway once on `input` (written in full, then end of input).
RunResult RunZandrel(const std::string& input, int timeout_ms = 20000,
                     const std::string& bin = ZANDREL_BIN);

}  // namespace zt

#endif
