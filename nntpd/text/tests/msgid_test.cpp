#include "msgid.h"

#include <gtest/gtest.h>

#include <vector>

#include "address.h"

namespace nntpd {
namespace {

// Every MSGID value comes back from the Message-ID the back end makes of it.
TEST(FtnMsgid, UndoesTheBackEndsMapping) {
  std::vector<std::string> values = {
      "2:5020/52 1a2b3c4d", "2:5020/1234.56@fidonet 07e39f71", "$24 $ 41",
      "x", std::string(70, '/'),  // 1 + 70 * 3 characters: not cut
  };
  // Every printable byte, in pieces short enough not to be cut.
  for (int from = 0x20; from <= 0xFF; from += 64) {
    std::string piece;
    for (int b = from; b < from + 64 && b <= 0xFF; ++b)
      if (b != 0x7F) piece += char(b);
    values.push_back(piece);
  }
  for (const auto& v : values) {
    SCOPED_TRACE(v);
    const std::string id = msgidStr(v.c_str());
    EXPECT_TRUE(isBackendMessageId(id)) << id;
    EXPECT_EQ(ftnMsgid(id), v);
  }
}

TEST(FtnMsgid, NothingForWhatTheBackEndNeverMakes) {
  const char* ids[] = {
      "<abc@example.org>",
      "<2$3A5020@zandrel.exe>",  // uppercase hex
      "<$41@zandrel.exe>",       // a letter escaped
      "<a$0ab@zandrel.exe>",     // a line feed: it would break the REPLY line
      "<a$01b@zandrel.exe>",     // SOH would start a new kludge
      "<a$2@zandrel.exe>",       // escape cut short
      "<a-b@zandrel.exe>",
      "<@zandrel.exe>",  // from an empty MSGID
      "2$3a5020@zandrel.exe>",
      "<2$3a5020@zandrel.exe",
      "",
  };
  for (const char* id : ids) {
    SCOPED_TRACE(id);
    EXPECT_FALSE(ftnMsgid(id));
  }
  // A value the back end may have cut gives no REPLY rather than a wrong one.
  const std::string cut = msgidStr(std::string(100, '/').c_str());
  EXPECT_TRUE(isBackendMessageId(cut));
  EXPECT_FALSE(ftnMsgid(cut));
  EXPECT_FALSE(isBackendMessageId("<@zandrel.exe>"));
  EXPECT_FALSE(isBackendMessageId("<a.b@zandrel.exe>"));
}

TEST(ContentMessageId, StableAndApartFromTheBackEnds) {
  const std::string id = contentMessageId(
      "fido.ru", "Sysop <Sysop@f52.n5020.z2.fidonet.org>", "Hello", "07 Mar 02 09:05:42", "3");
  // SHA-256 of the fields, each as "length:text": the same on every run and
  // every build.
  EXPECT_EQ(id, "<34d8cf6d18ce7810107e6b38e7de6a29@nomsgid.invalid>");
  EXPECT_EQ(contentMessageId(std::string(1000, 'a'), "", "", "", ""),
            "<a893eeff093a74401f7e51eaabc4250e@nomsgid.invalid>");
  EXPECT_FALSE(isBackendMessageId(id));
  EXPECT_FALSE(ftnMsgid(id));
  // Text moved from one field to the next is another message.
  EXPECT_NE(contentMessageId("g", "ab", "c", "d", "1"), contentMessageId("g", "a", "bc", "d", "1"));
}

}  // namespace
}  // namespace nntpd
