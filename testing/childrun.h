// Runs test code in a forked child under a restriction that the test process
// itself must not take on: an unprivileged user, or a limit on file sizes.
//
// The child reports through the function's result (0 to 255) and the text
// it leaves in its argument; test assertions made inside it do not reach
// the parent, so the function checks for itself and says what went wrong.
#ifndef ZANDREL_CHILDRUN_H
#define ZANDREL_CHILDRUN_H

#include <cstdint>
#include <functional>
#include <string>

#include "testutil.h"

namespace zt {

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
