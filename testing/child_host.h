// What the host halves of the child processes share with the portable part.
#ifndef ZANDREL_CHILD_HOST_H
#define ZANDREL_CHILD_HOST_H

#include <string>
#include <vector>

#include "child.h"

namespace zt {

// The function registered under `name`, or null.
ChildMain FindChildFunction(const std::string& name);
// The arguments that make the test program run `name` with `args`.
std::vector<std::string> ChildCommandLine(const std::string& name,
                                          const std::vector<std::string>& args);
// Puts the standard streams of a started child in the state that
// ChildSignalReady and ChildAwaitRelease expect.
void PrepareChildStreams();

// Opens `path` and locks the range the way another program on this host
// would; the lock is held until the process ends.
bool LockAsAnotherProgram(const std::string& path, dword offset, dword length);

}  // namespace zt

#endif
