// JAM reading takes index records a block at a time and a header with its
// chain in one read sized by where the next header starts. Whatever the
// chain lengths, the order of the headers and the order of access, a handle
// must read exactly what is stored, and must see its own changes at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "jam_check.h"
#include "jamtest.h"
#include "testutil.h"

namespace {

// What a message reads back as: its body, then its SEEN-BY lines.
struct Expect {
  std::string text, ctrl;
};

// A message with `seenby` SEEN-BY lines, so that its chain runs from a few
// bytes to several kilobytes.
Expect Make(int n, int seenby, std::string* posted) {
  Expect e;
  std::string body = "message " + std::to_string(n) + "\r" + std::string(n % 7 * 100, 'b') + "\r";
  std::string trailer;
  for (int i = 0; i < seenby; ++i)
    trailer += "SEEN-BY: 5020/" + std::to_string(n) + " " + std::to_string(1000 + i) + "\r";
  *posted = body + trailer;
  e.text = body + trailer;
  e.ctrl = "\x01MSGID: 2:5020/52 " + std::to_string(n);
  return e;
}

class JamReading : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = dir_ / "area";
    ha_ = zt::OpenJam(base_);
    ASSERT_NE(ha_, nullptr);
  }
  void TearDown() override {
    if (ha_) {
      EXPECT_EQ(ha_->api->CloseArea(ha_), 0);
    }
    EXPECT_EQ(zt::CheckJamBase(base_), std::vector<std::string>{});
  }
  void Post(int n, int seenby, dword replace = 0) {
    std::string text;
    Expect e = Make(n, seenby, &text);
    HMSG mh = ha_->api->OpenMsg(ha_, MO_CREATE, replace);
    ASSERT_NE(mh, nullptr);
    XMSG x = zt::MakeXmsg();
    ASSERT_EQ(ha_->api->WriteMsg(mh, 0, &x, reinterpret_cast<const byte*>(text.c_str()),
                                 dword(text.size()), dword(text.size()), dword(e.ctrl.size()),
                                 reinterpret_cast<const byte*>(e.ctrl.c_str())),
              0);
    ha_->api->CloseMsg(mh);
    if (replace)
      want_[replace - 1] = e;
    else
      want_.push_back(e);
  }
  void ExpectAll(HAREA ha, const std::vector<dword>& order) {
    ASSERT_EQ(ha->num_msg, want_.size());
    for (dword n : order) {
      SCOPED_TRACE("message " + std::to_string(n));
      zt::JamRead r;
      ASSERT_TRUE(zt::ReadJam(ha, n, &r));
      EXPECT_EQ(r.text, want_[n - 1].text);
      EXPECT_EQ(r.ctrl, want_[n - 1].ctrl);
    }
  }
  void ExpectAllOrders(HAREA ha) {
    std::vector<dword> up(want_.size());
    for (dword i = 0; i < up.size(); ++i) up[i] = i + 1;
    std::vector<dword> down(up.rbegin(), up.rend()), shuffled = up;
    std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(3));
    for (const auto* order : {&up, &down, &shuffled}) ExpectAll(ha, *order);
  }

  zt::TempDir dir_;
  std::string base_;
  HAREA ha_ = nullptr;
  std::vector<Expect> want_;
};

TEST_F(JamReading, ChainsOfEveryLengthAndHeadersOutOfOrder) {
  const int seenby[] = {0, 1, 30, 60, 200, 2, 0, 120, 5, 400};
  for (int i = 0; i < 10; ++i) Post(i + 1, seenby[i]);
  ExpectAllOrders(ha_);
  // Replacements put their headers at the end of the header file, behind
  // the headers of later messages; a kill leaves a gap in the index.
  Post(20, 250, 2);
  Post(21, 3, 6);
  ASSERT_EQ(ha_->api->KillMsg(ha_, 4), 0);
  want_.erase(want_.begin() + 3);
  Post(22, 90);
  ExpectAllOrders(ha_);
  HAREA fresh = zt::OpenJam(base_, AOPEN_EXISTING);
  ASSERT_NE(fresh, nullptr);
  ExpectAllOrders(fresh);
  EXPECT_EQ(fresh->api->CloseArea(fresh), 0);
}

// Index records read ahead are dropped by this handle's own changes, and
// the area's growth elsewhere is found beyond them.
TEST_F(JamReading, OwnChangesAndAppendsElsewhereAreSeen) {
  for (int i = 1; i <= 8; ++i) Post(i, i % 3);
  ExpectAllOrders(ha_);
  ASSERT_EQ(ha_->api->KillMsg(ha_, 2), 0);
  want_.erase(want_.begin() + 1);
  ExpectAllOrders(ha_);
  Post(30, 40, 3);
  ExpectAllOrders(ha_);
  Post(31, 1);
  ExpectAllOrders(ha_);
  // A rewrite that keeps the header where it is: the new subject shows.
  HMSG mh = ha_->api->OpenMsg(ha_, MO_WRITE, 4);
  ASSERT_NE(mh, nullptr);
  XMSG x = zt::MakeXmsg("Ivan Petrov", "All", "Hallo");
  ASSERT_EQ(ha_->api->WriteMsg(mh, 0, &x, nullptr, 0, 0, 0, nullptr), 0);
  ha_->api->CloseMsg(mh);
  zt::JamRead r;
  ASSERT_TRUE(zt::ReadJam(ha_, 4, &r));
  EXPECT_STREQ(reinterpret_cast<char*>(r.x.subj), "Hallo");
  ExpectAllOrders(ha_);

  HAREA other = zt::OpenJam(base_, AOPEN_EXISTING);
  ASSERT_NE(other, nullptr);
  std::string text;
  Expect e = Make(40, 6, &text);
  ASSERT_EQ(zt::PostJam(other, zt::MakeXmsg(), text, e.ctrl), 0);
  ASSERT_EQ(other->api->CloseArea(other), 0);
  // This handle's numbering ends where it was opened; the new record lies
  // past its table and is reached through a fresh open.
  ExpectAll(ha_, {1, 7, 8});
  want_.push_back(e);
  HAREA fresh = zt::OpenJam(base_, AOPEN_EXISTING);
  ASSERT_NE(fresh, nullptr);
  ExpectAllOrders(fresh);
  EXPECT_EQ(fresh->api->CloseArea(fresh), 0);
}

}  // namespace
