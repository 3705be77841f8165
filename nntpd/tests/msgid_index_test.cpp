// The Message-ID index follows an area by ranges that join what it covers,
// and forgets an area whole.
#include <gtest/gtest.h>

#include "msgid_index.h"

namespace nntpd {
namespace {

TEST(MsgIdIndex, GrowsByJoiningRangesOnly) {
  MsgIdIndex index(2);
  index.learn(0, 1, 3, {{1, "<a>", 10}, {3, "<c>", 30}});  // 2 is missing
  EXPECT_EQ(index.covered(0), 3);
  index.learn(0, 6, 8, {{6, "<f>", 60}});  // a gap: not taken
  EXPECT_EQ(index.covered(0), 3);
  EXPECT_FALSE(index.find("<f>"));
  index.learn(0, 2, 5, {{3, "<c>", 30}, {4, "<d>", 40}});  // overlaps, extends
  EXPECT_EQ(index.covered(0), 5);
  EXPECT_EQ(index.find("<d>")->number, 4);
  EXPECT_EQ(index.numbers(0, 1, 5), (std::vector<std::int64_t>{1, 3, 4}));
  EXPECT_EQ(index.since(0, 30), (std::vector<std::string>{"<c>", "<d>"}));
}

TEST(MsgIdIndex, SameIdInTwoAreasAndReset) {
  MsgIdIndex index(2);
  index.learn(1, 1, 1, {{1, "<x>", 0}});
  index.learn(0, 1, 2, {{2, "<x>", 0}});
  EXPECT_EQ(index.find("<x>")->area, 0u);  // configuration order
  index.reset(0);
  EXPECT_EQ(index.covered(0), 0);
  ASSERT_TRUE(index.find("<x>"));
  EXPECT_EQ(index.find("<x>")->area, 1u);
  EXPECT_TRUE(index.numbers(0, 1, 10).empty());
}

}  // namespace
}  // namespace nntpd
