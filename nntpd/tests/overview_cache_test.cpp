// The overview cache answers only for the very back-end line it was given,
// and stays within its size by dropping the group looked at longest ago.
#include <gtest/gtest.h>

#include "overview_cache.h"

namespace nntpd {
namespace {

TEST(OverviewCache, OnlyTheSameBackendLineHits) {
  OverviewCache cache(1, 10);
  cache.store(0, 5, "5\tHello\tA <a@b>", "5\tHello\t...");
  ASSERT_NE(cache.find(0, 5, "5\tHello\tA <a@b>"), nullptr);
  EXPECT_EQ(*cache.find(0, 5, "5\tHello\tA <a@b>"), "5\tHello\t...");
  // A renumbered or changed message gives another line.
  EXPECT_EQ(cache.find(0, 5, "5\tHello!\tA <a@b>"), nullptr);
  EXPECT_EQ(cache.find(0, 6, "5\tHello\tA <a@b>"), nullptr);
}

TEST(OverviewCache, DropsTheGroupLookedAtLongestAgo) {
  OverviewCache cache(3, 4);
  cache.store(0, 1, "a1", "A1");
  cache.store(0, 2, "a2", "A2");
  cache.store(1, 1, "b1", "B1");
  cache.store(2, 1, "c1", "C1");
  cache.find(0, 1, "a1");         // group 0 is used again
  cache.store(2, 2, "c2", "C2");  // one too many: group 1 goes
  EXPECT_EQ(cache.find(1, 1, "b1"), nullptr);
  EXPECT_NE(cache.find(0, 2, "a2"), nullptr);
  EXPECT_NE(cache.find(2, 2, "c2"), nullptr);

  OverviewCache none(1, 0);
  none.store(0, 1, "a1", "A1");
  EXPECT_EQ(none.find(0, 1, "a1"), nullptr);
}

TEST(OverviewCache, OverLineFields) {
  OverLine o(7, "7\tSubj\tFrom <f@x>\tThu, 01 Jan 2026 00:00:00 +0000\t<id@x>\t\t120\t3");
  EXPECT_EQ(o.field(OverLine::SUBJECT), "Subj");
  EXPECT_EQ(o.messageId(), "<id@x>");
  EXPECT_EQ(o.field(OverLine::REFERENCES), "");
  EXPECT_EQ(o.field(OverLine::LINES), "3");
}

}  // namespace
}  // namespace nntpd
