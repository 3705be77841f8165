// Squish bases that fuzzing found faults with, under tests/data/regress/:
// a damaged base header must not make a writer scatter the base over a huge
// sparse file, or make the next lock read gigabytes.
#include <gtest/gtest.h>

#include <string>

#include "base_check.h"
#include "bytes.h"
#include "squish_check.h"
#include "squish_util.h"

namespace {

class SquishRegress : public ::testing::Test {
 protected:
  HAREA OpenCopy(const std::string& input) {
    zt::CopyDir(zt::RegressInputs() + "/" + input, dir_.path());
    return MsgOpenArea(base_.c_str(), AOPEN_EXISTING, AT_SQUISH | AT_ECHO);
  }
  zt::TempDir dir_;
  std::string base_ = dir_ / "a";
};

// num_msg says 16187392 but the index is empty: the new message's index
// record would land 194 MB into the index file, and every later lock would
// load all of it. The write is refused before anything is stored.
TEST_F(SquishRegress, HeaderCountingPastTheIndexRefusesTheWrite) {
  HAREA ha = OpenCopy("squish-index-gap");
  ASSERT_NE(ha, nullptr);
  EXPECT_EQ(zt::PostMsg(ha, "hello\r"), -1);
  EXPECT_EQ(msgapierr, APIERR_FILE_IO);
  EXPECT_EQ(ha->api->CloseArea(ha), 0);
  EXPECT_EQ(zt::FileSize(base_ + ".sqi"), 0);
  EXPECT_EQ(zt::FileSize(base_ + ".sqd"), 256);
}

// end_of_file points 2 GB past the end of a 578-byte data file: the new
// frame goes after what the file holds, and both messages read back.
TEST_F(SquishRegress, EndOfFilePastTheFileAppendsAfterTheData) {
  HAREA ha = OpenCopy("squish-eof-past-file");
  ASSERT_NE(ha, nullptr);
  ASSERT_EQ(zt::PostMsg(ha, "second\r"), 0);
  EXPECT_EQ(ha->api->CloseArea(ha), 0);
  EXPECT_LT(zt::FileSize(base_ + ".sqd"), 2000);

  ha = MsgOpenArea(base_.c_str(), AOPEN_EXISTING, AT_SQUISH | AT_ECHO);
  ASSERT_NE(ha, nullptr);
  EXPECT_EQ(ha->num_msg, 2u);
  zt::ReadBack second = zt::ReadMsgAll(ha, 2);
  EXPECT_TRUE(second.ok);
  EXPECT_EQ(second.text, "second\r");
  EXPECT_TRUE(zt::ReadMsgAll(ha, 1).ok);
  EXPECT_EQ(ha->api->CloseArea(ha), 0);
  EXPECT_EQ(zt::JoinProblems(zt::CheckSquishBase(base_)), "");
}

}  // namespace

namespace {

using zt::Le32;

// A writer killed while it takes a frame off the free chain (found by the
// crash run) leaves one neighbour's link rewritten and the other not. Later
// writers must never follow such a link into a live message frame, nor
// write a free-chain link into one.
class SquishCutOffUnlink : public zt::SquishTest {};

TEST_F(SquishCutOffUnlink, StaleFreeLinkNeverReachesAMessage) {
  HAREA ha = Open(AOPEN_CREATE);
  ASSERT_NE(ha, nullptr);
  const std::string small(100, 's'), mid(300, 'm'), large(600, 'l');
  for (const std::string* t : {&small, &mid, &mid, &mid, &large}) ASSERT_EQ(zt::PostMsg(ha, *t), 0);
  // Free chain, in deletion order: small, mid, large.
  const std::vector<dword> f = Frames();
  ASSERT_EQ(ha->api->KillMsg(ha, 1), 0);  // small
  ASSERT_EQ(ha->api->KillMsg(ha, 1), 0);  // the first mid
  ASSERT_EQ(ha->api->KillMsg(ha, 3), 0);  // large
  ASSERT_EQ(ha->api->CloseArea(ha), 0);
  ASSERT_EQ(DiskBase().free_first, f[0]);
  ASSERT_EQ(DiskBase().free_last, f[4]);

  // Cut off while taking the mid frame: small links to large, large still
  // links back to mid.
  zt::PatchBytes(sqd_, f[0] + 4, Le32(f[4]));

  ha = Open(AOPEN_EXISTING);
  ASSERT_NE(ha, nullptr);
  ASSERT_EQ(zt::PostMsg(ha, std::string(500, 'L')), 0);  // takes large, through small's link
  ASSERT_EQ(zt::PostMsg(ha, std::string(50, 'S')), 0);   // takes small
  ASSERT_EQ(ha->api->KillMsg(ha, 1), 0);                  // a mid goes on the chain
  ASSERT_EQ(zt::PostMsg(ha, std::string(250, 'M')), 0);  // and is taken again
  ASSERT_EQ(ha->api->CloseArea(ha), 0);

  zt::BaseCheck c = zt::CheckSquishBaseDetailed(base_);
  EXPECT_EQ(zt::JoinProblems(c.damage), "");
  ha = Open(AOPEN_EXISTING);
  ASSERT_NE(ha, nullptr);
  ASSERT_EQ(ha->num_msg, 4u);
  const std::vector<std::string> want = {mid, std::string(500, 'L'), std::string(50, 'S'),
                                         std::string(250, 'M')};
  for (dword n = 1; n <= 4; ++n) {
    SCOPED_TRACE(n);
    EXPECT_EQ(zt::ReadMsgAll(ha, n).text, want[n - 1]);
  }
  // The chain read by relative moves holds the same four messages.
  int walked = 0;
  for (HMSG m = ha->api->OpenMsg(ha, MO_READ, 1); m; m = ha->api->OpenMsg(ha, MO_READ, MSGN_NEXT)) {
    ++walked;
    ha->api->CloseMsg(m);
  }
  EXPECT_EQ(walked, 4);
  EXPECT_EQ(ha->api->CloseArea(ha), 0);
}

}  // namespace

namespace {

// Inside Lock the index and the header wait for Unlock, but a replacement
// frees the old frame at once: the files must already lead to the new
// frame by then, or a writer killed before Unlock leaves the message's
// index record, or the first_frame, at a free frame.
TEST_F(SquishCutOffUnlink, ReplacementInsideLockLeadsToTheNewFrameBeforeUnlock) {
  HAREA ha = Open(AOPEN_CREATE);
  ASSERT_NE(ha, nullptr);
  ASSERT_EQ(zt::PostMsg(ha, "first\r"), 0);
  ASSERT_EQ(zt::PostMsg(ha, "second\r"), 0);
  ASSERT_EQ(ha->api->Lock(ha), 0);
  ASSERT_EQ(zt::PostMsg(ha, "third\r"), 0);
  ASSERT_EQ(zt::PostMsg(ha, "first, longer than it was\r", "", "All", 1), 0);

  // Killed here: what the files hold is sound, and reads back.
  EXPECT_EQ(zt::JoinProblems(zt::CheckSquishBaseDetailed(base_).damage), "");
  HAREA other = Open(AOPEN_EXISTING);
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(zt::ReadMsgAll(other, 1).text, "first, longer than it was\r");
  EXPECT_EQ(other->api->CloseArea(other), 0);

  EXPECT_EQ(ha->api->Unlock(ha), 0);
  EXPECT_EQ(ha->api->CloseArea(ha), 0);
  ExpectConsistent();
}

}  // namespace
