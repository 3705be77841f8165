#include "post.h"

#include <gtest/gtest.h>

#include <string>

#include "article.h"
#include "charset.h"
#include "msgid.h"
#include "testutil.h"

namespace nntpd {
using namespace std::string_literals;
namespace {

ParsedPost Parse(const std::string& article) {
  auto r = parsePost(article);
  EXPECT_TRUE(r.post) << r.error;
  return r.post ? *r.post : ParsedPost{};
}

TEST(ParsePost, HeadersAndPlainBody) {
  const ParsedPost p = Parse(
      "From: Vasya Pupkin <vasya@example.org>\n"
      "Newsgroups: fido.ru.linux, fido.test ,fido.ru.linux\n"
      "Subject: Hello\n"
      "References: <a@b>\n <2$3a5020$2f52$201a2b3c4d@zandrel.exe> junk\n"
      "X-Comment-To: \"Petya\" <petya@example.org>\n"
      "Message-ID: <ignored@reader>\n"
      "\n"
      "Line one\n"
      "\n"
      "Line three");
  EXPECT_EQ(p.newsgroups, (std::vector<std::string>{"fido.ru.linux", "fido.test"}));
  EXPECT_EQ(p.authorName, "Vasya Pupkin");
  EXPECT_EQ(p.authorAddress, "vasya@example.org");
  EXPECT_EQ(p.subject, "Hello");
  EXPECT_EQ(p.commentTo, "Petya");
  EXPECT_EQ(p.references,
            (std::vector<std::string>{"<a@b>", "<2$3a5020$2f52$201a2b3c4d@zandrel.exe>"}));
  EXPECT_EQ(p.body, "Line one\n\nLine three\n");
  // The addressee of a reply, from the article replied to.
  EXPECT_EQ(mailboxName("=?utf-8?B?0JLQsNGB0Y8=?= <\".\"@f1.n2.z3.fidonet.org>"), "Вася");
  EXPECT_EQ(mailboxName("\"Tom \\\"T\\\" O'Brien\" <t@x.org>"), "Tom \"T\" O'Brien");
  EXPECT_EQ(mailboxName("t@x.org (Tom)"), "Tom");
  EXPECT_EQ(mailboxName("<t@x.org>"), "t");
}

TEST(ParsePost, MimeBodies) {
  struct Case {
    const char* name;
    std::string article;
    std::string author, subject, body;
  } cases[] = {
      {"encoded headers, quoted-printable KOI8-R, CR LF",
       "From: =?utf-8?B?0JLQsNGB0Y8=?= <v@x.org>\r\nNewsgroups: fido.ru\r\n"
       "Subject: =?koi8-r?Q?=F0=D2=C9=D7=C5=D4?=\r\n =?utf-8?q?_world?=\r\n"
       "MIME-Version: 1.0\r\nContent-Type: text/plain; charset=\"KOI8-R\"\r\n"
       "Content-Transfer-Encoding: Quoted-Printable\r\n\r\n"
       "=F0=D2=C9=D7=C5=D4 soft=\r\nbreak\r\n",
       "Вася", "Привет world", "Привет softbreak\n"},
      {"base64 1251, flowed with DelSp",
       "From: v@x.org (Vasya P)\nNewsgroups: g\nSubject: s\n"
       "Content-Type: text/plain; charset=windows-1251; format=flowed; delsp=yes\n"
       "Content-Transfer-Encoding: base64\n\n"
       "z/Do4uXyLCDs6CANCvAhDQo+IPbo8uDy4CANCj4g5ODr/PjlDQo=\n",
       "Vasya P", "s", "Привет, мир!\n> цитатадальше\n"},
      {"first text/plain of nested multiparts",
       "From: <v@x.org>\nNewsgroups: g\nSubject: s\n"
       "Content-Type: multipart/mixed; boundary=\"outer\"\n\n"
       "preamble\n--outer\nContent-Type: multipart/alternative; boundary=in\n\n"
       "--in\nContent-Type: text/html\nContent-Transfer-Encoding: base64\n\nPHA+aHRtbDwvcD4=\n"
       "--in\nContent-Type: text/plain; charset=utf-8\nContent-Transfer-Encoding: 8bit\n\n"
       "Привет\n--in--\n--outer\nContent-Type: text/plain\n\nattachment\n--outer--\n",
       "v", "s", "Привет\n"},
      {"multipart without its closing delimiter",
       "From: <v@x.org>\nNewsgroups: g\nSubject: s\n"
       "Content-Type: multipart/mixed; boundary=b\n\n--b\n\nplain\n",
       "v", "s", "plain\n"},
      {"no charset, UTF-8 text",
       "From: v@x.org\nNewsgroups: g\nSubject: Привет\n\nПривет\n", "v", "Привет", "Привет\n"},
      {"no charset, 1251 text",
       "From: v@x.org\nNewsgroups: g\nSubject: \xCF\xF0\xE8\n\n\xCF\xF0\xE8\r\n", "v", "При",
       "При\n"},
      {"control characters in headers",
       "From: =?utf-8?q?A=0Ab?= <v@x.org>\nNewsgroups: g\nSubject: =?utf-8?q?x=0D=0Ay?=\n\n",
       "A b", "x  y", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const ParsedPost p = Parse(c.article);
    EXPECT_EQ(p.authorName, c.author);
    EXPECT_EQ(p.subject, c.subject);
    EXPECT_EQ(p.body, c.body);
  }
}

TEST(ParsePost, RefusalsNameTheReason) {
  const std::string head = "From: v@x.org\nNewsgroups: g\nSubject: s\n";
  PostLimits tight;
  tight.maxArticle = 200;
  tight.maxHeader = 60;
  tight.maxFields = 4;
  tight.maxBody = 10;
  tight.maxLines = 2;
  PostLimits nesting;
  nesting.maxParts = 3;
  nesting.maxDepth = 1;
  struct Case {
    std::string article;
    PostLimits limits;
    const char* reason;
  } cases[] = {
      {"From: v@x.org\nSubject: s\n\nx\n", {}, "missing Newsgroups header"},
      {"Newsgroups: g\nSubject: s\n\nx\n", {}, "missing From header"},
      {"From: v@x.org\nNewsgroups: g\n\nx\n", {}, "missing Subject header"},
      {"From: nobody\nNewsgroups: g\nSubject: s\n\nx\n", {}, "From without an address"},
      {"From: v@x.org\nNewsgroups: , ,\nSubject: s\n\nx\n", {}, "empty Newsgroups header"},
      {"From: v@x.org\nNewsgroups: a b\nSubject: s\n\nx\n", {}, "malformed Newsgroups header"},
      {" folded\n" + head + "\nx\n", {}, "malformed header: continuation without a field"},
      {head + "Not a header\n\nx\n", {}, "malformed header line"},
      {head + "Content-Type: text/plain; charset=iso-2022-jp\n\n\x1b$B\xA4\n", {},
       "unsupported charset: iso-2022-jp"},
      {head + "Content-Transfer-Encoding: x-uuencode\n\nx\n", {},
       "unsupported Content-Transfer-Encoding: x-uuencode"},
      {head + "Content-Type: text/html\n\n<p>x</p>\n", {}, "no text/plain part"},
      {head + "Control: cancel <a@b>\n\nx\n", {}, "control messages are not accepted"},
      {head + "Content-Type: multipart/mixed\n\nx\n", {}, "multipart without a boundary"},
      {head + "\n" + std::string(300, 'x'), tight, "article too large"},
      {head + "X-A: 1\nX-B: 2\n\nx\n", tight, "too many header fields"},
      {head + "X-Long: " + std::string(30, 'x') + "\n\nx\n", tight, "header too large"},
      {head + "\n" + std::string(11, 'x') + "\n", tight, "body too large"},
      {head + "\na\nb\nc\n", tight, "too many lines"},
      {head + "Content-Type: multipart/mixed; boundary=b\n\n--b\n"
              "Content-Type: multipart/mixed; boundary=c\n\n--c\n\nx\n--c--\n--b--\n",
       nesting, "MIME parts nested too deeply"},
      {head + "Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: image/png\n\n"
              "--b\nContent-Type: image/png\n\n--b\nContent-Type: image/png\n\n--b--\n",
       nesting, "too many MIME parts"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reason);
    const ParseResult r = parsePost(c.article, c.limits);
    EXPECT_FALSE(r.post);
    EXPECT_EQ(r.error, c.reason);
  }
}

TEST(BuildPosting, FieldsTextAndCommand) {
  ParsedPost p;
  p.authorName = std::string("Очень длинное имя автора, ") + "которое не влезает";  // 44
  p.subject = std::string(80, 's');
  p.body = "Hi\x01 there\tx\0y\nline2"s;
  PostingParams params;
  params.to = "Petya\nPetrov";
  params.reply = "2:5020/52 1a2b3c4d";
  params.tearline = "zandrel-nntpd";
  params.origin = std::string(100, 'o');
  params.address = "2:5020/52.1";
  const Posting post = buildPosting(p, params);

  EXPECT_EQ(post.from, utf8ToCp1251("Очень длинное имя автора, которое н"));  // 35 bytes
  EXPECT_EQ(post.to, "Petya Petrov");
  EXPECT_EQ(post.subject, std::string(71, 's'));
  const std::string origin = " * Origin: " + std::string(54, 'o') + " (2:5020/52.1)";
  EXPECT_EQ(origin.size(), 79u);
  EXPECT_EQ(post.text, "Hi there\txy\nline2\n--- zandrel-nntpd\n" + origin + "\n");
  EXPECT_EQ(post.textLength(), post.text.size());
  EXPECT_EQ(post.command("$/a/b", "2:5020/52.1", "2:5020/52"),
            "POST $/a/b 2:5020/52.1 2:5020/52 " + std::to_string(post.text.size()) + "\n" +
                "2:5020/52 1a2b3c4d\n" + post.from + "\nPetya Petrov\n" + std::string(71, 's') +
                "\n" + post.text);

  params.reply = "2:5020/52 1\nEXIT";  // would end the back end
  params.to = "";
  params.tearline = "";
  EXPECT_EQ(buildPosting(p, params).reply, "");
  EXPECT_EQ(buildPosting(p, params).to, "All");
  EXPECT_NE(buildPosting(p, params).text.find("\n---\n"), std::string::npos);
  EXPECT_EQ((Posting{"", "", "", "", "a\r\nb\r"}).textLength(), 4u);
}

// A post goes through the real back end and comes back as the same text;
// a reply to it threads under it.
TEST(PostRoundTrip, StoredAndReadBack) {
  zt::TempDir dir;
  const std::string spec = std::string("$").append(dir / "area");
  zt::Zandrel z;
  PostingParams params;
  params.tearline = "zandrel-nntpd";
  params.origin = "Станция примера";
  params.address = "2:5020/52.1";

  const ParsedPost first = Parse(
      "From: Вася Пупкин <vasya@example.org>\nNewsgroups: fido.test\n"
      "Subject: Ёжик в тумане\nContent-Type: text/plain; charset=utf-8\n\n"
      "Привет, мир! Ёжик в тумане.\n.\n\tВторая строка\n");
  // The next command on the same pipe is read right only if the length was.
  z.Send(buildPosting(first, params).command(spec, "2:5020/52.1", "2:5020/52") + "RETR " + spec +
         " 1\n");
  const auto a = renderArticle(z.ReadReply(), "fido.test", {}, {});
  ASSERT_TRUE(a);
  EXPECT_EQ(a->body, first.body + "--- zandrel-nntpd\n * Origin: Станция примера (2:5020/52.1)\n");
  EXPECT_EQ(decodeHeaderText(*a->field("Subject")), "Ёжик в тумане");
  EXPECT_EQ(decodeHeaderText(*a->field("From")), "Вася Пупкин <Vasia.Pupkin@p1.f52.n5020.z2.fidonet.org>");
  EXPECT_EQ(a->field("X-Comment-To"), "All");

  ParsedPost second = Parse("From: Petya <p@x.org>\nNewsgroups: fido.test\nSubject: Re: x\n"
                            "References: <a@b> " + a->messageId + "\n\nОтвет\n");
  params.to = first.authorName;
  params.reply = ftnMsgid(second.references.back()).value_or("");
  EXPECT_NE(params.reply, "");
  z.Send(buildPosting(second, params).command(spec, "2:5020/52.1", "2:5020/52") + "HEAD " + spec +
         " x2\n");
  const auto o = convertOverview(z.ReadReply(), "fido.test", {});
  ASSERT_TRUE(o);
  EXPECT_EQ(o->references, a->messageId);
  EXPECT_EQ(decodeHeaderText(o->subject), "Re: x");
}

}  // namespace
}  // namespace nntpd
