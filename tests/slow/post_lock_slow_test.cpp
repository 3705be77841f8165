// A POST that cannot get the area's lock waits as writers wait, then
// stores nothing: its serial could not be decided.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gwfixture.h"
#include "msgapi.h"
#include "testutil.h"

namespace {

TEST(PostLockSlow, NothingStoredWhileAnotherHolderKeepsTheLock) {
  _minf m{};
  m.def_zone = 2;
  MsgOpenApi(&m);
  zt::TempDir tmp;
  const std::string dir = tmp / "echo", spec = "@" + dir;
  const std::string post = zt::PostInput(spec, "2:5020/52", "2:5020/1", "", "A", "B", "S", "x\n");
  ASSERT_EQ(zt::RunZandrel(post).status, 0);
  const std::vector<std::string> before = zt::ListDir(dir);

  HAREA holder = MsgOpenArea(dir.c_str(), AOPEN_EXISTING, AT_SDM | AT_ECHO);
  ASSERT_NE(holder, nullptr);
  ASSERT_EQ(holder->api->Lock(holder), 0);
  EXPECT_EQ(zt::RunZandrel(post + "STAT " + spec + " g\n", 30000).out, "g 2 1 y\r\n");
  EXPECT_EQ(zt::ListDir(dir), before);
  ASSERT_EQ(holder->api->CloseArea(holder), 0);

  EXPECT_EQ(zt::RunZandrel(post + "STAT " + spec + " g\n").out, "g 3 1 y\r\n");
}

}  // namespace
