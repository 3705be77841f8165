// JAM records against bytes written out by hand, the subfield decoding
// limits, the CRC, the attribute table and the date encoding.
#include "structrw_jam.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <ctime>
#include <vector>

#include "fidotext.h"
#include "fileio.h"
#include "structrw.h"
#include "testutil.h"

namespace {

std::string Bytes(std::initializer_list<int> v) {
  std::string s;
  for (int b : v) s.push_back(char(b));
  return s;
}

std::string AsString(const uint8_t* p, std::size_t n) { return std::string(reinterpret_cast<const char*>(p), n); }

TEST(JamRecords, HeaderGoldenBytes) {
  JamHdr h{};
  std::memcpy(h.Signature, "JAM", 4);
  h.Revision = 1;
  h.SubfieldLen = 0x11223344;
  h.TimesRead = 2;
  h.MsgIdCRC = 0xA1B2C3D4;
  h.ReplyCRC = 0xFFFFFFFF;
  h.ReplyTo = 5;
  h.Reply1st = 6;
  h.ReplyNext = 7;
  h.DateWritten = 0x01020304;
  h.DateProcessed = 9;
  h.MsgNum = 10;
  h.Attribute = 0x81000005;
  h.TxtOffset = 0x100;
  h.TxtLen = 0x200;
  h.PasswordCRC = 0xFFFFFFFF;
  const std::string expected = Bytes({
      'J', 'A', 'M', 0,                // Signature
      1, 0, 0, 0,                      // Revision, reserved
      0x44, 0x33, 0x22, 0x11,          // SubfieldLen
      2, 0, 0, 0,                      // TimesRead
      0xD4, 0xC3, 0xB2, 0xA1,          // MsgIdCRC
      0xFF, 0xFF, 0xFF, 0xFF,          // ReplyCRC
      5, 0, 0, 0, 6, 0, 0, 0, 7, 0, 0, 0,  // ReplyTo, Reply1st, ReplyNext
      4, 3, 2, 1,                      // DateWritten
      0, 0, 0, 0,                      // DateReceived
      9, 0, 0, 0,                      // DateProcessed
      10, 0, 0, 0,                     // MsgNum
      5, 0, 0, 0x81,                   // Attribute
      0, 0, 0, 0,                      // Attribute2
      0, 1, 0, 0, 0, 2, 0, 0,          // TxtOffset, TxtLen
      0xFF, 0xFF, 0xFF, 0xFF,          // PasswordCRC
      0, 0, 0, 0,                      // Cost
  });
  ASSERT_EQ(expected.size(), HDR_SIZE);
  uint8_t buf[HDR_SIZE];
  encode_hdr(h, buf);
  EXPECT_EQ(AsString(buf, HDR_SIZE), expected);
  JamHdr back;
  decode_hdr(reinterpret_cast<const uint8_t*>(expected.data()), &back);
  EXPECT_EQ(std::memcmp(&back, &h, sizeof h), 0);
}

TEST(JamRecords, HeaderInfoAndIndexGoldenBytes) {
  JamHdrInfo hi{};
  std::memcpy(hi.Signature, "JAM", 4);
  hi.DateCreated = 0x5A5B5C5D;
  hi.ModCounter = 3;
  hi.ActiveMsgs = 0x0102;
  hi.PasswordCRC = 0xFFFFFFFF;
  hi.BaseMsgNum = 100;
  hi.HighWater = 7;
  hi.reserved[0] = 0xEE;  // reserved bytes travel unchanged
  hi.reserved[HDRINFO_RESERVED_SIZE - 1] = 0x77;
  uint8_t buf[HDRINFO_SIZE];
  encode_hdrinfo(hi, buf);
  EXPECT_EQ(AsString(buf, 29), Bytes({'J', 'A', 'M', 0, 0x5D, 0x5C, 0x5B, 0x5A, 3, 0, 0, 0, 2, 1, 0, 0,
                                      0xFF, 0xFF, 0xFF, 0xFF, 100, 0, 0, 0, 7, 0, 0, 0, 0xEE}));
  EXPECT_EQ(buf[HDRINFO_SIZE - 1], 0x77);
  JamHdrInfo back;
  decode_hdrinfo(buf, &back);
  EXPECT_EQ(std::memcmp(&back, &hi, sizeof hi), 0);

  uint8_t ib[IDX_SIZE];
  encode_idx(JamIdx{0xCADBBE3D, 1024}, ib);
  EXPECT_EQ(AsString(ib, IDX_SIZE), Bytes({0x3D, 0xBE, 0xDB, 0xCA, 0x00, 0x04, 0, 0}));
}

TEST(JamRecords, RecordsThroughADescriptor) {
  zt::TempDir dir;
  const std::string path = dir / "f";
  UniqueFd fd(open_file(path.c_str(), OF_READWRITE | OF_CREATE));
  ASSERT_TRUE(fd);
  JamHdr h{};
  std::memcpy(h.Signature, "JAM", 4);
  h.MsgNum = 42;
  JamChain chain = {{2, 0, "Bob"}, {SF_SEENBY, 0, "5020/1"}};
  h.SubfieldLen = chain_size(chain);
  EXPECT_EQ(write_hdr(fd.get(), h), 1);
  EXPECT_EQ(write_subfield(fd.get(), chain, h.SubfieldLen), 1);
  EXPECT_EQ(write_idx(fd.get(), JamIdx{1, 2}), 1);
  EXPECT_EQ(zt::ReadFile(path).substr(HDR_SIZE, 25),
            Bytes({2, 0, 0, 0, 3, 0, 0, 0, 'B', 'o', 'b', 0xD1, 0x07, 0, 0, 6, 0, 0, 0, '5', '0', '2',
                   '0', '/', '1'}));

  ASSERT_EQ(seek_file(fd.get(), 0, SEEK_FROM_START), 0);
  JamHdr back;
  ASSERT_EQ(read_hdr(fd.get(), &back), 1);
  EXPECT_EQ(back.MsgNum, 42u);
  JamChain got;
  dword len = back.SubfieldLen;
  ASSERT_EQ(read_subfield(fd.get(), &got, &len), 1);
  EXPECT_EQ(len, 25u);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[1].id, SF_SEENBY);
  EXPECT_EQ(got[1].data, "5020/1");
  JamIdx idx;
  ASSERT_EQ(read_idx(fd.get(), &idx), 1);
  EXPECT_EQ(idx.HdrOffset, 2u);
  // Past the end every reader reports a short transfer.
  EXPECT_EQ(read_idx(fd.get(), &idx), 0);
  EXPECT_EQ(read_hdr(fd.get(), &back), 0);
  JamHdrInfo hi;
  EXPECT_EQ(read_hdrinfo(fd.get(), &hi), 0);
}

std::string Head(int id, std::int32_t len) {
  std::string s(8, '\0');
  uint8_t* p = reinterpret_cast<uint8_t*>(s.data());
  put_u16(p, uint16_t(id));
  put_u16(p, 0);
  put_u32(p, uint32_t(len));
  return s;
}

TEST(JamRecords, SubfieldDecodingLimits) {
  struct Case {
    const char* name;
    std::string chain;
    dword decoded;
    std::vector<std::pair<int, std::string>> records;
  };
  const std::string big(200, 'x');
  const Case cases[] = {
      {"empty", "", 0, {}},
      {"exactly one head", Head(2, 0), 0, {}},
      {"200 data bytes", Head(2, 200) + big + Head(3, 1) + "A", 217, {{2, big}, {3, "A"}}},
      {"ids 2000 to 2004",
       Head(2000, 1) + "a" + Head(2001, 1) + "b" + Head(2002, 1) + "c" + Head(2003, 1) + "d" +
           Head(2004, 1) + "e",
       45,
       {{2000, "a"}, {2001, "b"}, {2002, "c"}, {2003, "d"}, {2004, "e"}}},
      // A last record of zero data bytes ends exactly at the chain's end: its
      // head is not decoded.
      {"last record empty", Head(2, 3) + "abc" + Head(3, 0), 11, {{2, "abc"}}},
      {"length past the end", Head(2, 3) + "abc" + Head(6, 100) + "zz", 19, {{2, "abc"}, {6, ""}}},
      {"negative length", Head(2, -1) + "abcd", 8, {{2, ""}}},
      {"length as long as the chain", Head(4, 12) + "abcd", 8, {{4, ""}}},
      {"huge length", Head(2, 3) + "abc" + Head(5, 0x7FFFFFFF) + "q", 19, {{2, "abc"}, {5, ""}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    JamChain out = {{9, 0, "stale"}};
    const dword n = decode_subfields(reinterpret_cast<const uint8_t*>(c.chain.data()), dword(c.chain.size()), &out);
    EXPECT_EQ(n, c.decoded);
    ASSERT_EQ(out.size(), c.records.size());
    for (std::size_t i = 0; i < out.size(); ++i) {
      EXPECT_EQ(out[i].id, c.records[i].first);
      EXPECT_EQ(out[i].data, c.records[i].second);
    }
    // What decoded encodes to exactly the bytes it came from.
    if (!out.empty() && c.records.back().second.size() > 0) {
      EXPECT_EQ(encode_subfields(out, n), c.chain.substr(0, n));
    }
  }
}

TEST(JamRecords, Crc32FoldsOnlyAsciiLetters) {
  EXPECT_EQ(Jam_Crc32("abc", 3), 0xCADBBE3Du);
  EXPECT_EQ(Jam_Crc32("ABC", 3), 0xCADBBE3Du);
  EXPECT_EQ(Jam_Crc32("", 0), 0xFFFFFFFFu);
  EXPECT_EQ(Jam_Crc32("All", 3), Jam_Crc32("aLL", 3));
  // Bytes from 0x80 are not case-folded (0xC0 and 0xE0 are a pair in
  // Latin-1 and cp1251, but not here).
  EXPECT_NE(Jam_Crc32("\xC0", 1), Jam_Crc32("\xE0", 1));
  // Counted, not NUL-terminated.
  EXPECT_NE(Jam_Crc32("a\0b", 3), Jam_Crc32("a", 1));
}

TEST(JamRecords, AttributeMappingBothWays) {
  const std::pair<dword, dword> table[] = {
      {MSGPRIVATE, 0x4},        {MSGCRASH, 0x100},       {MSGREAD, 0x8},
      {MSGSENT, 0x10},          {MSGFILE, 0x2000},       {MSGFWD, 0x2},
      {MSGORPHAN, 0x40000},     {MSGKILL, 0x20},         {MSGLOCAL, 0x1},
      {MSGHOLD, 0x80},          {MSGXX2, 0x400},         {MSGFRQ, 0x1000},
      {MSGRRQ, 0x10000},        {MSGCPT, 0x20000},       {ATTR_IMMEDIATE, 0x200},
      {ATTR_LOCKED, 0x40000000},
  };
  XMSG x{};
  for (auto [msg, jam] : table) {
    SCOPED_TRACE(msg);
    x.attr = msg;
    EXPECT_EQ(Jam_MsgAttrToJam(&x), jam);
    EXPECT_EQ(Jam_JamAttrToMsg(jam), msg);
  }
  x.attr = MSGPRIVATE | MSGLOCAL;
  EXPECT_EQ(Jam_MsgAttrToJam(&x), 0x5u);
  EXPECT_EQ(Jam_JamAttrToMsg(0x5), MSGPRIVATE | MSGLOCAL);
  x.attr = MSGARQ | MSGURQ;  // no JAM counterpart
  EXPECT_EQ(Jam_MsgAttrToJam(&x), 0u);
  // Type and deleted bits never come back as XMSG bits.
  EXPECT_EQ(Jam_JamAttrToMsg(JAM_ECHOMAIL | JAM_NETMAIL | JAM_DELETED), 0u);
}

TEST(JamRecords, SignatureIgnoresCase) {
  const std::pair<const char*, bool> cases[] = {
      {"JAM", true}, {"jam", true}, {"JaM", true}, {"JAMX", false}, {"JA\0", false}, {"MAJ", false}};
  for (auto [sig, ok] : cases) {
    SCOPED_TRACE(sig);
    byte b[4] = {};
    std::memcpy(b, sig, std::min<std::size_t>(4, std::strlen(sig)));
    EXPECT_EQ(jam_signature_ok(b), ok);
  }
}

TEST(JamRecords, LocalSecondsAreWallClockAsUtc) {
  SCOMBO s{};
  s.msg_st.date.da = 12;
  s.msg_st.date.mo = 1;
  s.msg_st.date.yr = 17;
  s.msg_st.time.hh = 10;
  s.msg_st.time.mm = 20;
  s.msg_st.time.ss = 15;
  EXPECT_EQ(jam_local_seconds(s), 853064430u);  // 1997-01-12 10:20:30
  SCOMBO back = jam_stamp_from_seconds(853064430u);
  EXPECT_EQ(back.ldate, s.ldate);
  SCOMBO empty{};
  EXPECT_EQ(jam_local_seconds(empty), 0u);
  // A summer date: no daylight-saving hour comes or goes.
  s.msg_st.date.mo = 7;
  EXPECT_EQ(jam_stamp_from_seconds(jam_local_seconds(s)).ldate, s.ldate);
  // Month 0 is December of the year before, as the platform normalises it.
  s.msg_st.date.mo = 0;
  SCOMBO dec = jam_stamp_from_seconds(jam_local_seconds(s));
  EXPECT_EQ(dec.msg_st.date.mo, 12);
  EXPECT_EQ(dec.msg_st.date.yr, 16);
}

// The fields of a UTC time from the standard library's calendar, which
// covers the whole 32-bit range on every host; some C runtimes' gmtime
// stops at 2038.
struct tm UtcFields(dword s) {
  using namespace std::chrono;
  const sys_seconds tp{seconds(s)};
  const sys_days day = floor<days>(tp);
  const year_month_day ymd{day};
  const hh_mm_ss<seconds> hms{tp - day};
  struct tm t {};
  t.tm_year = int(ymd.year()) - 1900;
  t.tm_mon = int(unsigned(ymd.month())) - 1;
  t.tm_mday = int(unsigned(ymd.day()));
  t.tm_hour = int(hms.hours().count());
  t.tm_min = int(hms.minutes().count());
  t.tm_sec = int(hms.seconds().count());
  return t;
}

// Seconds become calendar fields by arithmetic, not through the C library:
// it must agree with the UTC calendar over the whole range of the 32-bit
// field, leap days and century years included.
TEST(JamRecords, SecondsToStampAgreesWithThePlatformCalendar) {
  std::vector<dword> secs = {0u,          59u,         86399u,      86400u,
                             951782399u,  951782400u,  951868800u,  4107542399u,
                             4107542400u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu};
  for (std::uint64_t s = 0; s <= 0xFFFFFFFFu; s += 999983u) secs.push_back(dword(s));
  for (dword s : secs) {
    SCOPED_TRACE(s);
    const struct tm g = UtcFields(s);
    SCOMBO want;
    want.ldate = 0;
    TmDate_to_DosDate(&g, &want);
    EXPECT_EQ(jam_stamp_from_seconds(s).ldate, want.ldate);
  }
}

}  // namespace
