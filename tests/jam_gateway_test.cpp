// The gateway's commands over JAM areas (#path), through the real binary.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "gwfixture.h"
#include "jam_check.h"
#include "jamtest.h"
#include "jsonl.h"
#include "testutil.h"

namespace {

// Posting time and MSGID serial vary; everything else is exact.
std::string Steady(const std::string& article) {
  static const std::regex date("Date: [^\r]*"), id("[0-9a-f]{8}(@zandrel| |\r)");
  return std::regex_replace(std::regex_replace(article, date, "Date: *"), id, "########$1");
}

TEST(JamGateway, PostedSeenByAndPathComeBackFromTheTrailer) {
  zt::TempDir tmp;
  const std::string base = tmp / "echo", spec = "#" + base;
  zt::Zandrel z;
  z.Send(zt::PostInput(spec, "2:5020/52.1", "2:5020/1", "", "Ann Sender", "Bob Reader", "Seen",
                       "Hello\nSEEN-BY: 5020/52 53\n\x01PATH: 5020/52\n"));
  z.Send("RETR " + spec + " 1\n");
  const std::string article = z.ReadReply();
  EXPECT_EQ(z.Finish(), 0);
  EXPECT_EQ(Steady(article),
            "From: Ann Sender <Ann.Sender@p1.f52.n5020.z2.fidonet.org>\r\n"
            "Subject: Seen\r\n"
            "Date: *\r\n"
            "Message-ID: <2$3a5020$2f52$2e1$20########@zandrel.exe>\r\n"
            "X-Comment-To: Bob Reader\r\n"
            "Lines: 3\r\n"
            "X-Kludge: PID: zandrel-1.2\r\n"
            "X-Kludge: MSGID: 2:5020/52.1 ########\r\n"
            "X-Seen-By: 5020/52 53\r\n"
            "X-Kludge: PATH: 5020/52\r\n"
            "\r\n"
            "Hello\r\n");
  // Stored as a JAM tosser stores it: the lines went into subfields.
  EXPECT_EQ(zt::ReadFile(base + ".jdt"), "Hello\r");
  EXPECT_EQ(zt::CheckJamBase(base), std::vector<std::string>{});
}

TEST(JamGateway, KilledMessagesCountInStatButNotInHead) {
  zt::TempDir tmp;
  const std::string base = tmp / "echo", spec = "#" + base;
  std::string posts;
  for (const char* subj : {"one", "two", "three"})
    posts += zt::PostInput(spec, "2:5020/52", "2:5020/1", "", "A", "B", subj, "text\n");
  ASSERT_EQ(zt::RunZandrel(posts).status, 0);
  HAREA ha = zt::OpenJam(base, AOPEN_EXISTING);
  ASSERT_NE(ha, nullptr);
  ASSERT_EQ(ha->api->KillMsg(ha, 2), 0);
  ASSERT_EQ(ha->api->CloseArea(ha), 0);

  auto r = zt::RunZandrel("STAT " + spec + " g\nHEAD " + spec + " x1 2 3\n");
  ASSERT_EQ(r.out.size(), r.out.find('\0') + 1);
  std::string stat = r.out.substr(0, r.out.find("\r\n") + 2);
  EXPECT_EQ(stat, "g 3 1 y\r\n");  // index records, the killed one included
  std::string head = r.out.substr(stat.size());
  EXPECT_EQ(head.find("1\tone\t"), 0u) << head;
  EXPECT_NE(head.find("\r\n2\tthree\t"), std::string::npos) << head;
  EXPECT_EQ(head.find("\r\n3\t"), std::string::npos) << head;  // only two live messages
}

TEST(JamGateway, ForeignBaseServesEveryMessage) {
  zt::TempDir tmp;
  zt::CopyDir(zt::ForeignFixtures() + "/jam", tmp.path());
  const std::string spec = std::string("#").append(tmp / "jamtest");
  const auto expected = zt::ReadJsonLines(zt::ForeignFixtures() + "/expected_echo.jsonl");
  ASSERT_EQ(expected.size(), 40u);
  std::string list = "1";
  for (int n = 2; n <= 40; ++n) list.append(" ").append(std::to_string(n));

  zt::Zandrel z;
  z.Send("STAT " + spec + " fido.test\nHEAD " + spec + " x" + list + "\nRETR " + spec +
         " 7\n");
  const std::string head = z.ReadReply(), article = z.ReadReply();
  EXPECT_EQ(z.Finish(), 0);
  EXPECT_EQ(head.rfind("fido.test 40 1 y\r\n", 0), 0u);
  std::size_t lines = 0;
  for (std::size_t p = 0; (p = head.find("\t\t\r\n", p)) != std::string::npos; p += 4) ++lines;
  EXPECT_EQ(lines, 40u);
  // Message 7 as a news reader sees it: its SEEN-BY and PATH lines from the
  // subfields, and its MSGID as the Message-ID.
  EXPECT_NE(article.find("X-Seen-By: "), std::string::npos) << article;
  EXPECT_NE(article.find("X-Kludge: PATH: "), std::string::npos) << article;
  const std::string msgid = expected[6].at("msgid").str;
  ASSERT_FALSE(msgid.empty());
  EXPECT_NE(article.find("X-Kludge: MSGID: " + msgid + "\r\n"), std::string::npos) << article;
}

}  // namespace
