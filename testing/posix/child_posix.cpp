// Children as forked copies of the test process: child functions, and
// restricted runs as an unprivileged user or under a file size limit.
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <set>
#include <thread>

#include "child.h"
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

// What waitpid's status says: the exit status, or -1 for a child that did
// not end normally.
int ExitStatus(int st) { return WIFEXITED(st) ? WEXITSTATUS(st) : -1; }

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
      impl_->status = ExitStatus(st);
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

// ---------------------------------------------------------------------------
// Restricted runs

namespace {

constexpr uid_t kNobody = 65534;
constexpr gid_t kNogroup = 65534;

// Forks; the child runs `restrict` and then `fn`, and sends back fn's text.
ChildResult RunForked(const std::function<bool()>& restrict, const ChildFn& fn) {
  ChildResult r;
  int pipefd[2];
  if (::pipe2(pipefd, O_CLOEXEC) != 0) return r;
  pid_t pid = ::fork();
  if (pid < 0) {
    ::close(pipefd[0]);
    ::close(pipefd[1]);
    return r;
  }
  if (pid == 0) {
    ::close(pipefd[0]);
    std::string out;
    int code = 125;
    try {
      code = restrict() ? fn(out) : (out = "cannot restrict the child", 126);
    } catch (...) {
      out += "exception in the child";
    }
    write_all(pipefd[1], out.data(), out.size());
    ::_exit(code & 0xFF);
  }
  ::close(pipefd[1]);
  char buf[4096];
  for (std::int64_t n; (n = read_upto(pipefd[0], buf, sizeof buf)) > 0;)
    r.out.append(buf, std::size_t(n));
  ::close(pipefd[0]);
  int status = 0;
  retry_eintr([&] { return ::waitpid(pid, &status, 0); });
  r.status = ExitStatus(status);
  return r;
}

}  // namespace

ChildResult RunUnprivileged(const ChildFn& fn) {
  return RunForked(
      [] {
        if (::geteuid() != 0) return true;
        return ::setgroups(0, nullptr) == 0 && ::setgid(kNogroup) == 0 && ::setuid(kNobody) == 0;
      },
      fn);
}

void OpenToAll(const std::string& dir) {
  namespace fs = std::filesystem;
  using fs::perms;
  fs::permissions(dir, perms::all & ~(perms::group_write | perms::others_write));
  for (const auto& e : fs::directory_iterator(dir))
    if (e.is_regular_file())
      fs::permissions(e.path(), perms::group_read | perms::others_read, fs::perm_options::add);
}

RunResult RunZandrelUnprivileged(const std::string& input) {
  // A copy that the user can run wherever the build tree lies.
  TempDir bin_dir;
  const std::string bin = bin_dir / "zandrel";
  std::filesystem::copy_file(ZANDREL_BIN, bin);
  OpenToAll(bin_dir.path());
  std::filesystem::permissions(bin, std::filesystem::perms::others_exec |
                                        std::filesystem::perms::group_exec,
                               std::filesystem::perm_options::add);
  // Both streams come back in one: the length of the output, a colon, the
  // output, then the errors.
  ChildResult c = RunUnprivileged([&](std::string& out) {
    RunResult r = RunZandrel(input, 20000, bin);
    out = std::to_string(r.out.size()) + ":" + r.out + r.err;
    return r.status < 0 ? 255 : r.status;
  });
  RunResult r{{}, c.status == 255 ? -1 : c.status, {}};
  const std::size_t colon = c.out.find(':');
  if (colon == std::string::npos) return r;
  const std::size_t len = std::stoul(c.out.substr(0, colon));
  r.out = c.out.substr(colon + 1, len);
  r.err = c.out.substr(std::min(c.out.size(), colon + 1 + len));
  return r;
}

ChildResult RunWithFileSizeLimit(std::uint64_t bytes, const ChildFn& fn) {
  return RunForked(
      [bytes] {
        ::signal(SIGXFSZ, SIG_IGN);
        struct rlimit rl{rlim_t(bytes), rlim_t(bytes)};
        return ::setrlimit(RLIMIT_FSIZE, &rl) == 0;
      },
      fn);
}

}  // namespace zt
