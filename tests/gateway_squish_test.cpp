// The gateway commands end to end over Squish areas: the real binary on one
// side, the base files on the other.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "gwfixture.h"
#include "squish_util.h"
#include "testutil.h"

using zt::Crlf;
using zt::RunZandrel;

namespace {

const std::string kNul(1, '\0');

// An address with all four parts, for comparing stored headers.
std::string ftnAddrOf(const NETADDR& a) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%u:%u/%u.%u", unsigned(a.zone), unsigned(a.net),
                unsigned(a.node), unsigned(a.point));
  return buf;
}

class GatewaySquish : public zt::SquishTest {
 protected:
  std::string Spec() const { return std::string("$") += base_; }

  dword Store(const XMSG& hdr, const std::string& ctrl, const std::string& text) {
    return zt::StoreMessage(base_, AT_SQUISH | AT_ECHO, hdr, ctrl, text);
  }
  // From Node Keeper at 2:5020/52.1, written 7 March 2002 09:05:42.
  dword StoreText(const std::string& ctrl, const std::string& text,
                  const std::string& subj = "Test") {
    return Store(zt::MakeHeader("Node Keeper", "All", subj, {2, 5020, 52, 1}, {2002, 3, 7, 9, 5, 42}),
                 ctrl, text);
  }
  // The reply of one HEAD or RETR as the front end gets it, without its NUL.
  std::string Ask(const std::string& command) {
    auto r = RunZandrel(command + "\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.empty() ? 'x' : r.out.back(), '\0') << command;
    return r.out.substr(0, r.out.size() - 1);
  }
  std::string Retr(dword n) { return Ask("RETR " + Spec() + " " + std::to_string(n)); }
  // What follows the Lines header: kludge headers, the empty line, the body.
  std::string AfterLines(dword n) {
    std::string a = Retr(n);
    std::size_t lines = a.find("\r\nLines: ");
    return lines == std::string::npos ? "?" : a.substr(a.find("\r\n", lines + 2) + 2);
  }
  zt::ReadBack Load(dword n) {
    HAREA ha = Open(AOPEN_EXISTING);
    if (!ha) return {};
    zt::ReadBack rb = zt::ReadMsgAll(ha, n);
    EXPECT_EQ(ha->api->CloseArea(ha), 0);
    return rb;
  }
  // The stored bytes of a header field of message n: msglib cuts the last
  // byte when it reads, so look at the frame itself.
  std::string RawField(dword n, std::size_t offset, std::size_t size) {
    return zt::ReadFile(sqd_).substr(Frames().at(n - 1) + SQHDR_SIZE + offset, size);
  }
};

// ---------------------------------------------------------------------------
// STAT and HEAD

TEST_F(GatewaySquish, StatLineIsAnActiveFileLine) {
  for (int i = 0; i < 3; ++i) StoreText("", "x\r");
  EXPECT_EQ(RunZandrel("STAT " + Spec() + " fido.test\n").out, "fido.test 3 1 y\r\n");
  // Without the prefix the same path is a *.MSG directory that is not there.
  EXPECT_EQ(RunZandrel("STAT " + base_ + " fido.test\n").out, "");
}

TEST_F(GatewaySquish, OverviewLinesFieldByField) {
  const std::string text = "Hello\rSecond line\r--- \r * Origin: Home (2:5020/52.1)\r";
  StoreText("\x01MSGID: 2:5020/52.1 1a2b3c4d\x01PID: X\x01REPLY: 2:5020/1 deadbeef", text);
  // No subject, no kludges, no line end; year 2000, seconds 59.
  Store(zt::MakeHeader("A", "B", "", {1, 2, 3, 0}, {2000, 12, 31, 23, 59, 59}), "", "no CR");
  // Full fields without a NUL, control characters and 866 letters in the
  // subject, a month no calendar has, a NUL inside the text.
  XMSG x = zt::MakeHeader(std::string(36, 'F'), std::string(36, 'T'),
                          "\x80\xe0\tsubject" + std::string(80, 's'), {1, 2, 3, 0},
                          {2010, 1, 2, 3, 4, 6});
  x.date_written.msg_st.date.mo = 13;
  Store(x, "", std::string("a\rb\0c\r", 6));

  EXPECT_EQ(Ask("HEAD " + Spec() + " x1 2 3"),
            Crlf("1\tTest\tNode Keeper <Node.Keeper@p1.f52.n5020.z2.fidonet.org>\t"
                 "07 Mar 02 09:05:42\t<2$3a5020$2f52$2e1$201a2b3c4d@zandrel.exe>\t"
                 "<2$3a5020$2f1$20deadbeef@zandrel.exe>\t" + std::to_string(text.size()) +
                 "\t4\t\t\n"
                 "2\tnone\tA <A@f3.n2.z1.fidonet.org>\t31 Dec 00 23:59:58\t\t\t5\t0\t\t\n"
                 "3\t\xc0\xf0 subject" + std::string(61, 's') + "\t" + std::string(35, 'F') +
                 " <" + std::string(35, 'F') + "@f3.n2.z1.fidonet.org>\t02 Jan 10 03:04:06\t\t\t6\t1\t\t\n"));
}

TEST_F(GatewaySquish, MessageListsReadLikeTheFrontEndWritesThem) {
  for (int i = 0; i < 13; ++i) StoreText("", "x\r");
  auto numbers = [&](const std::string& list) {
    std::string got, reply = Ask("HEAD " + Spec() + " " + list);
    for (std::size_t p = 0, eol; (eol = reply.find('\n', p)) != std::string::npos; p = eol + 1)
      got += reply.substr(p, reply.find('\t', p) - p) + ",";
    return got;
  };
  struct Case {
    const char* list;
    const char* want;
  } cases[] = {
      {"x12 13", "12,13,"},
      {"12 13", "2,13,"},    // no filler: the first digit is skipped
      {"x1  2", "1,2,2,"},   // each space starts a number
      {"x 4", "4,4,"},       // so does the space right after the filler
      {"x1\t2 3", "1,3,"},   // a tab ends a number but starts none
      {"x5 ", "5,"},         // the trailing space adds number 0: no such message
      {"x3x 7y", "3,7,"},
      {"x-1 +2 0 14 99999999999 4294967295 4294967293", ""},
      {"x", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.list);
    EXPECT_EQ(numbers(c.list), c.want);
  }
  EXPECT_EQ(Ask("HEAD " + Spec() + " "), "");
  EXPECT_EQ(Ask("HEAD " + Spec()), "");
}

// ---------------------------------------------------------------------------
// RETR

TEST_F(GatewaySquish, WholeArticleByteForByte) {
  const std::string longLine = "Lorem ips " + std::string(39, 'a') + " " + std::string(34, 'b') +
                               " " + std::string(15, 'c');  // 100, spaces at 6, 10, 50, 85
  const std::string text = "Hello, All!\r" + longLine + "\r\x80\x81\x82\xa0 \xef\xf0\xf1\r" +
                           std::string(100, 'n') + "\r--- zandrel\r" +
                           " * Origin: Home (2:5020/52.1)\r"
                           "SEEN-BY: 5020/52 53\r"
                           "\x01PATH: 5020/52 \x8e\r";
  StoreText("\x01MSGID: 2:5020/52.1 1a2b3c4d\x01REPLY: 2:5020/1 deadbeef\x01PID: T\x9f 1.0",
            text, "Test \xa1\xa2");
  EXPECT_EQ(Retr(1),
            Crlf("From: Node Keeper <Node.Keeper@p1.f52.n5020.z2.fidonet.org>\n"
                 "Subject: Test \xe1\xe2\n"
                 "Date: 07 Mar 2002 09:05:42 +0000\n"
                 "Message-ID: <2$3a5020$2f52$2e1$201a2b3c4d@zandrel.exe>\n"
                 "References: <2$3a5020$2f1$20deadbeef@zandrel.exe>\n"
                 "X-Comment-To: All\n"
                 "Lines: 8\n"
                 "X-Kludge: MSGID: 2:5020/52.1 1a2b3c4d\n"
                 "X-Kludge: REPLY: 2:5020/1 deadbeef\n"
                 "X-Kludge: PID: T\xdf 1.0\n"
                 "X-Seen-By: 5020/52 53\n"
                 "X-Kludge: PATH: 5020/52 \xce\n"
                 "\n"
                 "Hello, All!\n"
                 "Lorem ips " + std::string(39, 'a') + "\n" + std::string(34, 'b') + " " +
                 std::string(15, 'c') + "\n"
                 "\xc0\xc1\xc2\xe0 \xff\xb0\xb8\n" +
                 std::string(100, 'n') + "\n"
                 "--- zandrel\n"
                 " * Origin: Home (2:5020/52.1)\n"));
}

TEST_F(GatewaySquish, SenderFromMsgidThenOriginThenHeader) {
  const std::string origin = "Hi\r * Origin: Somewhere (2:5020/77)\r";
  StoreText("\x01MSGID: 2:5020/52.2 00000001", origin);
  StoreText("\x01MSGID: 2:5020/52.2", origin);    // no serial: not an address
  StoreText("", "Hi * Origin: x (2:5020/77)\r");  // not at a line start
  const char* want[] = {"p2.f52", "f77", "p1.f52"};
  for (dword n = 1; n <= 3; ++n) {
    SCOPED_TRACE(n);
    std::string article = Retr(n);
    EXPECT_EQ(article.substr(0, article.find("\r\n")),
              std::string("From: Node Keeper <Node.Keeper@") + want[n - 1] + ".n5020.z2.fidonet.org>");
  }
}

TEST_F(GatewaySquish, TextEdgeCases) {
  struct Case {
    const char* name;
    std::string text;
    std::string headers;  // after Lines:, before the empty line
    std::string body;
  } cases[] = {
      {"no final CR", "one\rtwo", "", "one\ntwo"},
      {"kludge last without CR", "one\r\x01PATH: 1/1", "X-Kludge: PATH: 1/1\n", "one\n"},
      {"seen-by last without CR", "one\rSEEN-BY: 1/1", "X-Seen-By: 1/1\n", "one\n"},
      {"bare SEEN-BY swallows the next line", "SEEN-BY:\rSEEN-BY: 5020/52\rtail\r",
       "X-Seen-By: SEEN-BY: 5020/52\n", "tail\n"},
      {"short SEEN-BY at the end", "a\rSEEN-BY:", "X-Seen-By: \n", "a\n"},
      {"seen-by is case-sensitive", "Seen-by: 1/1\r", "", "Seen-by: 1/1\n"},
      {"seen-by stays unconverted", "SEEN-BY: \x80\r", "X-Seen-By: \x80\n", ""},
      {"NULs become spaces", std::string("a\0b\r\x01K\0V\rSEEN-BY: 1\0002\r", 22),
       "X-Kludge: K V\nX-Seen-By: 1 2\n", "a b\n"},
      {"lone LF is body text", "a\nb\r", "", "a\nb\n"},
      {"no space: no wrap", std::string(100, 'w') + " x\r", "", std::string(100, 'w') + "\nx\n"},
      {"empty text", "", "", ""},
  };
  for (const auto& c : cases) StoreText("", c.text);
  dword n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(AfterLines(++n), Crlf(c.headers + "\n" + c.body));
  }
}

TEST_F(GatewaySquish, ControlBlockEdgeCases) {
  StoreText(std::string("\x01MSGID: 1:1/1 1\x01PID: X\0", 23), "body\r");  // NUL counted
  StoreText("", "body\r");
  // Not starting with SOH: the article ends after the headers.
  StoreText("PID: X\x01MSGID: 1:1/1 1", "body\r");
  StoreText(std::string("\x01PID: X\0junk", 12), "body\r");  // the walk ends at a NUL

  EXPECT_EQ(AfterLines(1), Crlf("X-Kludge: MSGID: 1:1/1 1\nX-Kludge: PID: X\n\nbody\n"));
  EXPECT_EQ(AfterLines(2), Crlf("\nbody\n"));
  EXPECT_EQ(AfterLines(3), "");
  EXPECT_NE(Retr(3).find("\r\nMessage-ID: \r\n"), std::string::npos);
  EXPECT_EQ(AfterLines(4), Crlf("X-Kludge: PID: X\n\nbody\n"));
}

TEST_F(GatewaySquish, DateZoneFromTzutcInEveryFormat) {
  const XMSG x = zt::MakeHeader("A", "B", "S", {2, 5020, 52, 0}, {2002, 3, 7, 9, 5, 42});
  const std::string area = dir_ / "zone";
  for (auto [prefix, type] : {std::pair{'$', AT_SQUISH}, {'#', AT_JAM}, {'@', AT_SDM}}) {
    SCOPED_TRACE(prefix);
    const std::string path = area + prefix;  // one area per format
    const dword first = zt::StoreMessage(path, word(type | AT_ECHO), x, "\x01TZUTC: -0500", "x\r");
    const dword second = zt::StoreMessage(path, word(type | AT_ECHO), x, "\x01TZUTC: 5:00", "x\r");
    ASSERT_TRUE(first && second);
    auto r = RunZandrel("RETR " + (prefix + path) + " " + std::to_string(first) + "\n" + "RETR " +
                        (prefix + path) + " " + std::to_string(second) + "\n");
    EXPECT_NE(r.out.find("Date: 07 Mar 2002 09:05:42 -0500\r\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Date: 07 Mar 2002 09:05:42 +0000\r\n"), std::string::npos) << r.out;
  }
}

TEST_F(GatewaySquish, OptionalHeaderValues) {
  XMSG x = zt::MakeHeader("\x80\x81", "", "", {2, 5020, 52, 0}, {2107, 1, 1, 0, 0, 0});
  x.date_written.msg_st.date.mo = 0;
  Store(x, "", "");
  EXPECT_EQ(Retr(1), Crlf("From: \xc0\xc1 <AB@f52.n5020.z2.fidonet.org>\n"
                          "Subject: none\n"
                          "Date: 01 Jan 2107 00:00:00 +0000\n"
                          "Message-ID: \n"
                          "X-Comment-To: \n"
                          "Lines: 0\n"
                          "\n"));
}

TEST_F(GatewaySquish, MissingMessagesAndAreasGiveEmptyReplies) {
  StoreText("", "x\r");
  for (const std::string& args :
       {Spec() + " 2", Spec() + " 0", Spec() + " -1", Spec() + " 4294967295", Spec() + " ",
        Spec(), base_ + " 1", std::string("")}) {
    SCOPED_TRACE(args);
    EXPECT_EQ(Ask("RETR " + args), "");
  }
  EXPECT_NE(Ask("RETR " + Spec() + "  1"), "");  // leading blanks are skipped
}

// ---------------------------------------------------------------------------
// POST

TEST_F(GatewaySquish, PostCreatesTheAreaAndStoresExactly) {
  const std::string from40 = std::string(20, 'F') + std::string(20, 'G');
  const std::time_t before = std::time(nullptr);
  auto r = RunZandrel(zt::PostInput(Spec(), "2:5020/52.1", "2:5020/1", "2:5020/1 0badcafe",
                                    from40, "Ivan \xcf\xe5\xf2\xf0\xee\xe2\r\r",
                                    "Re: \xcf\xd0\xc8\xc2\xc5\xd2 \xcd",
                                    "Line one\r\n\xef\xf0\xe8\xe2\xe5\xf2\nno end") +
                      "STAT " + Spec() + " g\n");
  const std::time_t after = std::time(nullptr);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "g 1 1 y\r\n");  // POST itself answers nothing

  zt::ReadBack m = Load(1);
  ASSERT_TRUE(m.ok);
  EXPECT_EQ(RawField(1, 4, 36), from40.substr(0, 36));  // no NUL in the field
  EXPECT_EQ(std::string(reinterpret_cast<char*>(m.hdr.to)), "Ivan \x8f\xa5\xe2\xe0\xae\xa2");
  EXPECT_EQ(std::string(reinterpret_cast<char*>(m.hdr.subj)), "Re: \x8f\x90\x88\x82\x85\x92 H");
  EXPECT_EQ(m.hdr.attr, MSGLOCAL);
  EXPECT_EQ(ftnAddrOf(m.hdr.orig), "2:5020/52.1");
  EXPECT_EQ(ftnAddrOf(m.hdr.dest), "2:5020/1.0");
  EXPECT_EQ(m.text, "Line one\r\xaf\xe0\xa8\xa2\xa5\xe2\rno end");

  // The MSGID serial is the posting time; both dates are its local time.
  const std::string head = "\x01PID: zandrel-1.2\x01MSGID: 2:5020/52.1 ";
  const std::string reply = "\x01REPLY: 2:5020/1 0badcafe";
  ASSERT_EQ(m.ctrl.size(), head.size() + 8 + reply.size()) << m.ctrl;
  EXPECT_EQ(m.ctrl.substr(0, head.size()), head);
  EXPECT_EQ(m.ctrl.substr(head.size() + 8), reply);
  const std::time_t t = std::time_t(std::strtoul(m.ctrl.substr(head.size(), 8).c_str(), nullptr, 16));
  EXPECT_GE(t, before);
  EXPECT_LE(t, after);
  const std::tm lt = *std::localtime(&t);
  XMSG want = zt::MakeHeader("", "", "", {}, {lt.tm_year + 1900, lt.tm_mon + 1, lt.tm_mday,
                                               lt.tm_hour, lt.tm_min, lt.tm_sec});
  EXPECT_EQ(m.hdr.date_written.ldate, want.date_written.ldate);
  EXPECT_EQ(m.hdr.date_arrived.ldate, want.date_written.ldate);
  char ftsc[20];
  std::strftime(ftsc, sizeof ftsc, "%d %b %y  %H:%M:%S", &lt);
  EXPECT_STREQ(reinterpret_cast<char*>(m.hdr.__ftsc_date), ftsc);
}

TEST_F(GatewaySquish, PostVariants) {
  auto r = RunZandrel(
      // No reply line, no text, a destination that does not parse.
      zt::PostInput(Spec(), "2:5020/52", "bad", "", "A", "B", "S", "") +
      // An origin that stops parsing keeps what it had: zone 2.
      zt::PostInput(Spec(), "2:50x", "1:2/3", "", "A", "B", "", "x\n") +
      // A reply too long for the control block, and over-long fields.
      zt::PostInput(Spec(), "1:1/1", "1:1/1", std::string(8180, 'r'), "A", "B",
                    std::string(100, 's'), "t"));
  EXPECT_EQ(r.out, "");

  zt::ReadBack m = Load(1);
  ASSERT_TRUE(m.ok);
  EXPECT_EQ(m.text, "");
  EXPECT_EQ(m.ctrl.substr(0, 35), "\x01PID: zandrel-1.2\x01MSGID: 2:5020/52 ");
  EXPECT_EQ(m.ctrl.size(), 43u);  // eight hex digits and no REPLY
  EXPECT_EQ(ftnAddrOf(m.hdr.dest), "0:0/0.0");

  m = Load(2);
  ASSERT_TRUE(m.ok);
  EXPECT_EQ(m.text, "x\r");
  EXPECT_EQ(m.ctrl.substr(0, 31), "\x01PID: zandrel-1.2\x01MSGID: 2:0/0 ");
  EXPECT_EQ(ftnAddrOf(m.hdr.dest), "1:2/3.0");

  m = Load(3);
  ASSERT_TRUE(m.ok);
  EXPECT_EQ(m.ctrl.size(), 8191u);  // cut to stay within 8192 bytes with its NUL
  EXPECT_EQ(m.ctrl.substr(m.ctrl.size() - 5), "rrrrr");
  EXPECT_EQ(RawField(3, 76, 72), std::string(72, 's'));
}

TEST_F(GatewaySquish, FailedPostsKeepTheStreamInStep) {
  // The article's text holds what would be commands; they must be consumed.
  const std::string unreachable = "$" + (dir_ / "missing/dir/area");
  auto r = RunZandrel(zt::PostInput(unreachable, "1:1/1", "1:1/1", "", "EXIT", "EXIT", "EXIT",
                                    "EXIT\r\nHEAD x\r\n") +
                      "BOGUS\n");
  EXPECT_EQ(r.out, kNul);
  EXPECT_FALSE(zt::Exists(dir_ / "missing"));

  // Lines too short to carry a length consume nothing.
  for (const std::string& line : {std::string("POST"), std::string("POST "), "POST " + Spec(),
                                   "POST " + Spec() + " 1:1/1", "POST " + Spec() + " 1:1/1 1:1/1"}) {
    SCOPED_TRACE(line);
    EXPECT_EQ(RunZandrel(line + "\nBOGUS\n").out, kNul);
  }
  EXPECT_FALSE(zt::Exists(sqd_));
}

TEST_F(GatewaySquish, PostCutShortStoresNothing) {
  const std::string full = zt::PostInput(Spec(), "1:1/1", "1:1/1", "", "A", "B", "S", "0123456789");
  for (std::size_t cut : {full.size() - 1, full.find("\nS\n") + 1, full.find('\n') + 1}) {
    SCOPED_TRACE(cut);
    auto r = RunZandrel(full.substr(0, cut));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
  }
  // A length far beyond the input reads to the end and stores nothing.
  RunZandrel("POST " + Spec() + " 1:1/1 1:1/1 99999999999\n\nA\nB\nS\nsome text\n");
  EXPECT_FALSE(zt::Exists(sqd_));
}

}  // namespace
