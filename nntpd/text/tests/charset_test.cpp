#include "charset.h"

#include <gtest/gtest.h>

#include "recode.h"

namespace nntpd {
namespace {

// Every stored byte the back end's table keeps apart comes back as itself.
TEST(BackendText, UndoesTheBackEndsTable) {
  for (int b = 0x80; b <= 0xFF; ++b) {
    const char shown = char(alt2win[b - 0x80]);
    if (static_cast<unsigned char>(shown) < 0x80) continue;  // folded into '+' or ' '
    SCOPED_TRACE(b);
    const std::string stored(1, char(b));
    if (b == 0xCC) {  // shown like 0xF1; a line drawing beside it decides
      EXPECT_EQ(backendToUtf8(std::string(1, shown) + char(alt2win[0xCD - 0x80]), Charset::Cp866),
                "╠═");
      continue;
    }
    EXPECT_EQ(backendToUtf8(std::string(1, shown), Charset::Cp866), toUtf8(stored, Charset::Cp866));
    EXPECT_EQ(backendToUtf8(std::string(1, shown), Charset::Latin1), toUtf8(stored, Charset::Latin1));
  }
}

TEST(Utf8, BrokenSequencesBecomeReplacements) {
  struct Case {
    std::string in, out;
    bool valid;
  } cases[] = {
      {"plain", "plain", true},
      {"\xD0\x96\xE2\x82\xAC\xF0\x9F\x98\x80", "Ж€😀", true},
      {"\xEF\xBF\xBD", "\uFFFD", true},
      {"a\xC3(b", "a\uFFFD(b", false},
      {"\xC0\xAF", "\uFFFD\uFFFD", false},               // overlong
      {"\xED\xA0\x80", "\uFFFD\uFFFD\uFFFD", false},     // surrogate
      {"\xF4\x90\x80\x80", "\uFFFD\uFFFD\uFFFD\uFFFD", false},  // above U+10FFFF
      {"\xE2\x82", "\uFFFD", false},                     // cut at the end
      {"\xFF", "\uFFFD", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(toUtf8(c.in, Charset::Utf8), c.out);
    EXPECT_EQ(isValidUtf8(c.in), c.valid);
  }
}

TEST(Utf8, ToCp1251) {
  EXPECT_EQ(utf8ToCp1251("Привет, Ёж № 5 — «€»"),
            "\xCF\xF0\xE8\xE2\xE5\xF2, \xA8\xE6 \xB9 5 \x97 \xAB\x88\xBB");
  EXPECT_EQ(utf8ToCp1251("Gruß 😀 \xFF ok"), "Gru? ? ? ok");
  EXPECT_EQ(toUtf8("\xCF\xF0\xE8\xE2\xE5\xF2 \x98", Charset::Cp1251), "Привет \uFFFD");
}

TEST(Utf8, PrefixEndsOnACharacter) {
  const std::string s = "aЖ€";  // 1 + 2 + 3 bytes
  const std::size_t want[] = {0, 1, 1, 3, 3, 3, 6, 6};
  for (std::size_t max = 0; max < 8; ++max) EXPECT_EQ(utf8Prefix(s, max), want[max]) << max;
}

TEST(CharsetNames, KludgesAndMimeNames) {
  struct Case {
    const char* text;
    std::optional<Charset> cs;
  } names[] = {
      {"CP866 2", Charset::Cp866},      {"+7_FIDO 2", Charset::Cp866},
      {"RUSSIAN 2", Charset::Cp866},    {"utf-8 4", Charset::Utf8},
      {"KOI8-R 2", Charset::Koi8R},     {"koi8-u", Charset::Koi8U},
      {"windows-1251", Charset::Cp1251}, {"LATIN-1 2", Charset::Latin1},
      {"ISO-8859-1", Charset::Latin1},  {"CP437 2", Charset::Cp437},
      {"CP850 2", Charset::Cp850},      {"US-ASCII", Charset::Ascii},
      {"FOO 2", std::nullopt},          {"", std::nullopt},
  };
  for (const auto& c : names) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(charsetByName(c.text), c.cs);
  }
  EXPECT_EQ(charsetOfKludge("CHRS: UTF-8 4"), Charset::Utf8);
  EXPECT_EQ(charsetOfKludge("chrs:KOI8-R 2"), Charset::Koi8R);
  EXPECT_EQ(charsetOfKludge("CODEPAGE: 866"), Charset::Cp866);
  EXPECT_EQ(charsetOfKludge("CHRS: IBMPC 2"), Charset::Cp866);
  EXPECT_EQ(charsetOfKludge("CHRS: IBMPC 2", Charset::Cp437), Charset::Cp437);
  EXPECT_EQ(charsetOfKludge("MSGID: 2:5020/52 1"), std::nullopt);
}

}  // namespace
}  // namespace nntpd
