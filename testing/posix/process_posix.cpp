// The gateway as a child on pipes: fork and exec, poll for the replies.
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "fileio.h"
#include "process_host.h"
#include "spawn.h"

namespace zt {

struct Zandrel::Process {
  pid_t pid = -1;
  int in = -1, out = -1;
  int err = -1;  // a memory file that takes the child's standard error

  ~Process() {
    if (in >= 0) ::close(in);
    if (out >= 0) ::close(out);
    if (err >= 0) ::close(err);
    if (pid > 0) {
      ::kill(pid, SIGKILL);
      retry_eintr([&] { return ::waitpid(pid, nullptr, 0); });
    }
  }
};

Zandrel::Zandrel(const std::string& bin) : proc_(std::make_unique<Process>()) {
  proc_->err = ::memfd_create("zandrel-stderr", MFD_CLOEXEC);
  proc_->pid = SpawnOnPipes(bin.c_str(), &proc_->in, &proc_->out, proc_->err);
  if (proc_->pid < 0) throw std::runtime_error("cannot start the gateway");
  ::signal(SIGPIPE, SIG_IGN);
}

Zandrel::~Zandrel() = default;

bool WriteInput(Zandrel::Process& p, const std::string& bytes, std::string* drained) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    // Keep draining the child's output so that neither side blocks.
    pollfd fds[2] = {{p.in, POLLOUT, 0}, {p.out, POLLIN, 0}};
    if (retry_eintr([&] { return ::poll(fds, 2, 20000); }) <= 0) {
      ADD_FAILURE() << "gateway stopped reading its input";
      return false;
    }
    if (fds[1].revents & (POLLIN | POLLHUP)) {
      char buf[65536];
      long r = ReadOutput(p, buf, sizeof buf, 0);
      if (r > 0) drained->append(buf, std::size_t(r));
    }
    if (fds[0].revents & (POLLERR | POLLHUP)) {
      ADD_FAILURE() << "gateway closed its input";
      return false;
    }
    if (fds[0].revents & POLLOUT) {
      ssize_t w = ::write(p.in, bytes.data() + done, bytes.size() - done);
      if (w < 0 && errno != EINTR && errno != EAGAIN) {
        ADD_FAILURE() << "write to gateway failed";
        return false;
      }
      if (w > 0) done += std::size_t(w);
    }
  }
  return true;
}

long ReadOutput(Zandrel::Process& p, char* buf, std::size_t n, int timeout_ms) {
  pollfd fd{p.out, POLLIN, 0};
  if (retry_eintr([&] { return ::poll(&fd, 1, timeout_ms); }) <= 0) return 0;
  ssize_t r = retry_eintr([&] { return ::read(p.out, buf, n); });
  return r > 0 ? long(r) : 0;
}

std::string ReadErrors(Zandrel::Process& p) {
  std::string all;
  char buf[4096];
  for (ssize_t n; p.err >= 0 && (n = ::pread(p.err, buf, sizeof buf, off_t(all.size()))) > 0;)
    all.append(buf, std::size_t(n));
  return all;
}

void CloseInput(Zandrel::Process& p) {
  if (p.in >= 0) ::close(p.in);
  p.in = -1;
}

int WaitExit(Zandrel::Process& p, int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    int status = 0;
    if (retry_eintr([&] { return ::waitpid(p.pid, &status, WNOHANG); }) == p.pid) {
      p.pid = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    if (std::chrono::steady_clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

bool MakePipe(int fds[2]) { return ::pipe(fds) == 0; }

}  // namespace zt
