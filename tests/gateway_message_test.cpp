// What the commands share: reading one message whole, against a format that
// misbehaves on purpose (lengths no buffer can hold, failed and short reads,
// buffers reused from the message before), and cutting a command line.
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "message.h"
#include "testutil.h"
#include "textio.h"

namespace {

// What the fake format reports and delivers.
struct Fake {
  dword textLen = 0, ctrlLen = 0;
  std::string text, ctrl;  // delivered, each followed by a NUL
  dword result = 0;        // ReadMsg's result
} fake;

dword fakeTextLen(HMSG) { return fake.textLen; }
dword fakeCtrlLen(HMSG) { return fake.ctrlLen; }
dword fakeRead(HMSG, XMSG* msg, dword, dword, byte* text, dword, byte* ctxt) {
  std::memset(msg->from, 'F', sizeof msg->from);  // no NUL in the field
  std::memcpy(msg->subj, "a\tb", 4);
  std::memcpy(text, fake.text.c_str(), fake.text.size() + 1);
  std::memcpy(ctxt, fake.ctrl.c_str(), fake.ctrl.size() + 1);
  return fake.result;
}

class ReadStored : public ::testing::Test {
 protected:
  void SetUp() override {
    funcs_.GetTextLen = fakeTextLen;
    funcs_.GetCtrlLen = fakeCtrlLen;
    funcs_.ReadMsg = fakeRead;
    area_.api = &funcs_;
    fake = Fake{};
  }
  _apifuncs funcs_{};
  _msgapi area_{};
  _msgh msg_{};
};

TEST_F(ReadStored, LengthsNoBufferCanHoldAreRefused) {
  StoredMsg m;
  for (dword len : {0xFFFFFFFFu, 0x80000000u}) {
    SCOPED_TRACE(len);
    fake.textLen = len;
    fake.ctrlLen = 0;
    EXPECT_FALSE(readStored(&area_, &msg_, m));
    fake.textLen = 0;
    fake.ctrlLen = len;
    EXPECT_FALSE(readStored(&area_, &msg_, m));
  }
}

TEST_F(ReadStored, FailedReadIsNoMessage) {
  fake.textLen = 3;
  fake.text = "abc";
  fake.result = 0xFFFFFFFFu;
  StoredMsg m;
  EXPECT_FALSE(readStored(&area_, &msg_, m));
}

TEST_F(ReadStored, ShortReadLeavesNoBytesOfTheMessageBefore) {
  StoredMsg m;
  fake.textLen = 10;
  fake.text = "0123456789";
  fake.result = 10;
  ASSERT_TRUE(readStored(&area_, &msg_, m));
  EXPECT_EQ(std::string(m.txt()), "0123456789");

  // A damaged base claims 12 bytes and delivers 4.
  fake.textLen = 12;
  fake.text = "abcd";
  fake.result = 4;
  fake.ctrlLen = 6;
  fake.ctrl = "\x01PID";
  ASSERT_TRUE(readStored(&area_, &msg_, m));
  EXPECT_EQ(m.textLen, 12u);
  EXPECT_EQ(m.textRead, 4u);
  EXPECT_EQ(std::string(m.text.data(), m.text.size()), std::string("abcd") + std::string(9, '\0'));
  EXPECT_EQ(std::string(m.ctl()), "\x01PID");
  EXPECT_EQ(m.ctrl.size(), 7u);
}

TEST_F(ReadStored, HeaderFieldsEndAtTheirLastByteAndShowNoControls) {
  StoredMsg m;
  ASSERT_TRUE(readStored(&area_, &msg_, m));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(m.hdr.from)), std::string(35, 'F'));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(m.hdr.subj)), "a b");
}

// The area spec runs from the sixth character to the first space at or
// after it; whatever the line lacks, a failure names the verb and the area.
TEST(CommandLine, CutsTheSpecAndTellsFailures) {
  struct Case {
    const char* name;
    const char* line;
    const char* spec;
    const char* args;  // null: a bad line
  } cases[] = {
      {"too short for a spec", "STAT ", "", nullptr},
      {"spec without a space after it", "STAT $a/b", "$a/b", nullptr},
      {"fifth character unseen", "RETR!#x 5", "#x", "5"},
      {"space inside the first five", "HE D @d  x1", "@d", " x1"},
      {"empty arguments", "STAT d ", "d", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const CommandLine cmd("STAT", c.line);
    EXPECT_EQ(cmd.spec(), c.spec);
    if (c.args)
      EXPECT_STREQ(cmd.args(), c.args);
    else
      EXPECT_EQ(cmd.args(), nullptr);
  }

  int fds[2];
  ASSERT_TRUE(zt::MakePipe(fds));
  {
    TextOut err(fds[1], false);
    gwRedirectErr(&err);
    CommandLine("RETR", "RETR #a\x01" "b 3").failed("message 3 not found");
    CommandLine("STAT", "STAT").failed(BAD_LINE);
    gwRedirectErr(nullptr);
  }
  char buf[256];
  const auto n = ::read(fds[0], buf, sizeof buf);
  ::close(fds[0]);
  ::close(fds[1]);
  EXPECT_EQ(std::string(buf, n > 0 ? std::size_t(n) : 0),
            "zandrel: RETR #a?b: message 3 not found\nzandrel: STAT: bad command line\n");
}

}  // namespace
