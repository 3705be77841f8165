// Children as the test program started anew: its main hands the command
// line to RunChildIfAsked.
#include <fcntl.h>
#include <io.h>

#include "child.h"
#include "child_host.h"
#include "host_process.h"

namespace zt {

struct Child::Impl {
  HostProcess p;
  bool started = false;
};

void PrepareChildStreams() {
  _setmode(0, _O_BINARY);
  _setmode(1, _O_BINARY);
}

void ChildSignalReady() { (void)!_write(1, "y", 1); }

void ChildAwaitRelease() {
  char c;
  while (_read(0, &c, 1) > 0) {
  }
}

Child::Child(const std::string& name, const std::vector<std::string>& args)
    : impl_(std::make_unique<Impl>()) {
  if (FindChildFunction(name)) impl_->started = impl_->p.Start(SelfPath(), ChildCommandLine(name, args));
}

Child::~Child() = default;  // the process is killed if it still runs

bool Child::Ready(int timeout_ms) {
  char c = 'n';
  return impl_->started && impl_->p.Read(&c, 1, timeout_ms) == 1 && c == 'y';
}

void Child::Release() { impl_->p.CloseInput(); }

int Child::Wait(int timeout_ms) { return impl_->started ? impl_->p.Wait(timeout_ms) : -1; }

void Child::Kill() { impl_->p.Kill(); }

// Another program's lock: the host's own byte-range lock on a handle of its
// own, which makes overlapping reads and writes by anyone else fail.
bool LockAsAnotherProgram(const std::string& path, dword offset, dword length) {
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  return h != INVALID_HANDLE_VALUE && LockFile(h, offset, 0, length, 0);
}

// Restricted runs: neither restriction exists on this host. There is no user
// without privileges to become (and file modes do not bind a file's owner),
// and no limit on the size of a process's files. Tests that need them are
// skipped (zt::Lacks).
ChildResult RunUnprivileged(const ChildFn&) { return {-1, Lacks(Facility::kOtherUsers)}; }

void OpenToAll(const std::string&) {}

RunResult RunZandrelUnprivileged(const std::string&) { return RunResult{}; }

ChildResult RunWithFileSizeLimit(std::uint64_t, const ChildFn&) {
  return {-1, Lacks(Facility::kFileSizeLimit)};
}

}  // namespace zt
