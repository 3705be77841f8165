// Squish bases that fuzzing found faults with, under tests/data/regress/:
// a damaged base header must not make a writer scatter the base over a huge
// sparse file, or make the next lock read gigabytes.
#include <gtest/gtest.h>

#include <string>

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
