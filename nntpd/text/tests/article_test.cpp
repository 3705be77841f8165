#include "article.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "jsonl.h"
#include "msgid.h"
#include "recode.h"
#include "testutil.h"

namespace nntpd {
namespace {

// Stored bytes as the back end shows them: through its 866 -> 1251 table.
std::string Shown(std::string_view stored) {
  std::string out;
  for (char c : stored) {
    const auto b = static_cast<unsigned char>(c);
    out += b >= 0x80 ? char(alt2win[b - 0x80]) : c;
  }
  return out;
}

std::vector<std::string> Lines(const std::string& s) {
  std::vector<std::string> out;
  std::size_t start = 0;
  for (std::size_t nl; (nl = s.find('\n', start)) != std::string::npos; start = nl + 1)
    out.push_back(s.substr(start, nl - start));
  if (start < s.size()) out.push_back(s.substr(start));
  return out;
}

std::string Flat(std::string s) {
  for (char& c : s)
    if (c == '\r' || c == '\n') c = ' ';
  return s;
}

void ExpectWellFormedHead(const Article& a, HeaderMode mode) {
  for (const auto& line : Lines(a.head())) {
    EXPECT_LE(line.size(), 998u) << line;
    if (mode == HeaderMode::Encoded) {
      for (char c : line) EXPECT_LT(static_cast<unsigned char>(c), 0x80) << line;
    }
  }
}

// Messages a third-party tosser stored in many charsets, read through the
// real back end: text, names and subjects come out as they were written, and
// the overview agrees with the article.
TEST(ForeignArticles, ReadAsWritten) {
  zt::TempDir dir;
  zt::CopyDir(zt::ForeignFixtures() + "/jam", dir.path());
  const auto expected = zt::ReadJsonLines(zt::ForeignFixtures() + "/expected_echo.jsonl");
  ASSERT_EQ(expected.size(), 40u);
  const std::string spec = std::string("#").append(dir / "jamtest");
  RenderOptions opt;
  opt.ibmpc = Charset::Cp437;  // the writer's meaning of "IBMPC" in these bases
  zt::Zandrel z;

  for (std::size_t i = 0; i < expected.size(); ++i) {
    const auto& e = expected[i];
    const std::string n = std::to_string(i + 1);
    SCOPED_TRACE("message " + n);
    z.Send("RETR " + spec + " " + n + "\n");
    const auto a = renderArticle(z.ReadReply(), "fido.test", {"not-for-mail", "fido.test", ""}, opt);
    ASSERT_TRUE(a);
    z.Send("HEAD " + spec + " x" + n + "\n");
    const auto o = convertOverview(z.ReadReply(), "fido.test", opt);
    ASSERT_TRUE(o);
    ExpectWellFormedHead(*a, opt.headers);
    EXPECT_EQ(o->messageId, a->messageId);
    EXPECT_EQ(a->field("Message-ID"), a->messageId);

    const std::string codec = e.at("codec").str;
    const auto& kludges = e.at("kludges").list;
    const bool chrs = std::any_of(kludges.begin(), kludges.end(),
                                  [](const std::string& k) { return k.rfind("CHRS:", 0) == 0; });
    Charset cs = Charset::Cp866;
    if (codec == "utf-8") cs = Charset::Utf8;
    if (codec == "latin-1") cs = Charset::Latin1;
    if (codec == "cp437") cs = Charset::Cp437;
    if (!chrs && codec == "cp437") continue;  // nothing says so: read as 866

    const std::string body = toUtf8(e.at("body").str, cs);
    EXPECT_NE(Flat(a->body).find(Flat(body)), std::string::npos) << a->body;
    const std::string subj = e.at("subj").str.empty() ? "none" : toUtf8(e.at("subj").str, cs);
    EXPECT_EQ(decodeHeaderText(*a->field("Subject")), subj);
    const std::string from = decodeHeaderText(*a->field("From"));
    EXPECT_EQ(from.substr(0, from.rfind(" <")), toUtf8(e.at("from").str, cs));
    if (cs == Charset::Cp866) {
      EXPECT_EQ(o->subject, a->field("Subject"));
      EXPECT_EQ(o->from, a->field("From"));
    }
  }
}

// An article as the back end prints it, in 1251 with CR LF line ends.
constexpr char RETR_1251[] =
    "From: \xC2\xE0\xF1\xFF \"\xCF\xF3\xEF\xEA\xE8\xED\" <..@p1.f52.n5020.z2.fidonet.org>\r\n"
    "Subject: \xCF\xF0\xE8\xE2\xE5\xF2 =?koi8-r?q?x?= \xE2\xF1\xE5\xEC\r\n"
    "Date: 07 Mar 2002 09:05:42 +0000\r\n"
    "Message-ID: \r\n"
    "References: <@zandrel.exe>\r\n"
    "X-Comment-To: All\r\n"
    "Lines: 3\r\n"
    "X-Kludge: TZUTC: 0300\r\n"
    "X-Kludge: PID: Tester\tv1\r\n"
    "X-Seen-By: 5020/52 53\r\n"
    "\r\n"
    "\xCF\xF0\xE8\xE2\xE5\xF2!\r\n"
    ".\r\n"
    "last line without end";

TEST(RenderArticle, HeadersAndBody) {
  for (HeaderMode mode : {HeaderMode::Encoded, HeaderMode::Utf8}) {
    SCOPED_TRACE(mode == HeaderMode::Encoded ? "encoded" : "utf-8");
    RenderOptions opt;
    opt.headers = mode;
    const auto a = renderArticle(RETR_1251, "fido.ru", {"", "fido.ru", "news fido.ru:7"}, opt);
    ASSERT_TRUE(a);
    ExpectWellFormedHead(*a, mode);
    const std::string from = *a->field("From");
    // Encoded-words carry the quotes of the name; raw, it is quoted.
    EXPECT_EQ(decodeHeaderText(from), mode == HeaderMode::Encoded
                                          ? "Вася \"Пупкин\" <\"..\"@p1.f52.n5020.z2.fidonet.org>"
                                          : "\"Вася \\\"Пупкин\\\"\" <\"..\"@p1.f52.n5020.z2.fidonet.org>")
        << from;
    // Text that only looks like an encoded-word is not taken for one.
    EXPECT_EQ(decodeHeaderText(*a->field("Subject")), "Привет =?koi8-r?q?x?= всем");
    EXPECT_EQ(a->field("Date"), "Thu, 07 Mar 2002 09:05:42 +0300");
    EXPECT_EQ(a->field("Newsgroups"), "fido.ru");
    EXPECT_EQ(a->field("Xref"), "news fido.ru:7");
    EXPECT_FALSE(a->field("Path"));
    EXPECT_FALSE(a->field("References"));  // an empty REPLY names nothing
    EXPECT_EQ(a->field("Content-Type"), "text/plain; charset=utf-8");
    EXPECT_EQ(a->field("X-Kludge"), "TZUTC: 0300");
    EXPECT_NE(a->head().find("X-Kludge: PID: Tester v1\n"), std::string::npos);
    EXPECT_EQ(a->field("X-Seen-By"), "5020/52 53");
    EXPECT_EQ(a->body, "Привет!\n.\nlast line without end\n");
    EXPECT_EQ(a->text(), a->head() + "\n" + a->body);
  }
}

TEST(RenderArticle, MessageWithoutMsgidGetsTheIdOfItsOverview) {
  const auto a = renderArticle(RETR_1251, "fido.ru", {}, {});
  ASSERT_TRUE(a);
  EXPECT_EQ(a->messageId.find("<"), 0u);
  EXPECT_NE(a->messageId.find("@nomsgid.invalid>"), std::string::npos);
  const std::string over =
      "12\t\xCF\xF0\xE8\xE2\xE5\xF2 =?koi8-r?q?x?= \xE2\xF1\xE5\xEC\t"
      "\xC2\xE0\xF1\xFF \"\xCF\xF3\xEF\xEA\xE8\xED\" <..@p1.f52.n5020.z2.fidonet.org>\t"
      "07 Mar 02 09:05:42\t\t<@zandrel.exe>\t120\t3\t\t";
  const auto o = convertOverview(over, "fido.ru", {});
  ASSERT_TRUE(o);
  EXPECT_EQ(o->messageId, a->messageId);
  EXPECT_EQ(o->number, 12u);
  EXPECT_EQ(o->bytes, 120u);
  EXPECT_EQ(o->lines, 3u);
  EXPECT_EQ(o->references, "");
  EXPECT_EQ(o->subject, a->field("Subject"));
  EXPECT_EQ(o->from, a->field("From"));
  // The same message in another group is another article.
  EXPECT_NE(convertOverview(over, "fido.su", {})->messageId, a->messageId);
  EXPECT_FALSE(convertOverview("12\tsubject\tfrom", "fido.ru", {}));
  EXPECT_FALSE(convertOverview("x\t\t\t\t\t\t\t\t\t", "fido.ru", {}));
}

// The stored bytes of messages in other charsets come back from behind the
// back end's fixed table.
TEST(RenderArticle, CharsetOfTheMessage) {
  struct Case {
    const char* name;
    std::string kludge;  // "" for none
    std::string stored;
    std::string body;
  } cases[] = {
      {"utf-8 named", "CHRS: UTF-8 4", "Caf\xC3\xA9 \xD0\xB9\xCC\x81 \xF0\x9F\x98\x80",
       "Café й́ 😀"},
      {"utf-8 broken", "CHRS: UTF-8 4", "a\xC3(b\xE2\x82", "a\uFFFD(b\uFFFD"},
      {"utf-8 unnamed", "", "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82", "Привет"},
      {"866 unnamed", "", "\x8F\xE0\xA8\xA2\xA5\xE2 \xF1\xAB\xAA\xA0 \xCC\xCD\xB9", "Привет ёлка ╠═╣"},
      {"koi8-r", "CHRS: KOI8-R 2", "\xD0\xD2\xC9\xD7\xC5\xD4 \xCC\xC5\xD3", "привет лес"},
      {"latin-1", "CHRS: LATIN-1 2", "Gru\xDF Gott, se\xF1or", "Gruß Gott, señor"},
      {"ibmpc", "CHRS: IBMPC 2", "\x8F\xE0\xA8\xA2\xA5\xE2", "Привет"},
      {"ascii named", "CHRS: ASCII 1", "\x8F\xE0\xA8\xA2\xA5\xE2", "Привет"},
      {"unknown", "CHRS: MAC 2", "\x8F\xE0\xA8\xA2\xA5\xE2", "Привет"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string retr = "From: Sysop <Sysop@f52.n5020.z2.fidonet.org>\nSubject: t\n"
                       "Date: 07 Mar 2002 09:05:42 +0000\nMessage-ID: <1@zandrel.exe>\n";
    if (!c.kludge.empty()) retr += "X-Kludge: " + Shown(c.kludge) + "\n";
    retr.append("\n").append(Shown(c.stored)).append("\n");
    const auto a = renderArticle(retr, "g", {}, {});
    ASSERT_TRUE(a);
    EXPECT_EQ(a->body, c.body + "\n");
  }
}

TEST(RenderArticle, DamagedReplies) {
  EXPECT_FALSE(renderArticle("", "g", {}, {}));
  EXPECT_FALSE(renderArticle("\nbody only\n", "g", {}, {}));
  // A damaged control block ends the article after the kludges read so far.
  const auto a = renderArticle("From: A <A@f1.n2.z3.fidonet.org>\nSubject: s\nX-Kludge: PID: x\n",
                               "g", {}, {});
  ASSERT_TRUE(a);
  EXPECT_EQ(a->body, "");
  EXPECT_EQ(a->field("X-Kludge"), "PID: x");
  // A line end inside a kludge does not make a header line of its own.
  const auto b = renderArticle("Subject: s\nX-Kludge: A\nPATH: 1\n\n", "g", {}, {});
  ASSERT_TRUE(b);
  EXPECT_EQ(b->field("X-Kludge"), "A PATH: 1");
}

TEST(RenderArticle, LongLinesStayWithinTheLimits) {
  const std::string word(3000, 'x');
  const std::string cyr(400, '\xE6');  // 400 times "ж": 800 octets of UTF-8
  // A date and a line count the back end did not print (a damaged reply)
  // pass, but not whole.
  const auto a = renderArticle("Subject: " + cyr + " " + word + "\nDate: " + word +
                                   "\nX-Kludge: " + word + "\nLines: " + word + "\n\n" + word +
                                   "\n" + cyr + cyr + "\n",
                               "g", {}, {});
  ASSERT_TRUE(a);
  ExpectWellFormedHead(*a, HeaderMode::Encoded);
  EXPECT_EQ(decodeHeaderText(*a->field("X-Kludge")), word);
  EXPECT_EQ(decodeHeaderText(*a->field("Subject")), toUtf8(cyr, Charset::Cp1251) + " " + word);
  for (const auto& line : Lines(a->body)) EXPECT_LE(line.size(), 998u);
  std::string joined;
  for (const auto& line : Lines(a->body)) joined += line;
  EXPECT_EQ(joined, word + toUtf8(cyr + cyr, Charset::Cp1251));
}

TEST(Rfc5322Date, Forms) {
  struct Case {
    const char* in;
    const char* out;  // nullptr: not a date
  } cases[] = {
      {"07 Mar 02 09:05:42", "Thu, 07 Mar 2002 09:05:42 +0000"},
      {"07 Mar 2002 09:05:42 +0000", "Thu, 07 Mar 2002 09:05:42 +0000"},
      {"01 Jan 00 00:00:00", "Sat, 01 Jan 2000 00:00:00 +0000"},
      {"31 Dec 80 23:59:58", "Wed, 31 Dec 1980 23:59:58 +0000"},
      {"29 Feb 2024 12:00:00 -0500", "Thu, 29 Feb 2024 12:00:00 -0500"},
      // A damaged stamp: every field brought into range.
      {"31 Feb 01 25:63:62", "Wed, 28 Feb 2001 23:59:59 +0000"},
      {"00 Jan 2107 00:00:00 +0000", "Sat, 01 Jan 2107 00:00:00 +0000"},
      {"07 Foo 02 09:05:42", nullptr},
      {"07 Mar 2002 09:05:42", nullptr},
      // A zone of anything but digits would carry its bytes into the header.
      {"07 Mar 2002 09:05:42 +\x01\x02\r\n", nullptr},
      {"07 Mar 2002 09:05:42 -03x0", nullptr},
      {"07 Mar 02 09:05", nullptr},
      {"", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    const auto d = rfc5322Date(c.in);
    if (c.out)
      EXPECT_EQ(d, c.out);
    else
      EXPECT_FALSE(d);
  }
}

}  // namespace
}  // namespace nntpd
