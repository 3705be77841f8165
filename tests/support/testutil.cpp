#include "testutil.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

#include "fileio.h"
#include "spawn.h"

namespace fs = std::filesystem;

namespace zt {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/zandrel-test-XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (!::mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
  path_ = buf.data();
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(bytes.data(), std::streamsize(bytes.size()));
}

bool Exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

std::int64_t FileSize(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? std::int64_t(st.st_size) : -1;
}

void PatchBytes(const std::string& path, std::int64_t offset, const std::string& bytes) {
  int fd = ::open(path.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0) << path;
  ASSERT_EQ(::pwrite(fd, bytes.data(), bytes.size(), off_t(offset)), ssize_t(bytes.size()));
  ::close(fd);
}

void PatchByte(const std::string& path, std::int64_t offset, std::uint8_t value) {
  PatchBytes(path, offset, std::string(1, char(value)));
}

void TruncateTo(const std::string& path, std::int64_t length) {
  ASSERT_EQ(::truncate(path.c_str(), off_t(length)), 0) << path;
}

void CopyDir(const std::string& from, const std::string& to) {
  fs::create_directories(to);
  for (const auto& e : fs::directory_iterator(from)) {
    if (!e.is_regular_file()) continue;
    fs::path dst = fs::path(to) / e.path().filename();
    fs::copy_file(e.path(), dst, fs::copy_options::overwrite_existing);
    fs::permissions(dst, fs::perms::owner_read | fs::perms::owner_write,
                    fs::perm_options::add);
  }
}

std::vector<std::string> ListDir(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

std::uint16_t U16At(const std::string& b, std::size_t o) {
  return std::uint16_t(std::uint8_t(b.at(o)) | std::uint8_t(b.at(o + 1)) << 8);
}

std::uint32_t U32At(const std::string& b, std::size_t o) {
  return std::uint32_t(U16At(b, o)) | std::uint32_t(U16At(b, o + 2)) << 16;
}

std::string ForeignFixtures() { return std::string(ZANDREL_TESTDATA) + "/foreign"; }
std::string RegressInputs() { return std::string(ZANDREL_TESTDATA) + "/regress"; }

Zandrel::Zandrel(const std::string& bin) {
  err_ = ::memfd_create("zandrel-stderr", MFD_CLOEXEC);
  pid_ = SpawnOnPipes(bin.c_str(), &in_, &out_, err_);
  if (pid_ < 0) throw std::runtime_error("cannot start the gateway");
  ::signal(SIGPIPE, SIG_IGN);
}

Zandrel::~Zandrel() {
  if (in_ >= 0) ::close(in_);
  if (out_ >= 0) ::close(out_);
  if (err_ >= 0) ::close(err_);
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    retry_eintr([&] { return ::waitpid(pid_, nullptr, 0); });
  }
}

void Zandrel::Send(const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    // Keep draining the child's output so that neither side blocks.
    pollfd p[2] = {{in_, POLLOUT, 0}, {out_, POLLIN, 0}};
    if (retry_eintr([&] { return ::poll(p, 2, 20000); }) <= 0) {
      ADD_FAILURE() << "gateway stopped reading its input";
      return;
    }
    if (p[1].revents & (POLLIN | POLLHUP)) ReadSome(0);
    if (p[0].revents & (POLLERR | POLLHUP)) {
      ADD_FAILURE() << "gateway closed its input";
      return;
    }
    if (p[0].revents & POLLOUT) {
      ssize_t w = ::write(in_, bytes.data() + done, bytes.size() - done);
      if (w < 0 && errno != EINTR && errno != EAGAIN) {
        ADD_FAILURE() << "write to gateway failed";
        return;
      }
      if (w > 0) done += std::size_t(w);
    }
  }
}

bool Zandrel::ReadSome(int timeout_ms) {
  pollfd p{out_, POLLIN, 0};
  if (retry_eintr([&] { return ::poll(&p, 1, timeout_ms); }) <= 0) return false;
  char buf[65536];
  ssize_t r = retry_eintr([&] { return ::read(out_, buf, sizeof buf); });
  if (r <= 0) return false;
  pending_.append(buf, std::size_t(r));
  return true;
}

std::string Zandrel::ReadReply(int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    auto nul = pending_.find('\0');
    if (nul != std::string::npos) {
      std::string reply = pending_.substr(0, nul);
      pending_.erase(0, nul + 1);
      return reply;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0 || !ReadSome(int(left))) {
      ADD_FAILURE() << "no complete reply; got " << pending_.size() << " bytes";
      return std::exchange(pending_, {});
    }
  }
}

std::string Zandrel::ReadFor(int ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0 || !ReadSome(int(left))) break;
  }
  return std::exchange(pending_, {});
}

int Zandrel::Finish(std::string* rest, int timeout_ms) {
  ::close(in_);
  in_ = -1;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0 || !ReadSome(int(left))) break;
  }
  if (rest) *rest = std::exchange(pending_, {});
  int status = 0;
  for (int i = 0; i < 200; ++i) {  // up to 10 s for the child to end
    pid_t r = retry_eintr([&] { return ::waitpid(pid_, &status, WNOHANG); });
    if (r == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    ::usleep(50000);
  }
  return -1;
}

std::string Zandrel::Errors() const {
  std::string all;
  char buf[4096];
  for (ssize_t n; err_ >= 0 && (n = ::pread(err_, buf, sizeof buf, off_t(all.size()))) > 0;)
    all.append(buf, std::size_t(n));
  return all;
}

RunResult RunZandrel(const std::string& input, int timeout_ms, const std::string& bin) {
  Zandrel z(bin);
  z.Send(input);
  RunResult r;
  r.status = z.Finish(&r.out, timeout_ms);
  r.err = z.Errors();
  return r;
}

}  // namespace zt
