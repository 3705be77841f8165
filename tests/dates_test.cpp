// Date stamps, the FidoNet date string and the parser for stored dates.
#include "fidotext.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "testutil.h"

namespace {

// Local time is UTC here, so expectations do not depend on the machine.
class DatesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tz = std::getenv("TZ");
    had_tz_ = tz != nullptr;
    if (had_tz_) old_tz_ = tz;
    zt::SetTimeZone("UTC");
  }
  void TearDown() override { zt::SetTimeZone(had_tz_ ? old_tz_.c_str() : nullptr); }
  static int CurrentYear() {  // years since 1900
    time_t now = time(nullptr);
    struct tm t {};
    gmtime_r(&now, &t);
    return t.tm_year;
  }

 private:
  bool had_tz_ = false;
  std::string old_tz_;
};

struct Fields {
  int da, mo, year, hh, mm, ss;  // year in full; ss as stored (seconds / 2)
  bool operator==(const Fields&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Fields& f) {
  return os << f.year << "-" << f.mo << "-" << f.da << " " << f.hh << ":" << f.mm << " ss "
            << f.ss;
}

Fields FieldsOf(const SCOMBO& s) {
  return {s.msg_st.date.da,      s.msg_st.date.mo, s.msg_st.date.yr + 1980,
          s.msg_st.time.hh,      s.msg_st.time.mm, s.msg_st.time.ss};
}

SCOMBO Stamp(int da, int mo, int yr, int hh, int mm, int ss) {
  SCOMBO s{};
  s.msg_st.date.da = word(da);
  s.msg_st.date.mo = word(mo);
  s.msg_st.date.yr = word(yr);
  s.msg_st.time.hh = word(hh);
  s.msg_st.time.mm = word(mm);
  s.msg_st.time.ss = word(ss);
  return s;
}

constexpr Fields kStandard{1, 1, 1980, 0, 0, 0};

Fields Parse(const std::string& text) {
  char buf[64] = {};
  std::strncpy(buf, text.c_str(), sizeof buf - 1);
  SCOMBO s;
  s.ldate = 0xFFFFFFFFu;  // every bit must be rewritten
  ASCII_Date_To_Binary(buf, &s);
  return FieldsOf(s);
}

TEST_F(DatesTest, StoredDateShapes) {
  struct Case {
    const char* name;
    const char* text;
    Fields want;
  };
  const Case cases[] = {
      {"FidoNet form", "12 Jan 97  10:20:30", {12, 1, 1997, 10, 20, 15}},
      {"lower case month, no seconds", "12 jan 97 10:20", {12, 1, 1997, 10, 20, 0}},
      {"weekday first", "Sun 12 Jan 97 10:20", {12, 1, 1997, 10, 20, 0}},
      {"weekday with seconds ignores them", "Sun 12 Jan 97 10:20:30", {12, 1, 1997, 10, 20, 0}},
      {"slash form is month first", "01/12/97 10:20:30", {12, 1, 1997, 10, 20, 15}},
      {"slash month masked to 4 bits", "17/12/97 10:20:30", {12, 1, 1997, 10, 20, 15}},
      {"odd second rounds down", "12 Jan 97 10:20:31", {12, 1, 1997, 10, 20, 15}},
      {"full month name is January", "12 December 97 10:20", {12, 1, 1997, 10, 20, 0}},
      {"unknown month word", "12 Sept 97 10:20", {12, 1, 1997, 10, 20, 0}},
      {"mixed case month", "3 dEC 99 23:59:59", {3, 12, 1999, 23, 59, 29}},
      {"tabs and trailing text", "\t12\tFeb\t97\t10:20:30 GMT+2", {12, 2, 1997, 10, 20, 15}},
      {"blank after a colon is fine", "12 Mar 97 10: 20: 30", {12, 3, 1997, 10, 20, 15}},
      {"signed numbers", "+5 Apr 97 -1:20", {5, 4, 1997, 31, 20, 0}},
      {"out of range day and hour are masked", "32 May 97 25:61:59", {0, 5, 1997, 25, 61, 29}},
      {"huge numbers clamp", "99999999999999999999 Jun 97 10:20", {31, 6, 1997, 10, 20, 0}},
      {"blank before a colon fits nothing", "12 Jan 97 10 :20", kStandard},
      {"date without time", "12 Jan 97", kStandard},
      {"words only", "yesterday at noon", kStandard},
      {"blanks only", "   ", kStandard},
      {"slash form missing seconds", "01/12/97 10:20", kStandard},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Parse(c.text), c.want);
  }
}

TEST_F(DatesTest, TwoDigitYearsFollowTheCurrentCentury) {
  int cur = CurrentYear();
  // A hundred-year window around the current year; these cases hold for any
  // current year from 2003 to 2028.
  if (cur < 103 || cur > 128) GTEST_SKIP() << "cases chosen for 2003-2028";
  struct Case {
    const char* year;
    int want;
  };
  const Case cases[] = {
      {"97", 1997},   {"02", 2002},   {"52", 2052},   {"0", 2000},
      {"1997", 1997}, {"2030", 2030}, {"2102", 2002}, {"1897", 1997},
      {"1979", 2107},  // before 1980: wraps 128 years on
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.year);
    Fields f = Parse(std::string("12 Jan ") + c.year + " 10:20");
    EXPECT_EQ(f.year, c.want);
  }
}

TEST_F(DatesTest, EmptyTextGetsTheCurrentTimeAndTheStampTheStandardDate) {
  char buf[24];
  std::memset(buf, '#', sizeof buf);
  buf[0] = '\0';
  SCOMBO s = Stamp(5, 5, 5, 5, 5, 5);
  time_t before = time(nullptr);
  ASCII_Date_To_Binary(buf, &s);
  EXPECT_EQ(FieldsOf(s), kStandard);
  EXPECT_EQ(buf[20], '#');  // 19 characters and the NUL, no more
  ASSERT_EQ(std::strlen(buf), 19u) << buf;
  EXPECT_EQ(std::string(buf + 9, 2), "  ");

  // The text is the FidoNet form of now, and parses back to now.
  char want[32];
  struct tm t {};
  gmtime_r(&before, &t);
  strftime(want, sizeof want, "%d %b %y", &t);
  EXPECT_EQ(std::string(buf, 9), want);
  SCOMBO back;
  ASCII_Date_To_Binary(buf, &back);
  struct tm bt {};
  DosDate_to_TmDate(&back, &bt);
  EXPECT_NEAR(double(zt::TimeGm(&bt)), double(before), 3.0);
}

TEST_F(DatesTest, AnyBytesParseWithoutHarm) {
  // Under the sanitizers an overread or an overflowing number fails here.
  std::mt19937 rng(7);
  const char alphabet[] = "0123456789 :/\t-+JanFebDecjan\x01\xff";
  for (int round = 0; round < 20000; ++round) {
    char buf[48];
    std::size_t len = rng() % (sizeof buf - 1);
    for (std::size_t i = 0; i < len; ++i) buf[i] = alphabet[rng() % (sizeof alphabet - 1)];
    buf[len] = '\0';
    if (len == 0) continue;  // the empty text is rewritten; covered above
    std::string before(buf);
    SCOMBO s;
    ASCII_Date_To_Binary(buf, &s);
    ASSERT_EQ(before, buf);  // a non-empty text is never changed
  }
  // A month word of any length is read whole but only compared by its start.
  std::string long_word = "1 " + std::string(5000, 'J') + " 97 10:20:30";
  std::vector<char> big(long_word.begin(), long_word.end());
  big.push_back('\0');
  SCOMBO s;
  ASCII_Date_To_Binary(big.data(), &s);
  EXPECT_EQ(FieldsOf(s), (Fields{1, 1, 1997, 10, 20, 15}));
}

TEST_F(DatesTest, BrokenDownTimeToStamp) {
  struct tm t {};
  t.tm_year = 102;  // 2002
  t.tm_mon = 6;
  t.tm_mday = 14;
  t.tm_hour = 23;
  t.tm_min = 59;
  t.tm_sec = 59;
  SCOMBO s{};
  EXPECT_EQ(TmDate_to_DosDate(&t, &s), &s);
  EXPECT_EQ(FieldsOf(s), (Fields{14, 7, 2002, 23, 59, 29}));
  // The packed words as every file format stores them.
  EXPECT_EQ(s.dos_st.date, 14 | 7 << 5 | 22 << 9);
  EXPECT_EQ(s.dos_st.time, 29 | 59 << 5 | 23 << 11);

  t.tm_year = 79;  // 1979 wraps to 2107
  t.tm_sec = 60;   // a leap second still fits the field
  TmDate_to_DosDate(&t, &s);
  EXPECT_EQ(FieldsOf(s), (Fields{14, 7, 2107, 23, 59, 30}));

  t.tm_mon = INT_MAX;  // wild fields are masked without overflowing
  t.tm_year = INT_MIN;
  TmDate_to_DosDate(&t, &s);
  EXPECT_EQ(s.msg_st.date.mo, 0);
  EXPECT_EQ(s.msg_st.date.yr, (0x80000000u - 80u) & 0x7F);
}

TEST_F(DatesTest, StampToBrokenDownTime) {
  is_dst = -1;
  struct tm t;
  std::memset(&t, 0x5A, sizeof t);
  SCOMBO s = Stamp(12, 1, 17, 10, 20, 15);  // 12 Jan 1997 10:20:30
  EXPECT_EQ(DosDate_to_TmDate(&s, &t), &t);
  EXPECT_EQ(is_dst, 0);  // sampled on first use; UTC has none
  EXPECT_EQ(t.tm_mday, 12);
  EXPECT_EQ(t.tm_mon, 0);
  EXPECT_EQ(t.tm_year, 97);
  EXPECT_EQ(t.tm_hour, 10);
  EXPECT_EQ(t.tm_min, 20);
  EXPECT_EQ(t.tm_sec, 30);
  EXPECT_EQ(t.tm_isdst, 0);
  EXPECT_EQ(t.tm_wday, 0x5A5A5A5A);  // left for mktime to fill
  EXPECT_EQ(t.tm_yday, 0x5A5A5A5A);

  // An empty date word is the epoch, whatever the time word says.
  SCOMBO empty{};
  empty.dos_st.time = 0xFFFF;
  std::memset(&t, 0x5A, sizeof t);
  DosDate_to_TmDate(&empty, &t);
  time_t zero = 0;
  struct tm epoch {};
  gmtime_r(&zero, &epoch);
  EXPECT_EQ(std::make_tuple(t.tm_year, t.tm_mon, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec,
                            t.tm_wday, t.tm_yday, t.tm_isdst),
            std::make_tuple(70, 0, 1, 0, 0, 0, epoch.tm_wday, 0, 0));
}

TEST_F(DatesTest, CurrentTimeRoundTrips) {
  is_dst = -1;
  time_t before = time(nullptr);
  SCOMBO s;
  EXPECT_EQ(Get_Dos_Date(&s), &s);
  struct tm t {};
  DosDate_to_TmDate(&s, &t);
  EXPECT_NEAR(double(mktime(&t)), double(before), 3.0);
}

TEST_F(DatesTest, FidoNetDateString) {
  struct Case {
    const char* name;
    SCOMBO stamp;
    const char* want;
  };
  SCOMBO junk_1980{};
  junk_1980.msg_st.date.da = 9;
  junk_1980.dos_st.time = 0xFFFF;
  const Case cases[] = {
      {"all zero", SCOMBO{}, ""},
      {"1980 is empty", junk_1980, ""},
      {"ordinary", Stamp(12, 1, 17, 10, 20, 15), "12 Jan 97  10:20:30"},
      {"year 2000", Stamp(1, 12, 20, 0, 0, 0), "01 Dec 00  00:00:00"},
      {"zero day, month 0", Stamp(0, 0, 22, 1, 2, 3), "00 Jan 02  01:02:06"},
      {"month 13", Stamp(5, 13, 22, 1, 2, 3), "05 Jan 02  01:02:06"},
      {"every field at its widest", Stamp(31, 15, 127, 31, 63, 31), "31 Jan 07  31:63:62"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    char buf[FTSC_DATE_SIZE + 4];
    std::memset(buf, '#', sizeof buf);
    EXPECT_EQ(sc_time(&c.stamp, buf), buf);
    EXPECT_STREQ(buf, c.want);
    EXPECT_EQ(buf[FTSC_DATE_SIZE], '#');
  }
  // A broken-down time keeps its odd second; wild fields keep the length.
  struct tm t {};
  t.tm_mday = 7;
  t.tm_mon = 11;
  t.tm_year = 126;
  t.tm_hour = 9;
  t.tm_min = 35;
  t.tm_sec = 31;
  char buf[FTSC_DATE_SIZE];
  EXPECT_STREQ(TmDate_to_FtscDate(&t, buf), "07 Dec 26  09:35:31");
  t.tm_mday = -1;
  t.tm_mon = 12;
  t.tm_year = 2026;
  EXPECT_EQ(std::strlen(TmDate_to_FtscDate(&t, buf)), std::size_t(FTSC_DATE_LEN));
}

TEST_F(DatesTest, StoredStampOrStoredText) {
  struct Case {
    const char* name;
    SCOMBO stored;
    Fields want;
  };
  const Fields from_text{12, 1, 1997, 10, 20, 15};
  const Case cases[] = {
      {"plausible stamp wins", Stamp(3, 4, 22, 5, 6, 7), {3, 4, 2002, 5, 6, 7}},
      {"seconds are not looked at", Stamp(3, 12, 50, 23, 59, 31), {3, 12, 2030, 23, 59, 31}},
      {"month 0", Stamp(3, 0, 22, 5, 6, 7), from_text},
      {"month 13", Stamp(3, 13, 22, 5, 6, 7), from_text},
      {"1980: a point of 56 where the stamp would be", Stamp(24, 1, 0, 0, 0, 17), from_text},
      {"1981", Stamp(3, 4, 1, 5, 6, 7), {3, 4, 1981, 5, 6, 7}},
      {"2031 is too late", Stamp(3, 4, 51, 5, 6, 7), from_text},
      {"zero day", Stamp(0, 4, 22, 5, 6, 7), from_text},
      {"hour 24", Stamp(3, 4, 22, 24, 6, 7), from_text},
      {"minute 60", Stamp(3, 4, 22, 5, 60, 7), from_text},
      {"empty stamp", SCOMBO{}, from_text},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    char text[FTSC_DATE_SIZE] = "12 Jan 97  10:20:30";
    SCOMBO got;
    got.ldate = 0;
    Get_Binary_Date(&got, &c.stored, text);
    EXPECT_EQ(FieldsOf(got), c.want);
  }
}

}  // namespace
