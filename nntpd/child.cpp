#include "child.h"

#include <fcntl.h>
#include <linux/close_range.h>
#include <signal.h>
#include <linux/sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace nntpd {

bool spawnChild(const std::string& path, ChildPipes& out) {
  int in[2], outp[2];
  if (::pipe2(in, O_CLOEXEC) != 0) return false;
  if (::pipe2(outp, O_CLOEXEC) != 0) {
    int e = errno;
    ::close(in[0]);
    ::close(in[1]);
    errno = e;
    return false;
  }
  // clone3 hands out the pidfd together with the process: with SIGCHLD
  // ignored, a child that ended before a later pidfd_open could already be
  // reaped and its pid taken by another process.
  int pidfd = -1;
  clone_args args{};
  args.flags = CLONE_PIDFD;
  args.pidfd = reinterpret_cast<std::uint64_t>(&pidfd);
  args.exit_signal = SIGCHLD;
  long pid = ::syscall(SYS_clone3, &args, sizeof args);
  if (pid == 0) {
    ::dup2(in[0], 0);
    ::dup2(outp[1], 1);
    if (::close_range(3, ~0U, 0) != 0)
      for (int fd = 3; fd < 1024; ++fd) ::close(fd);
    ::signal(SIGCHLD, SIG_DFL);
    ::signal(SIGPIPE, SIG_DFL);
    ::execl(path.c_str(), path.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  int e = errno;
  ::close(in[0]);
  ::close(outp[1]);
  if (pid < 0) {
    ::close(in[1]);
    ::close(outp[0]);
    errno = e;
    return false;
  }
  out.pidfd = pidfd;
  out.toChild = in[1];
  out.fromChild = outp[0];
  return true;
}

void killChild(int pidfd) {
  if (pidfd >= 0) ::syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0);
}

void setUpChildSignals() {
  struct sigaction sa {};
  sa.sa_handler = SIG_IGN;
  ::sigaction(SIGPIPE, &sa, nullptr);
  sa.sa_flags = SA_NOCLDWAIT;
  ::sigaction(SIGCHLD, &sa, nullptr);
}

}  // namespace nntpd
