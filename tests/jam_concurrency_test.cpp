// Several processes writing one JAM area at once, each opening the area
// afresh for every message as the gateway does.
#include <gtest/gtest.h>

#include <set>

#include "child.h"
#include "jam_check.h"
#include "jamtest.h"
#include "testutil.h"

namespace {

constexpr int kWriters = 4;
constexpr int kPerWriter = 200;

std::string TextFor(int writer, int i) {
  return "writer " + std::to_string(writer) + " message " + std::to_string(i) + "\rSEEN-BY: 5020/" +
         std::to_string(writer) + "\r";
}

// The child's work: every message through its own open and close.
// Arguments: the base, the writer's number.
int Writer(const std::vector<std::string>& args) {
  const std::string& base = args.at(0);
  const int writer = std::stoi(args.at(1));
  zt::ChildAwaitRelease();
  for (int i = 0; i < kPerWriter; ++i) {
    HAREA ha = zt::OpenJam(base, AOPEN_CREATE_IF_MISSING);
    if (!ha) return 10;
    const std::string ctrl = "\x01MSGID: 2:5020/" + std::to_string(writer) + " " + std::to_string(i);
    if (zt::PostJam(ha, zt::MakeXmsg("Writer", "All", "concurrent"), TextFor(writer, i), ctrl) != 0) return 11;
    if (ha->api->CloseArea(ha) != 0) return 12;
  }
  return 0;
}

const zt::ChildFunction jam_writer("jam-writer", Writer);

TEST(JamConcurrency, FourWritersLoseNothing) {
  zt::TempDir dir;
  const std::string base = dir / "area";
  HAREA ha = zt::OpenJam(base);
  ASSERT_NE(ha, nullptr);
  ASSERT_EQ(ha->api->CloseArea(ha), 0);
  const dword mod0 = zt::U32At(zt::ReadFile(base + ".jhr"), 8);

  std::vector<std::vector<std::string>> args;
  for (int w = 0; w < kWriters; ++w) args.push_back({base, std::to_string(w)});
  ASSERT_EQ(zt::RunTogether("jam-writer", args), std::vector<int>(kWriters, 0));

  EXPECT_EQ(zt::CheckJamBase(base), std::vector<std::string>{});
  const std::string jhr = zt::ReadFile(base + ".jhr");
  EXPECT_EQ(zt::U32At(jhr, 12), dword(kWriters * kPerWriter));  // ActiveMsgs
  // Every write and every close raised the counter once.
  EXPECT_EQ(zt::U32At(jhr, 8), mod0 + 2 * kWriters * kPerWriter);
  EXPECT_EQ(zt::FileSize(base + ".jdx"), 8 * kWriters * kPerWriter);

  ha = zt::OpenJam(base, AOPEN_EXISTING);
  ASSERT_NE(ha, nullptr);
  ASSERT_EQ(ha->num_msg, dword(kWriters * kPerWriter));
  std::set<std::string> seen;
  for (dword n = 1; n <= ha->num_msg; ++n) {
    zt::JamRead r;
    ASSERT_TRUE(zt::ReadJam(ha, n, &r)) << n;
    seen.insert(r.text);
    EXPECT_EQ(r.ctrl.rfind("\x01MSGID: 2:5020/", 0), 0u) << n;
  }
  EXPECT_EQ(ha->api->CloseArea(ha), 0);
  for (int w = 0; w < kWriters; ++w)
    for (int i = 0; i < kPerWriter; ++i) EXPECT_EQ(seen.count(TextFor(w, i)), 1u) << w << "/" << i;
}

}  // namespace
