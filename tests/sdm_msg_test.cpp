// *.MSG messages: the kludge prefix, reading at offsets, writing header,
// zone lines, kludges and text, and files that were damaged or hand-made.
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "sdm_testutil.h"
#include "testutil.h"

namespace {

using sdmt::ReadWhole;
using sdmt::SdmTest;
using sdmt::Str;
using sdmt::WriteMsgFile;

class SdmMsg : public SdmTest {
 protected:
  // Opens message `n` of the area (opened afresh) for reading.
  HMSG OpenRead(dword n, bool echo = false) {
    ha_ = Open(echo);
    if (!ha_) return nullptr;
    return ha_->api->OpenMsg(ha_, MO_READ, n);
  }
  void Done(HMSG m) {
    if (m) {
      EXPECT_EQ(ha_->api->CloseMsg(m), 0);
    }
    if (ha_) Close(ha_);
    ha_ = nullptr;
  }
  // Writes one new message with header `x`, control block `ctrl` and `text`.
  dword Write(bool echo, const XMSG& x, const std::string& ctrl, const std::string& text) {
    HAREA ha = Open(echo);
    EXPECT_NE(ha, nullptr);
    if (!ha) return 0;
    HMSG m = ha->api->OpenMsg(ha, MO_CREATE, 0);
    EXPECT_NE(m, nullptr);
    if (!m) return 0;
    dword n = ha->cur_msg;
    EXPECT_EQ(ha->api->WriteMsg(m, 0, &x, reinterpret_cast<const byte*>(text.data()),
                                dword(text.size()), dword(text.size()), dword(ctrl.size()),
                                reinterpret_cast<const byte*>(ctrl.c_str())),
              0);
    ha->api->CloseMsg(m);
    Close(ha);
    return n;
  }
  HAREA ha_ = nullptr;
};

XMSG Netmail(NETADDR orig, NETADDR dest) {
  XMSG x{};
  std::strcpy(reinterpret_cast<char*>(x.from), "Ann");
  std::strcpy(reinterpret_cast<char*>(x.to), "Bob");
  std::strcpy(reinterpret_cast<char*>(x.subj), "Hello");
  std::strcpy(reinterpret_cast<char*>(x.__ftsc_date), "07 Mar 02  09:05:42");
  x.orig = orig;
  x.dest = dest;
  x.attr = MSGLOCAL | MSGPRIVATE;
  return x;
}

TEST_F(SdmMsg, KludgePrefixBecomesControlInformation) {
  const std::string kludges = "\x01MSGID: 1:2/3 4\r\x01PID: X\r";
  WriteMsgFile(area_, 3, "\r\n" + kludges + "Hello\rWorld\r" + std::string(1, '\0'));
  HMSG m = OpenRead(3);
  ASSERT_NE(m, nullptr);
  sdmt::Read r = ReadWhole(m);
  EXPECT_EQ(r.ctrl, "\x01MSGID: 1:2/3 4\x01PID: X");
  EXPECT_EQ(r.ctrllen, r.ctrl.size() + 1);  // the block's NUL counts
  EXPECT_EQ(r.textlen, 13u);                // body and its NUL, blank lines cut too
  EXPECT_EQ(r.got, 13u);
  EXPECT_EQ(r.text, std::string("Hello\rWorld\r\0", 13));
  EXPECT_STREQ(reinterpret_cast<char*>(r.x.from), "Sender");
  EXPECT_EQ(ha_->api->GetCurPos(m), r.textlen);

  // Offsets count from the first body byte from now on.
  char buf[600];
  EXPECT_EQ(ha_->api->ReadMsg(m, nullptr, 6, 5, reinterpret_cast<byte*>(buf), 0, nullptr), 5u);
  EXPECT_STREQ(buf, "World");
  EXPECT_EQ(ha_->api->GetCurPos(m), 11u);
  EXPECT_EQ(ha_->api->SetCurPos(m, 3), 0);
  EXPECT_EQ(ha_->api->GetCurPos(m), 3u);
  // A read past the end delivers nothing and still ends the buffer.
  buf[0] = 'x';
  EXPECT_EQ(ha_->api->ReadMsg(m, nullptr, 500, 20, reinterpret_cast<byte*>(buf), 0, nullptr), 0u);
  EXPECT_EQ(buf[0], '\0');
  // A small control buffer gets a cut block, NUL-terminated.
  EXPECT_EQ(ha_->api->ReadMsg(m, nullptr, 0, 0, nullptr, 4, reinterpret_cast<byte*>(buf)), 0u);
  EXPECT_STREQ(buf, "\x01MSG");
  Done(m);
}

TEST_F(SdmMsg, FirstReadRule) {
  // Kludge lines past the first 512 text bytes stay in the body.
  std::string kludges;
  for (int i = 0; kludges.size() < 600; ++i) kludges += "\x01K" + std::to_string(i) + ": " + std::string(40, 'k') + "\r";
  const std::string text = kludges + "Body\r" + std::string(1, '\0');
  WriteMsgFile(area_, 2, text);

  struct Case {
    const char* name;
    dword first;  // size of the caller's first read
    std::size_t prefix;
  } cases[] = {
      {"small first read peeks at 512 bytes", 100, 512},
      {"a first read of 511 bytes still peeks", 511, 512},
      {"a first read of 512 bytes or more is scanned whole", 2000, kludges.size()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HMSG m = OpenRead(2);
    ASSERT_NE(m, nullptr);
    std::string buf(c.first + 1, '\x7f');
    dword got = ha_->api->ReadMsg(m, nullptr, 0, c.first, reinterpret_cast<byte*>(buf.data()), 0, nullptr);
    if (c.first < 512) {
      EXPECT_EQ(got, 0u);  // nothing handed over on the peeking read
      EXPECT_EQ(buf[0], '\0');
      got = ha_->api->ReadMsg(m, nullptr, 0, c.first, reinterpret_cast<byte*>(buf.data()), 0, nullptr);
    }
    std::string body = text.substr(c.prefix);
    ASSERT_EQ(got, std::min<std::size_t>(c.first, body.size()));
    EXPECT_EQ(buf.substr(0, got), body.substr(0, got));
    EXPECT_EQ(buf[got], '\0');
    EXPECT_EQ(ha_->api->GetTextLen(m), body.size());
    std::string ctrl(ha_->api->GetCtrlLen(m), '\0');
    ha_->api->ReadMsg(m, nullptr, 0, 0, nullptr, dword(ctrl.size()), reinterpret_cast<byte*>(ctrl.data()));
    // The peeking read ends in the middle of a kludge: that piece is a kludge too.
    EXPECT_EQ(ctrl.c_str()[0], '\x01');
    EXPECT_GE(std::strlen(ctrl.c_str()), c.prefix - 20);
    Done(m);
  }
}

TEST_F(SdmMsg, ZoneAndPointLines) {
  const NETADDR point{2, 5020, 1, 3}, other_zone{1, 123, 4, 0}, node{2, 5020, 52, 0},
      to_point{2, 5020, 52, 7};
  struct Case {
    const char* name;
    bool echo;
    NETADDR orig, dest;
    std::string ctrl;
    std::string lines;  // expected between header and kludge lines
  } cases[] = {
      {"point to another zone", false, point, other_zone, "",
       "\x01INTL 1:123/4 2:5020/1\r\x01" "FMPT 3\r"},
      {"same zone, both points", false, point, to_point, "",
       "\x01" "FMPT 3\r\x01TOPT 7\r"},
      {"plain nodes in the default zone", false, node, node, "", ""},
      {"echo areas get none", true, point, other_zone, "", ""},
      {"the caller's own INTL wins", false, point, other_zone,
       "\x01INTL 1:123/4 2:5020/1\x01MSGID: 2:5020/1.3 1", "\x01" "FMPT 3\r"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(area_);
    std::filesystem::create_directory(area_);
    dword n = Write(c.echo, Netmail(c.orig, c.dest), c.ctrl, "Hi\r");
    std::string want_kludges;
    for (std::size_t i = 0; i < c.ctrl.size();) {  // the block as CR-ended lines
      std::size_t j = c.ctrl.find('\x01', i + 1);
      if (j == std::string::npos) j = c.ctrl.size();
      want_kludges += c.ctrl.substr(i, j - i) + "\r";
      i = j;
    }
    std::string file = zt::ReadFile(Path(n));
    EXPECT_EQ(file.substr(OMSG_SIZE), c.lines + want_kludges + "Hi\r" + std::string(1, '\0'));
    EXPECT_EQ(zt::U16At(file, 164), c.orig.point);
    EXPECT_EQ(zt::U16At(file, 170), c.orig.point ? word(~c.orig.point) : 0);
    EXPECT_EQ(zt::U16At(file, 166), c.dest.node);
    EXPECT_EQ(zt::U16At(file, 168), c.orig.node);
    EXPECT_EQ(zt::U16At(file, 172), c.orig.net);
    EXPECT_EQ(zt::U16At(file, 174), c.dest.net);

    HMSG m = OpenRead(n, c.echo);
    ASSERT_NE(m, nullptr);
    sdmt::Read r = ReadWhole(m);
    EXPECT_EQ(r.text, std::string("Hi\r\0", 4));
    if (!c.echo) {
      EXPECT_EQ(std::memcmp(&r.x.orig, &c.orig, sizeof(NETADDR)), 0)
          << r.x.orig.zone << ":" << r.x.orig.net << "/" << r.x.orig.node << "." << r.x.orig.point;
      EXPECT_EQ(std::memcmp(&r.x.dest, &c.dest, sizeof(NETADDR)), 0)
          << r.x.dest.zone << ":" << r.x.dest.net << "/" << r.x.dest.node << "." << r.x.dest.point;
    }
    Done(m);
  }
}

TEST_F(SdmMsg, HeaderFieldsRoundTrip) {
  XMSG x = Netmail({2, 5020, 1, 0}, {2, 5020, 2, 0});
  x.attr = 0x40000000 | MSGCRASH | MSGKILL;
  x.replyto = 7;
  x.replies[0] = 9;
  x.date_written.msg_st.date.da = 7;
  x.date_written.msg_st.date.mo = 3;
  x.date_written.msg_st.date.yr = 22;
  x.date_written.msg_st.time.hh = 9;
  x.date_written.msg_st.time.mm = 5;
  x.date_written.msg_st.time.ss = 21;
  x.date_arrived = x.date_written;
  std::memset(x.subj, 'S', sizeof x.subj);  // no NUL: the field is cut to 71
  dword n = Write(false, x, "", "");
  std::string file = zt::ReadFile(Path(n));
  EXPECT_EQ(file.size(), OMSG_SIZE + 1);  // an empty text still gets its NUL
  EXPECT_EQ(zt::U16At(file, 186), MSGCRASH | MSGKILL);

  HMSG m = OpenRead(n);
  ASSERT_NE(m, nullptr);
  sdmt::Read r = ReadWhole(m);
  EXPECT_EQ(r.x.attr, MSGCRASH | MSGKILL);
  EXPECT_EQ(Str(r.x.subj), std::string(71, 'S'));
  EXPECT_EQ(Str(r.x.__ftsc_date), "07 Mar 02  09:05:42");
  EXPECT_EQ(r.x.date_written.ldate, x.date_written.ldate);
  EXPECT_EQ(r.x.replyto, 7u);
  EXPECT_EQ(r.x.replies[0], 9u);
  EXPECT_EQ(r.textlen, 1u);
  EXPECT_EQ(r.ctrllen, 1u);  // an empty block: just its NUL
  Done(m);
}

TEST_F(SdmMsg, DateStringFromTheStamp) {
  struct Case {
    const char* name;
    unsigned da, mo, yr;
    const char* want;
  } cases[] = {
      {"ordinary", 7, 3, 22, "07 Mar 02  09:05:42"},
      {"day 0 prints as 01", 0, 12, 20, "01 Dec 00  09:05:42"},
      {"month 0 prints as Jan", 9, 0, 1, "09 Jan 81  09:05:42"},
      {"month 13 prints as Jan", 9, 13, 1, "09 Jan 81  09:05:42"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    XMSG x = Netmail({2, 1, 1, 0}, {2, 1, 1, 0});
    std::memset(x.__ftsc_date, 0, sizeof x.__ftsc_date);
    x.date_written.msg_st.date.da = c.da & 31;
    x.date_written.msg_st.date.mo = c.mo & 15;
    x.date_written.msg_st.date.yr = c.yr;
    x.date_written.msg_st.time.hh = 9;
    x.date_written.msg_st.time.mm = 5;
    x.date_written.msg_st.time.ss = 21;
    dword n = Write(false, x, "", "x");
    std::string file = zt::ReadFile(Path(n));
    EXPECT_EQ(file.substr(144, 20), std::string(c.want) + std::string(1, '\0'));
    std::filesystem::remove(Path(n));
  }
}

TEST_F(SdmMsg, TerminatingNul) {
  struct Case {
    const char* name;
    std::string text;
    std::string stored;
  } cases[] = {
      {"with its NUL", std::string("abc\r\0", 5), std::string("abc\r\0", 5)},
      {"without", "abc\r", std::string("abc\r\0", 5)},
      {"empty", "", std::string("\0", 1)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    dword n = Write(true, Netmail({2, 1, 1, 0}, {2, 1, 1, 0}), "", c.text);
    EXPECT_EQ(zt::ReadFile(Path(n)).substr(OMSG_SIZE), c.stored);
  }
}

TEST_F(SdmMsg, HostileFiles) {
  OMSG noterm = sdmt::Header();
  std::memset(noterm.from, 'F', sizeof noterm.from);
  std::memset(noterm.to, '\x01', sizeof noterm.to);
  std::memset(noterm.subj, 'S', sizeof noterm.subj);
  std::memset(noterm.date, '9', sizeof noterm.date);
  struct Case {
    const char* name;
    OMSG header;
    std::string text;
    std::string ctrl, body;
  } cases[] = {
      {"header only", sdmt::Header(), "", "", ""},
      {"fields without NUL", noterm, "hi\r", "", "hi\r"},
      {"a kludge that runs to the end of the file", sdmt::Header(), "\x01MSGID: 1:2/3 4",
       "\x01MSGID: 1:2/3 4", ""},
      {"a kludge cut by the peek", sdmt::Header(), "\x01" + std::string(2000, 'k'),
       "\x01" + std::string(511, 'k'), std::string(1489, 'k')},
      {"only kludges", sdmt::Header(), std::string("\x01" "A: 1\r\x01" "B: 2\r\0", 13),
       "\x01" "A: 1\x01" "B: 2", std::string(1, '\0')},
      {"a NUL inside the kludges", sdmt::Header(), std::string("\x01" "A\0\x01" "B\rtext", 10),
       "\x01" "A", std::string("\0\x01" "B\rtext", 8)},
      {"SOH and nothing else", sdmt::Header(), "\x01", "\x01", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteMsgFile(area_, 4, c.text, c.header);
    HMSG m = OpenRead(4);
    ASSERT_NE(m, nullptr);
    sdmt::Read r = ReadWhole(m);
    EXPECT_EQ(r.ctrl, c.ctrl);
    EXPECT_EQ(r.text, c.body);
    EXPECT_EQ(r.textlen, c.body.size());
    if (c.header.from[0] == 'F') {
      EXPECT_EQ(Str(r.x.from), std::string(35, 'F'));
      EXPECT_EQ(Str(r.x.to), std::string(35, ' '));
      EXPECT_EQ(Str(r.x.subj), std::string(71, 'S'));
    }
    EXPECT_LT(Str(r.x.__ftsc_date).size(), 20u);
    Done(m);
  }
}

TEST_F(SdmMsg, ReadingHandleSeesTheMessageAsOpened) {
  WriteMsgFile(area_, 4, "\x01PID: X\rBody text\r");
  HMSG m = OpenRead(4);
  ASSERT_NE(m, nullptr);
  zt::TruncateTo(Path(4), 100);  // another program cuts the file meanwhile
  sdmt::Read r = ReadWhole(m);
  EXPECT_NE(r.got, 0xFFFFFFFFu);
  EXPECT_EQ(r.text, "Body text\r");
  EXPECT_EQ(r.ctrl, "\x01PID: X");
  Done(m);
  // Opened afresh, the cut file is no message.
  HMSG gone = OpenRead(4);
  EXPECT_EQ(gone, nullptr);
  Done(gone);

  // A handle that writes reads what the file then holds. Its text was
  // measured before kludges appeared: the prefix cut later is longer than
  // the measured text, and the length must not wrap around.
  WriteMsgFile(area_, 5, "");
  ha_ = Open(false);
  ASSERT_NE(ha_, nullptr);
  m = ha_->api->OpenMsg(ha_, MO_READWRITE, 5);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(ha_->api->GetTextLen(m), 0u);
  const byte more[] = "\x01PID: X\rBody\r";
  ASSERT_EQ(ha_->api->WriteMsg(m, 1, nullptr, more, sizeof more - 1, 0, 0, nullptr), 0);
  EXPECT_EQ(ha_->api->GetTextLen(m), 0u);
  EXPECT_EQ(ha_->api->GetCtrlLen(m), 8u);
  char buf[8];
  EXPECT_EQ(ha_->api->ReadMsg(m, nullptr, 0, 7, reinterpret_cast<byte*>(buf), 0, nullptr), 6u);
  EXPECT_STREQ(buf, "Body\r");  // and its NUL, one byte further
  Done(m);
}

TEST_F(SdmMsg, TextLongerThanOneRead) {
  std::string body;
  for (int i = 0; body.size() < 40000; ++i) body += "line " + std::to_string(i) + "\r";
  body += '\0';
  WriteMsgFile(area_, 6, "\x01PID: X\r" + body);
  HMSG m = OpenRead(6);
  ASSERT_NE(m, nullptr);
  sdmt::Read r = ReadWhole(m);
  EXPECT_EQ(r.textlen, body.size());
  EXPECT_EQ(r.text, body);
  // Windows on either side of the first 16 KiB of the file.
  for (dword ofs : {0u, 16000u, 16170u, 16180u, 16186u, 16200u, 39990u, 40100u}) {
    SCOPED_TRACE(ofs);
    char buf[101];
    dword got = ha_->api->ReadMsg(m, nullptr, ofs, 100, reinterpret_cast<byte*>(buf), 0, nullptr);
    std::string want = ofs < body.size() ? body.substr(ofs, 100) : "";
    EXPECT_EQ(std::string(buf, got), want);
  }
  Done(m);
}

TEST_F(SdmMsg, TruncationSweep) {
  dword n = Write(false, Netmail({2, 5020, 1, 3}, {1, 123, 4, 5}),
                  "\x01MSGID: 2:5020/1.3 12345678\x01PID: test", "Line one\rLine two\r");
  const std::string whole = zt::ReadFile(Path(n));
  for (std::size_t len = 0; len <= whole.size(); ++len) {
    SCOPED_TRACE(len);
    zt::WriteFile(Path(n), whole.substr(0, len));
    HAREA ha = Open(false);
    ASSERT_NE(ha, nullptr);
    HMSG m = ha->api->OpenMsg(ha, MO_READ, n);
    EXPECT_EQ(m != nullptr, len >= OMSG_SIZE);
    if (m) {
      sdmt::Read r = ReadWhole(m);
      ASSERT_NE(r.got, 0xFFFFFFFFu);
      EXPECT_LE(r.got, r.textlen);
      // Whatever arrives was really written, in place.
      std::string stored = whole.substr(OMSG_SIZE, len - OMSG_SIZE);
      EXPECT_NE(stored.find(r.text), std::string::npos);
      ha->api->CloseMsg(m);
    }
    Close(ha);
  }
}

TEST_F(SdmMsg, WriteWithoutHeaderKeepsZoneLines) {
  HAREA ha = Open(false);
  ASSERT_NE(ha, nullptr);
  HMSG m = ha->api->OpenMsg(ha, MO_CREATE, 0);
  ASSERT_NE(m, nullptr);
  XMSG x = Netmail({2, 5020, 1, 3}, {2, 5020, 2, 0});
  const byte first[] = "first\r";
  ASSERT_EQ(ha->api->WriteMsg(m, 0, &x, first, 6, 6, 0, nullptr), 0);
  // The kludges and text written next go behind the FMPT line, not over it.
  const char ctrl[] = "\x01PID: X";
  const byte second[] = "second\r";
  ASSERT_EQ(ha->api->WriteMsg(m, 0, nullptr, second, 7, 7, sizeof ctrl,
                              reinterpret_cast<const byte*>(ctrl)),
            0);
  ha->api->CloseMsg(m);
  Close(ha);
  EXPECT_EQ(zt::ReadFile(Path(1)).substr(OMSG_SIZE),
            std::string("\x01" "FMPT 3\r\x01PID: X\rsecond\r\0", 24));
}

}  // namespace
