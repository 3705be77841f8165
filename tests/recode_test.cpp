#include "recode.h"

#include <gtest/gtest.h>

#include <string>

namespace {

class Recode : public ::testing::Test {
 protected:
  static std::string Out(std::string s) {
    recodeStr(s.data());
    return s;
  }
  static std::string In(std::string s) {
    recodeStrBack(s.data());
    return s;
  }
};

TEST_F(Recode, CyrillicLettersMapBothWays) {
  // 866 capital A..YA (0x80-0x9F), small a..p (0xA0-0xAF), r..ya (0xE0-0xEF).
  for (int b = 0x80; b <= 0xAF; ++b) {
    SCOPED_TRACE(b);
    EXPECT_EQ(alt2win[b - 0x80], 0xC0 + (b - 0x80));
    if (b != 0x8D) {  // 0x8D: see IrregularEntriesAreKept
      EXPECT_EQ(win2alt[alt2win[b - 0x80] - 0x80], b);
    }
  }
  for (int b = 0xE0; b <= 0xEF; ++b) {
    SCOPED_TRACE(b);
    EXPECT_EQ(alt2win[b - 0x80], 0xF0 + (b - 0xE0));
    EXPECT_EQ(win2alt[alt2win[b - 0x80] - 0x80], b);
  }
}

TEST_F(Recode, IrregularEntriesAreKept) {
  EXPECT_EQ(In("\xCD"), "H");  // capital EN is stored as a Latin H
  EXPECT_EQ(Out("\xF0\xF1\xFF"), "\xB0\xB8 ");
  EXPECT_EQ(Out("\xF2\xF7\xF8\xFE"), "++\x9B\x9E");
  EXPECT_EQ(In("\x93\x94\x97\x99\xA0"), "\"\"-* ");
  EXPECT_EQ(In("\xA2\xAA\xB2\xB9\xBA\xBC\xBD\xBE\xBF\xAF"), "IEiNejSsiI");
  EXPECT_EQ(In("\xA8\xB8\xA9\xB0\xB3"), "\xF0\xF1\xD8\xCB\xA3");
  EXPECT_EQ(Out("\xB0\xC0\xD0\xDF"), "\x94\x80\x9D\x96");
}

TEST_F(Recode, OutputTurnsControlBytesIntoSpaces) {
  EXPECT_EQ(Out("a\tb\rc\x01" "d\x1f" "e"), "a b c d e");
  EXPECT_EQ(Out("\x80"), "\xC0");
  EXPECT_EQ(Out("plain ASCII ~"), "plain ASCII ~");
}

TEST_F(Recode, InputKeepsControlBytes) {
  EXPECT_EQ(In("a\tb\rc"), "a\tb\rc");
  EXPECT_EQ(In("\xC0"), "\x80");
  EXPECT_EQ(In("plain ASCII ~"), "plain ASCII ~");
}

TEST_F(Recode, SingleBytesKeepControlCharacters) {
  EXPECT_EQ(recodeChar('\x01'), '\x01');
  EXPECT_EQ(recodeChar('\r'), '\r');
  EXPECT_EQ(recodeChar('\x8F'), '\xCF');
}

}  // namespace
