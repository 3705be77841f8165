// Starts the gateway binary as a child with its standard input and output on
// pipes, as a front end does. Shared by the tests, the benchmark and the soak
// run.
#ifndef ZANDREL_SPAWN_H
#define ZANDREL_SPAWN_H

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include "fileio.h"

// The child's pid, with `to_child` its standard input and `from_child` its
// standard output; -1 when the pipes or the fork fail. Its standard error,
// where it tells why commands failed, goes to `err_to` when that is a
// descriptor, else where ours goes.
inline pid_t SpawnOnPipes(const char* bin, int* to_child, int* from_child, int err_to = -1) {
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

// /dev/null for writing, for children whose diagnostics are not wanted
// (the soak run's readers race its deleters and fail by design); -1 when it
// cannot be opened.
inline int DevNull() {
  static const int fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  return fd;
}

#endif
