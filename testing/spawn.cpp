#include "spawn.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "fileio.h"

pid_t SpawnOnPipes(const char* bin, int* to_child, int* from_child, int err_to) {
  int in[2], out[2];
  if (::pipe2(in, O_CLOEXEC) != 0) return -1;
  if (::pipe2(out, O_CLOEXEC) != 0) {
    ::close(in[0]);
    ::close(in[1]);
    return -1;
  }
  pid_t pid = ::fork();
  if (pid == 0) {
    retry_eintr([&] { return ::dup2(in[0], 0); });
    retry_eintr([&] { return ::dup2(out[1], 1); });
    if (err_to >= 0) retry_eintr([&] { return ::dup2(err_to, 2); });
    ::execl(bin, bin, static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  *to_child = in[1];
  *from_child = out[0];
  return pid;
}

int DevNull() {
  static const int fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  return fd;
}

namespace zt {

bool GatewayPipe::Start(const std::string& bin, int err_to) {
  pid_ = SpawnOnPipes(bin.c_str(), &in_, &out_, err_to);
  return pid_ > 0;
}

GatewayPipe::Sent GatewayPipe::Send(const std::string& bytes, int timeout_ms) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    pollfd fds[2] = {{in_, POLLOUT, 0}, {out_, POLLIN, 0}};
    if (retry_eintr([&] { return ::poll(fds, 2, timeout_ms); }) <= 0) return Sent::kNotReading;
    if (fds[1].revents & (POLLIN | POLLHUP)) {
      char buf[65536];
      long r = Read(buf, sizeof buf, 0);
      if (r > 0) pending_.append(buf, std::size_t(r));
    }
    if (fds[0].revents & (POLLERR | POLLHUP)) return Sent::kInputClosed;
    if (fds[0].revents & POLLOUT) {
      ssize_t w = ::write(in_, bytes.data() + done, bytes.size() - done);
      if (w < 0 && errno != EINTR && errno != EAGAIN) return Sent::kWriteFailed;
      if (w > 0) done += std::size_t(w);
    }
  }
  return Sent::kAll;
}

long GatewayPipe::Read(char* buf, std::size_t n, int timeout_ms) {
  pollfd fd{out_, POLLIN, 0};
  if (retry_eintr([&] { return ::poll(&fd, 1, timeout_ms); }) <= 0) return 0;
  ssize_t r = retry_eintr([&] { return ::read(out_, buf, n); });
  return r > 0 ? long(r) : 0;
}

bool GatewayPipe::Reply(std::string* reply, int timeout_ms) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    const auto nul = pending_.find('\0');
    if (nul != std::string::npos) {
      *reply = pending_.substr(0, nul);
      pending_.erase(0, nul + 1);
      return true;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    char buf[65536];
    const long r = left > 0 ? Read(buf, sizeof buf, int(left)) : 0;
    if (r <= 0) return false;
    pending_.append(buf, std::size_t(r));
  }
}

void GatewayPipe::CloseInput() {
  if (in_ >= 0) ::close(in_);
  in_ = -1;
}

int GatewayPipe::Wait(int timeout_ms) {
  if (pid_ <= 0) return -1;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    int status = 0;
    const pid_t r =
        retry_eintr([&] { return ::waitpid(pid_, &status, timeout_ms < 0 ? 0 : WNOHANG); });
    if (r == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    if (r < 0 || std::chrono::steady_clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

void GatewayPipe::Kill() {
  CloseInput();
  if (out_ >= 0) ::close(out_);
  out_ = -1;
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    retry_eintr([&] { return ::waitpid(pid_, nullptr, 0); });
  }
  pid_ = -1;
}

}  // namespace zt
