// Damaged Squish bases: whatever a frame header, an index record or the base
// header says, a bad message fails cleanly (APIERR_FILE_IO) and the rest of
// the area stays readable and writable.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "api_sq.h"
#include "squish_util.h"

namespace {

using zt::PostMsg;
using zt::ReadMsgAll;

std::string Le32(dword v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[i] = char(v >> (8 * i));
  return s;
}

class SquishDamage : public zt::SquishTest {
 protected:
  void SetUp() override {
    HAREA ha = Open(AOPEN_CREATE);
    ASSERT_NE(ha, nullptr);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(PostMsg(ha, texts_[i], ctrls_[i]), 0);
    ASSERT_EQ(ha->api->CloseArea(ha), 0);
    frames_ = Frames();
    sqd_bytes_ = zt::ReadFile(sqd_);
    sqi_bytes_ = zt::ReadFile(sqi_);
  }
  void Restore() {
    zt::WriteFile(sqd_, sqd_bytes_);
    zt::WriteFile(sqi_, sqi_bytes_);
  }
  // Each message reads back whole or fails cleanly, never anything else;
  // only message `bad` may fail.
  void ExpectEachIntactOrFailing(HAREA ha, dword bad) {
    for (dword n = 1; n <= 3; ++n) {
      SCOPED_TRACE(n);
      msgapierr = APIERR_OK;
      zt::ReadBack rb = ReadMsgAll(ha, n);
      if (rb.ok) {
        EXPECT_EQ(rb.text, texts_[n - 1]);
        EXPECT_EQ(rb.ctrl, ctrls_[n - 1]);
      } else {
        EXPECT_EQ(n, bad) << "message lost";
        EXPECT_EQ(msgapierr, APIERR_FILE_IO);
      }
    }
  }

  std::vector<std::string> texts_{"first text\r", "second, a little longer\r", "third\r"};
  std::vector<std::string> ctrls_{"\x01" "MSGID: 2:5020/52 1", "\x01" "MSGID: 2:5020/52 2",
                                  "\x01" "PID: x"};
  std::vector<dword> frames_;
  std::string sqd_bytes_, sqi_bytes_;
};

TEST_F(SquishDamage, BadFrameOrIndexRecordFailsOnlyThatMessage) {
  const dword f2 = frames_[1];
  struct Case {
    const char* name;
    bool index;  // patch the index file rather than the data file
    std::int64_t at;
    std::string bytes;
  } cases[] = {
      {"wrong frame id", false, f2, std::string(1, '\0')},
      {"msg_size below the header", false, f2 + 16, Le32(100)},
      {"control longer than the message", false, f2 + 20, Le32(0xFFFFFFF0u)},
      {"msg_size above frame_size", false, f2 + 16, Le32(0x7FFFFFFFu)},
      {"frame runs past the end of the file", false, f2 + 12, Le32(0x40000000u) + Le32(0x40000000u)},
      {"index record past the end of the file", true, 12, Le32(0x7FFFFFF0u)},
      {"index record inside the base header", true, 12, Le32(4)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Restore();
    zt::PatchBytes(c.index ? sqi_ : sqd_, c.at, c.bytes);
    HAREA ha = Open(AOPEN_EXISTING);
    ASSERT_NE(ha, nullptr);
    msgapierr = APIERR_OK;
    EXPECT_EQ(ha->api->OpenMsg(ha, MO_READ, 2), nullptr);
    EXPECT_EQ(msgapierr, APIERR_FILE_IO);
    // In order, as a listing walks an area: message 2 may still be reached
    // through the chain when only its index record is bad.
    ExpectEachIntactOrFailing(ha, 2);
    ExpectEachIntactOrFailing(ha, 2);
    // The area still takes new messages.
    ASSERT_EQ(PostMsg(ha, "after the damage"), 0);
    EXPECT_EQ(ReadMsgAll(ha, 4).text, "after the damage");
    EXPECT_EQ(ha->api->CloseArea(ha), 0);
  }
}

TEST_F(SquishDamage, DeletingADamagedFrameChangesNothing) {
  zt::PatchByte(sqd_, frames_[1], 0);
  std::string before = zt::ReadFile(sqd_);
  HAREA ha = Open(AOPEN_EXISTING);
  EXPECT_EQ(ha->api->KillMsg(ha, 2), -1);
  EXPECT_EQ(msgapierr, APIERR_FILE_IO);
  EXPECT_EQ(ha->num_msg, 3u);
  EXPECT_EQ(ha->api->CloseArea(ha), 0);
  EXPECT_EQ(zt::ReadFile(sqd_), before);
}

// An index record that names a free frame must not free it a second time.
TEST_F(SquishDamage, DeletingThroughAStaleIndexRecordIsRefused) {
  HAREA ha = Open(AOPEN_EXISTING);
  ASSERT_EQ(ha->api->KillMsg(ha, 3), 0);
  ASSERT_EQ(ha->api->CloseArea(ha), 0);
  zt::PatchBytes(sqi_, 12, Le32(frames_[2]));
  ha = Open(AOPEN_EXISTING);
  EXPECT_EQ(ha->api->KillMsg(ha, 2), -1);
  EXPECT_EQ(msgapierr, APIERR_FILE_IO);
  EXPECT_EQ(ha->api->CloseArea(ha), 0);
  zt::PatchBytes(sqi_, 12, Le32(frames_[1]));
  ExpectConsistent();
}

TEST_F(SquishDamage, LoopingFreeChainSendsTheMessageToTheEnd) {
  HAREA ha = Open(AOPEN_EXISTING);
  ASSERT_EQ(ha->api->KillMsg(ha, 3), 0);
  ASSERT_EQ(ha->api->KillMsg(ha, 1), 0);  // free chain: frame 3, then frame 1
  ASSERT_EQ(ha->api->CloseArea(ha), 0);
  zt::PatchBytes(sqd_, frames_[0] + 4, Le32(frames_[2]));  // frame 1 leads back to 3
  dword eof = DiskBase().end_of_file;
  ha = Open(AOPEN_EXISTING);
  ASSERT_EQ(PostMsg(ha, std::string(400, 'L')), 0);  // fits neither free frame
  EXPECT_EQ(Frames().back(), eof);
  EXPECT_EQ(ReadMsgAll(ha, 2).text, std::string(400, 'L'));
  EXPECT_EQ(ha->api->CloseArea(ha), 0);
}

TEST_F(SquishDamage, FreeChainPointingAtAMessageIsNotReused) {
  zt::PatchBytes(sqd_, 112, Le32(frames_[1]) + Le32(frames_[1]));  // free_first, free_last
  dword eof = DiskBase().end_of_file;
  HAREA ha = Open(AOPEN_EXISTING);
  ASSERT_EQ(PostMsg(ha, "x"), 0);
  EXPECT_EQ(Frames().back(), eof);
  ExpectEachIntactOrFailing(ha, 0);
  EXPECT_EQ(ha->api->CloseArea(ha), 0);
}

TEST_F(SquishDamage, EndOfFileInsideTheBaseHeaderAppendsAfterTheData) {
  zt::PatchBytes(sqd_, 120, Le32(0));
  HAREA ha = Open(AOPEN_EXISTING);
  ASSERT_EQ(PostMsg(ha, "appended"), 0);
  EXPECT_EQ(Frames().back(), dword(sqd_bytes_.size()));
  ExpectEachIntactOrFailing(ha, 0);
  EXPECT_EQ(ReadMsgAll(ha, 4).text, "appended");
  EXPECT_EQ(ha->api->CloseArea(ha), 0);
  ExpectConsistent();
}

// A first write that fails before it has a frame must not leave a byte behind
// when the message is closed.
TEST_F(SquishDamage, FailedFirstWriteDoesNotTouchTheFileAtClose) {
  HAREA ha = Open(AOPEN_EXISTING);
  SquishSetMaxMsg(ha, 3, 0, 0xFFFFFFFFu);
  ASSERT_EQ(ha->api->CloseArea(ha), 0);
  zt::PatchByte(sqd_, frames_[0], 0);  // the limit cannot delete message 1
  std::string before = zt::ReadFile(sqd_);
  ha = Open(AOPEN_EXISTING);
  HMSG m = ha->api->OpenMsg(ha, MO_CREATE, 0);
  XMSG x = zt::SquishXmsg("All");
  EXPECT_EQ(ha->api->WriteMsg(m, 0, &x, nullptr, 0, 5000, 0, nullptr), -1);
  EXPECT_EQ(msgapierr, APIERR_FILE_IO);
  EXPECT_EQ(ha->api->CloseMsg(m), 0);
  EXPECT_EQ(ha->api->CloseArea(ha), 0);
  EXPECT_EQ(zt::ReadFile(sqd_), before);
}

// Cut either file anywhere: opening fails cleanly or every message reads
// back as written or fails with APIERR_FILE_IO.
TEST_F(SquishDamage, TruncationSweep) {
  for (const std::string* file : {&sqd_, &sqi_}) {
    const std::string& full = *file == sqd_ ? sqd_bytes_ : sqi_bytes_;
    for (size_t len = 0; len < full.size(); ++len) {
      SCOPED_TRACE(*file + " cut at " + std::to_string(len));
      Restore();
      zt::TruncateTo(*file, std::int64_t(len));
      HAREA ha = Open(AOPEN_EXISTING);
      if (ha == nullptr) {
        EXPECT_TRUE(*file == sqd_ && len < 256);
        EXPECT_EQ(msgapierr, APIERR_FILE_IO);
        continue;
      }
      for (dword n = 1; n <= 3; ++n) {
        zt::ReadBack rb = ReadMsgAll(ha, n);
        if (rb.ok) {
          EXPECT_EQ(rb.text, texts_[n - 1]) << n;
          EXPECT_EQ(rb.ctrl, ctrls_[n - 1]) << n;
        }
      }
      ASSERT_EQ(ha->api->CloseArea(ha), 0);
    }
  }
}

}  // namespace
