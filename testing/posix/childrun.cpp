#include "childrun.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "fileio.h"

namespace zt {

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
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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
