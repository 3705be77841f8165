// A program started with its standard input and output on pipes, on a host
// without fork(): the gateway binary, or the test program itself running a
// child function.
#ifndef ZANDREL_HOST_PROCESS_H
#define ZANDREL_HOST_PROCESS_H

#include "winapi.h"

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zt {

class HostProcess {
 public:
  HostProcess() = default;
  ~HostProcess();  // kills the program if it still runs
  HostProcess(const HostProcess&) = delete;
  HostProcess& operator=(const HostProcess&) = delete;

  // Starts `exe` with `args`; false when it cannot be started. Its standard
  // error is collected when `errors` is set, else it is ours.
  bool Start(const std::string& exe, const std::vector<std::string>& args, bool errors = false);
  // Writes all of `n` bytes to its standard input; false when it stopped
  // reading. Its output is collected meanwhile, so neither side blocks.
  bool Write(const char* p, std::size_t n);
  // What it wrote within `timeout_ms`: the count, or 0 at the end of its
  // output or when nothing came.
  long Read(char* buf, std::size_t n, int timeout_ms);
  void CloseInput();
  // Its exit status once it ended within `timeout_ms`; -1 when it did not
  // end in time or ended by an exception.
  int Wait(int timeout_ms);
  void Kill();
  // What it wrote to its standard error so far, when that is collected.
  std::string Errors();

 private:
  // Reads `from` until its end into `to` (guarded by mu_); `ended` tells
  // when. One thread for each of its output streams.
  void Collect(HANDLE from, std::string* to, bool* ended);

  HANDLE process_ = nullptr;
  HANDLE in_ = INVALID_HANDLE_VALUE;   // its standard input, our end
  HANDLE out_ = INVALID_HANDLE_VALUE;  // its standard output, our end
  HANDLE err_ = INVALID_HANDLE_VALUE;  // its standard error, our end
  std::thread reader_, err_reader_;
  std::string errors_;
  bool errors_ended_ = false;
  std::mutex mu_;
  std::condition_variable cv_;
  std::string got_;  // output not yet handed out
  bool ended_ = false;
};

// The running program's own path.
std::string SelfPath();

}  // namespace zt

#endif
