// Several programs posting into an area that does not exist yet: every one of
// them creates or opens it, and every message arrives.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "child.h"
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

// One writer: stores one message into the area at the path, of the type
// given in decimal, once released; the last writer only opens the area once
// the others have made it. Arguments: path, type, writer number, "last" or
// "any".
int RaceWriter(const std::vector<std::string>& args) {
  const std::string& path = args.at(0);
  const word type = word(std::stoi(args.at(1)));
  const std::string& i = args.at(2);
  zt::ChildAwaitRelease();
  XMSG x = zt::MakeHeader("Writer " + i, "All", "race", {2, 5020, 52, 0}, {2026, 1, 2, 3, 4, 6});
  const dword n = args.at(3) == "last" ? StoreOnceMade(path, type, x)
                                       : zt::StoreMessage(path, type, x, "\x01PID: race", "text of writer\r");
  return n ? 0 : 1;
}

const zt::ChildFunction race_writer("race-writer", RaceWriter);

// Starts `writers` processes that all store one message into `path` at the
// same moment; returns how many reported success.
int PostAtOnce(const std::string& path, word type, int writers) {
  std::vector<std::vector<std::string>> args;
  for (int i = 0; i < writers; ++i)
    args.push_back({path, std::to_string(type), std::to_string(i), i == writers - 1 ? "last" : "any"});
  const std::vector<int> statuses = zt::RunTogether("race-writer", args);
  return int(std::count(statuses.begin(), statuses.end(), 0));
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
