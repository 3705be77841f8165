// The gateway as a child on pipes: fork and exec, poll for the replies.
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <stdexcept>
#include <utility>

#include <gtest/gtest.h>

#include "process_host.h"
#include "spawn.h"

namespace zt {

struct Zandrel::Process {
  GatewayPipe pipe;
  int err = -1;  // a memory file that takes the child's standard error

  ~Process() {
    pipe.Kill();
    if (err >= 0) ::close(err);
  }
};

Zandrel::Zandrel(const std::string& bin) : proc_(std::make_unique<Process>()) {
  proc_->err = ::memfd_create("zandrel-stderr", MFD_CLOEXEC);
  if (!proc_->pipe.Start(bin, proc_->err)) throw std::runtime_error("cannot start the gateway");
  ::signal(SIGPIPE, SIG_IGN);
}

Zandrel::~Zandrel() = default;

bool WriteInput(Zandrel::Process& p, const std::string& bytes, std::string* drained) {
  const GatewayPipe::Sent sent = p.pipe.Send(bytes, 20000);
  drained->append(std::exchange(p.pipe.pending(), {}));
  switch (sent) {
    case GatewayPipe::Sent::kAll:
      return true;
    case GatewayPipe::Sent::kNotReading:
      ADD_FAILURE() << "gateway stopped reading its input";
      break;
    case GatewayPipe::Sent::kInputClosed:
      ADD_FAILURE() << "gateway closed its input";
      break;
    case GatewayPipe::Sent::kWriteFailed:
      ADD_FAILURE() << "write to gateway failed";
      break;
  }
  return false;
}

long ReadOutput(Zandrel::Process& p, char* buf, std::size_t n, int timeout_ms) {
  return p.pipe.Read(buf, n, timeout_ms);
}

std::string ReadErrors(Zandrel::Process& p) {
  std::string all;
  char buf[4096];
  for (ssize_t n; p.err >= 0 && (n = ::pread(p.err, buf, sizeof buf, off_t(all.size()))) > 0;)
    all.append(buf, std::size_t(n));
  return all;
}

void CloseInput(Zandrel::Process& p) { p.pipe.CloseInput(); }

int WaitExit(Zandrel::Process& p, int timeout_ms) { return p.pipe.Wait(timeout_ms); }

bool MakePipe(int fds[2]) { return ::pipe(fds) == 0; }

}  // namespace zt
