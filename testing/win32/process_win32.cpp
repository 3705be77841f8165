// The gateway as a child on pipes, started as a program of its own.
#include <fcntl.h>
#include <io.h>

#include <stdexcept>

#include <gtest/gtest.h>

#include "host_process.h"
#include "process_host.h"

namespace zt {

struct Zandrel::Process {
  HostProcess p;
};

Zandrel::Zandrel(const std::string& bin) : proc_(std::make_unique<Process>()) {
  if (!proc_->p.Start(bin, {}, true)) throw std::runtime_error("cannot start the gateway");
}

Zandrel::~Zandrel() = default;

bool WriteInput(Zandrel::Process& p, const std::string& bytes, std::string*) {
  // The reader thread drains the output meanwhile; nothing to hand over.
  if (p.p.Write(bytes.data(), bytes.size())) return true;
  ADD_FAILURE() << "gateway stopped reading its input";
  return false;
}

long ReadOutput(Zandrel::Process& p, char* buf, std::size_t n, int timeout_ms) {
  return p.p.Read(buf, n, timeout_ms);
}

void CloseInput(Zandrel::Process& p) { p.p.CloseInput(); }

std::string ReadErrors(Zandrel::Process& p) { return p.p.Errors(); }

int WaitExit(Zandrel::Process& p, int timeout_ms) { return p.p.Wait(timeout_ms); }

bool MakePipe(int fds[2]) { return _pipe(fds, 1 << 16, _O_BINARY) == 0; }

}  // namespace zt
