// Several programs posting into an area that does not exist yet: every one of
// them creates or opens it, and every message arrives.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "gwfixture.h"
#include "msgapi.h"
#include "testutil.h"

namespace {

struct Kind {
  const char* name;
  word type;
};

void PrintTo(const Kind& k, std::ostream* os) { *os << k.name; }

class CreateRace : public ::testing::TestWithParam<Kind> {};

// Opens the area as an existing one, again and again until another process
// has made it, and stores one message.
dword StoreOnceMade(const std::string& path, word type, const XMSG& x) {
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < give_up) {
    HAREA a = MsgOpenArea(path.c_str(), AOPEN_EXISTING, type);
    if (a) return zt::StoreMessage(a, x, "\x01PID: race", "text of writer\r");
  }
  return 0;
}

// Forks `writers` processes that wait on a pipe, then all store one message
// into `path` at the same moment; the last of them only opens the area once
// the others have made it. Returns how many reported success.
int PostAtOnce(const std::string& path, word type, int writers) {
  int go[2];
  if (::pipe(go) != 0) return -1;
  std::vector<pid_t> kids;
  for (int i = 0; i < writers; ++i) {
    pid_t pid = ::fork();
    if (pid == 0) {
      ::close(go[1]);
      char c;
      if (::read(go[0], &c, 1) != 0) ::_exit(3);  // released when the pipe closes
      XMSG x = zt::MakeHeader("Writer " + std::to_string(i), "All", "race", {2, 5020, 52, 0},
                              {2026, 1, 2, 3, 4, 6});
      dword n = i == writers - 1 ? StoreOnceMade(path, type, x)
                                 : zt::StoreMessage(path, type, x, "\x01PID: race", "text of writer\r");
      ::_exit(n ? 0 : 1);
    }
    kids.push_back(pid);
  }
  ::close(go[0]);
  ::close(go[1]);
  int ok = 0;
  for (pid_t k : kids) {
    int st = 0;
    ::waitpid(k, &st, 0);
    if (WIFEXITED(st) && WEXITSTATUS(st) == 0) ++ok;
  }
  return ok;
}

TEST_P(CreateRace, EveryWriterOfANewAreaIsStored) {
  const Kind k = GetParam();
  _minf m{};
  m.def_zone = 2;
  MsgOpenApi(&m);
  zt::TempDir dir;
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(round);
    std::string path = dir / ("area" + std::to_string(round));
    const int writers = 4;
    EXPECT_EQ(PostAtOnce(path, k.type, writers), writers);
    HAREA a = MsgOpenArea(path.c_str(), AOPEN_EXISTING, k.type);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->num_msg, dword(writers));
    a->api->CloseArea(a);
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, CreateRace,
                         ::testing::Values(Kind{"Squish", AT_SQUISH | AT_ECHO},
                                           Kind{"Jam", AT_JAM | AT_ECHO},
                                           Kind{"Sdm", AT_SDM | AT_ECHO}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
