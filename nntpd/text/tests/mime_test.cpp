#include "mime.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace nntpd {
namespace {

// Encoded, folded, then read back as a reader would: the same text, and no
// line past the limits.
TEST(EncodeUnstructured, ReadsBackAsWritten) {
  const std::string cases[] = {
      "Hello world",
      "Привет всем",
      "Re: Вопрос про модемы and more",
      "looks =?utf-8?q?encoded?= but is not",
      "  two  spaces  ",
      std::string(20, 'x') + " " + std::string(60, 'y') + " " + std::string(100, 'z'),
      [] {
        std::string s;
        for (int i = 0; i < 40; ++i) s += "слово_" + std::to_string(i) + (i % 3 ? " " : "  ");
        return s;
      }(),
      std::string(3000, 'w'),
      "",
  };
  for (HeaderMode mode : {HeaderMode::Encoded, HeaderMode::Utf8}) {
    for (const auto& text : cases) {
      SCOPED_TRACE(text.substr(0, 60));
      const std::string v = encodeUnstructured("Subject", text, mode);
      EXPECT_EQ(decodeHeaderText(unfold(v)), text) << v;
      const std::string line = "Subject: " + v;
      std::size_t start = 0;
      for (std::size_t nl = 0; nl != std::string::npos; start = nl + 1) {
        nl = line.find('\n', start);
        const std::string one = line.substr(start, nl - start);
        // Only a word longer than a line may make one longer.
        EXPECT_LE(one.size(), one.find(' ', 1) == std::string::npos ? 998u : 78u) << one;
        if (mode == HeaderMode::Encoded) {
          EXPECT_TRUE(std::all_of(one.begin(), one.end(), [](char c) { return c > 0; })) << one;
        }
      }
    }
  }
  EXPECT_EQ(encodeUnstructured("Subject", "plain words", HeaderMode::Encoded), "plain words");
  EXPECT_EQ(encodeUnstructured("Subject", "Привет", HeaderMode::Utf8), "Привет");
}

TEST(EncodePhrase, AtomsQuotesOrEncodedWords) {
  EXPECT_EQ(encodePhrase("Vasya Pupkin", HeaderMode::Encoded), "Vasya Pupkin");
  EXPECT_EQ(encodePhrase("Tom O'Brien", HeaderMode::Encoded), "Tom O'Brien");
  EXPECT_EQ(encodePhrase("J. \"Doc\" Smith", HeaderMode::Encoded), "\"J. \\\"Doc\\\" Smith\"");
  EXPECT_EQ(encodePhrase("Вася Пупкин", HeaderMode::Utf8), "Вася Пупкин");
  EXPECT_EQ(encodePhrase("Вася (дом)", HeaderMode::Utf8), "\"Вася (дом)\"");
  const std::string enc = encodePhrase("Вася Пупкин", HeaderMode::Encoded);
  EXPECT_EQ(enc.rfind("=?utf-8?", 0), 0u);
  EXPECT_EQ(decodeHeaderText(enc), "Вася Пупкин");
}

TEST(DecodeHeaderText, EncodedWords) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"=?utf-8?B?0J/RgNC40LLQtdGC?=", "Привет"},
      {"=?UTF-8?Q?=D0=9F=D1=80=D0=B8_x?=", "При x"},
      {"=?koi8-r?B?8NLJ18XU?= =?windows-1251?Q?=E2=F1=E5=EC?=", "Приветвсем"},
      {"a =?utf-8?q?b?=\r\n =?utf-8?q?c?= d", "a bc d"},
      {"=?utf-8*ru?q?x?=", "x"},
      {"=?x-unknown?q?x?= =?utf-8?z?x?= =?utf-8?q?a b?=", "=?x-unknown?q?x?= =?utf-8?z?x?= =?utf-8?q?a b?="},
      {"=?us-ascii?q?=CF=F0?=", "Пр"},  // 8-bit in ASCII: read as 1251
      {"raw \xCF\xF0\xE8", "raw При"},      // raw 8-bit that is not UTF-8
      {"raw Привет", "raw Привет"},
      {"folded\n line", "folded line"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(decodeHeaderText(c.in), c.out);
  }
}

TEST(BodyEncodings, QuotedPrintableAndBase64) {
  EXPECT_EQ(decodeQuotedPrintable("a=3Db =D0=96\r\nsoft=\r\nbreak  \r\n=ZZ=4"), "a=b \xD0\x96\nsoftbreak\n=ZZ=4");
  EXPECT_EQ(decodeQuotedPrintable("ends=\n"), "ends");
  EXPECT_EQ(decodeBase64("0J/RgNC4\r\n0LLQtdGC"), "Привет");
  EXPECT_EQ(decodeBase64("YQ=="), "a");
  EXPECT_EQ(decodeBase64("YWI"), "ab");
  EXPECT_EQ(decodeBase64("Y!W*Jj"), "abc");
}

TEST(BodyEncodings, Flowed) {
  struct Case {
    const char* in;
    bool delsp;
    const char* out;
  } cases[] = {
      {"one \ntwo \nthree\nfour\n", false, "one two three\nfour\n"},
      {"one \ntwo\n", true, "onetwo\n"},
      {"> quoted \n> more\nplain\n", false, "> quoted more\nplain\n"},
      {">> deep \n> shallow\n", false, ">> deep \n> shallow\n"},
      {" >stuffed\n From\n", false, ">stuffed\nFrom\n"},
      {"text \n-- \nsig\n", false, "text -- \nsig\n"},
      {"-- \nsig \n", false, "-- \nsig \n"},
      {"", false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(decodeFlowed(c.in, c.delsp), c.out);
  }
}

}  // namespace
}  // namespace nntpd
