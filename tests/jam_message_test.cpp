// Writing and reading JAM messages through the table of operations: what a
// post stores, how kludges, addresses and trailer lines come back, partial
// text reads, replacement and rewrite.
#include <gtest/gtest.h>

#include <cstring>

#include "api_jam.h"
#include "jam_check.h"
#include "jamtest.h"
#include "structrw_jam.h"
#include "testutil.h"

namespace {

using zt::JamRead;

class JamMessage : public ::testing::Test {
 protected:
  void SetUp() override { base_ = dir_ / "area"; }
  void TearDown() override { EXPECT_EQ(zt::CheckJamBase(base_, opt_), std::vector<std::string>{}); }

  HAREA Open(word type = zt::JAM_ECHO_AREA, word mode = AOPEN_CREATE_IF_MISSING) {
    HAREA ha = zt::OpenJam(base_, mode, type);
    EXPECT_NE(ha, nullptr);
    return ha;
  }
  std::string Jhr() { return zt::ReadFile(base_ + ".jhr"); }
  // The header of message record `k` of the index, and its chain.
  JamHdr HeaderOf(std::size_t k, JamChain* chain = nullptr) {
    const std::string jhr = Jhr(), jdx = zt::ReadFile(base_ + ".jdx");
    const dword ofs = zt::U32At(jdx, k * 8 + 4);
    JamHdr h;
    decode_hdr(reinterpret_cast<const uint8_t*>(jhr.data()) + ofs, &h);
    if (chain)
      decode_subfields(reinterpret_cast<const uint8_t*>(jhr.data()) + ofs + HDR_SIZE, h.SubfieldLen, chain);
    return h;
  }

  zt::TempDir dir_;
  std::string base_;
  zt::JamCheckOptions opt_;
};

std::vector<int> Ids(const JamChain& c) {
  std::vector<int> v;
  for (const JamSubfield& sf : c) v.push_back(sf.id);
  return v;
}

const std::string kPostText = "Hello\rSEEN-BY: 5020/1 52\r\x01PATH: 5020/52\r";
const std::string kPostCtrl = "\x01PID: zandrel-1.2\x01MSGID: 2:5020/52 1a2b3c4d";

TEST_F(JamMessage, EchoPostStoresHeaderChainTextAndIndex) {
  HAREA ha = Open();
  ASSERT_EQ(zt::PostJam(ha, zt::MakeXmsg(), kPostText, kPostCtrl), 0);
  EXPECT_EQ(ha->num_msg, 1u);
  EXPECT_EQ(ha->high_msg, 1u);
  EXPECT_EQ(ha->api->CloseArea(ha), 0);

  JamChain chain;
  JamHdr h = HeaderOf(0, &chain);
  EXPECT_EQ(Ids(chain), (std::vector<int>{2, 3, 6, 7, 4, 2001, 2002}));
  EXPECT_EQ(chain[3].data, "zandrel-1.2");
  EXPECT_EQ(chain[4].data, "2:5020/52 1a2b3c4d");
  EXPECT_EQ(chain[5].data, "5020/1 52");
  EXPECT_EQ(chain[6].data, "5020/52");
  EXPECT_EQ(h.MsgIdCRC, Jam_Crc32("2:5020/52 1a2b3c4d", 18));
  EXPECT_EQ(h.MsgNum, 1u);  // record 0 + BaseMsgNum 1
  EXPECT_EQ(h.TxtLen, 6u);  // "Hello" and its CR
  EXPECT_EQ(h.Attribute, 0x01000001u);  // local, echomail
  EXPECT_EQ(h.ReplyCRC, 0xFFFFFFFFu);
  EXPECT_EQ(h.PasswordCRC, 0xFFFFFFFFu);
  EXPECT_EQ(h.Revision, 1);
  EXPECT_EQ(h.DateWritten, 853064430u);
  EXPECT_EQ(zt::ReadFile(base_ + ".jdt"), "Hello\r");
  const std::string jdx = zt::ReadFile(base_ + ".jdx");
  ASSERT_EQ(jdx.size(), 8u);
  EXPECT_EQ(zt::U32At(jdx, 0), Jam_Crc32("All", 3));
  EXPECT_EQ(zt::U32At(jdx, 4), HDRINFO_SIZE);
  const std::string jhr = Jhr();
  EXPECT_EQ(zt::U32At(jhr, 12), 1u);  // ActiveMsgs
}

TEST_F(JamMessage, EchoPostReadsBackWithControlBlockAndTrailer) {
  HAREA ha = Open();
  ASSERT_EQ(zt::PostJam(ha, zt::MakeXmsg(), kPostText, kPostCtrl), 0);
  JamRead r;
  ASSERT_TRUE(zt::ReadJam(ha, 1, &r));
  EXPECT_EQ(r.ctrl, "\x01PID: zandrel-1.2\x01MSGID: 2:5020/52 1a2b3c4d");
  EXPECT_EQ(r.text, "Hello\rSEEN-BY: 5020/1 52\r\x01PATH: 5020/52\r");
  EXPECT_STREQ(reinterpret_cast<char*>(r.x.from), "Ivan Petrov");
  EXPECT_STREQ(reinterpret_cast<char*>(r.x.to), "All");
  EXPECT_STREQ(reinterpret_cast<char*>(r.x.subj), "Hello");
  EXPECT_STREQ(reinterpret_cast<char*>(r.x.__ftsc_date), "12 Jan 97  10:20:30");
  EXPECT_EQ(r.x.date_written.ldate, zt::MakeXmsg().date_written.ldate);
  EXPECT_NE(r.x.date_arrived.ldate, 0u);  // stored as the time of writing
  EXPECT_EQ(r.x.attr, MSGLOCAL);
  EXPECT_EQ(ha->api->CloseArea(ha), 0);
}

TEST_F(JamMessage, NetmailAddressesAndIntlFmptTopt) {
  struct Case {
    const char* name;
    NETADDR orig, dest;
    const char* ctrl;
  };
  const Case cases[] = {
      {"point sender", {2, 5020, 1, 5}, {2, 5020, 2, 0}, "\x01INTL 2:5020/2 2:5020/1\x01" "FMPT 5"},
      {"point receiver", {1, 261, 38, 0}, {2, 5020, 52, 7}, "\x01INTL 2:5020/52 1:261/38\x01TOPT 7"},
      {"both nodes", {2, 1, 2, 0}, {3, 4, 5, 0}, "\x01INTL 3:4/5 2:1/2"},
  };
  HAREA ha = Open(zt::JAM_NET_AREA);
  for (const Case& c : cases) {
    XMSG x = zt::MakeXmsg("Sysop", "Ivan", c.name);
    x.orig = c.orig;
    x.dest = c.dest;
    // INTL, FMPT and TOPT from the caller are not stored: reading derives them.
    ASSERT_EQ(zt::PostJam(ha, x, "Hi\r", "\x01INTL 9:9/9 8:8/8\x01" "FMPT 3\x01TOPT 4"), 0);
  }
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].name);
    JamChain chain;
    JamHdr h = HeaderOf(i, &chain);
    EXPECT_EQ(Ids(chain), (std::vector<int>{2, 3, 6, 0, 1}));
    EXPECT_EQ(h.Attribute & JAM_NETMAIL, JAM_NETMAIL);
    JamRead r;
    ASSERT_TRUE(zt::ReadJam(ha, dword(i + 1), &r));
    EXPECT_EQ(r.ctrl, cases[i].ctrl);
    EXPECT_EQ(std::memcmp(&r.x.orig, &cases[i].orig, sizeof(NETADDR)), 0);
    EXPECT_EQ(std::memcmp(&r.x.dest, &cases[i].dest, sizeof(NETADDR)), 0);
  }
  EXPECT_EQ(ha->api->CloseArea(ha), 0);
}

TEST_F(JamMessage, LocalAreaHasNoTypeBitAndNoAddresses) {
  HAREA ha = Open(AT_JAM | AT_ECHO | AT_LOCAL);
  EXPECT_EQ(ha->isecho, 3);
  ASSERT_EQ(zt::PostJam(ha, zt::MakeXmsg(), "x\r"), 0);
  EXPECT_EQ(ha->api->CloseArea(ha), 0);
  JamChain chain;
  EXPECT_EQ(HeaderOf(0, &chain).Attribute, 0x1u);
  EXPECT_EQ(Ids(chain), (std::vector<int>{2, 3, 6}));
}

TEST_F(JamMessage, TextLinesAndKludgeKinds) {
  struct Case {
    const char* name;
    std::string text;
    std::string body;
    std::vector<std::pair<int, std::string>> subfields;  // after 2, 3, 6
  };
  const Case cases[] = {
      {"final CR added", "one\rtwo", "one\rtwo\r", {}},
      {"two CRs unchanged", "\r\r", "\r\r", {}},
      {"TZUTC", "\x01TZUTC: 0300\rbody\r", "body\r", {{2004, "0300"}}},
      {"unknown kludge kept whole", "\x01" "CHRS: CP866 2\r", "", {{2000, "CHRS: CP866 2"}}},
      {"Via and FLAGS", "\x01Via 2:5020/52 @20230101\r\x01" "FLAGS DIR\r", "", {{8, "2:5020/52 @20230101"}, {2003, "DIR"}}},
      {"INTL in the text dropped", "\x01INTL 1:1/1 2:2/2\rx\r", "x\r", {}},
      {"SEEN-BY lines in order", "a\rSEEN-BY: 1/1\rSEEN-BY: 2/2\r", "a\r", {{2001, "1/1"}, {2001, "2/2"}}},
  };
  HAREA ha = Open();
  for (const Case& c : cases) ASSERT_EQ(zt::PostJam(ha, zt::MakeXmsg(), c.text), 0);
  EXPECT_EQ(ha->api->CloseArea(ha), 0);
  const std::string jdt = zt::ReadFile(base_ + ".jdt");
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.name);
    JamChain chain;
    JamHdr h = HeaderOf(i, &chain);
    EXPECT_EQ(jdt.substr(h.TxtOffset, h.TxtLen), c.body);
    ASSERT_EQ(chain.size(), 3 + c.subfields.size());
    for (std::size_t k = 0; k < c.subfields.size(); ++k) {
      EXPECT_EQ(chain[3 + k].id, c.subfields[k].first);
      EXPECT_EQ(chain[3 + k].data, c.subfields[k].second);
    }
  }
  // TZUTC, CHRS and FLAGS come back in the control block, Via in the trailer.
  ha = Open();
  JamRead r;
  ASSERT_TRUE(zt::ReadJam(ha, 3, &r));
  EXPECT_EQ(r.ctrl, "\x01TZUTC: 0300");
  ASSERT_TRUE(zt::ReadJam(ha, 4, &r));
  EXPECT_EQ(r.ctrl, "\x01" "CHRS: CP866 2");
  ASSERT_TRUE(zt::ReadJam(ha, 5, &r));
  EXPECT_EQ(r.ctrl, "\x01" "FLAGS DIR");
  EXPECT_EQ(r.text, "\x01Via 2:5020/52 @20230101\r");
  EXPECT_EQ(ha->api->CloseArea(ha), 0);
}

TEST_F(JamMessage, ViaAndRecdKludgesGoToTheTrailer) {
  HAREA ha = Open();
  ASSERT_EQ(zt::PostJam(ha, zt::MakeXmsg(), "b\r", "\x01RECD by me\x01" "CHRS: X"), 0);
  JamRead r;
  ASSERT_TRUE(zt::ReadJam(ha, 1, &r));
  EXPECT_EQ(r.ctrl, "\x01" "CHRS: X");
  EXPECT_EQ(r.text, "b\r\x01RECD by me\r");
  EXPECT_EQ(ha->api->CloseArea(ha), 0);
}

TEST_F(JamMessage, BodyAndTrailerAtEveryOffsetSplit) {
  HAREA ha = Open();
  ASSERT_EQ(zt::PostJam(ha, zt::MakeXmsg(), "Body line\rSEEN-BY: 1/2\r\x01PATH: 3/4\r"), 0);
  const std::string whole = "Body line\rSEEN-BY: 1/2\r\x01PATH: 3/4\r";
  HMSG mh = ha->api->OpenMsg(ha, MO_READ, 1);
  ASSERT_NE(mh, nullptr);
  ASSERT_EQ(ha->api->GetTextLen(mh), whole.size());
  for (dword ofs = 0; ofs <= whole.size() + 2; ++ofs) {
    for (dword want = 1; want <= whole.size() + 2; ++want) {
      std::vector<byte> buf(want + 1, 0xAA);
      dword got = ha->api->ReadMsg(mh, nullptr, ofs, want, buf.data(), 0, nullptr);
      const std::string expect = ofs < whole.size() ? whole.substr(ofs, want) : "";
      ASSERT_EQ(got, expect.size()) << ofs << "+" << want;
      EXPECT_EQ(std::string(reinterpret_cast<char*>(buf.data()), got), expect) << ofs << "+" << want;
      EXPECT_EQ(buf[got], 0);
      EXPECT_EQ(ha->api->GetCurPos(mh), std::min<dword>(ofs, dword(whole.size())) + got);
    }
  }
  EXPECT_EQ(ha->api->CloseMsg(mh), 0);
  EXPECT_EQ(ha->api->CloseArea(ha), 0);
}

TEST_F(JamMessage, OverlongNamesAreCutAndStripped) {
  HAREA ha = Open();
  const std::string name(36, 'N'), subj(72, 'S');
  ASSERT_EQ(zt::PostJam(ha, zt::MakeXmsg(name, "To\tTab", subj), "x\r"), 0);
  JamRead r;
  ASSERT_TRUE(zt::ReadJam(ha, 1, &r));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(r.x.from)), std::string(35, 'N'));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(r.x.subj)), std::string(71, 'S'));
  EXPECT_STREQ(reinterpret_cast<char*>(r.x.to), "To Tab");
  EXPECT_EQ(ha->api->CloseArea(ha), 0);
}

TEST_F(JamMessage, ModeZeroHandleOnStoredMessageCarriesHeaderOnly) {
  HAREA ha = Open();
  ASSERT_EQ(zt::PostJam(ha, zt::MakeXmsg(), "text\rSEEN-BY: 1/1\r", kPostCtrl), 0);
  HMSG mh = ha->api->OpenMsg(ha, MO_CREATE, 1);
  ASSERT_NE(mh, nullptr);
  XMSG x;
  std::memset(&x, 0x55, sizeof x);
  EXPECT_EQ(ha->api->GetCtrlLen(mh), 0u);
  EXPECT_EQ(ha->api->GetTextLen(mh), 5u);  // body only: no chain, no trailer
  std::vector<byte> text(6), ctrl(4, 0x33);
  EXPECT_EQ(ha->api->ReadMsg(mh, &x, 0, 5, text.data(), 3, ctrl.data()), 5u);
  EXPECT_STREQ(reinterpret_cast<char*>(text.data()), "text\r");
  EXPECT_EQ(ctrl[0], 0);
  EXPECT_EQ(x.from[0], 0);
  EXPECT_EQ(x.to[0], 0);
  EXPECT_EQ(x.subj[0], 0);
  EXPECT_EQ(x.orig.zone | x.orig.net | x.orig.node | x.orig.point, 0);
  EXPECT_EQ(x.dest.zone | x.dest.net | x.dest.node | x.dest.point, 0);
  EXPECT_EQ(x.attr, MSGLOCAL);
  EXPECT_STREQ(reinterpret_cast<char*>(x.__ftsc_date), "12 Jan 97  10:20:30");
  EXPECT_EQ(ha->api->CloseMsg(mh), 0);
  EXPECT_EQ(ha->api->CloseArea(ha), 0);
}

TEST_F(JamMessage, ReplacementKeepsNumberAndIdentifier) {
  HAREA ha = Open();
  for (const char* t : {"one\r", "two\r", "three\r"}) ASSERT_EQ(zt::PostJam(ha, zt::MakeXmsg(), t), 0);
  const JamHdr old = HeaderOf(1);
  HMSG mh = ha->api->OpenMsg(ha, MO_CREATE, 2);
  ASSERT_NE(mh, nullptr);
  const std::string text = "replaced\r";
  XMSG x = zt::MakeXmsg("New", "Someone", "Changed");
  // The total asks for more room than the text: one zero byte reserves it.
  ASSERT_EQ(ha->api->WriteMsg(mh, 0, &x, reinterpret_cast<const byte*>(text.c_str()), 9, 20, 0, nullptr), 0);
  EXPECT_EQ(ha->api->CloseMsg(mh), 0);
  EXPECT_EQ(ha->num_msg, 3u);
  EXPECT_EQ(ha->high_msg, 3u);
  JamRead r;
  ASSERT_TRUE(zt::ReadJam(ha, 2, &r));
  EXPECT_EQ(r.text, "replaced\r");
  EXPECT_STREQ(reinterpret_cast<char*>(r.x.subj), "Changed");
  EXPECT_EQ(ha->api->MsgnToUid(ha, 2), 2u);
  EXPECT_EQ(ha->api->CloseArea(ha), 0);

  const JamHdr now = HeaderOf(1);
  EXPECT_EQ(now.MsgNum, old.MsgNum);
  EXPECT_GT(now.TxtOffset, old.TxtOffset);
  EXPECT_EQ(zt::FileSize(base_ + ".jdt"), std::int64_t(now.TxtOffset) + 20);
  EXPECT_EQ(zt::U32At(zt::ReadFile(base_ + ".jdx"), 8), Jam_Crc32("Someone", 7));
  // The old header is marked deleted where it stood.
  const std::string jhr = Jhr();
  const dword old_pos = HDRINFO_SIZE + HDR_SIZE + old.SubfieldLen;
  EXPECT_EQ(zt::U32At(jhr, old_pos + 52) & JAM_DELETED, JAM_DELETED);
  EXPECT_EQ(zt::U32At(jhr, old_pos + 64), 0u);
  EXPECT_EQ(zt::U32At(jhr, 12), 3u);  // ActiveMsgs unchanged
}

TEST_F(JamMessage, ReplacementWithSmallTotalReservesNothing) {
  HAREA ha = Open();
  ASSERT_EQ(zt::PostJam(ha, zt::MakeXmsg(), "one\r"), 0);
  HMSG mh = ha->api->OpenMsg(ha, MO_CREATE, 1);
  ASSERT_NE(mh, nullptr);
  const std::string text = "longer text\r";
  XMSG x = zt::MakeXmsg();
  ASSERT_EQ(ha->api->WriteMsg(mh, 0, &x, reinterpret_cast<const byte*>(text.c_str()), 12, 3, 0, nullptr), 0);
  EXPECT_EQ(ha->api->CloseMsg(mh), 0);
  JamRead r;
  ASSERT_TRUE(zt::ReadJam(ha, 1, &r));
  EXPECT_EQ(r.text, "longer text\r");  // no zero byte written into it
  EXPECT_EQ(ha->api->CloseArea(ha), 0);
  EXPECT_EQ(zt::ReadFile(base_ + ".jdt"), "one\rlonger text\r");
}

TEST_F(JamMessage, RewriteKeepsKludgesAndMovesAGrownHeader) {
  HAREA ha = Open();
  ASSERT_EQ(zt::PostJam(ha, zt::MakeXmsg("A", "B", "Short"), "body\rSEEN-BY: 1/1\r", kPostCtrl), 0);
  ASSERT_EQ(zt::PostJam(ha, zt::MakeXmsg(), "second\r"), 0);
  const JamHdr before = HeaderOf(0);

  // Same length subject: rewritten in place, text untouched.
  HMSG mh = ha->api->OpenMsg(ha, MO_READWRITE, 1);
  ASSERT_NE(mh, nullptr);
  XMSG x = zt::MakeXmsg("A", "B", "Other");
  ASSERT_EQ(ha->api->WriteMsg(mh, 0, &x, nullptr, 0, 0, 0, nullptr), 0);
  EXPECT_EQ(zt::U32At(zt::ReadFile(base_ + ".jdx"), 4), HDRINFO_SIZE);
  // The handle holds the new header, chain and control block at once.
  EXPECT_EQ(ha->api->GetCtrlLen(mh), kPostCtrl.size());
  EXPECT_EQ(ha->api->CloseMsg(mh), 0);

  JamRead r;
  ASSERT_TRUE(zt::ReadJam(ha, 1, &r));
  EXPECT_STREQ(reinterpret_cast<char*>(r.x.subj), "Other");
  EXPECT_EQ(r.ctrl, kPostCtrl);
  EXPECT_EQ(r.text, "body\rSEEN-BY: 1/1\r");

  // A longer subject: the header moves to the end, the old one is deleted.
  mh = ha->api->OpenMsg(ha, MO_WRITE, 1);
  ASSERT_NE(mh, nullptr);
  x = zt::MakeXmsg("A", "B", "A much longer subject than before");
  const std::string text = "new body\r";
  ASSERT_EQ(ha->api->WriteMsg(mh, 0, &x, reinterpret_cast<const byte*>(text.c_str()), 9, 9, 0, nullptr), 0);
  EXPECT_EQ(ha->api->CloseMsg(mh), 0);
  EXPECT_EQ(ha->num_msg, 2u);
  ASSERT_TRUE(zt::ReadJam(ha, 1, &r));
  EXPECT_STREQ(reinterpret_cast<char*>(r.x.subj), "A much longer subject than before");
  EXPECT_EQ(r.text, "new body\r");  // new text, no old SEEN-BY
  EXPECT_EQ(r.ctrl, kPostCtrl);
  EXPECT_EQ(ha->api->MsgnToUid(ha, 1), 1u);
  EXPECT_EQ(ha->api->CloseArea(ha), 0);
  EXPECT_GT(zt::U32At(zt::ReadFile(base_ + ".jdx"), 4), HDRINFO_SIZE);
  EXPECT_EQ(HeaderOf(0).MsgNum, before.MsgNum);
  EXPECT_EQ(zt::U32At(Jhr(), HDRINFO_SIZE + 52) & JAM_DELETED, JAM_DELETED);
}

TEST_F(JamMessage, WriteRefusesReadHandlesAndBadHandles) {
  HAREA ha = Open();
  ASSERT_EQ(zt::PostJam(ha, zt::MakeXmsg(), "x\r"), 0);
  HMSG mh = ha->api->OpenMsg(ha, MO_READ, 1);
  ASSERT_NE(mh, nullptr);
  XMSG x = zt::MakeXmsg();
  EXPECT_EQ(ha->api->WriteMsg(mh, 0, &x, nullptr, 0, 0, 0, nullptr), -1);
  EXPECT_EQ(ha->api->CloseMsg(mh), 0);
  // What a closed handle looks like: its id cleared.
  _msgh stale{ha, 0, 0, 0};
  msgapierr = APIERR_OK;
  EXPECT_EQ(ha->api->WriteMsg(&stale, 0, &x, nullptr, 0, 0, 0, nullptr), -1);
  EXPECT_EQ(msgapierr, APIERR_BAD_HANDLE);
  EXPECT_EQ(ha->api->ReadMsg(&stale, &x, 0, 0, nullptr, 0, nullptr), 0xFFFFFFFFu);
  EXPECT_EQ(ha->api->CloseMsg(&stale), -1);
  EXPECT_EQ(ha->api->SetCurPos(&stale, 1), -1);
  EXPECT_EQ(ha->api->GetCurPos(&stale), 0xFFFFFFFFu);
  EXPECT_EQ(ha->api->CloseArea(ha), 0);
}

TEST_F(JamMessage, NewMessageWithoutHeaderStoresNothing) {
  HAREA ha = Open();
  HMSG mh = ha->api->OpenMsg(ha, MO_CREATE, 0);
  ASSERT_NE(mh, nullptr);
  EXPECT_EQ(ha->api->WriteMsg(mh, 0, nullptr, reinterpret_cast<const byte*>("t\r"), 2, 2, 0, nullptr), 0);
  // A second write on the same handle appends another message.
  XMSG x = zt::MakeXmsg();
  EXPECT_EQ(ha->api->WriteMsg(mh, 0, &x, reinterpret_cast<const byte*>("a\r"), 2, 2, 0, nullptr), 0);
  EXPECT_EQ(ha->api->WriteMsg(mh, 0, &x, reinterpret_cast<const byte*>("b\r"), 2, 2, 0, nullptr), 0);
  EXPECT_EQ(ha->api->CloseMsg(mh), 0);
  EXPECT_EQ(ha->num_msg, 2u);
  EXPECT_EQ(ha->api->CloseArea(ha), 0);
  EXPECT_EQ(zt::ReadFile(base_ + ".jdt"), "a\rb\r");
}

using JamMessageDeathTest = JamMessage;

TEST_F(JamMessageDeathTest, AppendIsACallerError) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  HAREA ha = Open();
  HMSG mh = ha->api->OpenMsg(ha, MO_CREATE, 0);
  XMSG x = zt::MakeXmsg();
  EXPECT_DEATH(ha->api->WriteMsg(mh, 1, &x, nullptr, 0, 0, 0, nullptr), "append == 0");
  ha->api->CloseMsg(mh);
  ha->api->CloseArea(ha);
}

}  // namespace
