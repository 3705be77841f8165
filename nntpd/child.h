// A child process with its standard input and output on pipes. The server
// ignores SIGCHLD, so children are reaped by the kernel; a child is killed
// through a pidfd, which cannot hit another process that reused its pid.
#ifndef NNTPD_CHILD_H
#define NNTPD_CHILD_H

#include <string>

namespace nntpd {

struct ChildPipes {
  int pidfd = -1;
  int toChild = -1;    // its standard input
  int fromChild = -1;  // its standard output
};

// Starts `path` with no arguments. Every descriptor of ours except the two
// pipe ends is closed in the child, so it never holds a client's socket
// open. False (errno set) when the pipes or the process cannot be made; a
// program that cannot be executed shows as a child that ends at once.
bool spawnChild(const std::string& path, ChildPipes& out);

// SIGKILL through the pidfd; harmless when the child has already ended.
void killChild(int pidfd);

// Called once at start-up: children are reaped by the kernel, and a write to
// a pipe whose reader has gone fails with EPIPE instead of ending us.
void setUpChildSignals();

}  // namespace nntpd

#endif
