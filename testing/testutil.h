// testing/: what the tests, the fuzz targets, the soak run and the
// benchmarks share, in two libraries.
//   testkit      no test framework, for every harness: the base checkers
//                (base_check.h), little-endian file bytes (bytes.h) and
//                the gateway as a child on pipes (spawn.h, POSIX hosts:
//                the soak run drives it directly, the suites through
//                Zandrel, the benchmarks start it with SpawnOnPipes), and
//                the benchmarks' news client and jamnntpd start
//                (nntpclient.h, header only). It may use msglib.
//   testsupport  the GoogleTest suites' own: this header (scratch
//                directories, file surgery, the real gateway binary driven
//                over pipes the way a front end drives it), fixtures, child
//                processes (child.h) with a half per host in
//                posix/ and win32/. It may use testkit, the gateway library
//                and GoogleTest.
#ifndef ZANDREL_TESTUTIL_H
#define ZANDREL_TESTUTIL_H

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "bytes.h"  // little-endian reads and writes of file bytes

namespace zt {

// A fresh directory under the host's directory for temporary files ($TMPDIR
// or /tmp), removed with its contents when the object goes away.
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
// A pipe that passes bytes untranslated: fds[0] reads, fds[1] writes.
bool MakePipe(int fds[2]);

// What some tests need and not every host has. A test that needs one starts
//   if (const char* why = zt::Lacks(zt::Facility::kFifosAndLinks)) GTEST_SKIP() << why;
enum class Facility {
  kFifosAndLinks,   // mkfifo and symbolic links for anyone
  kFileSizeLimit,   // a per-process limit on file sizes, as on a full disk
  kOtherUsers,      // a child process that runs as an unprivileged user
  kFileModes,       // Unix file modes and the umask
  kPosixShell,      // /bin/sh for command lines with redirections
  kFileMappings,    // msglib maps files instead of reading them
  kExactCaseNames,  // directory listings match names with their case
};
// Null when the host has it, otherwise the reason it does not.
const char* Lacks(Facility f);
// Where the host has them (the test has checked Lacks first).
bool MakeFifo(const std::string& path);
bool MakeSymlink(const std::string& target, const std::string& link);
// Runs a shell command line; its standard output and exit status (-1 when
// it did not end normally).
std::pair<std::string, int> Shell(const std::string& command);
// Sets the TZ variable (null: removes it) and lets the C library read it.
void SetTimeZone(const char* tz);
// The calendar time of a broken-down UTC time.
std::int64_t TimeGm(struct tm* t);

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

  struct Process;  // the host's child process and pipes

 private:
  // Appends what arrives within `timeout_ms` to pending_; false when
  // nothing did (end of output, or the time ran out).
  bool ReadSome(int timeout_ms);
  std::unique_ptr<Process> proc_;
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
