// Messages read one after another come out of blocks read ahead; a single
// message is read on its own. Both ways must give the same bytes: HEAD over
// a whole area in one command against one command per message.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>

#include "gwfixture.h"
#include "testutil.h"

namespace {

std::string WithoutNuls(std::string s) {
  s.erase(std::remove(s.begin(), s.end(), '\0'), s.end());
  return s;
}

// HEAD over 1..high in one command equals HEAD of each number alone, and
// lists `live` messages.
void ExpectRunEqualsSingles(const std::string& spec, int high, std::size_t live) {
  std::string list, singles;
  for (int n = 1; n <= high; ++n) {
    if (n > 1) list += ' ';
    list += std::to_string(n);
    singles += "HEAD " + spec + " x" + std::to_string(n) + "\n";
  }
  const zt::RunResult run = zt::RunZandrel("HEAD " + spec + " x" + list + "\n");
  const zt::RunResult one = zt::RunZandrel(singles);
  ASSERT_EQ(run.status, 0);
  ASSERT_EQ(one.status, 0);
  const std::string a = WithoutNuls(run.out), b = WithoutNuls(one.out);
  EXPECT_EQ(a, b);
  std::size_t lines = 0;
  for (std::size_t p = 0; (p = a.find("\t\t\r\n", p)) != std::string::npos; p += 4) ++lines;
  EXPECT_EQ(lines, live);
}

// An area of `count` messages of every size, from a few bytes to past a
// block read ahead, some with a MSGID and some with only an origin line; a
// few killed. Returns the messages left.
std::size_t Fill(const std::string& path, word type, int count) {
  std::mt19937 rng(5);
  for (int n = 1; n <= count; ++n) {
    const std::size_t size = n % 25 == 0 ? 70000 + rng() % 90000 : 5 + rng() % 3000;
    std::string text;
    while (text.size() < size) text += n % 7 ? "a line of the body\r" : "x\r\r";
    text += " * Origin: Node " + std::to_string(n) + " (2:5020/" + std::to_string(n) + ")\r";
    text += "SEEN-BY: 5020/1 2 " + std::to_string(n) + "\r\x01PATH: 5020/1\r";
    std::string ctrl = "\x01PID: test";
    if (n % 3) ctrl = "\x01MSGID: 2:5021/" + std::to_string(n) + " 0000abcd" + ctrl;
    XMSG x = zt::MakeHeader("Sender " + std::to_string(n), "All", "Subject " + std::to_string(n),
                            {2, 5020, word(n), 0}, {2024, 1 + n % 12, 1 + n % 28, n % 24, 0, 0});
    if (!zt::StoreMessage(path, type, x, ctrl, text)) return 0;
  }
  HAREA ha = MsgOpenArea(path.c_str(), AOPEN_EXISTING, type);
  EXPECT_NE(ha, nullptr);
  if (!ha) return 0;
  for (dword n : {40u, 17u, 2u}) EXPECT_EQ(ha->api->KillMsg(ha, n), 0);
  const std::size_t live = ha->num_msg;
  ha->api->CloseArea(ha);
  return live;
}

TEST(ReadAhead, GeneratedAreasReadInOrderAsMessageByMessage) {
  zt::TempDir tmp;
  for (auto [type, prefix] : {std::pair{word(AT_JAM | AT_ECHO), "#"},
                              std::pair{word(AT_SQUISH | AT_ECHO), "$"}}) {
    SCOPED_TRACE(prefix);
    const std::string path = tmp / (type & AT_JAM ? "jam" : "sq");
    const std::size_t live = Fill(path, type, 160);
    ASSERT_EQ(live, 157u);
    // Numbers past the highest name no message.
    ExpectRunEqualsSingles(prefix + path, 162, live);
  }
}

TEST(ReadAhead, ForeignJamBaseReadInOrderAsMessageByMessage) {
  zt::TempDir tmp;
  zt::CopyDir(zt::ForeignFixtures() + "/jam", tmp.path());
  ExpectRunEqualsSingles(std::string("#").append(tmp / "jamtest"), 40, 40);
}


// The text of message `n`, or "<failed>" when it cannot be read.
std::string TextOf(HAREA ha, dword n) {
  HMSG m = ha->api->OpenMsg(ha, MO_READ, n);
  if (!m) return "<failed>";
  std::string text(ha->api->GetTextLen(m), '\0');
  const dword got = ha->api->ReadMsg(m, nullptr, 0, dword(text.size()),
                                     reinterpret_cast<byte*>(text.data()), 0, nullptr);
  ha->api->CloseMsg(m);
  return got == 0xFFFFFFFFu ? "<failed>" : text;
}

// Texts are read through mappings kept from one opening of an area to the
// next: each opening reads the file as it is now, and a file cut short
// under an open area reads as zeros past its new end, as a short read
// leaves them, instead of killing the process.
TEST(ReadAhead, KeptMappingsShowTheFileAsItIsNow) {
  if (const char* why = zt::Lacks(zt::Facility::kFileMappings)) GTEST_SKIP() << why;
  zt::TempDir tmp;
  auto body = [](char c, char last) { return std::string(19998, c) + last + '\r'; };
  for (auto [type, suffix] : {std::pair{word(AT_JAM | AT_ECHO), ".jdt"},
                              std::pair{word(AT_SQUISH | AT_ECHO), ".sqd"}}) {
    SCOPED_TRACE(suffix);
    const std::string path = tmp / suffix, file = path + suffix;
    for (char c : {'a', 'b', 'c'}) {
      const XMSG x = zt::MakeHeader("S", "All", "T", {2, 5020, 1, 0}, {2024, 1, 1, 0, 0, 0});
      ASSERT_NE(zt::StoreMessage(path, type, x, "", body(c, c)), 0u);
    }
    auto opened = [&] { return MsgOpenArea(path.c_str(), AOPEN_EXISTING, type); };
    HAREA ha = opened();
    ASSERT_TRUE(TextOf(ha, 3) == body('c', 'c'));
    ASSERT_EQ(ha->api->CloseArea(ha), 0);
    // Changed in place by another program between two openings.
    zt::PatchByte(file, std::int64_t(zt::ReadFile(file).rfind('c')), 'X');
    ha = opened();
    EXPECT_TRUE(TextOf(ha, 3) == body('c', 'X'));
    // Cut short with the area open and the file already mapped.
    EXPECT_TRUE(TextOf(ha, 1) == body('a', 'a'));
    const std::string whole = zt::ReadFile(file);
    HMSG m = ha->api->OpenMsg(ha, MO_READ, 3);
    ASSERT_NE(m, nullptr);
    zt::TruncateTo(file, 0);
    std::string text(20000, '?');
    const dword got = ha->api->ReadMsg(m, nullptr, 0, dword(text.size()),
                                       reinterpret_cast<byte*>(text.data()), 0, nullptr);
    if (got != 0xFFFFFFFFu) {
      EXPECT_TRUE(text == std::string(20000, '\0'));
    }
    ha->api->CloseMsg(m);
    ha->api->CloseArea(ha);
    // Whole again: read as it is, not as the damaged mapping shows it.
    zt::WriteFile(file, whole);
    ha = opened();
    EXPECT_TRUE(TextOf(ha, 3) == body('c', 'X'));
    ASSERT_EQ(ha->api->CloseArea(ha), 0);
  }
}

}  // namespace
