// Other processes in tests: a function of the test program run as a process
// of its own, the way another program sharing a base runs beside zandrel.
//
// A host with fork() runs the function in a forked copy of the test process;
// a host without it starts the test program anew with the function's name
// and arguments on its command line, and the program's main hands it over
// to RunChildIfAsked. Either way the function only sees its arguments, so it
// must not rely on anything the test set up in memory, apart from the message
// API, which is open.
#ifndef ZANDREL_CHILD_H
#define ZANDREL_CHILD_H

#include <memory>
#include <string>
#include <vector>

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

}  // namespace zt

#endif
