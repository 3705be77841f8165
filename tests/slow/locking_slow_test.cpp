// The waiting lock gives up when the holder never lets go.
#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "fileio.h"
#include "locking.h"
#include "testutil.h"

namespace {

TEST(LockSlow, WaitlockGivesUpAfterTenAttempts) {
  zt::TempDir tmp;
  std::string path = tmp / "base.jhr";
  zt::WriteFile(path, "JAM");
  UniqueFd holder, waiter;
  ASSERT_TRUE(holder.open(path.c_str(), OF_READWRITE));
  ASSERT_TRUE(waiter.open(path.c_str(), OF_READWRITE));
  ASSERT_EQ(lock(holder.get(), 0, 1), 0);
  ASSERT_EQ(seek_file(waiter.get(), 2, SEEK_FROM_START), 2);

  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(waitlock(waiter.get(), 0, 1), -1);
  double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  // Ten attempts one second apart.
  EXPECT_GE(waited, 8.5);
  EXPECT_LT(waited, 12.0);
  EXPECT_EQ(tell_file(waiter.get()), 2);
}

}  // namespace
