#include "host_process.h"

#include <algorithm>
#include <chrono>

namespace zt {

namespace {

// One argument as the runtime's command-line parser reads it back: quoted,
// with the backslashes before a quote doubled and the quote escaped.
std::string Quote(const std::string& arg) {
  std::string out = "\"";
  std::size_t slashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++slashes;
      continue;
    }
    out.append(c == '"' ? 2 * slashes + 1 : slashes, '\\');
    slashes = 0;
    out += c;
  }
  out.append(2 * slashes, '\\');
  return out + "\"";
}

// Every handle a new process should get must be inheritable while it is
// created, and no other process may be created meanwhile, or that one would
// keep our ends of these pipes open and no end of output would ever arrive.
std::mutex creation_mu;

}  // namespace

bool HostProcess::Start(const std::string& exe, const std::vector<std::string>& args,
                        bool errors) {
  std::string path = exe;
  for (char& c : path)
    if (c == '/') c = '\\';
  std::string line = Quote(path);
  for (const std::string& a : args) line += " " + Quote(a);

  std::lock_guard<std::mutex> g(creation_mu);
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  HANDLE child_in = INVALID_HANDLE_VALUE, child_out = INVALID_HANDLE_VALUE,
         child_err = INVALID_HANDLE_VALUE;
  auto close_child_ends = [&] {
    for (HANDLE h : {child_in, child_out, child_err})
      if (h != INVALID_HANDLE_VALUE && h != nullptr) CloseHandle(h);
  };
  // Our ends are not inherited; the child's are, while it is created.
  auto make_pipe = [&](HANDLE* read, HANDLE* write, HANDLE* ours) {
    if (!CreatePipe(read, write, &sa, 1 << 16)) return false;
    SetHandleInformation(*ours, HANDLE_FLAG_INHERIT, 0);
    return true;
  };
  if (!make_pipe(&child_in, &in_, &in_) || !make_pipe(&out_, &child_out, &out_) ||
      (errors ? !make_pipe(&err_, &child_err, &err_)
              : !DuplicateHandle(GetCurrentProcess(), GetStdHandle(STD_ERROR_HANDLE),
                                 GetCurrentProcess(), &child_err, 0, TRUE, DUPLICATE_SAME_ACCESS))) {
    close_child_ends();
    return false;
  }
  STARTUPINFOA si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = child_in;
  si.hStdOutput = child_out;
  si.hStdError = child_err;
  PROCESS_INFORMATION pi{};
  const bool ok = CreateProcessA(path.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                 nullptr, &si, &pi) != 0;
  close_child_ends();
  if (!ok) return false;
  CloseHandle(pi.hThread);
  process_ = pi.hProcess;
  reader_ = std::thread([this] { Collect(out_, &got_, &ended_); });
  if (errors) err_reader_ = std::thread([this] { Collect(err_, &errors_, &errors_ended_); });
  return true;
}

void HostProcess::Collect(HANDLE from, std::string* to, bool* ended) {
  char buf[65536];
  DWORD r = 0;
  while (ReadFile(from, buf, sizeof buf, &r, nullptr) && r > 0) {
    std::lock_guard<std::mutex> g(mu_);
    to->append(buf, r);
    cv_.notify_all();
  }
  std::lock_guard<std::mutex> g(mu_);
  *ended = true;
  cv_.notify_all();
}

HostProcess::~HostProcess() {
  Kill();
  CloseInput();
  if (reader_.joinable()) reader_.join();
  if (err_reader_.joinable()) err_reader_.join();
  for (HANDLE h : {out_, err_})
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  if (process_) CloseHandle(process_);
}

std::string HostProcess::Errors() {
  std::unique_lock<std::mutex> g(mu_);
  // Once the program has ended, what it wrote last may still be on its way.
  if (process_ && WaitForSingleObject(process_, 0) == WAIT_OBJECT_0)
    cv_.wait_for(g, std::chrono::seconds(5), [&] { return errors_ended_; });
  return errors_;
}

bool HostProcess::Write(const char* p, std::size_t n) {
  while (n > 0) {
    DWORD w = 0;
    if (in_ == INVALID_HANDLE_VALUE || !WriteFile(in_, p, DWORD(n), &w, nullptr) || w == 0)
      return false;
    p += w;
    n -= w;
  }
  return true;
}

long HostProcess::Read(char* buf, std::size_t n, int timeout_ms) {
  std::unique_lock<std::mutex> g(mu_);
  cv_.wait_for(g, std::chrono::milliseconds(timeout_ms), [&] { return !got_.empty() || ended_; });
  const std::size_t k = std::min(n, got_.size());
  got_.copy(buf, k);
  got_.erase(0, k);
  return long(k);
}

void HostProcess::CloseInput() {
  if (in_ != INVALID_HANDLE_VALUE) CloseHandle(in_);
  in_ = INVALID_HANDLE_VALUE;
}

int HostProcess::Wait(int timeout_ms) {
  if (!process_ || WaitForSingleObject(process_, DWORD(timeout_ms)) != WAIT_OBJECT_0) return -1;
  DWORD code = 0;
  if (!GetExitCodeProcess(process_, &code)) return -1;
  // Exception codes (0xC0000005 for an access violation) are not exits.
  return code >= 0xC0000000u ? -1 : int(code);
}

void HostProcess::Kill() {
  if (process_ && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) {
    TerminateProcess(process_, 0xC000013Au);  // the code of a process ended by force
    WaitForSingleObject(process_, INFINITE);
  }
}

std::string SelfPath() {
  char buf[MAX_PATH * 2];
  DWORD n = GetModuleFileNameA(nullptr, buf, sizeof buf);
  return std::string(buf, n);
}

}  // namespace zt
