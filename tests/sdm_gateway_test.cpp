// The gateway's commands over *.MSG areas, driven through the real binary:
// posting into echo (@path) and netmail (plain path) areas, then STAT, HEAD
// and RETR on what was stored, and on areas another tosser wrote.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testutil.h"

namespace {

// Replies arrive with CR LF line ends; split them into lines without.
std::vector<std::string> Lines(const std::string& reply) {
  std::vector<std::string> out;
  std::size_t i = 0;
  while (i < reply.size()) {
    std::size_t j = reply.find("\r\n", i);
    if (j == std::string::npos) j = reply.size();
    out.push_back(reply.substr(i, j - i));
    i = j + 2;
  }
  return out;
}

std::vector<std::string> Split(const std::string& s, char sep) {
  std::vector<std::string> out;
  std::size_t i = 0;
  for (std::size_t j; (j = s.find(sep, i)) != std::string::npos; i = j + 1)
    out.push_back(s.substr(i, j - i));
  out.push_back(s.substr(i));
  return out;
}

// The value of header `name` in an article, or "" (with a failure) if absent.
std::string Header(const std::string& article, const std::string& name) {
  for (const std::string& l : Lines(article))
    if (l.rfind(name + ": ", 0) == 0) return l.substr(name.size() + 2);
  ADD_FAILURE() << "no " << name << " header in:\n" << article;
  return "";
}

std::string Post(const std::string& area, const std::string& orig, const std::string& dest,
                 const std::string& reply, const std::string& subj, const std::string& text) {
  return "POST " + area + " " + orig + " " + dest + " " + std::to_string(text.size()) + "\n" +
         reply + "\nAnn Sender\nBob Reader\n" + subj + "\n" + text;
}

TEST(SdmGateway, EchoAreaRoundTrip) {
  zt::TempDir tmp;
  const std::string dir = tmp / "echo", spec = "@" + dir;
  zt::Zandrel z;
  z.Send(Post(spec, "2:5020/52.1", "2:5020/1", "", "First", "Hello, All!\nSecond line\n"));
  z.Send("RETR " + spec + " 2\n");
  std::string first = z.ReadReply();
  const std::string msgid = Header(first, "Message-ID");
  EXPECT_FALSE(msgid.empty());
  EXPECT_EQ(Header(first, "Subject"), "First");
  EXPECT_EQ(Header(first, "X-Comment-To"), "Bob Reader");
  EXPECT_NE(first.find("X-Kludge: PID: zandrel-1.2\r\n"), std::string::npos) << first;
  EXPECT_NE(first.find("\r\n\r\nHello, All!\r\nSecond line\r\n"), std::string::npos) << first;

  // The reply names the first message by its MSGID kludge value.
  std::string kludge = first.substr(first.find("X-Kludge: MSGID: ") + 17);
  kludge = kludge.substr(0, kludge.find("\r\n"));
  z.Send(Post(spec, "2:5020/53", "2:5020/52.1", kludge, "Re: First", "Reply\n"));
  z.Send("STAT " + spec + " fido.echo\nHEAD " + spec + " x1 2 3\n");
  std::vector<std::string> head = Lines(z.ReadReply());
  EXPECT_EQ(z.Finish(), 0);

  // Message 1 is kept for the high-water mark: the posts are 2 and 3. The
  // area lock lives in a file no tosser takes for a message.
  EXPECT_EQ(zt::ListDir(dir), (std::vector<std::string>{"2.msg", "3.msg", "zandrel.lck"}));
  ASSERT_EQ(head.size(), 3u);
  EXPECT_EQ(head[0], "fido.echo 3 1 y");
  std::vector<std::string> f2 = Split(head[1], '\t'), f3 = Split(head[2], '\t');
  ASSERT_EQ(f2.size(), 10u);
  ASSERT_EQ(f3.size(), 10u);
  EXPECT_EQ(f2[0], "2");
  EXPECT_EQ(f2[1], "First");
  EXPECT_EQ(f2[4], msgid);
  EXPECT_EQ(f2[6], "25");  // the body with its NUL; the kludges are not text
  EXPECT_EQ(f2[7], "2");
  EXPECT_EQ(f3[0], "3");
  EXPECT_EQ(f3[5], msgid);  // the reference
  // Echo areas get no zone or point lines: the text starts with the kludges.
  EXPECT_EQ(zt::ReadFile(dir + "/2.msg").substr(190, 6), "\x01PID: ");
}

TEST(SdmGateway, NetmailAreaKeepsZonesAndPoints) {
  zt::TempDir tmp;
  const std::string dir = tmp / "net";
  zt::Zandrel z;
  z.Send(Post(dir, "2:5020/52.1", "1:123/4.5", "", "Across zones", "Hi\n"));
  z.Send("STAT " + dir + " net\nRETR " + dir + " 1\n");
  std::string reply = z.ReadReply();
  EXPECT_EQ(z.Finish(), 0);

  const std::string stored = zt::ReadFile(dir + "/1.msg");
  EXPECT_EQ(stored.substr(190, 40), "\x01INTL 1:123/4 2:5020/52\r\x01" "FMPT 1\r\x01TOPT 5\r");
  EXPECT_EQ(zt::U16At(stored, 164), 1);       // the origin point, with
  EXPECT_EQ(zt::U16At(stored, 170), 0xFFFE);  // its complement as the check
  EXPECT_EQ(reply.substr(0, 11), "net 1 1 y\r\n");
  for (const char* k : {"X-Kludge: INTL 1:123/4 2:5020/52\r\n", "X-Kludge: FMPT 1\r\n",
                        "X-Kludge: TOPT 5\r\n", "X-Kludge: MSGID: 2:5020/52.1 "})
    EXPECT_NE(reply.find(k), std::string::npos) << k << " in\n" << reply;
  EXPECT_NE(reply.find("\r\n\r\nHi\r\n"), std::string::npos) << reply;
}

TEST(SdmGateway, ForeignAreas) {
  zt::TempDir tmp;
  for (const char* sub : {"echo", "netmail"}) {
    SCOPED_TRACE(sub);
    const std::string dir = tmp / sub;
    zt::CopyDir(zt::ForeignFixtures() + "/msg/" + sub, dir);
    const std::string spec = std::string(sub) == "echo" ? "@" + dir : dir;
    std::string input = "STAT " + spec + " g\nHEAD " + spec + " x1";
    for (int n = 2; n <= 42; ++n) input.append(" ").append(std::to_string(n));
    input.append("\nRETR ").append(spec).append(" 2\nRETR ").append(spec).append(" 1\n");
    zt::RunResult r = zt::RunZandrel(input);
    EXPECT_EQ(r.status, 0);
    std::vector<std::string> replies = Split(r.out, '\0');
    ASSERT_EQ(replies.size(), 4u);  // three NULs end three replies
    std::vector<std::string> head = Lines(replies[0]);
    ASSERT_EQ(head.size(), 41u);  // the STAT line, then messages 2 to 41
    EXPECT_EQ(head[0], "g 41 1 y");
    EXPECT_EQ(head[1].substr(0, 2), "2\t");
    EXPECT_EQ(head[40].substr(0, 3), "41\t");
    EXPECT_NE(replies[1].find("\r\nX-Kludge: MSGID: "), std::string::npos) << replies[1];
    EXPECT_EQ(replies[2], "");  // no message 1
  }
}

}  // namespace
