// Other processes in tests, of two kinds.
//
// Child functions: a function of the test program run as a process of its
// own, the way another program sharing a base runs beside zandrel. A host
// with fork() runs the function in a forked copy of the test process; a host
// without it starts the test program anew with the function's name and
// arguments on its command line, and the program's main hands it over to
// RunChildIfAsked. Either way the function only sees its arguments, so it
// must not rely on anything the test set up in memory, apart from the message
// API, which is open.
//
// Restricted runs: test code run in a forked child under a restriction that
// the test process itself must not take on (an unprivileged user, a limit on
// file sizes). Only a host with fork() and those restrictions has them; on
// any other the child's result carries the reason (zt::Lacks).
#ifndef ZANDREL_CHILD_H
#define ZANDREL_CHILD_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "testutil.h"
#include "typedefs.h"

namespace zt {

// A child's work: its arguments in, its exit status out.
using ChildMain = int (*)(const std::vector<std::string>& args);

// Makes `fn` known under `name`; define one at namespace scope per function.
struct ChildFunction {
  ChildFunction(const char* name, ChildMain fn);
};

// For the function in the child: tells the parent it is ready (Child::Ready
// returns true), and waits until the parent releases it (Child::Release).
void ChildSignalReady();
void ChildAwaitRelease();

class Child {
 public:
  // Starts the function registered as `name`; a child that cannot be started
  // ends at once with status -1.
  Child(const std::string& name, const std::vector<std::string>& args);
  ~Child();  // kills a child that is still running
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // Waits until the child signalled readiness: false when it ended first or
  // did not signal within `timeout_ms`.
  bool Ready(int timeout_ms = 20000);
  // Lets ChildAwaitRelease in the child return.
  void Release();
  // The child's exit status once it ended; -1 when it did not end normally
  // or not within `timeout_ms`.
  int Wait(int timeout_ms = 120000);
  void Kill();

  struct Impl;  // the host's process

 private:
  std::unique_ptr<Impl> impl_;
};

// Starts one child per argument list, lets them all go at the same moment
// (their functions begin with ChildAwaitRelease), and returns their exit
// statuses.
std::vector<int> RunTogether(const std::string& name,
                             const std::vector<std::vector<std::string>>& args);

// A child that opens `path` itself and holds `length` bytes from `offset`
// with the host's usual byte-range lock, as another program sharing the base
// would, for `hold_ms` milliseconds. Returns once the lock is held (null when
// the child could not take it); destroying it ends the child early.
std::unique_ptr<Child> HoldLock(const std::string& path, dword offset, dword length, int hold_ms);

// The test program's main calls this first: when the command line names a
// child function, runs it and returns true with its exit status.
bool RunChildIfAsked(int argc, char** argv, int* status);

// Restricted runs. The child reports through the function's result (0 to
// 255) and the text it leaves in its argument; test assertions made inside
// it do not reach the parent, so the function checks for itself and says
// what went wrong.
struct ChildResult {
  int status = -1;  // the function's result; -1 when the child did not exit
  std::string out;  // what the function left in its argument
};

using ChildFn = std::function<int(std::string& out)>;

// Runs `fn` as a user without privileges. As root (tests run as root in CI,
// and root ignores file modes) the child first drops to uid and gid 65534
// ("nobody") with no supplementary groups, so modes apply to it as to any
// other user's program; anyone else runs it as they are, to whom modes
// apply already. Files the child is to reach must be reachable by that
// user: see OpenToAll.
ChildResult RunUnprivileged(const ChildFn& fn);

// Gives everybody search and read permission on `dir` and read permission
// on the files in it, leaving write permission to the owner.
void OpenToAll(const std::string& dir);

// The gateway on `input`, as RunZandrel, run by RunUnprivileged's user.
RunResult RunZandrelUnprivileged(const std::string& input);

// Runs `fn` with every file limited to `bytes` (RLIMIT_FSIZE) and SIGXFSZ
// ignored: a write that would pass the limit stores what fits below it, and
// the next fails (EFBIG), as on a disk that fills up mid-write.
ChildResult RunWithFileSizeLimit(std::uint64_t bytes, const ChildFn& fn);

}  // namespace zt

#endif
