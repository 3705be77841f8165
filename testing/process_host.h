// The host half of Zandrel: its child process and the pipes to it.
#ifndef ZANDREL_PROCESS_HOST_H
#define ZANDREL_PROCESS_HOST_H

#include <cstddef>
#include <string>

#include "testutil.h"

namespace zt {

// Writes all of `bytes` to the child's standard input, appending whatever
// the child writes meanwhile to `drained` so that neither side blocks.
// False (with a test failure) when the child stopped reading.
bool WriteInput(Zandrel::Process& p, const std::string& bytes, std::string* drained);
// Reads what the child wrote within `timeout_ms`: the count, or 0 at the end
// of its output or when nothing came.
long ReadOutput(Zandrel::Process& p, char* buf, std::size_t n, int timeout_ms);
// Ends the child's standard input.
void CloseInput(Zandrel::Process& p);
// Everything the child wrote to its standard error so far.
std::string ReadErrors(Zandrel::Process& p);
// The child's exit status once it ended within `timeout_ms`; -1 when it did
// not end normally or not in time.
int WaitExit(Zandrel::Process& p, int timeout_ms);

}  // namespace zt

#endif
