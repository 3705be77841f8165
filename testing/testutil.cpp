#include "testutil.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

#include "process_host.h"

namespace fs = std::filesystem;

namespace zt {

TempDir::TempDir() {
  // Creating the directory is what claims a name, so a name that another
  // test process took at the same moment is simply passed over.
  static std::mt19937_64 rng(std::random_device{}() ^
                             std::uint64_t(std::chrono::steady_clock::now().time_since_epoch().count()));
  const fs::path base = fs::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    char name[32];
    std::snprintf(name, sizeof name, "zandrel-test-%012llx",
                  static_cast<unsigned long long>(rng() & 0xFFFFFFFFFFFFull));
    std::error_code ec;
    if (fs::create_directory(base / name, ec)) {
      path_ = (base / name).string();
      return;
    }
  }
  throw std::runtime_error("cannot make a temporary directory");
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
  std::error_code ec;
  return fs::exists(path, ec);
}

std::int64_t FileSize(const std::string& path) {
  std::error_code ec;
  const std::uintmax_t size = fs::file_size(path, ec);
  return ec ? -1 : std::int64_t(size);
}

void PatchBytes(const std::string& path, std::int64_t offset, const std::string& bytes) {
  std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
  ASSERT_TRUE(f.is_open()) << path;
  f.seekp(offset);
  f.write(bytes.data(), std::streamsize(bytes.size()));
  ASSERT_TRUE(f.flush().good()) << path;
}

void PatchByte(const std::string& path, std::int64_t offset, std::uint8_t value) {
  PatchBytes(path, offset, std::string(1, char(value)));
}

void TruncateTo(const std::string& path, std::int64_t length) {
  std::error_code ec;
  fs::resize_file(path, std::uintmax_t(length), ec);
  ASSERT_FALSE(ec) << path << ": " << ec.message();
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
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::string ForeignFixtures() { return std::string(ZANDREL_TESTDATA) + "/foreign"; }
std::string RegressInputs() { return std::string(ZANDREL_TESTDATA) + "/regress"; }

void Zandrel::Send(const std::string& bytes) { WriteInput(*proc_, bytes, &pending_); }

bool Zandrel::ReadSome(int timeout_ms) {
  char buf[65536];
  long r = ReadOutput(*proc_, buf, sizeof buf, timeout_ms);
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
  CloseInput(*proc_);
  std::string tail = ReadFor(timeout_ms);  // everything up to the end of its output
  if (rest) *rest = std::move(tail);
  return WaitExit(*proc_, 10000);  // up to 10 s for the child to end
}

std::string Zandrel::Errors() const { return ReadErrors(*proc_); }

RunResult RunZandrel(const std::string& input, int timeout_ms, const std::string& bin) {
  Zandrel z(bin);
  z.Send(input);
  RunResult r;
  r.status = z.Finish(&r.out, timeout_ms);
  r.err = z.Errors();
  return r;
}

}  // namespace zt
