// A post that runs into a full disk part-way fails with the message API's
// error, and leaves the base as a writer killed at that point would: the
// checker finds no damage, the messages stored before read back intact,
// and the next post goes through. The disk fills up at every point of the
// post in turn (a file size limit in a forked child). A post may also be made
// as the gateway makes it, inside Lock and Unlock; one that fails there
// stops at once, neither unlocking nor closing the area, as a writer killed
// at that point would.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "basekind.h"
#include "child.h"
#include "squish_util.h"
#include "testutil.h"

namespace {

using zt::BaseKind;

const std::string kCtrl = "\x01MSGID: 2:5020/52 1a2b3c4d\x01PID: test";

std::string Lines(char c, int lines) {
  std::string s;
  for (int i = 0; i < lines; ++i) s += std::string(40, c) + "\r";
  return s;
}

class WriteFailure : public ::testing::TestWithParam<BaseKind> {
 protected:
  void SetUp() override {
    if (const char* why = zt::Lacks(zt::Facility::kFileSizeLimit)) GTEST_SKIP() << why;
    _minf minf{0, 2, 1};
    MsgOpenApi(&minf);
    // The first message takes the files past the limits below, so that each
    // of a post's writes meets them; the last one leaves a frame for a short
    // post to reuse in a Squish area.
    texts_ = {Lines('a', 22), Lines('b', 2), Lines('c', 2), Lines('d', 2)};
    HAREA ha = Open();
    ASSERT_NE(ha, nullptr);
    for (const std::string& t : texts_) ASSERT_EQ(zt::PostMsg(ha, t, kCtrl), 0);
    ASSERT_EQ(ha->api->KillMsg(ha, 4), 0);
    ASSERT_EQ(ha->api->CloseArea(ha), 0);
    texts_.pop_back();
    zt::CopyDir(dir_.path(), saved_.path());
  }

  HAREA Open() { return MsgOpenArea(base_.c_str(), AOPEN_CREATE_IF_MISSING, GetParam().type); }

  // "stored", or "error N: reason" with msgapierr N, for a post under the
  // limit.
  std::string PostUnder(std::uint64_t limit, const std::string& text, bool locked) {
    return zt::RunWithFileSizeLimit(limit, [&](std::string& out) {
             HAREA ha = Open();
             if (!ha) return out = "open failed", 1;
             if (locked && ha->api->Lock(ha) != 0) return out = "lock failed", 1;
             const bool stored = zt::PostMsg(ha, text, kCtrl) == 0;
             out = stored ? "stored" : "error " + std::to_string(msgapierr) + ": " + MsgErrorText();
             if (locked && !stored) return 0;  // killed here
             if (locked && ha->api->Unlock(ha) != 0) out = "unlock failed";
             ha->api->CloseArea(ha);
             return 0;
           }).out;
  }

  // The messages the base holds, in order; empty when one does not read.
  std::vector<std::string> Texts() {
    std::vector<std::string> out;
    HAREA ha = Open();
    if (!ha) return out;
    for (dword n = 1; n <= ha->num_msg; ++n) out.push_back(zt::ReadMsgAll(ha, n).text);
    ha->api->CloseArea(ha);
    return out;
  }

  zt::TempDir dir_, saved_;
  std::string base_ = dir_ / "area";
  std::vector<std::string> texts_;
};

TEST_P(WriteFailure, PostCutShortFailsAndDamagesNothing) {
  // A short post takes the freed Squish frame, a long one goes to the end.
  const std::string texts[] = {Lines('s', 2), Lines('l', 4)};
  // From below the first byte a post writes (the freed Squish frame, which
  // the base header names as free_first at offset 112; the end of the JAM
  // header info) until both posts go through.
  const bool squish = GetParam().type & AT_SQUISH;
  const std::uint64_t lo = squish ? zt::U32At(zt::ReadFile(base_ + ".sqd"), 112) - 8 : 1024;
  int failed = 0;
  for (std::uint64_t limit = lo, stored = 0; stored < 4; limit += 4) {
    ASSERT_LT(limit, lo + 4096) << "a post never went through";
    stored = 0;
    for (const bool locked : {false, true})
    for (const std::string& text : texts) {
      SCOPED_TRACE("limit " + std::to_string(limit) + ", text of " + std::to_string(text.size()) +
                   (locked ? ", locked" : ""));
      zt::CopyDir(saved_.path(), dir_.path());
      const std::string result = PostUnder(limit, text, locked);
      std::vector<std::string> want = texts_;
      if (result == "stored") {
        ++stored;
        want.push_back(text);
      } else {
        ++failed;
        EXPECT_TRUE(result == "error 2: write failed: file too large" ||
                    result == "error 4: write failed: file too large")
            << result;
      }
      ASSERT_EQ(zt::Damage(GetParam(), base_), std::vector<std::string>{});
      ASSERT_EQ(Texts(), want);
      HAREA ha = Open();
      ASSERT_NE(ha, nullptr);
      ASSERT_EQ(zt::PostMsg(ha, "after\r", kCtrl), 0);
      ASSERT_EQ(ha->api->CloseArea(ha), 0);
      want.push_back("after\r");
      ASSERT_EQ(Texts(), want);
      ASSERT_EQ(zt::Damage(GetParam(), base_), std::vector<std::string>{});
    }
  }
  EXPECT_GT(failed, 200);
}

INSTANTIATE_TEST_SUITE_P(Formats, WriteFailure, ::testing::Values(zt::kSquishKind, zt::kJamKind),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
