// A program started as a child with its standard input and output on pipes,
// the way a front end starts the gateway. Shared by the tests, the
// benchmarks and the soak run; POSIX hosts only.
#ifndef ZANDREL_SPAWN_H
#define ZANDREL_SPAWN_H

#include <sys/types.h>

#include <string>

// The child's pid, with `to_child` its standard input and `from_child` its
// standard output; -1 when the pipes or the fork fail. Its standard error,
// where it tells why commands failed, goes to `err_to` when that is a
// descriptor, else where ours goes.
pid_t SpawnOnPipes(const char* bin, int* to_child, int* from_child, int err_to = -1);

// /dev/null for writing, for children whose diagnostics are not wanted
// (the soak run's readers race its deleters and fail by design); -1 when it
// cannot be opened.
int DevNull();

namespace zt {

// The gateway as a child on pipes: requests in, replies (each ended by a NUL)
// out. A child still running when the object goes away is killed.
class GatewayPipe {
 public:
  GatewayPipe() = default;
  ~GatewayPipe() { Kill(); }
  GatewayPipe(const GatewayPipe&) = delete;
  GatewayPipe& operator=(const GatewayPipe&) = delete;

  // Starts `bin` as SpawnOnPipes does; false when it cannot.
  bool Start(const std::string& bin, int err_to = -1);
  pid_t pid() const { return pid_; }

  enum class Sent { kAll, kNotReading, kInputClosed, kWriteFailed };
  // Writes all of `bytes`, appending whatever the child writes meanwhile to
  // pending() so that neither side blocks. kNotReading when the child took
  // nothing and wrote nothing for `timeout_ms`.
  Sent Send(const std::string& bytes, int timeout_ms);
  // Reads what the child wrote within `timeout_ms` into `buf`: the count, or
  // 0 at the end of its output or when nothing came.
  long Read(char* buf, std::size_t n, int timeout_ms);
  // The next reply, without its NUL, taken out of pending(); false when
  // none was complete within `timeout_ms` (pending() keeps what came).
  bool Reply(std::string* reply, int timeout_ms);
  // What arrived and has not been taken as a reply.
  std::string& pending() { return pending_; }

  // Ends the child's standard input.
  void CloseInput();
  // The child's exit status once it ended; -1 when it did not end normally
  // or not within `timeout_ms` (a negative timeout waits as long as it takes).
  int Wait(int timeout_ms);
  // Closes both pipes and kills the child with SIGKILL.
  void Kill();

 private:
  pid_t pid_ = -1;
  int in_ = -1, out_ = -1;
  std::string pending_;
};

}  // namespace zt

#endif
