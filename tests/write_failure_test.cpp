// A post that runs into a full disk part-way fails with the message API's
// error, and leaves the base as a writer killed at that point would: the
// checker finds no damage, the messages stored before read back intact,
// and the next post goes through. The disk fills up at every point of the
// post in turn (a file size limit in a forked child). A post may also be made
// as the gateway makes it, inside Lock and Unlock; one that fails there
// stops at once, neither unlocking nor closing the area, as a writer killed
// at that point would. A Squish deletion is cut short in the same way.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "basekind.h"
#include "base_check.h"
#include "child.h"
#include "squish_check.h"
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

namespace {

// A Squish deletion cut off at each of its writes in turn, unlocked and
// inside Lock (there stopping without Unlock, as a tosser killed mid-batch
// would): the base is sound, the message either is still there or is gone,
// no other message is lost, and the next post goes through. A deletion
// killed after its frame turned free but before the index and the count
// let go of it left a counted message whose frame the next writer took.
class SquishKillCutShort : public zt::SquishTest {};

TEST_F(SquishKillCutShort, DeletionCutShortLosesNoOtherMessage) {
  if (const char* why = zt::Lacks(zt::Facility::kFileSizeLimit)) GTEST_SKIP() << why;
  _minf minf{0, 2, 1};
  MsgOpenApi(&minf);
  // Messages a c d e f, with f in b's old frame; g's frame, last in the
  // file, is the free chain. Deleting e rewrites f's link back and d's link
  // forward, the index and the header, then e and g: a limit from the end of
  // d up to the end of g stops it at each write after the links. (Between
  // the two links no order leaves a chain the checker passes; the link back
  // goes first, so the forward chain still reads whole.)
  HAREA ha = Open();
  ASSERT_NE(ha, nullptr);
  for (char c : {'a', 'b', 'c', 'd', 'e'}) ASSERT_EQ(zt::PostMsg(ha, Lines(c, 2), kCtrl), 0);
  ASSERT_EQ(ha->api->KillMsg(ha, 2), 0);
  ASSERT_EQ(zt::PostMsg(ha, Lines('f', 1), kCtrl), 0);
  ASSERT_EQ(zt::PostMsg(ha, Lines('g', 4), kCtrl), 0);
  ASSERT_EQ(ha->api->KillMsg(ha, 6), 0);
  ASSERT_EQ(ha->api->CloseArea(ha), 0);
  const std::vector<dword> f = Frames();
  ASSERT_LT(f[4], f[2]);  // f lies before d
  const dword tail = DiskBase().free_last;
  ASSERT_GT(tail, f[3]);
  zt::TempDir saved;
  zt::CopyDir(dir_.path(), saved.path());

  auto texts = [&] {
    std::vector<std::string> out;
    HAREA a = Open();
    for (dword n = 1; a && n <= a->num_msg; ++n) out.push_back(zt::ReadMsgAll(a, n).text);
    if (a) a->api->CloseArea(a);
    return out;
  };
  const std::vector<std::string> before = {Lines('a', 2), Lines('c', 2), Lines('d', 2), Lines('e', 2),
                                           Lines('f', 1)};
  std::vector<std::string> after = before;
  after.erase(after.begin() + 3);
  int failed = 0;
  for (std::uint64_t limit = f[2] + SQHDR_SIZE; limit < tail + SQHDR_SIZE + 8; limit += 4) {
    for (const bool locked : {false, true}) {
      SCOPED_TRACE("limit " + std::to_string(limit) + (locked ? ", locked" : ""));
      zt::CopyDir(saved.path(), dir_.path());
      const std::string result = zt::RunWithFileSizeLimit(limit, [&](std::string& out) {
        HAREA a = Open();
        if (!a || (locked && a->api->Lock(a) != 0)) return out = "open failed", 1;
        out = a->api->KillMsg(a, 4) == 0 ? "deleted" : "failed";
        if (!locked && out == "deleted") a->api->CloseArea(a);
        return 0;  // otherwise killed here
      }).out;
      ASSERT_NE(result, "open failed");
      failed += result == "failed";
      ASSERT_EQ(zt::JoinProblems(zt::CheckSquishBaseDetailed(base_).damage), "");
      std::vector<std::string> now = texts();
      ASSERT_TRUE(now == before || now == after) << now.size() << " messages";
      ASSERT_TRUE(result == "failed" || now == after);
      ha = Open();
      ASSERT_NE(ha, nullptr);
      ASSERT_EQ(zt::PostMsg(ha, "next\r", kCtrl), 0);
      ASSERT_EQ(ha->api->CloseArea(ha), 0);
      now.push_back("next\r");
      ASSERT_EQ(texts(), now);
      ASSERT_EQ(zt::JoinProblems(zt::CheckSquishBaseDetailed(base_).damage), "");
    }
  }
  EXPECT_GT(failed, 40);
}

}  // namespace
