// While another program holds an area's lock, nothing of ours writes to the
// area's files, whatever it is asked to do; once the lock is released, work
// goes on. The lock's wait is shortened here; tests/slow waits it out in
// full through the gateway.
#include <gtest/gtest.h>

#include <string>

#include "basekind.h"
#include "fileio.h"
#include "locking.h"
#include "squish_util.h"
#include "testutil.h"

namespace {

using zt::BaseKind;

class LockRefusal : public ::testing::TestWithParam<BaseKind> {
 protected:
  void SetUp() override {
    set_waitlock_pause_ms(5);
    _minf minf{0, 2, 1};
    MsgOpenApi(&minf);
    HAREA ha = Open(base_, AOPEN_CREATE_IF_MISSING);
    ASSERT_NE(ha, nullptr);
    ASSERT_EQ(zt::PostMsg(ha, "one\r"), 0);
    ASSERT_EQ(zt::PostMsg(ha, "two\r"), 0);
    ASSERT_EQ(ha->api->CloseArea(ha), 0);
  }
  void TearDown() override { set_waitlock_pause_ms(1000); }

  HAREA Open(const std::string& base, word mode) {
    return MsgOpenArea(base.c_str(), mode, GetParam().type);
  }
  // Another program's lock: a descriptor of its own on the area's lock file.
  void Hold(UniqueFd& fd, const std::string& base) {
    ASSERT_TRUE(fd.open((base + GetParam().lock_file).c_str(), OF_READWRITE));
    ASSERT_EQ(lock(fd.get(), 0, 1), 0);
  }

  zt::TempDir dir_;
  std::string base_ = dir_ / "area";
};

TEST_P(LockRefusal, NothingIsWrittenUnderAnotherProgramsLock) {
  UniqueFd holder;
  Hold(holder, base_);
  const auto before = zt::Snapshot(dir_.path());
  auto refused = [&](auto&& op, const char* what) {
    msgapierr = APIERR_OK;
    EXPECT_EQ(op(), -1) << what;
    EXPECT_EQ(msgapierr, APIERR_FILE_IO) << what;
    EXPECT_EQ(std::string(MsgErrorText()).rfind(MSGERR_LOCKED, 0), 0u)  // the lock is named
        << what << ": " << MsgErrorText();
    EXPECT_EQ(zt::Snapshot(dir_.path()), before) << what;
  };

  // Opened as POST opens it; reading goes on.
  HAREA ha = Open(base_, AOPEN_CREATE_IF_MISSING);
  ASSERT_NE(ha, nullptr);
  EXPECT_EQ(ha->num_msg, 2u);
  EXPECT_EQ(zt::ReadMsgAll(ha, 2).text, "two\r");
  refused([&] { return zt::PostMsg(ha, "new\r"); }, "new message");
  refused([&] { return zt::PostMsg(ha, "again\r", "", "All", 1); }, "replacement");
  HMSG m = ha->api->OpenMsg(ha, MO_READWRITE, 1);
  ASSERT_NE(m, nullptr);
  XMSG x = zt::SquishXmsg("Someone else");
  refused([&] { return ha->api->WriteMsg(m, 0, &x, nullptr, 0, 0, 0, nullptr); }, "rewrite");
  ASSERT_EQ(ha->api->CloseMsg(m), 0);
  refused([&] { return ha->api->KillMsg(ha, 1); }, "kill");
  ASSERT_EQ(ha->api->SetHighWater(ha, 2), 0);
  refused([&] { return ha->api->CloseArea(ha); }, "close with a new high-water mark");

  // A close after reading has nothing to store: it neither waits nor fails.
  ha = Open(base_, AOPEN_EXISTING);
  ASSERT_NE(ha, nullptr);
  EXPECT_EQ(zt::ReadMsgAll(ha, 1).text, "one\r");
  EXPECT_EQ(ha->api->CloseArea(ha), 0);
  EXPECT_EQ(zt::Snapshot(dir_.path()), before);

  // A missing area whose first file another program has just made and is
  // setting up under its lock.
  const std::string fresh = dir_ / "fresh";
  zt::WriteFile(fresh + GetParam().lock_file, "");
  UniqueFd maker;
  Hold(maker, fresh);
  const auto names = zt::ListDir(dir_.path());
  EXPECT_EQ(Open(fresh, AOPEN_CREATE_IF_MISSING), nullptr);
  EXPECT_EQ(msgapierr, APIERR_FILE_IO);
  EXPECT_STREQ(MsgErrorText(), MSGERR_LOCKED " for 10 s");
  EXPECT_EQ(zt::ListDir(dir_.path()), names);
  EXPECT_EQ(zt::FileSize(fresh + GetParam().lock_file), 0);

  // Released: everything goes through.
  holder.reset();
  maker.reset();
  ha = Open(base_, AOPEN_CREATE_IF_MISSING);
  ASSERT_NE(ha, nullptr);
  EXPECT_EQ(zt::PostMsg(ha, "three\r"), 0);
  EXPECT_EQ(ha->api->KillMsg(ha, 1), 0);
  EXPECT_EQ(ha->api->CloseArea(ha), 0);
  EXPECT_EQ(zt::Damage(GetParam(), base_), std::vector<std::string>{});
  ha = Open(fresh, AOPEN_CREATE_IF_MISSING);
  ASSERT_NE(ha, nullptr);
  EXPECT_EQ(zt::PostMsg(ha, "first\r"), 0);
  EXPECT_EQ(ha->api->CloseArea(ha), 0);
  EXPECT_EQ(zt::Damage(GetParam(), fresh), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Formats, LockRefusal, ::testing::Values(zt::kSquishKind, zt::kJamKind),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
