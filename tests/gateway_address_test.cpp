// Addresses, Message-IDs, kludge lookup and sender selection of the gateway.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "address.h"

namespace {

struct AddrCase {
  const char* name;
  const char* text;
  int ok;
  NETADDR want;  // checked only when ok
};

TEST(ParseFtnAddr, AcceptedAndRefusedForms) {
  const AddrCase cases[] = {
      {"full", "2:5020/52", 1, {2, 5020, 52, 0}},
      {"net node point", "5020/52.3", 1, {0, 5020, 52, 3}},
      {"node only", "52", 1, {0, 0, 52, 0}},
      {"full with point", "2:5020/52.1", 1, {2, 5020, 52, 1}},
      {"zone node point", "2:52.1", 1, {2, 0, 52, 1}},
      {"node point", "52.1", 1, {0, 0, 52, 1}},
      {"stops at domain", "2:5020/52@fidonet", 1, {2, 5020, 52, 0}},
      {"stops at space", "1:2/3 1a2b3c4d", 1, {1, 2, 3, 0}},
      {"stops at tab", "1:2/3\tx", 1, {1, 2, 3, 0}},
      {"stops at CR", "1:2/3.4\rnext", 1, {1, 2, 3, 4}},
      {"keeps low 16 bits", "70000:65536/65537", 1, {4464, 0, 1, 0}},
      {"huge number wraps", "99999999999999999999/1", 1, {0, 65535, 1, 0}},
      {"zone alone", "2:5020", 0, {}},
      {"net without node", "2:5020/", 0, {}},
      {"no zone digits", ":5020/52", 0, {}},
      {"two points", "2:5020/52.1.2", 0, {}},
      {"point without digits", "2:5020/52.", 0, {}},
      {"dot first", ".5", 0, {}},
      {"net after point", "1.2/3", 0, {}},
      {"zone after net", "1/2:3", 0, {}},
      {"two nets", "1/2/3", 0, {}},
      {"two zones", "2::5", 0, {}},
      {"letter", "2:50x0/52", 0, {}},
      {"parenthesis", "2:5020/52)", 0, {}},
      {"empty", "", 0, {}},
      {"terminator first", " 2:5020/52", 0, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    NETADDR a{9, 9, 9, 9};
    ASSERT_EQ(parseFtnAddr(c.text, &a), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(a.zone, c.want.zone);
    EXPECT_EQ(a.net, c.want.net);
    EXPECT_EQ(a.node, c.want.node);
    EXPECT_EQ(a.point, c.want.point);
  }
  NETADDR a{9, 9, 9, 9};
  EXPECT_EQ(parseFtnAddr(nullptr, &a), 0);
  EXPECT_EQ(a.zone, 9);  // untouched when there is nothing to parse
}

TEST(FtnAddrStr, PointOnlyWhenNonZero) {
  EXPECT_EQ(ftnAddrStr({2, 5020, 52, 0}), "2:5020/52");
  EXPECT_EQ(ftnAddrStr({2, 5020, 52, 1}), "2:5020/52.1");
  EXPECT_EQ(ftnAddrStr({65535, 65535, 65535, 65535}), "65535:65535/65535.65535");
}

TEST(AddrStr, NameCleanedIntoTheLocalPart) {
  EXPECT_EQ(addrStr("Node Keeper", {2, 5020, 52, 1}),
            "Node Keeper <Node.Keeper@p1.f52.n5020.z2.fidonet.org>");
  EXPECT_EQ(addrStr("Node Keeper", {2, 5020, 52, 0}),
            "Node Keeper <Node.Keeper@f52.n5020.z2.fidonet.org>");
  // Digits, punctuation and bytes of 0x80 and up are dropped; _ - . stay.
  EXPECT_EQ(addrStr("J.R_Smith-2 (sysop)!", {1, 2, 3, 0}),
            "J.R_Smith-2 (sysop)! <J.R_Smith-.sysop@f3.n2.z1.fidonet.org>");
  // Cyrillic words (as they arrive, recoded for output) in Latin letters.
  EXPECT_EQ(addrStr("\xc8\xe2\xe0\xed \xc8\xe2\xe0\xed\xee\xe2 \xd1\xfb\xed", {2, 1, 1, 0}),
            "\xc8\xe2\xe0\xed \xc8\xe2\xe0\xed\xee\xe2 \xd1\xfb\xed "
            "<Ivan.Ivanov.Syn@f1.n1.z2.fidonet.org>");
}

// The part before "@" of whatever name comes in.
std::string LocalPart(const std::string& name) {
  std::string a = addrStr(name.c_str(), {2, 5020, 52, 1});
  return a.substr(a.find(" <") + 2, a.find('@', a.find(" <")) - a.find(" <") - 2);
}

TEST(AddrStr, LocalPartIsAlwaysADotAtom) {
  std::string lower;  // а-я with ё after е, in code page 1251
  for (int b = 0xE0; b <= 0xFF; ++b) {
    lower += char(b);
    if (b == 0xE5) lower += '\xb8';
  }
  std::string shch;  // 35 capital SHCHA cut at the longest local part
  for (int i = 0; i < 16; ++i) shch += "SHCH";
  struct Case {
    const char* name;
    std::string from, want;
  } cases[] = {
      {"Cyrillic name", "\xcd\xe8\xea\xee\xeb\xe0\xe9 \xd1\xe8\xec\xee\xed\xee\xe2",
       "Nikolai.Simonov"},
      {"whole alphabet", lower, "abvgdeezhziiklmnoprstufkhtschshshchieyeiuia"},
      {"capitals among capitals", "\xc6\xd3\xca\xce\xc2 \xd9\xf3\xea\xe8\xed", "ZHUKOV.Shchukin"},
      {"866's Yo as recoded", "\xb0\xe6 \xb8", "Ezh.e"},
      {"valid without its Cyrillic part", "Pupkin(\xc2\xe0\xf1\xff)", "Pupkin"},
      {"runs of dots", "John  Smith", "John.Smith"},
      {"dots at the ends", " .Bob Jr. ", "Bob.Jr"},
      {"nothing left", "2:5020/52 !", "unknown"},
      {"empty", "", "unknown"},
      {"long transliteration", std::string(35, '\xd9'), shch},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(LocalPart(c.from), c.want);
  }
}

TEST(MsgidStr, EscapesAndLimits) {
  EXPECT_EQ(msgidStr(nullptr), "");
  EXPECT_EQ(msgidStr(""), "<@zandrel.exe>");
  EXPECT_EQ(msgidStr("2:5020/52 1a2b3c4d"), "<2$3a5020$2f52$201a2b3c4d@zandrel.exe>");
  EXPECT_EQ(msgidStr("\x01\xff\x80z"), "<$01$ff$80z@zandrel.exe>");

  // Characters are taken while the result is at most 239 long: 79 escapes
  // make 238, the 80th makes 241, and the suffix 254.
  std::string escapes(300, '/');
  std::string id = msgidStr(escapes.c_str());
  EXPECT_EQ(id.size(), 254u);
  EXPECT_EQ(id.substr(0, 4), "<$2f");
  EXPECT_EQ(id.substr(id.size() - 13), "@zandrel.exe>");

  std::string letters(300, 'a');
  id = msgidStr(letters.c_str());
  EXPECT_EQ(id, std::string("<") + std::string(239, 'a') + "@zandrel.exe>");

  // At exactly 239 one more escape is taken, reaching the limit of 255.
  id = msgidStr((std::string(238, 'a') + "/b").c_str());
  EXPECT_EQ(id, std::string("<") + std::string(238, 'a') + "$2f@zandrel.exe>");
}

TEST(GetKludge, FindsFirstMatchingKludgeOnly) {
  const char* block = "\x01PID: X\x01msgid: 1:2/3 4\x01MSGID: 9:9/9 9\x01REPLY: r";
  auto v = getKludge(block, "MSGID: ");
  ASSERT_TRUE(v);
  EXPECT_EQ(*v, "1:2/3 4");  // case does not matter, the first one wins
  v = getKludge(block, "REPLY: ");
  ASSERT_TRUE(v);
  EXPECT_EQ(*v, "r");  // the last kludge runs to the end of the block
  EXPECT_FALSE(getKludge(block, "TZUTC: "));

  // A name longer than the kludge never matches, and an empty value is found.
  EXPECT_FALSE(getKludge("\x01MSGID:", "MSGID: "));
  v = getKludge("\x01MSGID: \x01PID: x", "MSGID: ");
  ASSERT_TRUE(v);
  EXPECT_EQ(*v, "");

  // The block must start with SOH, and ends at its NUL.
  EXPECT_FALSE(getKludge("MSGID: 1:2/3 4", "MSGID: "));
  EXPECT_FALSE(getKludge("\x01PID: X\0\x01MSGID: 1:2/3 4", "MSGID: "));
  EXPECT_FALSE(getKludge("", "MSGID: "));
  EXPECT_FALSE(getKludge(nullptr, "MSGID: "));

  std::string longer = "\x01MSGID: " + std::string(400, 'v');
  v = getKludge(longer.c_str(), "MSGID: ");
  ASSERT_TRUE(v);
  EXPECT_EQ(*v, std::string(255, 'v'));
}

TEST(DateZone, OffsetOfTheTzutcKludge) {
  struct Case {
    const char* ctl;
    const char* want;
  } cases[] = {
      {"\x01PID: X\x01TZUTC: 0300", "+0300"},
      {"\x01TZUTC: -0500\x01PID: X", "-0500"},
      {"\x01tzutc: 0530 ", "+0530"},    // any case, trailing blanks
      {"\x01TZUTC: 300", "+0300"},      // without the leading zero
      {"\x01TZUTC:+1245", "+1245"},     // no space, explicit plus
      {"\x01TZUTC: -0000", "+0000"},
      {"\x01TZUTC: 1400", "+1400"},
      {"\x01TZUTC: 1401", "+0000"},     // no zone is that far
      {"\x01TZUTC: 0360", "+0000"},     // minutes
      {"\x01TZUTC: 03", "+0000"},
      {"\x01TZUTC: 03000", "+0000"},
      {"\x01TZUTC: 0300 MSK", "+0000"},
      {"\x01TZUTC: --300", "+0000"},
      {"\x01TZUTC: ", "+0000"},
      {"\x01PID: X", "+0000"},
      {"", "+0000"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ctl);
    EXPECT_EQ(dateZone(c.ctl), c.want);
  }
}

XMSG header(const char* from, NETADDR orig) {
  XMSG x{};
  std::strncpy(reinterpret_cast<char*>(x.from), from, sizeof x.from);
  x.orig = orig;
  return x;
}

TEST(GetFrom, MsgidThenOriginThenHeader) {
  const XMSG x = header("Ann Lee", {1, 1, 1, 0});
  const char* origin = "Hi\r--- \r * Origin: Home (2:5020/52.7)\r";
  struct Case {
    const char* name;
    const char* ctl;
    const char* txt;
    const char* want;
  } cases[] = {
      {"msgid wins", "\x01MSGID: 3:3/3 abc", origin, "Ann Lee <Ann.Lee@f3.n3.z3.fidonet.org>"},
      {"msgid without serial", "\x01MSGID: 3:3/3", origin,
       "Ann Lee <Ann.Lee@p7.f52.n5020.z2.fidonet.org>"},
      {"msgid not an address", "\x01MSGID: <id@host> abc", origin,
       "Ann Lee <Ann.Lee@p7.f52.n5020.z2.fidonet.org>"},
      {"origin at text start", "", " * Origin: x (4:4/4)", "Ann Lee <Ann.Lee@f4.n4.z4.fidonet.org>"},
      {"last parenthesis", "", " * Origin: Club (Moscow) (5:5/5)\r",
       "Ann Lee <Ann.Lee@f5.n5.z5.fidonet.org>"},
      {"origin without close", "", " * Origin: x (6:6/6", "Ann Lee <Ann.Lee@f6.n6.z6.fidonet.org>"},
      {"origin mid-line", "", "quote * Origin: x (4:4/4)\r * Origin: y (5:5/5)\r",
       "Ann Lee <Ann.Lee@f1.n1.z1.fidonet.org>"},
      {"origin bad address", "", " * Origin: x (somewhere)", "Ann Lee <Ann.Lee@f1.n1.z1.fidonet.org>"},
  };
  const std::string far_space = "\x01MSGID: 3:3/3" + std::string(260, 'x') + " abc";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(getFrom(c.ctl, x, c.txt), c.want);
  }
  // The value is cut at 255 characters before its space is looked for.
  EXPECT_EQ(getFrom(far_space.c_str(), x, origin), "Ann Lee <Ann.Lee@p7.f52.n5020.z2.fidonet.org>");
}

// Appending to a line that already holds text gives what the standalone
// routines give, limits included: they count from where the value starts.
TEST(AppendToLine, SameAsStandalone) {
  const std::string prefix(200, '#');
  const std::string long_id(300, '+'), long_name(300, 'N');
  const XMSG x = header("Ann Lee", {1, 1, 1, 0});
  std::string out = prefix;
  appendMsgid(out, std::string_view(long_id));
  EXPECT_EQ(out, prefix + msgidStr(long_id.c_str()));
  out = prefix;
  appendMsgid(out, std::nullopt);
  EXPECT_EQ(out, prefix);
  out = prefix;
  appendAddr(out, long_name.c_str(), NETADDR{2, 5020, 52, 1});
  EXPECT_EQ(out, prefix + addrStr(long_name.c_str(), NETADDR{2, 5020, 52, 1}));
  EXPECT_EQ(out.size(), prefix.size() + 255);
  out = prefix;
  appendFrom(out, "\x01MSGID: 3:3/3 abc", x, "");
  EXPECT_EQ(out, prefix + "Ann Lee <Ann.Lee@f3.n3.z3.fidonet.org>");
}

TEST(GetFrom, FullNameFieldShowsThirtyFiveCharacters) {
  XMSG x{};
  std::memset(x.from, 'A', sizeof x.from);  // no NUL anywhere in the field
  EXPECT_EQ(getFrom("", x, ""), std::string(35, 'A') + " <" + std::string(35, 'A') +
                                    "@f0.n0.z0.fidonet.org>");
}

TEST(CountLines, CarriageReturnsUpToTheNul) {
  EXPECT_EQ(countLines("no line end"), 0);
  EXPECT_EQ(countLines("a\rb\r\rc\n"), 3);
  EXPECT_EQ(countLines("a\r\0b\r"), 1);
  // Counted in blocks: a tally must not wrap where a block is all CRs.
  for (std::size_t n : {254u, 255u, 256u, 600u}) {
    SCOPED_TRACE(n);
    EXPECT_EQ(countLines(std::string(n, '\r').c_str()), int(n));
    EXPECT_EQ(countLines((std::string("x") += std::string(n, '\r')).c_str()), int(n));
  }
}

}  // namespace
