// Squish areas: opening, creating, closing, the area lock and the header
// merge between handles.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "api_sq.h"
#include "squish_util.h"

namespace {

using zt::PostMsg;
using zt::ReadMsgAll;

class SquishArea : public zt::SquishTest {};

TEST_F(SquishArea, MissingAreaOpensOnlyWhenAskedToCreate) {
  msgapierr = APIERR_OK;
  EXPECT_EQ(Open(AOPEN_EXISTING), nullptr);
  EXPECT_EQ(msgapierr, APIERR_NOT_FOUND);
  EXPECT_TRUE(zt::ListDir(dir_.path()).empty());
  EXPECT_EQ(SquishValidate(base_.c_str()), 0);

  HAREA ha = Open(AOPEN_CREATE_IF_MISSING);
  ASSERT_NE(ha, nullptr);
  EXPECT_EQ(ha->type, AT_SQUISH);
  EXPECT_EQ(ha->sz_xmsg, 238);
  EXPECT_EQ(ha->isecho, 1);
  EXPECT_EQ(ha->num_msg, 0u);
  EXPECT_EQ(ha->api->CloseArea(ha), 0);
  EXPECT_EQ(SquishValidate(base_.c_str()), 1);

  std::string sqd = zt::ReadFile(sqd_);
  ASSERT_EQ(sqd.size(), 256u);
  EXPECT_EQ(zt::FileSize(sqi_), 0);
  SQBASE b = DiskBase();
  EXPECT_EQ(b.base_size, 256);
  EXPECT_EQ(b.next_uid, 1u);
  EXPECT_EQ(b.end_of_file, 256u);
  EXPECT_EQ(b.frame_hdr_size, 28);
  EXPECT_STREQ(reinterpret_cast<const char*>(b.base_name), base_.c_str());
  // Everything else is zero.
  for (size_t at : {4, 8, 12, 16, 104, 108, 112, 116, 124}) EXPECT_EQ(zt::U32At(sqd, at), 0u) << at;
  EXPECT_EQ(sqd.substr(128, 2), std::string(2, '\0'));
  EXPECT_EQ(sqd.substr(132), std::string(124, '\0'));
}

TEST_F(SquishArea, NetmailTypeAndMissingIndexFile) {
  Fill(1);
  HAREA ha = Open(AOPEN_EXISTING, AT_SQUISH);
  ASSERT_NE(ha, nullptr);
  EXPECT_EQ(ha->isecho, 0);
  EXPECT_EQ(ha->api->CloseArea(ha), 0);
  zt::TruncateTo(sqi_, 0);
  std::remove(sqi_.c_str());
  EXPECT_EQ(Open(AOPEN_EXISTING), nullptr);
  EXPECT_EQ(msgapierr, APIERR_NOT_FOUND);
}

TEST_F(SquishArea, OverlongPathIsRefusedAndCreatesNothing) {
  std::string name = dir_.path() + "/" + std::string(80 - dir_.path().size() - 1, 'x');
  ASSERT_EQ(name.size(), 80u);
  msgapierr = APIERR_OK;
  EXPECT_EQ(MsgOpenArea(name.c_str(), AOPEN_CREATE_IF_MISSING, AT_SQUISH), nullptr);
  EXPECT_EQ(msgapierr, APIERR_NOT_FOUND);
  EXPECT_TRUE(zt::ListDir(dir_.path()).empty());
  name.pop_back();  // 79 characters fit
  HAREA ha = MsgOpenArea(name.c_str(), AOPEN_CREATE_IF_MISSING, AT_SQUISH);
  ASSERT_NE(ha, nullptr);
  EXPECT_EQ(ha->api->CloseArea(ha), 0);
}

TEST_F(SquishArea, CreateEmptiesAnExistingArea) {
  Fill(3);
  HAREA ha = Open(AOPEN_CREATE);
  ASSERT_NE(ha, nullptr);
  EXPECT_EQ(ha->num_msg, 0u);
  EXPECT_EQ(ha->api->CloseArea(ha), 0);
  EXPECT_EQ(zt::FileSize(sqd_), 256);
  EXPECT_EQ(zt::FileSize(sqi_), 0);
}

TEST_F(SquishArea, ShortBaseHeaderIsFileError) {
  Fill(1);
  zt::TruncateTo(sqd_, 255);
  EXPECT_EQ(Open(AOPEN_EXISTING), nullptr);
  EXPECT_EQ(msgapierr, APIERR_FILE_IO);
}

TEST_F(SquishArea, CloseRefusedWhileMessagesAreOpen) {
  Fill(1);
  HAREA ha = Open();
  ASSERT_NE(ha, nullptr);
  HMSG m = ha->api->OpenMsg(ha, MO_READ, 1);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(ha->api->CloseArea(ha), -1);
  EXPECT_EQ(msgapierr, APIERR_MSGS_OPEN);
  EXPECT_EQ(ha->id, AREA_HANDLE_ID);  // still open and usable
  EXPECT_EQ(ha->api->GetTextLen(m), 6u);
  EXPECT_EQ(ha->api->CloseMsg(m), 0);
  EXPECT_EQ(ha->api->CloseArea(ha), 0);
}

TEST_F(SquishArea, StaleHandlesAreRejected) {
  MSGA closed{};
  MSGH closed_msg{};
  closed_msg.sq = &closed;
  HAREA ha = Open();
  ASSERT_NE(ha, nullptr);
  const _apifuncs* api = ha->api;
  EXPECT_EQ(api->MsgnToUid(&closed, 1), 0xFFFFFFFFu);
  EXPECT_EQ(api->Lock(&closed), -1);
  EXPECT_EQ(msgapierr, APIERR_BAD_HANDLE);
  EXPECT_EQ(api->ReadMsg(&closed_msg, nullptr, 0, 0, nullptr, 0, nullptr), 0xFFFFFFFFu);
  EXPECT_EQ(api->GetCurPos(&closed_msg), 0xFFFFFFFFu);
  EXPECT_EQ(api->OpenMsg(&closed, MO_READ, 1), nullptr);
  EXPECT_EQ(ha->api->CloseArea(ha), 0);
}

TEST_F(SquishArea, LockDoesNotNestAndConflictsAcrossHandles) {
  HAREA a = Open();
  HAREA b = Open();
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(a->api->Unlock(a), -1);  // not locked
  EXPECT_EQ(a->api->Lock(a), 0);
  EXPECT_EQ(a->api->Lock(a), 0);
  EXPECT_EQ(a->locked, 1);
  EXPECT_EQ(b->api->Lock(b), -1);  // another descriptor holds byte 0
  EXPECT_EQ(a->api->Unlock(a), 0);
  EXPECT_EQ(a->api->Unlock(a), -1);
  EXPECT_EQ(b->api->Lock(b), 0);
  EXPECT_EQ(b->api->CloseArea(b), 0);  // unlocks on the way out
  EXPECT_EQ(a->api->Lock(a), 0);
  EXPECT_EQ(a->api->CloseArea(a), 0);
}

TEST_F(SquishArea, WithoutSharingLockStillLoadsTheIndex) {
  Fill(2);
  mi.haveshare = 0;
  HAREA a = Open();
  HAREA b = Open();
  EXPECT_EQ(a->api->Lock(a), 0);
  EXPECT_EQ(b->api->Lock(b), 0);  // no record locks taken
  EXPECT_EQ(a->locked, 1);
  EXPECT_EQ(a->api->KillMsg(a, 1), 0);
  EXPECT_EQ(a->api->MsgnToUid(a, 1), 2u);  // from the in-memory index
  EXPECT_EQ(a->api->CloseArea(a), 0);
  EXPECT_EQ(b->api->CloseArea(b), 0);
  mi.haveshare = 1;
  ExpectConsistent();
}

TEST_F(SquishArea, LimitThatExemptsAllButOneIsNoLimit) {
  Fill(1);
  zt::PatchBytes(sqd_, 12, std::string("\x09\0\0\0", 4));   // skip_msgs
  zt::PatchBytes(sqd_, 124, std::string("\x0a\0\0\0", 4));  // max_msgs
  HAREA ha = Open();
  ASSERT_NE(ha, nullptr);
  for (int i = 0; i < 11; ++i) ASSERT_EQ(PostMsg(ha, "more"), 0);
  EXPECT_EQ(ha->num_msg, 12u);
  EXPECT_EQ(ha->api->CloseArea(ha), 0);
  EXPECT_EQ(DiskBase().max_msgs, 0u);
  EXPECT_EQ(DiskBase().skip_msgs, 0u);
}

TEST_F(SquishArea, SetMaxMsgReachesTheDisk) {
  HAREA ha = Open();
  SquishSetMaxMsg(ha, 50, 2, 7);
  SquishSetMaxMsg(ha, 0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu);  // no change
  EXPECT_EQ(ha->api->CloseArea(ha), 0);
  SQBASE b = DiskBase();
  EXPECT_EQ(b.max_msgs, 50u);
  EXPECT_EQ(b.skip_msgs, 2u);
  EXPECT_EQ(b.retention, 7);
}

TEST_F(SquishArea, HeaderLearnsTheNameItIsOpenedBy) {
  Fill(1);
  zt::PatchBytes(sqd_, 24, std::string("OLD\0", 4));
  HAREA ha = Open(AOPEN_EXISTING);
  EXPECT_EQ(ha->api->CloseArea(ha), 0);
  EXPECT_STREQ(reinterpret_cast<const char*>(DiskBase().base_name), base_.c_str());
}

// Counts merge by difference: an addition through one handle and a deletion
// through another both survive, and the chains stay whole even though the
// deleting handle last saw the header before the addition.
TEST_F(SquishArea, TwoHandlesAddAndDeleteBothSurvive) {
  struct Case {
    const char* name;
    dword kill;
  } cases[] = {{"first", 1}, {"middle", 2}, {"last as the deleter saw it", 3}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HAREA fresh = Open(AOPEN_CREATE);
    ASSERT_EQ(fresh->api->CloseArea(fresh), 0);
    Fill(3);
    HAREA adder = Open(AOPEN_EXISTING);
    HAREA killer = Open(AOPEN_EXISTING);
    ASSERT_EQ(PostMsg(adder, "added"), 0);
    ASSERT_EQ(killer->api->KillMsg(killer, c.kill), 0);
    EXPECT_EQ(killer->num_msg, 3u);  // it saw the addition when it merged
    EXPECT_EQ(adder->api->CloseArea(adder), 0);
    EXPECT_EQ(killer->api->CloseArea(killer), 0);
    EXPECT_EQ(DiskBase().num_msg, 3u);
    ExpectConsistent();
    HAREA ha = Open(AOPEN_EXISTING);
    EXPECT_EQ(ReadMsgAll(ha, 3).text, "added");
    ASSERT_EQ(PostMsg(ha, "after"), 0);
    EXPECT_EQ(ha->api->CloseArea(ha), 0);
    ExpectConsistent();
  }
}

// A handle that locks after another process wrote must not build on the
// header it read before; and what it changes is on disk at unlock.
TEST_F(SquishArea, LockRefreshesAndUnlockPublishesTheHeader) {
  Fill(1);
  HAREA a = Open(AOPEN_EXISTING);
  HAREA b = Open(AOPEN_EXISTING);
  ASSERT_EQ(PostMsg(b, "from b"), 0);
  ASSERT_EQ(a->api->Lock(a), 0);
  EXPECT_EQ(a->num_msg, 2u);
  ASSERT_EQ(PostMsg(a, "from a"), 0);
  ASSERT_EQ(a->api->KillMsg(a, 1), 0);
  EXPECT_EQ(DiskBase().num_msg, 2u);  // deferred while locked
  ASSERT_EQ(a->api->Unlock(a), 0);
  EXPECT_EQ(DiskBase().num_msg, 2u);
  ExpectConsistent();
  ASSERT_EQ(PostMsg(b, "b again"), 0);
  EXPECT_EQ(a->api->CloseArea(a), 0);
  EXPECT_EQ(b->api->CloseArea(b), 0);
  ExpectConsistent();
  HAREA ha = Open(AOPEN_EXISTING);
  ASSERT_EQ(ha->num_msg, 3u);
  EXPECT_EQ(ReadMsgAll(ha, 1).text, "from b");
  EXPECT_EQ(ReadMsgAll(ha, 2).text, "from a");
  EXPECT_EQ(ReadMsgAll(ha, 3).text, "b again");
  EXPECT_EQ(ha->api->CloseArea(ha), 0);
}

TEST_F(SquishArea, StatPrintsTheActiveLine) {
  Fill(3);
  zt::RunResult r = zt::RunZandrel("STAT $" + base_ + " fido.test\nSTAT $" + dir_.path() +
                                   "/missing nothing\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "fido.test 3 1 y\r\n");
}

}  // namespace
