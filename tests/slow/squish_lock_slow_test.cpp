// A Squish writer that cannot get the record lock gives up after the
// waiting lock's retries and changes nothing: it never writes unprotected.
#include <gtest/gtest.h>

#include "squish_util.h"

namespace {

class SquishLockSlow : public zt::SquishTest {};

TEST_F(SquishLockSlow, WriteRefusedWhileAnotherHandleHoldsTheLock) {
  Fill(2);
  HAREA holder = Open(AOPEN_EXISTING);
  HAREA writer = Open(AOPEN_EXISTING);
  ASSERT_EQ(holder->api->Lock(holder), 0);
  std::string sqd = zt::ReadFile(sqd_), sqi = zt::ReadFile(sqi_);
  msgapierr = APIERR_OK;
  EXPECT_EQ(zt::PostMsg(writer, "blocked"), -1);
  EXPECT_EQ(msgapierr, APIERR_FILE_IO);
  EXPECT_EQ(writer->num_msg, 2u);
  EXPECT_EQ(zt::ReadFile(sqd_), sqd);
  EXPECT_EQ(zt::ReadFile(sqi_), sqi);
  ASSERT_EQ(holder->api->CloseArea(holder), 0);
  ASSERT_EQ(zt::PostMsg(writer, "now it goes"), 0);
  EXPECT_EQ(writer->api->CloseArea(writer), 0);
  ExpectConsistent();
}

}  // namespace
