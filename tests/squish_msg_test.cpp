// Squish messages: layout of what is written, reading back, frame reuse and
// merging, the message limit, replacement, deletion, relative moves and
// numbering by UMSGID. The consistency checker runs after every change.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "api_sq.h"
#include "fileio.h"
#include "squish_util.h"

namespace {

using zt::SquishXmsg;
using zt::PostMsg;
using zt::ReadMsgAll;

const byte* B(const std::string& s) { return reinterpret_cast<const byte*>(s.data()); }

// "m1", "m2", ... (built by appending: GCC 12 misreports operator+ here).
std::string M(int n) {
  std::string s = "m";
  s += std::to_string(n);
  return s;
}

class SquishMsg : public zt::SquishOpenTest {
 protected:
  void Post(const std::string& text, const std::string& ctrl = "", dword msgnum = 0) {
    ASSERT_EQ(PostMsg(ha_, text, ctrl, "All", msgnum), 0);
  }
  // A text that makes the frame's payload exactly `payload` bytes.
  void PostSized(dword payload) { Post(std::string(payload - XMSG_SIZE, 'p')); }
  std::string Text(dword n) { return ReadMsgAll(ha_, n).text; }
};

TEST_F(SquishMsg, FirstMessageLayout) {
  std::string ctrl = "\x01MSGID: 2:5020/52 1a2b3c4";  // 20 bytes plus... made exact below
  ctrl = std::string("\x01" "PID: zandrel-1.2 xxx", 20);
  XMSG x = SquishXmsg("Nobody In Particular");
  x.attr = MSGREAD | MSGLOCAL;
  std::string text(100, 't');
  HMSG m = ha_->api->OpenMsg(ha_, MO_CREATE, 0);
  ASSERT_NE(m, nullptr);
  ASSERT_EQ(ha_->api->WriteMsg(m, 0, &x, B(text), 100, 100, 20, B(ctrl)), 0);
  ASSERT_EQ(ha_->api->CloseMsg(m), 0);
  EXPECT_EQ(ha_->num_msg, 1u);
  EXPECT_EQ(ha_->high_msg, 1u);

  SQBASE b = DiskBase();
  EXPECT_EQ(b.num_msg, 1u);
  EXPECT_EQ(b.high_msg, 1u);
  EXPECT_EQ(b.first_frame, 256u);
  EXPECT_EQ(b.last_frame, 256u);
  EXPECT_EQ(b.next_uid, 2u);
  EXPECT_EQ(b.end_of_file, 256u + 386u);
  SQHDR h = DiskFrame(256);
  EXPECT_EQ(h.id, SQHDRID);
  EXPECT_EQ(h.frame_size, 358u);
  EXPECT_EQ(h.msg_size, 358u);
  EXPECT_EQ(h.ctrl_size, 20u);
  EXPECT_EQ(h.next_frame, 0u);
  EXPECT_EQ(h.prev_frame, 0u);
  EXPECT_EQ(zt::FileSize(sqd_), 256 + 386);
  std::vector<SQIDX> idx = DiskIndex();
  ASSERT_EQ(idx.size(), 1u);
  EXPECT_EQ(idx[0].frame_offset, 256u);
  EXPECT_EQ(idx[0].umsgid, 1u);
  EXPECT_EQ(idx[0].hash, SquishHash(B(std::string("nobody in particular"))) | 0x80000000u);
  std::string raw = zt::ReadFile(sqd_);
  EXPECT_EQ(raw.substr(256 + 28 + 238, 20), ctrl);
  EXPECT_EQ(raw.substr(256 + 28 + 258, 100), text);

  // The position was before the first message; it now leads to the new one.
  HMSG next = ha_->api->OpenMsg(ha_, MO_READ, MSGN_NEXT);
  ASSERT_NE(next, nullptr);
  EXPECT_EQ(ha_->cur_msg, 1u);
  EXPECT_EQ(ha_->api->CloseMsg(next), 0);
}

TEST_F(SquishMsg, HashFollowsTheNameRules) {
  EXPECT_EQ(SquishHash(B(std::string("abc"))), 0x6783u);
  EXPECT_EQ(SquishHash(B(std::string("ABC"))), 0x6783u);
  EXPECT_EQ(SquishHash(B(std::string("abcdefgh"))), 0x789ABEF8u);
  EXPECT_EQ(SquishHash(B(std::string("\x80"))), 0x7FFFFFF0u);
  EXPECT_EQ(SquishHash(B(std::string(""))), 0u);
}

TEST_F(SquishMsg, ReadBackHeaderControlAndText) {
  XMSG x = SquishXmsg("To", "Subj\x07with bell");
  std::memset(x.from, 'F', sizeof x.from);  // no NUL in the field
  std::memcpy(x.__ftsc_date, "01 Jan 99  00:00:00X", 20);
  HMSG m = ha_->api->OpenMsg(ha_, MO_CREATE, 0);
  std::string ctrl("\x01" "A: 1\x01" "B: 2", 11);  // with its NUL
  ASSERT_EQ(ha_->api->WriteMsg(m, 0, &x, B(std::string("Hello\r")), 6, 6, 11, B(ctrl)), 0);
  ha_->api->CloseMsg(m);
  zt::ReadBack rb = ReadMsgAll(ha_, 1);
  ASSERT_TRUE(rb.ok);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(rb.hdr.from)), std::string(35, 'F'));
  EXPECT_STREQ(reinterpret_cast<char*>(rb.hdr.subj), "Subj with bell");
  EXPECT_STREQ(reinterpret_cast<char*>(rb.hdr.__ftsc_date), "01 Jan 99  00:00:00");
  EXPECT_EQ(rb.hdr.orig.net, 5020);
  EXPECT_EQ(rb.ctrl, std::string("\x01" "A: 1\x01" "B: 2"));
  EXPECT_EQ(rb.text, "Hello\r");
}

TEST_F(SquishMsg, PartialReads) {
  Post("0123456789", "\x01" "KLUDGE: value");
  HMSG m = ha_->api->OpenMsg(ha_, MO_READ, 1);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(ha_->api->GetTextLen(m), 10u);
  EXPECT_EQ(ha_->api->GetCtrlLen(m), 14u);  // stored with its NUL
  byte text[32], ctrl[32];
  struct Case {
    const char* name;
    dword ofs, bytes, cbytes;
    dword result;
    std::string text, ctrl;
  } cases[] = {
      {"all from an offset", 4, 0, 0, 6, "456789", ""},
      {"a slice", 2, 3, 0, 3, "234", ""},
      {"more than there is", 8, 20, 0, 2, "89", ""},
      {"offset past the end", 12, 5, 0, 0, "", ""},
      {"short control, text from offset", 1, 2, 4, 2, "12", "\x01KLU"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::memset(text, 'X', sizeof text);
    std::memset(ctrl, 'X', sizeof ctrl);
    dword got = ha_->api->ReadMsg(m, nullptr, c.ofs, c.bytes, text, c.cbytes, ctrl);
    EXPECT_EQ(got, c.result);
    if (got) {
      EXPECT_EQ(std::string(reinterpret_cast<char*>(text)), c.text);  // NUL right after
      EXPECT_EQ(ha_->api->GetCurPos(m), c.ofs + got);
    }
    if (c.cbytes) {
      EXPECT_EQ(std::string(reinterpret_cast<char*>(ctrl)), c.ctrl);
    }
  }
  // A header-only read leaves the position alone.
  ASSERT_EQ(ha_->api->SetCurPos(m, 7), 0);
  XMSG x;
  EXPECT_EQ(ha_->api->ReadMsg(m, &x, 0, 0, nullptr, 0, nullptr), 0u);
  EXPECT_EQ(ha_->api->GetCurPos(m), 7u);
  EXPECT_EQ(ha_->api->CloseMsg(m), 0);
}

TEST_F(SquishMsg, ControlLengthStopsAtTheBlocksNul) {
  std::string block(1, '\x01');
  block.append(29, 'k');  // 30 characters, NUL follows
  block.push_back('\0');
  block += std::string(30, 'z');
  struct Case {
    dword clen, stored;
  } cases[] = {{50, 31}, {31, 31}, {30, 30}, {5, 5}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.clen);
    HMSG m = ha_->api->OpenMsg(ha_, MO_CREATE, 0);
    XMSG x = SquishXmsg("All");
    ASSERT_EQ(ha_->api->WriteMsg(m, 0, &x, B(std::string("t")), 1, 1, c.clen, B(block)), 0);
    ha_->api->CloseMsg(m);
    SQHDR h = DiskFrame(Frames().back());
    EXPECT_EQ(h.ctrl_size, c.stored);
    EXPECT_EQ(h.msg_size, XMSG_SIZE + c.stored + 1);
    EXPECT_EQ(Text(ha_->num_msg), "t");
  }
}

TEST_F(SquishMsg, WritingInPieces) {
  HMSG m = ha_->api->OpenMsg(ha_, MO_CREATE, 0);
  XMSG x = SquishXmsg("All");
  // Refused: a continuation before the first write, a first write without a
  // header, and reading through a handle opened for creation.
  EXPECT_EQ(ha_->api->WriteMsg(m, 1, nullptr, B(std::string("abc")), 3, 0, 0, nullptr), -1);
  EXPECT_EQ(ha_->api->WriteMsg(m, 0, nullptr, B(std::string("abc")), 3, 10, 0, nullptr), -1);
  EXPECT_EQ(ha_->num_msg, 0u);
  ASSERT_EQ(ha_->api->WriteMsg(m, 0, &x, B(std::string("abcd")), 4, 10, 0, nullptr), 0);
  ASSERT_EQ(ha_->api->WriteMsg(m, 1, nullptr, B(std::string("efg")), 3, 0, 0, nullptr), 0);
  // Text beyond the declared total is dropped.
  ASSERT_EQ(ha_->api->WriteMsg(m, 1, nullptr, B(std::string("hijklmn")), 7, 0, 0, nullptr), 0);
  EXPECT_EQ(m->bytes_written, 10u);
  byte buf[8];
  EXPECT_EQ(ha_->api->ReadMsg(m, nullptr, 0, 4, buf, 0, nullptr), 0xFFFFFFFFu);
  ASSERT_EQ(ha_->api->CloseMsg(m), 0);
  EXPECT_EQ(Text(1), "abcdefghij");
}

// The data file reaches the end of the frame with the first write, so a
// writer that comes between the pieces does not take the missing bytes for
// the end of the file and place its message over the rest of the text.
TEST_F(SquishMsg, FirstWriteCoversTheDeclaredText) {
  HMSG m = ha_->api->OpenMsg(ha_, MO_CREATE, 0);
  XMSG x = SquishXmsg("All");
  ASSERT_EQ(ha_->api->WriteMsg(m, 0, &x, B(std::string(10, 'a')), 10, 100, 0, nullptr), 0);
  EXPECT_EQ(zt::FileSize(sqd_), 256 + 28 + 238 + 100);
  HAREA other = Open(AOPEN_EXISTING);
  ASSERT_NE(other, nullptr);
  ASSERT_EQ(PostMsg(other, "between"), 0);
  ASSERT_EQ(other->api->CloseArea(other), 0);
  ASSERT_EQ(ha_->api->WriteMsg(m, 1, nullptr, B(std::string(20, 'b')), 20, 0, 0, nullptr), 0);
  ASSERT_EQ(ha_->api->CloseMsg(m), 0);
  EXPECT_EQ(Text(1), std::string(10, 'a') + std::string(20, 'b') + std::string(70, '\0'));
  EXPECT_EQ(ReadMsgAll(ha_, 2).text, "between");
}

TEST_F(SquishMsg, RewritingThroughAReadHandleStaysInsideTheText) {
  Post("original text", "\x01" "K: v");
  HMSG m = ha_->api->OpenMsg(ha_, MO_READWRITE, 1);
  ASSERT_NE(m, nullptr);
  XMSG x = SquishXmsg("Someone Else");
  x.attr = MSGREAD;  // marked received: the index hash must follow
  ASSERT_EQ(ha_->api->WriteMsg(m, 0, &x, B(std::string("OVERWRITTEN AND MORE")), 20, 99, 4,
                               B(std::string("\x01X: y"))), 0);
  ASSERT_EQ(ha_->api->CloseMsg(m), 0);
  zt::ReadBack rb = ReadMsgAll(ha_, 1);
  EXPECT_EQ(rb.text, "OVERWRITTEN A");
  EXPECT_EQ(rb.ctrl, "\x01" "K: v");
  EXPECT_STREQ(reinterpret_cast<char*>(rb.hdr.to), "Someone Else");
  EXPECT_EQ(zt::FileSize(sqd_), DiskBase().end_of_file);
  EXPECT_EQ(DiskIndex()[0].hash, SquishHash(B(std::string("someone else"))) | 0x80000000u);
}

TEST_F(SquishMsg, EmptyDateTextIsMadeFromTheStamp) {
  struct Case {
    word da, mo, yr, hh, mm, ss;
    const char* text;
  } cases[] = {
      {5, 3, 22, 14, 7, 15, "05 Mar 02  14:07:30"},
      {0, 13, 20, 0, 0, 0, "01 Jan 00  00:00:00"},  // day 0 and month 13 fall back
      {31, 12, 127, 23, 59, 29, "31 Dec 07  23:59:58"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    XMSG x = SquishXmsg("All");
    x.date_written.msg_st.date = {c.da, c.mo, c.yr};
    x.date_written.msg_st.time = {c.ss, c.mm, c.hh};
    HMSG m = ha_->api->OpenMsg(ha_, MO_CREATE, 0);
    ASSERT_EQ(ha_->api->WriteMsg(m, 0, &x, nullptr, 0, 0, 0, nullptr), 0);
    ha_->api->CloseMsg(m);
    zt::ReadBack rb = ReadMsgAll(ha_, ha_->num_msg);
    EXPECT_STREQ(reinterpret_cast<char*>(rb.hdr.__ftsc_date), c.text);
  }
}

TEST_F(SquishMsg, FreeFramesAreReusedFirstFitWhole) {
  PostSized(500);
  PostSized(300);
  ASSERT_EQ(ha_->api->KillMsg(ha_, 1), 0);
  ExpectConsistent();
  dword eof = DiskBase().end_of_file;
  PostSized(600);  // too big: goes to the end
  EXPECT_EQ(Frames().back(), eof);
  PostSized(400);  // fits the freed frame, which keeps its size
  EXPECT_EQ(Frames().back(), 256u);
  SQHDR h = DiskFrame(256);
  EXPECT_EQ(h.frame_size, 500u);
  EXPECT_EQ(h.msg_size, 400u);
  EXPECT_EQ(h.frame_type, FRAME_NORMAL);
  SQBASE b = DiskBase();
  EXPECT_EQ(b.free_first, 0u);
  EXPECT_EQ(b.free_last, 0u);
  EXPECT_EQ(Text(3), std::string(162, 'p'));
}

TEST_F(SquishMsg, NeighbouringFreeFramesMerge) {
  PostSized(300);
  PostSized(300);
  PostSized(300);
  ASSERT_EQ(ha_->api->KillMsg(ha_, 1), 0);
  ASSERT_EQ(ha_->api->KillMsg(ha_, 1), 0);
  ExpectConsistent();
  dword eof = DiskBase().end_of_file;
  PostSized(628);  // 300 + 28 + 300
  EXPECT_EQ(Frames().back(), 256u);
  EXPECT_EQ(DiskFrame(256).frame_size, 628u);
  EXPECT_EQ(DiskBase().end_of_file, eof);
  EXPECT_EQ(DiskBase().free_first, 0u);
  ExpectConsistent();
  PostSized(629);  // no merge can hold this one
  EXPECT_EQ(Frames().back(), eof);
}

TEST_F(SquishMsg, MergeStopsOnceTheFrameIsBigEnough) {
  for (int i = 0; i < 4; ++i) PostSized(300);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(ha_->api->KillMsg(ha_, 1), 0);
  PostSized(500);  // two of the three free frames are enough
  EXPECT_EQ(DiskFrame(256).frame_size, 628u);
  SQBASE b = DiskBase();
  EXPECT_EQ(b.free_first, 256u + 2 * 328);
  EXPECT_EQ(b.free_last, 256u + 2 * 328);
}

// A write reads one header per free frame it examines, so it examines a
// bounded number; past them the message goes to the end of the file and the
// frames not reached stay free for later writes.
TEST_F(SquishMsg, FreeChainWalkIsBounded) {
  struct Case {
    const char* name;
    int small;    // free frames too small for the message, ahead in the chain
    bool reused;  // the big free frame behind them is taken
  } cases[] = {{"a short chain", 10, true}, {"a long chain", 300, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(ha_->api->CloseArea(ha_), 0);
    ha_ = Open(AOPEN_CREATE);
    ASSERT_NE(ha_, nullptr);
    // Each frame to free is followed by a live message, so no two merge.
    for (int i = 0; i < c.small; ++i) {
      PostSized(300);
      PostSized(300);
    }
    PostSized(1000);
    PostSized(300);
    ASSERT_EQ(ha_->api->Lock(ha_), 0);
    for (int i = 0; i <= c.small; ++i) ASSERT_EQ(ha_->api->KillMsg(ha_, dword(i + 1)), 0);
    ASSERT_EQ(ha_->api->Unlock(ha_), 0);
    const SQBASE before = DiskBase();
    const dword big = before.free_last;
    ASSERT_EQ(DiskFrame(big).frame_size, 1000u);

    PostSized(900);
    EXPECT_EQ(Frames().back(), c.reused ? big : before.end_of_file);
    EXPECT_EQ(DiskBase().free_last == big, !c.reused);
    PostSized(300);  // fits the first free frame
    EXPECT_EQ(Frames().back(), before.free_first);
    ExpectConsistent();
  }
}

TEST_F(SquishMsg, MessageLimitDeletesTheOldestUnprotected) {
  Post("one");
  Post("two");
  Post("three");
  SquishSetMaxMsg(ha_, 3, 1, 0xFFFFFFFFu);
  Post("four");
  ASSERT_EQ(ha_->num_msg, 3u);
  EXPECT_EQ(Text(1), "one");
  EXPECT_EQ(Text(2), "three");
  EXPECT_EQ(Text(3), "four");
  ExpectConsistent();
  // A replacement does not count against the limit.
  Post("THREE", "", 2);
  EXPECT_EQ(ha_->num_msg, 3u);
  EXPECT_EQ(Text(1), "one");
  // Under the area lock the deletions go to the in-memory index.
  ASSERT_EQ(ha_->api->Lock(ha_), 0);
  Post("five");
  Post("six");
  ASSERT_EQ(ha_->api->Unlock(ha_), 0);
  EXPECT_EQ(Text(1), "one");
  EXPECT_EQ(Text(2), "five");
  EXPECT_EQ(Text(3), "six");
}

TEST_F(SquishMsg, ReplacementKeepsUidAndPlace) {
  Post("one");
  Post("two");
  Post("three");
  UMSGID uid = ha_->api->MsgnToUid(ha_, 2);
  dword old_frame = Frames()[1];
  Post("TWO, rewritten longer", "", 2);
  EXPECT_EQ(ha_->num_msg, 3u);
  EXPECT_EQ(ha_->api->MsgnToUid(ha_, 2), uid);
  EXPECT_EQ(DiskBase().next_uid, 5u);  // a replacement draws a UMSGID too
  EXPECT_NE(Frames()[1], old_frame);
  EXPECT_EQ(DiskBase().free_last, old_frame);
  EXPECT_EQ(DiskFrame(old_frame).frame_type, FRAME_FREE);
  EXPECT_EQ(Text(2), "TWO, rewritten longer");
  EXPECT_EQ(Text(3), "three");
  ExpectConsistent();
}

// The frame chosen from the free chain is its tail: it must leave the chain
// before the old frame joins, or the old frame drops out of it.
TEST_F(SquishMsg, ReplacementIntoTheFreeTail) {
  for (const char* t : {"aaaa", "bbbb", "cccc", "dddd"}) Post(t);
  ASSERT_EQ(ha_->api->KillMsg(ha_, 4), 0);  // its frame is the whole free chain
  dword freed = DiskBase().free_last;
  dword old_frame = Frames()[1];
  Post("BBBB", "", 2);
  EXPECT_EQ(Frames()[1], freed);
  SQBASE b = DiskBase();
  EXPECT_EQ(b.free_first, old_frame);
  EXPECT_EQ(b.free_last, old_frame);
  ExpectConsistent();
}

TEST_F(SquishMsg, DeletionCases) {
  struct Case {
    const char* name;
    int count;
    dword current;  // 0: none opened
    dword kill;
    dword cur_after;
    std::vector<std::string> left;
  } cases[] = {
      {"first", 3, 0, 1, 0, {"m2", "m3"}},
      {"middle", 3, 0, 2, 0, {"m1", "m3"}},
      {"last", 3, 0, 3, 0, {"m1", "m2"}},
      {"only", 1, 0, 1, 0, {}},
      {"current 4 makes 3 current", 5, 4, 4, 3, {"m1", "m2", "m3", "m5"}},
      {"current 1 goes before the first", 3, 1, 1, 0, {"m2", "m3"}},
      {"before the current", 4, 3, 1, 2, {"m2", "m3", "m4"}},
      {"after the current", 4, 2, 3, 2, {"m1", "m2", "m4"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(ha_->api->CloseArea(ha_), 0);
    ha_ = Open(AOPEN_CREATE);
    for (int i = 1; i <= c.count; ++i) Post(M(i));
    std::vector<UMSGID> uids;
    for (int i = 1; i <= c.count; ++i) uids.push_back(ha_->api->MsgnToUid(ha_, i));
    if (c.current) ha_->api->CloseMsg(ha_->api->OpenMsg(ha_, MO_READ, c.current));
    dword frame = Frames()[c.kill - 1];

    ASSERT_EQ(ha_->api->KillMsg(ha_, c.kill), 0);
    EXPECT_EQ(ha_->num_msg, dword(c.count - 1));
    EXPECT_EQ(ha_->cur_msg, c.cur_after);
    // The position still leads on correctly from where it is.
    HMSG next = ha_->api->OpenMsg(ha_, MO_READ, MSGN_NEXT);
    if (c.cur_after < ha_->num_msg) {
      ASSERT_NE(next, nullptr);
      EXPECT_EQ(ha_->cur_msg, c.cur_after + 1);
      ha_->api->CloseMsg(next);
    } else {
      EXPECT_EQ(next, nullptr);
    }
    ASSERT_EQ(ha_->num_msg, c.left.size());
    for (dword i = 1; i <= ha_->num_msg; ++i) {
      EXPECT_EQ(Text(i), c.left[i - 1]);
      EXPECT_EQ(ha_->api->MsgnToUid(ha_, i), uids[i - 1 + (i >= c.kill)]);
    }
    // The index keeps its length; the freed record is zero.
    std::vector<SQIDX> idx = DiskIndex();
    ASSERT_EQ(idx.size(), size_t(c.count));
    EXPECT_EQ(idx.back().frame_offset, 0u);
    EXPECT_EQ(idx.back().umsgid, 0u);
    SQBASE b = DiskBase();
    EXPECT_EQ(b.free_last, frame);
    EXPECT_EQ(DiskFrame(frame).frame_type, FRAME_FREE);
    if (c.count == 1) {
      EXPECT_EQ(b.first_frame, 0u);
      EXPECT_EQ(b.last_frame, 0u);
      EXPECT_EQ(b.free_first, frame);
    }
    ExpectConsistent();
  }
}

TEST_F(SquishMsg, DeletingOutOfRangeChangesNothing) {
  msgapierr = APIERR_OK;
  EXPECT_EQ(ha_->api->KillMsg(ha_, 1), -1);
  EXPECT_EQ(msgapierr, APIERR_FILE_IO);
  Post("only");
  std::string before = zt::ReadFile(sqd_);
  EXPECT_EQ(ha_->api->KillMsg(ha_, 2), -1);
  EXPECT_EQ(ha_->api->KillMsg(ha_, 0), -1);
  EXPECT_EQ(msgapierr, APIERR_FILE_IO);
  EXPECT_EQ(zt::ReadFile(sqd_), before);
}

TEST_F(SquishMsg, RelativeMoves) {
  for (int i = 1; i <= 3; ++i) Post(M(i));
  const _apifuncs* api = ha_->api;
  auto open = [&](dword n) { return api->OpenMsg(ha_, MO_READ, n); };
  EXPECT_EQ(open(MSGN_CURRENT), nullptr);  // nothing current yet
  EXPECT_EQ(msgapierr, APIERR_NOT_FOUND);
  EXPECT_EQ(open(MSGN_PREVIOUS), nullptr);
  EXPECT_EQ(msgapierr, APIERR_NOT_FOUND);
  EXPECT_EQ(open(0), nullptr);
  EXPECT_EQ(msgapierr, APIERR_NOT_FOUND);

  // Forward with MSGN_NEXT and with cur_msg + 1, which behave alike.
  for (dword n = 1; n <= 3; ++n) {
    HMSG m = open(n % 2 ? MSGN_NEXT : n);
    ASSERT_NE(m, nullptr) << n;
    EXPECT_EQ(ha_->cur_msg, n);
    EXPECT_EQ(m->id, MSG_HANDLE_ID);
    byte buf[8];
    EXPECT_EQ(api->ReadMsg(m, nullptr, 0, 0, buf, 0, nullptr), 2u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf)), M(n));
    api->CloseMsg(m);
  }
  EXPECT_EQ(open(MSGN_NEXT), nullptr);  // past the last
  EXPECT_EQ(msgapierr, APIERR_NOT_FOUND);
  EXPECT_EQ(ha_->cur_msg, 3u);
  HMSG cur = open(MSGN_CURRENT);
  ASSERT_NE(cur, nullptr);
  api->CloseMsg(cur);
  for (dword n = 2; n >= 1; --n) {
    HMSG m = open(MSGN_PREVIOUS);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(ha_->cur_msg, n);
    api->CloseMsg(m);
  }
  // Before the first: fails and goes back to the start.
  EXPECT_EQ(open(MSGN_PREVIOUS), nullptr);
  EXPECT_EQ(msgapierr, APIERR_NOT_FOUND);
  EXPECT_EQ(ha_->cur_msg, 0u);
  HMSG first = open(MSGN_NEXT);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(ha_->cur_msg, 1u);
  api->CloseMsg(first);
  // By number, far from the current one.
  HMSG third = open(3);
  ASSERT_NE(third, nullptr);
  EXPECT_EQ(ha_->cur_msg, 3u);
  api->CloseMsg(third);
  EXPECT_EQ(open(4), nullptr);
}

TEST_F(SquishMsg, CreateNumbersOutsideTheAreaAreRefused) {
  Post("one");
  for (dword n : {2u, MSGN_CURRENT, MSGN_NEXT}) {
    msgapierr = APIERR_OK;
    EXPECT_EQ(ha_->api->OpenMsg(ha_, MO_CREATE, n), nullptr) << n;
    EXPECT_EQ(msgapierr, APIERR_NOT_FOUND);
  }
}

// UMSGIDs 3, 7 and 9 are left after deleting the others.
TEST_F(SquishMsg, UidToMsgnSearchesEitherWay) {
  for (int i = 1; i <= 9; ++i) Post("m");
  for (dword uid : {8, 6, 5, 4, 2, 1}) ASSERT_EQ(ha_->api->KillMsg(ha_, ha_->api->UidToMsgn(ha_, uid, UIDSEEK_EXACT)), 0);
  ASSERT_EQ(ha_->num_msg, 3u);
  struct Case {
    UMSGID uid;
    word type;
    dword msgn;
  } cases[] = {
      {7, UIDSEEK_EXACT, 2}, {8, UIDSEEK_EXACT, 0},    {8, UIDSEEK_NEXT, 3},
      {8, UIDSEEK_PREVIOUS, 2}, {2, UIDSEEK_PREVIOUS, 0}, {10, UIDSEEK_NEXT, 0},
      {2, UIDSEEK_NEXT, 1},  {10, UIDSEEK_PREVIOUS, 3}, {3, UIDSEEK_EXACT, 1},
      {9, UIDSEEK_EXACT, 3}, {0, UIDSEEK_NEXT, 0},     {7, 9, 2},
      {8, 9, 0},
  };
  for (bool locked : {false, true}) {
    if (locked) {
      ASSERT_EQ(ha_->api->Lock(ha_), 0);
    }
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << "uid " << c.uid << " type " << c.type << " locked " << locked);
      EXPECT_EQ(ha_->api->UidToMsgn(ha_, c.uid, c.type), c.msgn);
    }
  }
  ASSERT_EQ(ha_->api->Unlock(ha_), 0);
}

TEST_F(SquishMsg, HighWaterFollowsItsMessage) {
  for (int i = 1; i <= 6; ++i) Post("m");
  EXPECT_EQ(ha_->api->GetHighWater(ha_), 0u);
  ASSERT_EQ(ha_->api->SetHighWater(ha_, 5), 0);
  EXPECT_EQ(ha_->high_water, 5u);  // kept as the UMSGID
  ASSERT_EQ(ha_->api->SetHighWater(ha_, 0), 0);
  ASSERT_EQ(ha_->api->SetHighWater(ha_, 99), 0);
  EXPECT_EQ(ha_->high_water, 5u);
  ASSERT_EQ(ha_->api->KillMsg(ha_, 2), 0);
  EXPECT_EQ(ha_->api->GetHighWater(ha_), 4u);
  ASSERT_EQ(ha_->api->KillMsg(ha_, 4), 0);  // the marked message itself
  EXPECT_EQ(ha_->api->GetHighWater(ha_), 3u);
  EXPECT_EQ(ha_->api->MsgnToUid(ha_, 0), 0u);
  ASSERT_EQ(ha_->api->CloseArea(ha_), 0);
  EXPECT_EQ(DiskBase().high_water, 5u);
  ha_ = Open(AOPEN_EXISTING);
}

// A large index: loaded, grown and written back in chunks under the lock,
// searched both from memory and from the file.
TEST_F(SquishMsg, IndexOverThreeThousandRecords) {
  ASSERT_EQ(ha_->api->Lock(ha_), 0);
  for (int i = 0; i < 3005; ++i) Post("x");
  EXPECT_EQ(zt::FileSize(sqi_), 0);  // still in memory
  ASSERT_EQ(ha_->api->Unlock(ha_), 0);
  EXPECT_EQ(zt::FileSize(sqi_), 3005 * 12);
  ASSERT_EQ(ha_->api->KillMsg(ha_, 10), 0);
  for (bool locked : {false, true}) {
    if (locked) {
      ASSERT_EQ(ha_->api->Lock(ha_), 0);
    }
    EXPECT_EQ(ha_->api->UidToMsgn(ha_, 2999, UIDSEEK_EXACT), 2998u);
    EXPECT_EQ(ha_->api->UidToMsgn(ha_, 10, UIDSEEK_NEXT), 10u);
    EXPECT_EQ(ha_->api->MsgnToUid(ha_, 3004), 3005u);
  }
  ASSERT_EQ(ha_->api->Unlock(ha_), 0);
}

}  // namespace

namespace {

class SquishLargeIndex : public zt::SquishTest {};

// Message numbers past 16 bits address the right records, from the file and
// from the in-memory index. The index is made by hand: every record names
// the one real frame.
TEST_F(SquishLargeIndex, PositionsAbove65535) {
  constexpr dword kCount = 70000;
  Fill(1);
  {
    std::vector<SQIDX> idx(kCount);
    for (dword i = 0; i < kCount; ++i) idx[i] = {256, i + 1, 0};
    UniqueFd fd;
    ASSERT_TRUE(fd.open(sqi_.c_str(), OF_WRITE | OF_TRUNCATE));
    ASSERT_EQ(write_sqidx(fd.get(), idx.data(), kCount), 1);
  }
  std::string counts(4, '\0');
  for (int i = 0; i < 4; ++i) counts[i] = char(kCount >> (8 * i));
  zt::PatchBytes(sqd_, 4, counts + counts);  // num_msg, high_msg
  zt::PatchBytes(sqd_, 20, std::string("\x71\x11\x01\x00", 4));  // next_uid 70001

  HAREA ha = Open(AOPEN_EXISTING);
  ASSERT_NE(ha, nullptr);
  for (bool locked : {false, true}) {
    SCOPED_TRACE(locked);
    if (locked) {
      ASSERT_EQ(ha->api->Lock(ha), 0);
    }
    EXPECT_EQ(ha->api->MsgnToUid(ha, 65537), 65537u);
    EXPECT_EQ(ha->api->MsgnToUid(ha, kCount), kCount);
    EXPECT_EQ(ha->api->UidToMsgn(ha, 69999, UIDSEEK_EXACT), 69999u);
    EXPECT_EQ(ReadMsgAll(ha, 66000).text, "text 1");
  }
  ASSERT_EQ(PostMsg(ha, "number 70001"), 0);
  EXPECT_EQ(ha->api->MsgnToUid(ha, kCount + 1), kCount + 1);
  ASSERT_EQ(ha->api->Unlock(ha), 0);
  EXPECT_EQ(ReadMsgAll(ha, kCount + 1).text, "number 70001");
  EXPECT_EQ(ha->api->CloseArea(ha), 0);
  EXPECT_EQ(zt::FileSize(sqi_), std::int64_t(kCount + 1) * 12);
  EXPECT_EQ(DiskIndex()[kCount].umsgid, kCount + 1);
}

}  // namespace
