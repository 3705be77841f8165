// Squish reading takes a frame's head in one read and index records a block
// at a time. Whatever the sizes, the order of access and the place of the
// frames, a handle must read exactly what is stored, and must see its own
// changes at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "squish_util.h"

namespace {

using zt::PostMsg;
using zt::ReadBack;
using zt::ReadMsgAll;

const byte* B(const std::string& s) { return reinterpret_cast<const byte*>(s.data()); }

// A text of `size` bytes that differs from message to message and along its
// length, so that a slice read from the wrong place shows.
std::string Body(int n, std::size_t size) {
  std::string s;
  s.reserve(size);
  for (std::size_t i = 0; s.size() < size; ++i) s += char('a' + (n * 7 + i) % 26);
  return s;
}

struct Stored {
  std::string text, ctrl;
};

class SquishReading : public zt::SquishOpenTest {
 protected:
  void Post(const Stored& s, dword msgnum = 0) {
    ASSERT_EQ(PostMsg(ha_, s.text, s.ctrl, "All", msgnum), 0);
  }
  // Every message read through `ha` in the order given, against `want`.
  void ExpectAll(HAREA ha, const std::vector<Stored>& want, const std::vector<dword>& order) {
    ASSERT_EQ(ha->num_msg, want.size());
    for (dword n : order) {
      SCOPED_TRACE("message " + std::to_string(n));
      ReadBack rb = ReadMsgAll(ha, n);
      ASSERT_TRUE(rb.ok);
      EXPECT_EQ(rb.text.size(), want[n - 1].text.size());
      EXPECT_TRUE(rb.text == want[n - 1].text);
      EXPECT_EQ(rb.ctrl, want[n - 1].ctrl);
    }
  }
  // Ascending numbers step through the chain, descending ones step back,
  // shuffled ones go through the index.
  void ExpectAllOrders(HAREA ha, const std::vector<Stored>& want) {
    std::vector<dword> up(want.size());
    for (dword i = 0; i < up.size(); ++i) up[i] = i + 1;
    std::vector<dword> down(up.rbegin(), up.rend());
    std::vector<dword> shuffled = up;
    std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(7));
    for (const auto* order : {&up, &down, &shuffled}) ExpectAll(ha, want, *order);
  }
};

TEST_F(SquishReading, SizesAroundTheHeadReadAndFramesOutOfOrder) {
  // Texts below, at and above what one read of a frame's head takes, with
  // control blocks from none to larger than a page.
  const std::size_t sizes[] = {0, 1, 100, 3800, 4096, 65000, 65536, 70000, 200000, 5};
  const std::string ctrls[] = {"", "\x01PID: test", std::string(1500, 'k')};
  std::vector<Stored> want;
  int n = 0;
  for (std::size_t size : sizes) {
    ++n;
    Stored s{Body(n, size), ctrls[(n + 2) % 3]};
    Post(s);
    want.push_back(s);
  }
  ExpectAllOrders(ha_, want);

  // Frames that no longer follow the index order: a freed large frame takes
  // a small message, and a replacement moves to the end of the file.
  ASSERT_EQ(ha_->api->KillMsg(ha_, 8), 0);
  want.erase(want.begin() + 7);
  Stored small{Body(50, 500), "\x01" "A: b"};
  Post(small);
  want.push_back(small);
  Stored replaced{Body(51, 9000), ""};
  Post(replaced, 2);
  want[1] = replaced;
  ExpectAllOrders(ha_, want);

  // Slices of a text longer than the head read: inside it, across its end,
  // past it, and past the whole text; a short control block besides.
  const dword big = 8;  // 200000 bytes, 1500 control bytes
  ASSERT_EQ(want[big - 1].text.size(), 200000u);
  HMSG m = ha_->api->OpenMsg(ha_, MO_READ, big);
  ASSERT_NE(m, nullptr);
  struct Slice {
    dword ofs, bytes;
  } slices[] = {{0, 10}, {4000, 100}, {60000, 10000}, {150000, 100}, {199990, 50}, {200000, 5}};
  std::vector<byte> buf(20001), ctrl(11);
  for (const Slice& sl : slices) {
    SCOPED_TRACE("offset " + std::to_string(sl.ofs));
    std::fill(buf.begin(), buf.end(), byte(0xFF));
    dword got = ha_->api->ReadMsg(m, nullptr, sl.ofs, sl.bytes, buf.data(), 10, ctrl.data());
    std::string expect = want[big - 1].text.substr(std::min<std::size_t>(sl.ofs, 200000), sl.bytes);
    ASSERT_EQ(got, expect.size());
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf.data()), got), expect);
    if (got) {
      EXPECT_EQ(buf[got], 0);
    }
    EXPECT_EQ(std::string(reinterpret_cast<char*>(ctrl.data())), want[big - 1].ctrl.substr(0, 10));
  }
  EXPECT_EQ(ha_->api->CloseMsg(m), 0);
}

TEST_F(SquishReading, OwnChangesAreSeenAtOnce) {
  struct Case {
    const char* name;
    void (*change)(HAREA ha);
  } cases[] = {
      {"kill", [](HAREA ha) { ASSERT_EQ(ha->api->KillMsg(ha, 3), 0); }},
      {"kill while locked",
       [](HAREA ha) {
         ASSERT_EQ(ha->api->Lock(ha), 0);
         ASSERT_EQ(ha->api->KillMsg(ha, 1), 0);
         ASSERT_EQ(ha->api->KillMsg(ha, 5), 0);
         ASSERT_EQ(ha->api->Unlock(ha), 0);
       }},
      {"replace", [](HAREA ha) { ASSERT_EQ(PostMsg(ha, Body(90, 7000), "", "All", 4), 0); }},
      {"append", [](HAREA ha) { ASSERT_EQ(PostMsg(ha, Body(91, 300), "\x01X: y"), 0); }},
      {"rewrite in place",
       [](HAREA ha) {
         HMSG m = ha->api->OpenMsg(ha, MO_READWRITE, 2);
         ASSERT_NE(m, nullptr);
         std::string t = Body(92, ha->api->GetTextLen(m));
         XMSG x = zt::SquishXmsg("All", "new subject");
         ASSERT_EQ(ha->api->WriteMsg(m, 0, &x, B(t), dword(t.size()), 0, 0, nullptr), 0);
         ASSERT_EQ(ha->api->CloseMsg(m), 0);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(ha_->api->CloseArea(ha_), 0);
    ha_ = Open(AOPEN_CREATE);
    ASSERT_NE(ha_, nullptr);
    for (int i = 1; i <= 12; ++i) Post({Body(i, 100 * i), "\x01N: " + std::to_string(i)});
    for (dword n = 1; n <= ha_->num_msg; ++n) ASSERT_TRUE(ReadMsgAll(ha_, n).ok);
    c.change(ha_);

    HAREA fresh = Open(AOPEN_EXISTING);
    ASSERT_NE(fresh, nullptr);
    ASSERT_EQ(ha_->num_msg, fresh->num_msg);
    for (dword n = 1; n <= fresh->num_msg; ++n) {
      SCOPED_TRACE("message " + std::to_string(n));
      ReadBack mine = ReadMsgAll(ha_, n), theirs = ReadMsgAll(fresh, n);
      ASSERT_TRUE(mine.ok && theirs.ok);
      EXPECT_EQ(mine.text, theirs.text);
      EXPECT_EQ(mine.ctrl, theirs.ctrl);
      EXPECT_STREQ(reinterpret_cast<char*>(mine.hdr.subj), reinterpret_cast<char*>(theirs.hdr.subj));
    }
    EXPECT_EQ(fresh->api->CloseArea(fresh), 0);
  }
}

// A message handle reads the frame as it is when it reads, not as it was
// when it was opened: a rewrite through another handle of the area shows.
TEST_F(SquishReading, OpenHandleSeesALaterRewrite) {
  for (int i = 1; i <= 3; ++i) Post({Body(i, 500), ""});
  HMSG reader = ha_->api->OpenMsg(ha_, MO_READ, 2);
  ASSERT_NE(reader, nullptr);
  HMSG writer = ha_->api->OpenMsg(ha_, MO_READWRITE, 2);
  ASSERT_NE(writer, nullptr);
  const std::string t = Body(77, 500);
  XMSG x = zt::SquishXmsg("All", "rewritten");
  ASSERT_EQ(ha_->api->WriteMsg(writer, 0, &x, B(t), 500, 0, 0, nullptr), 0);
  ASSERT_EQ(ha_->api->CloseMsg(writer), 0);

  std::vector<byte> text(501);
  XMSG got{};
  ASSERT_EQ(ha_->api->ReadMsg(reader, &got, 0, 500, text.data(), 0, nullptr), 500u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(text.data()), 500), t);
  EXPECT_STREQ(reinterpret_cast<char*>(got.subj), "rewritten");
  EXPECT_EQ(ha_->api->CloseMsg(reader), 0);
}

// Another handle (as another program would) appends messages, the last one
// longer than the data file this handle has seen: they are read whole.
TEST_F(SquishReading, MessagesAppendedElsewhereAreFound) {
  for (int i = 1; i <= 5; ++i) Post({Body(i, 200), ""});
  ASSERT_TRUE(ReadMsgAll(ha_, 1).ok);  // index block and file length taken
  HAREA other = Open(AOPEN_EXISTING);
  ASSERT_NE(other, nullptr);
  ASSERT_EQ(PostMsg(other, Body(6, 300)), 0);
  ASSERT_EQ(PostMsg(other, Body(7, 300000)), 0);
  ASSERT_EQ(other->api->CloseArea(other), 0);

  ReadBack six = ReadMsgAll(ha_, 6), seven = ReadMsgAll(ha_, 7);
  ASSERT_TRUE(six.ok && seven.ok);
  EXPECT_EQ(six.text, Body(6, 300));
  EXPECT_TRUE(seven.text == Body(7, 300000));
}

}  // namespace
