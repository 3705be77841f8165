// Through the gateway: a POST into an area whose lock another program keeps
// past the ten-second wait stores nothing, changes no byte and says so on
// standard error; once the lock is released, posting goes on.
#include <gtest/gtest.h>

#include <string>

#include "basekind.h"
#include "fileio.h"
#include "gwfixture.h"
#include "locking.h"
#include "testutil.h"

namespace {

using zt::BaseKind;

class GatewayLockSlow : public ::testing::TestWithParam<BaseKind> {};

TEST_P(GatewayLockSlow, PostUnderAnotherProgramsLockStoresNothing) {
  zt::TempDir dir;
  const std::string base = dir / "area", spec = GetParam().prefix + base;
  auto post = [&](const std::string& subj) {
    // The reply to the line after it shows that the POST is done.
    return zt::PostInput(spec, "2:5020/52", "2:5020/1", "", "Ivan", "All", subj, "text\n") +
           "NOOP\n";
  };
  ASSERT_EQ(zt::RunZandrel(post("first")).status, 0);
  UniqueFd holder;
  ASSERT_TRUE(holder.open((base + GetParam().lock_file).c_str(), OF_READWRITE));
  ASSERT_EQ(lock(holder.get(), 0, 1), 0);
  const auto before = zt::Snapshot(dir.path());

  zt::Zandrel z;
  z.Send(post("blocked"));
  EXPECT_EQ(z.ReadReply(60000), "");
  EXPECT_EQ(zt::Snapshot(dir.path()), before);

  holder.reset();
  z.Send(post("second") + "STAT " + spec + " g\nNOOP\n");
  EXPECT_EQ(z.ReadReply(60000), "");
  EXPECT_EQ(z.ReadReply(60000), "g 2 1 y\r\n");
  EXPECT_EQ(z.Finish(), 0);
  // Only the post that stored nothing says why.
  EXPECT_EQ(z.Errors(), "zandrel: POST " + spec + ": locked by another program for 10 s\r\n");
  EXPECT_EQ(zt::Damage(GetParam(), base), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Formats, GatewayLockSlow, ::testing::Values(zt::kSquishKind, zt::kJamKind),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
