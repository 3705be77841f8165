// What readers send, cut up: command words, article ranges, message-ids,
// wildmats and the dates of NEWGROUPS and NEWNEWS.
#include <gtest/gtest.h>

#include "command.h"
#include "dates.h"
#include "wildmat.h"

namespace nntpd {
namespace {

TEST(Command, WordsSplitAtBlanksAndNameUpperCased) {
  auto w = splitWords("  xover\t1-10  ");
  ASSERT_EQ(w.size(), 2u);
  EXPECT_EQ(upper(w[0]), "XOVER");
  EXPECT_EQ(w[1], "1-10");
  EXPECT_TRUE(splitWords(" \t ").empty());
}

TEST(Command, ParsedByNameAndArgumentCount) {
  using S = ParsedCommand::Status;
  EXPECT_EQ(parseCommand(" \t").status, S::Empty);
  EXPECT_EQ(parseCommand("FROBNICATE").status, S::Unknown);
  EXPECT_EQ(parseCommand("GROUP").status, S::Syntax);
  EXPECT_EQ(parseCommand("GROUP a b").status, S::Syntax);
  auto c = parseCommand("xover 1-10");
  EXPECT_EQ(c.status, S::Ok);
  EXPECT_EQ(c.verb, Verb::Xover);
  EXPECT_EQ(c.args, std::vector<std::string_view>{"1-10"});
  // A password keeps its blanks.
  c = parseCommand("AUTHINFO PASS  two words ");
  EXPECT_EQ(c.status, S::Ok);
  EXPECT_EQ(c.args, (std::vector<std::string_view>{"PASS", " two words "}));
  EXPECT_EQ(parseCommand("AUTHINFO USER").status, S::Syntax);
}

TEST(Command, OverlongLinesAreDroppedWholeAndTheStreamStaysInStep) {
  LineBuffer in;
  std::string line;
  const std::string longLine(600, 'X');
  std::string bytes = "DATE\r\n" + longLine + "\r\nHELP\n" + std::string(510, 'Y') + "\r\n";
  // Fed in small pieces, as a slow client sends them.
  using G = LineBuffer::Got;
  std::vector<std::pair<G, std::string>> got;
  for (std::size_t i = 0; i < bytes.size(); i += 7) {
    in.append(bytes.data() + i, std::min<std::size_t>(7, bytes.size() - i));
    for (G g; (g = in.next(line, MAX_COMMAND_LINE)) != G::More;)
      got.emplace_back(g, g == G::Line ? line : "");
    EXPECT_LE(in.size(), MAX_COMMAND_LINE + 7);
  }
  EXPECT_EQ(got, (std::vector<std::pair<G, std::string>>{
                     {G::Line, "DATE"}, {G::TooLong, ""}, {G::Line, "HELP"},
                     {G::Line, std::string(510, 'Y')}}));  // 512 with its CR LF
  EXPECT_FALSE(in.partial());
}

TEST(Command, Ranges) {
  struct Case {
    const char* text;
    bool ok;
    std::int64_t first, last;
  } cases[] = {
      {"5", true, 5, 5},
      {"5-", true, 5, INT64_MAX},
      {"5-9", true, 5, 9},
      {"9-5", true, 9, 5},  // valid, and empty
      {"0", true, 0, 0},
      {"-5", false, 0, 0},
      {"5--9", false, 0, 0},
      {"5-9x", false, 0, 0},
      {"", false, 0, 0},
      {"+5", false, 0, 0},
      {"99999999999999999999", false, 0, 0},  // past 2^63
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    auto r = parseRange(c.text);
    ASSERT_EQ(r.has_value(), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(r->first, c.first);
    EXPECT_EQ(r->last, c.last);
  }
}

TEST(Command, MessageIds) {
  EXPECT_TRUE(isMessageId("<2$3a5020$2f52$20abcd@zandrel.exe>"));
  EXPECT_TRUE(isMessageId("<a@b>"));
  EXPECT_FALSE(isMessageId("<>"));
  EXPECT_FALSE(isMessageId("a@b"));
  EXPECT_FALSE(isMessageId("<a b@c>"));
  EXPECT_FALSE(isMessageId("<a\x01@c>"));
  EXPECT_FALSE(isMessageId("<" + std::string(250, 'a') + ">"));
}

TEST(Wildmat, PatternsListsAndNegation) {
  struct Case {
    const char* wildmat;
    const char* group;
    bool match;
  } cases[] = {
      {"*", "fido.ru.linux", true},
      {"fido.*", "fido.ru.linux", true},
      {"fido.*", "alt.fido", false},
      {"fido.ru.?inux", "fido.ru.linux", true},
      {"fido.ru.?inux", "fido.ru.inux", false},
      {"*linux", "fido.ru.linux", true},
      {"*.*.*", "a.b", false},
      {"fido.*,!fido.ru.*", "fido.ru.linux", false},  // the last match decides
      {"!fido.ru.*,fido.*", "fido.ru.linux", true},
      {"!fido.*", "fido.ru.linux", false},            // nothing matches positively
      {"fido.[a-r]u.*", "fido.ru.linux", true},
      {"fido.[^r]u.*", "fido.ru.linux", false},
      {"fido.\\*", "fido.*", true},
      {"fido.\\*", "fido.x", false},
      {"fido.[ru", "fido.[ru", true},  // an open class is a literal '['
      {"", "fido", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.wildmat) + " ~ " + c.group);
    EXPECT_EQ(wildmatMatch(c.wildmat, c.group), c.match);
  }
  // Many stars against a long name fail quickly rather than explode.
  EXPECT_FALSE(wildmatMatch("*a*a*a*a*a*a*a*a*b", std::string(200, 'a')));
}

TEST(Dates, NewnewsArguments) {
  const std::time_t now = 1767225600;  // 1 Jan 2026 00:00:00 UTC
  EXPECT_EQ(parseNewsDate("20251231", "235959", true, now), now - 1);
  EXPECT_EQ(parseNewsDate("251231", "235959", true, now), now - 1);
  // Two-digit years past this year's are last century's.
  EXPECT_EQ(parseNewsDate("991231", "000000", true, now), parseNewsDate("19991231", "000000", true, now));
  EXPECT_EQ(parseNewsDate("260101", "000000", true, now), now);
  for (auto [d, t] : {std::pair{"2025123", "000000"}, {"20251301", "000000"},
                      {"20251231", "240000"}, {"2025123x", "000000"}, {"20251231", "0000"}}) {
    SCOPED_TRACE(std::string(d) + " " + t);
    EXPECT_FALSE(parseNewsDate(d, t, true, now));
  }
}

TEST(Dates, ArticleDatesAndDateReply) {
  EXPECT_EQ(parseRfc5322Date("Thu, 01 Jan 2026 00:00:00 +0000"), 1767225600);
  EXPECT_EQ(parseRfc5322Date("01 Jan 2026 03:00:00 +0300"), 1767225600);
  EXPECT_FALSE(parseRfc5322Date("Thu, 01 Foo 2026 00:00:00 +0000"));
  EXPECT_FALSE(parseRfc5322Date(""));
  EXPECT_EQ(nntpDate(1767225600), "20260101000000");
}

}  // namespace
}  // namespace nntpd
