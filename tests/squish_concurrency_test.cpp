// Several processes writing one Squish area at once, relying only on the
// writer's record lock and the base header merge.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "child.h"
#include "squish_check.h"
#include "squish_util.h"

namespace {

using zt::PostMsg;

class SquishConcurrency : public zt::SquishTest {};

constexpr int kWriters = 4;
constexpr int kPerWriter = 200;

// Writers 0 and 1 keep one handle open for all their messages (their header
// copy goes stale between writes); 2 and 3 open the area for every message,
// as the gateway does. Arguments: the base, the writer's number.
int RunWriter(const std::vector<std::string>& args) {
  const std::string& base = args.at(0);
  const int w = std::stoi(args.at(1));
  zt::ChildAwaitRelease();
  HAREA ha = nullptr;
  for (int i = 0; i < kPerWriter; ++i) {
    if (!ha) ha = MsgOpenArea(base.c_str(), AOPEN_EXISTING, AT_SQUISH | AT_ECHO);
    if (!ha) return 2;
    char text[32];
    std::snprintf(text, sizeof text, "w%d m%d", w, i);
    if (PostMsg(ha, text, "\x01PID: test", "Writer") != 0) return 3;
    if (w >= 2) {
      if (ha->api->CloseArea(ha) != 0) return 4;
      ha = nullptr;
    }
  }
  return ha && ha->api->CloseArea(ha) != 0 ? 4 : 0;
}

const zt::ChildFunction squish_writer("squish-writer", RunWriter);

TEST_F(SquishConcurrency, ForkedWritersLoseNothing) {
  HAREA ha = Open(AOPEN_CREATE);
  ASSERT_NE(ha, nullptr);
  ASSERT_EQ(ha->api->CloseArea(ha), 0);

  std::vector<std::vector<std::string>> args;
  for (int w = 0; w < kWriters; ++w) args.push_back({base_, std::to_string(w)});
  EXPECT_EQ(zt::RunTogether("squish-writer", args), std::vector<int>(kWriters, 0));

  ExpectConsistent();  // chains, counts, frames and UMSGID order
  ha = Open(AOPEN_EXISTING);
  ASSERT_NE(ha, nullptr);
  ASSERT_EQ(ha->num_msg, dword(kWriters * kPerWriter));
  // Every message readable, each writer's in the order it wrote them.
  std::map<int, int> next_of;
  for (dword n = 1; n <= ha->num_msg; ++n) {
    zt::ReadBack rb = zt::ReadMsgAll(ha, n);
    ASSERT_TRUE(rb.ok) << n;
    int w = -1, i = -1;
    ASSERT_EQ(std::sscanf(rb.text.c_str(), "w%d m%d", &w, &i), 2) << rb.text;
    EXPECT_EQ(i, next_of[w]++) << "writer " << w;
    EXPECT_EQ(rb.ctrl, "\x01PID: test");
  }
  for (int w = 0; w < kWriters; ++w) EXPECT_EQ(next_of[w], kPerWriter);
  EXPECT_EQ(ha->api->CloseArea(ha), 0);
}

}  // namespace
