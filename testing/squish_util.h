// Small helpers for the Squish tests: headers, posting and reading back
// through the message API.
#ifndef ZANDREL_SQUISH_UTIL_H
#define ZANDREL_SQUISH_UTIL_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "msgapi.h"
#include "structrw_sq.h"
#include "testutil.h"

namespace zt {

// A header with the given names and subject and a fixed date.
XMSG SquishXmsg(const std::string& to, const std::string& subj = "subject",
              const std::string& from = "Sender");

// Creates a message (`msgnum` 0 = new, else a replacement) with one write.
// Returns the WriteMsg result, or -2 when the message could not be opened.
int PostMsg(HAREA ha, const std::string& text, const std::string& ctrl = "",
            const std::string& to = "All", dword msgnum = 0);

struct ReadBack {
  bool ok = false;
  XMSG hdr{};
  std::string ctrl;  // up to its first NUL
  std::string text;
};

// Opens message `msgnum` for reading and reads everything in one call.
ReadBack ReadMsgAll(HAREA ha, dword msgnum);

// A scratch directory with one base path in it, and readers of the raw files.
class SquishTest : public ::testing::Test {
 protected:
  HAREA Open(word mode = AOPEN_CREATE_IF_MISSING, word type = AT_SQUISH | AT_ECHO) {
    return MsgOpenArea(base_.c_str(), mode, type);
  }
  // Posts `n` messages "text 1", "text 2", ... through a fresh handle.
  void Fill(int n);
  SQBASE DiskBase() const;
  SQHDR DiskFrame(dword offset) const;
  std::vector<SQIDX> DiskIndex() const;
  // Offsets of the message frames in index order.
  std::vector<dword> Frames() const;
  // Fails the test with the consistency checker's findings.
  void ExpectConsistent() const;

  TempDir dir_;
  std::string base_ = dir_ / "area";
  std::string sqd_ = base_ + ".sqd";
  std::string sqi_ = base_ + ".sqi";
};

// The same with the area open in `ha_` for each test, closed and checked
// for consistency after it.
class SquishOpenTest : public SquishTest {
 protected:
  void SetUp() override {
    ha_ = Open();
    ASSERT_NE(ha_, nullptr);
  }
  void TearDown() override {
    if (ha_) {
      EXPECT_EQ(ha_->api->CloseArea(ha_), 0);
    }
    ExpectConsistent();
  }
  HAREA ha_ = nullptr;
};

}  // namespace zt

#endif
