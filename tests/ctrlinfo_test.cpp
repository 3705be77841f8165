// Control information blocks: building them from *.MSG text, searching,
// converting back and editing, on well-formed and on hostile input.
#include "ctrlinfo.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testutil.h"

using namespace std::string_literals;

namespace {

TEST(CtrlInfo, CopyToControlBufCollectsLeadingKludges) {
  struct {
    const char* name;
    std::string text, block;
    std::size_t body_at;  // where the real text begins
  } cases[] = {
      {"two kludges", "\1MSGID: 1:2/3 4\r\1PID: X\rHello"s,
       "\1MSGID: 1:2/3 4\1PID: X\0\0"s, 24},
      {"blank lines first", "\r\n\r\1PID: X\rBody"s, "\1PID: X\0\0"s, 11},
      {"area line", "AREA:TEST\r\1PID: X\rBody"s, "\1AREA:TEST\1PID: X\0\0"s, 18},
      {"soft and bare line ends", "\1PID: X\x8D\1MSGID: a\n\rBody"s,
       "\1PID: X\1MSGID: a\0\0"s, 19},
      {"no kludges", "Hello\r\1PID: X\r"s, "\0\0"s, 0},
      {"area is case-sensitive", "area:x\rBody"s, "\0\0"s, 0},
      {"SOH at the end", "\1"s, "\1\0\0"s, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const char* body = nullptr;
    dword length = dword(c.text.size());
    EXPECT_EQ(CopyToControlBuf(c.text.c_str(), &body, &length), c.block);
    EXPECT_EQ(_CopyToBuf(c.text.c_str(), nullptr, nullptr), c.block.size());
    EXPECT_EQ(body - c.text.c_str(), std::ptrdiff_t(c.body_at));
    EXPECT_EQ(length, c.text.size() - c.body_at);
  }
  dword short_length = 3;  // shorter than the kludge lines: no wrap-around
  CopyToControlBuf("\1PID: X\rBody", nullptr, &short_length);
  EXPECT_EQ(short_length, 0u);
}

TEST(CtrlInfo, BlockNeverOutgrowsItsWordCount) {
  struct {
    const char* name;
    std::string text;
    std::size_t block_size, body_at;
  } cases[] = {
      // 65532 bytes of kludge text make a block of exactly 65535 bytes.
      {"largest kludge", "\1" + std::string(65532, 'a') + "\r\1PID: X\rBody", 65535,
       65534},
      {"kludge one byte too long", "\1" + std::string(65533, 'b') + "\rBody", 2, 0},
      {"second kludge would overflow",
       "\1" + std::string(40000, 'c') + "\r\1" + std::string(40000, 'd'), 40003, 40002},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    word count = _CopyToBuf(c.text.c_str(), nullptr, nullptr);
    EXPECT_EQ(count, c.block_size);
    // Exactly the counted size: the sanitizer build catches a byte past it.
    std::vector<char> out(count);
    const char* body = nullptr;
    EXPECT_EQ(_CopyToBuf(c.text.c_str(), out.data(), &body), count);
    EXPECT_EQ(body - c.text.c_str(), std::ptrdiff_t(c.body_at));
    EXPECT_EQ(std::string(out.end() - 2, out.end()), "\0\0"s);
  }
}

TEST(CtrlInfo, CvtCtrlToKludgeWritesMsgLines) {
  std::string block = CopyToControlBuf("AREA:TEST\r\1PID: X\x8D\1\rBody", nullptr, nullptr);
  // The area line goes back without SOH; the empty kludge ends the lines.
  EXPECT_EQ(CvtCtrlToKludge(block.c_str()), "AREA:TEST\r\1PID: X\r");
  EXPECT_EQ(CvtCtrlToKludge("PID: X\1MSGID: a"), "");
  EXPECT_EQ(CvtCtrlToKludge(nullptr), "");
}

TEST(CtrlInfo, GetCtrlTokenOnlyTrustsAKludgeStart) {
  const char* block = "\1MSGID: 1:2/3 4\1REPLY: MSGID";
  EXPECT_EQ(GetCtrlToken(block, "MSGID"), "MSGID: 1:2/3 4");
  EXPECT_EQ(GetCtrlToken(block, "REPLY"), "REPLY: MSGID");
  EXPECT_EQ(GetCtrlToken(block, "PID"), std::nullopt);
  // The first hit is inside a value, or at a start that has no SOH.
  EXPECT_EQ(GetCtrlToken("\1PID: MSGID\1MSGID: a", "MSGID"), std::nullopt);
  EXPECT_EQ(GetCtrlToken("MSGID: a\1PID: X", "MSGID"), std::nullopt);
  EXPECT_EQ(GetCtrlToken(nullptr, "PID"), std::nullopt);
}

TEST(CtrlInfo, NumKludgesAndStripNasties) {
  EXPECT_EQ(NumKludges(""), 0);
  EXPECT_EQ(NumKludges("\1a\1\1b"), 3);
  EXPECT_EQ(NumKludges(std::string(70000, '\1').c_str()), 0xFFFF);
  std::string s = "a\1b\x1F\tc\x80\xFF";
  EXPECT_EQ(StripNasties(s.data()), s.data());
  EXPECT_EQ(s, "a b  c\x80\xFF");  // bytes above 0x7F are text, not controls
}

TEST(CtrlInfo, RemoveFromCtrlDropsWholeKludges) {
  struct {
    const char* block;
    std::string want;
  } cases[] = {
      {"\1PID: X\1MSGID: a", "\1MSGID: a"},
      {"\1PID: 1\1PID: 2\1MSGID: a\1PID: 3", "\1MSGID: a"},
      {"\1XPID: 1\1MSGID: PID", "\1XPID: 1\1MSGID: PID"},
      {"junk PID\1PID: 1\1A", "junk PID\1A"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.block);
    std::string buf = c.block;
    RemoveFromCtrl(buf.data(), "PID");
    EXPECT_EQ(std::string(buf.c_str()), c.want);
  }
}

std::string Addr(const NETADDR& a) {
  return std::to_string(a.zone) + ":" + std::to_string(a.net) + "/" +
         std::to_string(a.node) + "." + std::to_string(a.point);
}

TEST(CtrlInfo, ConvertControlInfoDistrustsOddKludges) {
  struct {
    const char* ctrl;
    const char *orig, *dest;
  } cases[] = {
      {"\1MSGID: x\1INTL 1:5030/1.4 3:5020/52.7\1PID: y", "3:5020/52.7", "1:5030/1.4"},
      {"\1INTL 1:5030/2 3:5020/52", "9:5020/52.9", "9:5030/1.9"},  // other node
      {"\1PID: INTL 1:5030/1 3:5020/52", "9:5020/52.9", "9:5030/1.9"},
      {"\1INTL 1:5030/1", "9:5020/52.9", "1:5030/1.9"},  // one address
      {"\1INTL", "9:5020/52.9", "9:5030/1.9"},
      {"\1TOPT 8\1FMPT", "9:5020/52.0", "9:5030/1.8"},  // FMPT without number
      {nullptr, "9:5020/52.9", "9:5030/1.9"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ctrl ? c.ctrl : "null");
    NETADDR orig{9, 5020, 52, 9}, dest{9, 5030, 1, 9};
    ConvertControlInfo(c.ctrl, &orig, &dest);
    EXPECT_EQ(Addr(orig), c.orig);
    EXPECT_EQ(Addr(dest), c.dest);
  }
}

// Netmail written by another tosser: the kludge lines at the start of each
// text come back unchanged, and INTL, FMPT and TOPT give the zones and points
// that the tosser also stored in the header.
TEST(CtrlInfo, ForeignNetmailKludges) {
  const std::string dir = zt::ForeignFixtures() + "/msg/netmail/";
  for (const std::string& name : zt::ListDir(dir)) {
    SCOPED_TRACE(name);
    const std::string file = zt::ReadFile(dir + name), text = file.substr(190);
    const char* body = nullptr;
    std::string block = CopyToControlBuf(text.c_str(), &body, nullptr);
    // Blank lines after the kludges belong to neither; they are skipped.
    const std::string prefix = text.substr(0, std::size_t(body - text.c_str()));
    const std::string lines = CvtCtrlToKludge(block.c_str());
    EXPECT_EQ(prefix.substr(0, lines.size()), lines);
    EXPECT_EQ(prefix.find_first_not_of('\r', lines.size()), std::string::npos);

    NETADDR orig{0, zt::U16At(file, 172), zt::U16At(file, 168), 0};
    NETADDR dest{0, zt::U16At(file, 174), zt::U16At(file, 166), 0};
    ConvertControlInfo(block.c_str(), &orig, &dest);
    EXPECT_EQ(orig.zone, zt::U16At(file, 178));
    EXPECT_EQ(orig.point, zt::U16At(file, 182));
    EXPECT_EQ(dest.zone, zt::U16At(file, 176));
    EXPECT_EQ(dest.point, zt::U16At(file, 180));
  }
}

}  // namespace
