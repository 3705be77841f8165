// Children as forked copies of the test process.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <set>
#include <thread>

#include "child_host.h"
#include "fileio.h"

namespace zt {

namespace {

// The child's ends of its two pipes, in the child.
int ready_fd = -1, release_fd = -1;

// The parent's ends of every child's pipes. A forked child closes all of
// them: holding a sibling's release pipe open would keep that sibling at
// its gate until this child ends.
std::mutex parent_ends_mu;
std::set<int> parent_ends;

void KeepParentEnd(int fd) {
  std::lock_guard<std::mutex> g(parent_ends_mu);
  parent_ends.insert(fd);
}

void CloseParentEnd(int& fd) {
  if (fd < 0) return;
  std::lock_guard<std::mutex> g(parent_ends_mu);
  parent_ends.erase(fd);
  ::close(fd);
  fd = -1;
}

}  // namespace

struct Child::Impl {
  pid_t pid = -1;
  int ready = -1;    // reads what the child signals
  int release = -1;  // closed to release it
  int status = -1;
  bool ended = false;
};

void PrepareChildStreams() {}

void ChildSignalReady() {
  if (ready_fd >= 0) (void)!::write(ready_fd, "y", 1);
}

void ChildAwaitRelease() {
  char c;
  while (release_fd >= 0 && retry_eintr([&] { return ::read(release_fd, &c, 1); }) > 0) {
  }
}

Child::Child(const std::string& name, const std::vector<std::string>& args)
    : impl_(std::make_unique<Impl>()) {
  ChildMain fn = FindChildFunction(name);
  int ready[2], release[2];
  if (!fn || ::pipe(ready) != 0) return;
  if (::pipe(release) != 0) {
    ::close(ready[0]);
    ::close(ready[1]);
    return;
  }
  pid_t pid = ::fork();
  if (pid == 0) {
    for (int fd : parent_ends) ::close(fd);
    ::close(ready[0]);
    ::close(release[1]);
    ready_fd = ready[1];
    release_fd = release[0];
    ::_exit(fn(args));
  }
  ::close(ready[1]);
  ::close(release[0]);
  impl_->pid = pid;
  impl_->ready = ready[0];
  impl_->release = release[1];
  KeepParentEnd(impl_->ready);
  KeepParentEnd(impl_->release);
  if (pid < 0) {
    CloseParentEnd(impl_->ready);
    CloseParentEnd(impl_->release);
  }
}

Child::~Child() {
  Kill();
  CloseParentEnd(impl_->ready);
  CloseParentEnd(impl_->release);
}

bool Child::Ready(int timeout_ms) {
  if (impl_->ready < 0) return false;
  pollfd p{impl_->ready, POLLIN, 0};
  char c = 'n';
  return retry_eintr([&] { return ::poll(&p, 1, timeout_ms); }) == 1 &&
         retry_eintr([&] { return ::read(impl_->ready, &c, 1); }) == 1 && c == 'y';
}

void Child::Release() { CloseParentEnd(impl_->release); }

int Child::Wait(int timeout_ms) {
  if (impl_->ended || impl_->pid <= 0) return impl_->status;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    int st = 0;
    if (retry_eintr([&] { return ::waitpid(impl_->pid, &st, WNOHANG); }) == impl_->pid) {
      impl_->ended = true;
      impl_->status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
      return impl_->status;
    }
    if (std::chrono::steady_clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void Child::Kill() {
  if (impl_->ended || impl_->pid <= 0) return;
  ::kill(impl_->pid, SIGKILL);
  retry_eintr([&] { return ::waitpid(impl_->pid, nullptr, 0); });
  impl_->ended = true;
}

// Another program's lock: a classic POSIX record lock, which conflicts
// with zandrel's own locks.
bool LockAsAnotherProgram(const std::string& path, dword offset, dword length) {
  int fd = ::open(path.c_str(), O_RDWR);
  struct flock fl {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = off_t(offset);
  fl.l_len = off_t(length);
  return fd >= 0 && ::fcntl(fd, F_SETLK, &fl) == 0;
}

}  // namespace zt
