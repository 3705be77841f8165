// Byte-range locks between descriptors and between processes.
#include "locking.h"

#include <unistd.h>

#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "child.h"
#include "fileio.h"
#include "testutil.h"

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

class LockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    zt::WriteFile(path_, std::string(64, 'x'));
    ASSERT_TRUE(a_.open(path_.c_str(), OF_READWRITE));
    ASSERT_TRUE(b_.open(path_.c_str(), OF_READWRITE));
  }

  zt::TempDir tmp_;
  std::string path_ = tmp_ / "base.sqd";
  UniqueFd a_, b_;
};

TEST_F(LockTest, TwoDescriptorsOfOneFileConflict) {
  EXPECT_EQ(lock(a_.get(), 0, 1), 0);
  EXPECT_EQ(lock(a_.get(), 0, 1), 0);  // the holder may take it again
  EXPECT_EQ(lock(b_.get(), 0, 1), -1);
  EXPECT_EQ(lock(b_.get(), 1, 1), 0);  // the next byte is free
  EXPECT_EQ(unlock(a_.get(), 0, 1), 0);
  EXPECT_EQ(lock(b_.get(), 0, 1), 0);
  EXPECT_EQ(lock(a_.get(), 0, 1), -1);
  EXPECT_EQ(unlock(b_.get(), 0, 1), 0);
  EXPECT_EQ(waitlock(a_.get(), 0, 1), 0);  // free: no waiting
}

TEST_F(LockTest, ClosingTheDescriptorDropsItsLock) {
  EXPECT_EQ(lock(a_.get(), 0, 1), 0);
  a_.reset();
  EXPECT_EQ(lock(b_.get(), 0, 1), 0);
}

TEST_F(LockTest, EmptyRangeLocksNothing) {
  // To fcntl a length of 0 means "to the end of the file and beyond".
  EXPECT_EQ(lock(a_.get(), 10, 0), 0);
  EXPECT_EQ(lock(b_.get(), 10, 1), 0);
  EXPECT_EQ(lock(b_.get(), 1000, 1), 0);
  EXPECT_EQ(unlock(a_.get(), 10, 0), 0);
}

TEST_F(LockTest, ReadOnlyDescriptorStillExcludesWriters) {
  UniqueFd ro;
  ASSERT_TRUE(ro.open(path_.c_str(), OF_READ));
  EXPECT_EQ(lock(ro.get(), 0, 1), 0);
  EXPECT_EQ(lock(a_.get(), 0, 1), -1);
  EXPECT_EQ(unlock(ro.get(), 0, 1), 0);
  EXPECT_EQ(lock(a_.get(), 0, 1), 0);
  EXPECT_EQ(lock(ro.get(), 0, 1), -1);
}

TEST_F(LockTest, PositionIsKept) {
  ASSERT_EQ(seek_file(a_.get(), 37, SEEK_FROM_START), 37);
  ASSERT_EQ(seek_file(b_.get(), 5, SEEK_FROM_START), 5);
  struct Step {
    const char* name;
    int (*fn)(int, dword, dword);
    int fd;
    dword offset;
    int want;
  };
  const Step steps[] = {
      {"lock", lock, a_.get(), 0, 0},
      {"refused lock", lock, b_.get(), 0, -1},
      {"waitlock", waitlock, a_.get(), 0, 0},
      {"unlock", unlock, a_.get(), 0, 0},
      {"lock past the end", lock, b_.get(), 100000, 0},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.name);
    EXPECT_EQ(s.fn(s.fd, s.offset, 1), s.want);
    EXPECT_EQ(tell_file(a_.get()), 37);
    EXPECT_EQ(tell_file(b_.get()), 5);
  }
}

TEST_F(LockTest, UnreadablePositionFails) {
  int p[2];
  ASSERT_TRUE(zt::MakePipe(p));
  int closed = ::dup(a_.get());
  ::close(closed);
  for (int fd : {-1, closed, p[0]}) {
    SCOPED_TRACE(fd);
    EXPECT_EQ(lock(fd, 0, 1), -1);
    EXPECT_EQ(waitlock(fd, 0, 1), -1);
    EXPECT_EQ(unlock(fd, 0, 1), -1);
  }
  ::close(p[0]);
  ::close(p[1]);
}

TEST_F(LockTest, OtherProcessMakesLockFailAtOnce) {
  // Another program holds byte 0 for 3 s.
  auto holder = zt::HoldLock(path_, 0, 1, 3000);
  ASSERT_NE(holder, nullptr);
  auto t0 = Clock::now();
  EXPECT_EQ(lock(a_.get(), 0, 1), -1);
  EXPECT_LT(SecondsSince(t0), 0.5);
  holder.reset();  // killed: the lock goes with it
  EXPECT_EQ(lock(a_.get(), 0, 1), 0);
}

TEST_F(LockTest, WaitlockGetsTheLockOnceTheHolderLetsGo) {
  auto holder = zt::HoldLock(path_, 0, 1, 1500);
  ASSERT_NE(holder, nullptr);
  auto t0 = Clock::now();
  EXPECT_EQ(waitlock(a_.get(), 0, 1), 0);
  double waited = SecondsSince(t0);
  EXPECT_GE(waited, 0.9);
  EXPECT_LT(waited, 5.0);
  EXPECT_EQ(lock(b_.get(), 0, 1), -1);  // now ours
  EXPECT_EQ(holder->Wait(), 0);
}

// A holder that lets go within milliseconds costs milliseconds, not
// waitlock's second.
TEST_F(LockTest, PollingWaitlockGetsABrieflyHeldLockAtOnce) {
  auto holder = zt::HoldLock(path_, 0, 1, 50);
  ASSERT_NE(holder, nullptr);
  auto t0 = Clock::now();
  EXPECT_EQ(waitlock_polling(a_.get(), 0, 1), 0);
  EXPECT_LT(SecondsSince(t0), 0.9);
  EXPECT_EQ(lock(b_.get(), 0, 1), -1);  // now ours
  EXPECT_EQ(holder->Wait(), 0);
}

}  // namespace
