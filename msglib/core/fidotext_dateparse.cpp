// The FidoNet date text, and the other shapes of date found in stored
// messages, read back into stamps.
#include "fidotext.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

// The shapes of dates found in stored messages, tried in this order. They
// are read with the rules of the C library's formatted input (a blank skips
// any run of white space, none included; %d skips white space and reads a
// signed decimal; %s skips white space and reads up to the next; other
// characters must match exactly; anything after the last conversion is
// ignored), but by a small scanner of our own: the text comes from a message
// file and may be anything, and scanf has no defined result for a number
// that overflows and no bound on a word.
enum Field { DAY, MONTH, YEAR, HOUR, MINUTE, SECOND, FIELD_COUNT };

struct DatePattern {
  const char* format;
  Field order[FIELD_COUNT];  // where each conversion goes, in order
};

constexpr DatePattern date_patterns[] = {
    {"%d %s %d %d:%d:%d", {DAY, MONTH, YEAR, HOUR, MINUTE, SECOND}},
    {"%d %s %d %d:%d", {DAY, MONTH, YEAR, HOUR, MINUTE}},
    {"%*s %d %s %d %d:%d", {DAY, MONTH, YEAR, HOUR, MINUTE}},  // weekday first
    {"%d/%d/%d %d:%d:%d", {MONTH, DAY, YEAR, HOUR, MINUTE, SECOND}},
};

// A month word longer than three characters can never equal an abbreviation,
// so four characters are enough to tell.
constexpr int MONTH_WORD_KEEP = 4;

struct ScannedDate {
  int value[FIELD_COUNT] = {};     // seconds stay 0 when not scanned
  char month_word[MONTH_WORD_KEEP + 1] = {};
  bool month_by_name = false;
};

bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

const char* skip_blanks(const char* p) {
  while (is_blank(*p)) ++p;
  return p;
}

// %d. Values beyond the range of int are clamped to it.
bool scan_number(const char*& p, int* out) {
  const char* q = skip_blanks(p);
  bool negative = false;
  if (*q == '+' || *q == '-') negative = *q++ == '-';
  if (*q < '0' || *q > '9') return false;
  std::int64_t v = 0;
  for (; *q >= '0' && *q <= '9'; ++q) {
    if (v <= INT_MAX) v = v * 10 + (*q - '0');  // stays far below int64's limit
  }
  if (negative) v = -v;
  *out = v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : int(v);
  p = q;
  return true;
}

// %s, keeping at most `keep` characters of the word (null: keep none).
bool scan_word(const char*& p, char* out, int keep) {
  const char* q = skip_blanks(p);
  if (*q == '\0') return false;
  int n = 0;
  for (; *q != '\0' && !is_blank(*q); ++q) {
    if (n < keep) out[n++] = *q;
  }
  if (out) out[n] = '\0';
  p = q;
  return true;
}

// True when every conversion of the pattern was filled.
bool scan_date(const char* text, const DatePattern& pat, ScannedDate* sd) {
  const char* p = text;
  int conv = 0;
  for (const char* f = pat.format; *f != '\0'; ++f) {
    if (*f == ' ') {
      p = skip_blanks(p);
    } else if (*f != '%') {
      if (*p != *f) return false;
      ++p;
    } else if (f[1] == '*') {  // "%*s": a word read and thrown away
      if (!scan_word(p, nullptr, 0)) return false;
      f += 2;
    } else if (f[1] == 's') {
      if (!scan_word(p, sd->month_word, MONTH_WORD_KEEP)) return false;
      sd->month_by_name = true;
      ++conv;
      ++f;
    } else {
      if (!scan_number(p, &sd->value[pat.order[conv]])) return false;
      ++conv;
      ++f;
    }
  }
  return true;
}

char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

// The slot + 1 of the abbreviation the word equals, ignoring case; 1 when it
// equals none (full month names included).
int month_from_word(const char* w) {
  for (int m = 0; m < 12; ++m) {
    int i = 0;
    while (w[i] != '\0' && ascii_lower(w[i]) == ascii_lower(months_ab[m][i])) ++i;
    if (w[i] == '\0' && months_ab[m][i] == '\0') return m + 1;
  }
  return 1;
}

// Brings a year (years since 1900, or a two- or four-digit year) into the
// hundred years around the current one: cur - 49 ... cur + 50. This is what
// adding or subtracting 100 until it fits gives, without looping a clamped
// year millions of times.
std::int64_t window_year(int year, int cur) {
  std::int64_t low = std::int64_t(cur) - 49;
  std::int64_t r = (std::int64_t(year) - low) % 100;
  if (r < 0) r += 100;
  return low + r;
}

}  // namespace

void StandardDate(SCOMBO* d_date) {
  d_date->msg_st.date.da = 1;
  d_date->msg_st.date.mo = 1;
  d_date->msg_st.date.yr = 0;
  d_date->msg_st.time.hh = 0;
  d_date->msg_st.time.mm = 0;
  d_date->msg_st.time.ss = 0;
}

void ASCII_Date_To_Binary(char* msgdate, SCOMBO* d_written) {
  time_t now = time(nullptr);
  struct tm local {};
  localtime_r(&now, &local);

  if (msgdate == nullptr || *msgdate == '\0') {
    // Only the text learns the current time; the stamp gets the standard
    // date.
    if (msgdate != nullptr) {
      char now_text[FTSC_DATE_SIZE];
      TmDate_to_FtscDate(&local, now_text);
      // The caller's buffer holds FTSC_DATE_SIZE bytes.
      std::size_t n = std::min(std::strlen(now_text), std::size_t(FTSC_DATE_LEN));
      std::memcpy(msgdate, now_text, n);
      msgdate[n] = '\0';
    }
    StandardDate(d_written);
    return;
  }

  ScannedDate sd;
  bool found = false;
  for (const DatePattern& pat : date_patterns) {
    sd = ScannedDate();
    if (scan_date(msgdate, pat, &sd)) {
      found = true;
      break;
    }
  }
  if (!found) {
    StandardDate(d_written);
    return;
  }

  int month = sd.month_by_name ? month_from_word(sd.month_word) : sd.value[MONTH];
  std::int64_t year = window_year(sd.value[YEAR], local.tm_year);

  // No range checks: every value is cut to its field width, so a day of 32
  // is stored as 0 and an hour of 25 as 25.
  d_written->msg_st.date.da = word(unsigned(sd.value[DAY]) & 0x1F);
  d_written->msg_st.date.mo = word(unsigned(month) & 0x0F);
  d_written->msg_st.date.yr = word(std::uint64_t(year - 80) & 0x7F);
  d_written->msg_st.time.hh = word(unsigned(sd.value[HOUR]) & 0x1F);
  d_written->msg_st.time.mm = word(unsigned(sd.value[MINUTE]) & 0x3F);
  d_written->msg_st.time.ss = word(unsigned(sd.value[SECOND] / 2) & 0x1F);
}

void Get_Binary_Date(SCOMBO* todate, const SCOMBO* fromdate, char* datestr) {
  const auto& d = fromdate->msg_st.date;
  const auto& t = fromdate->msg_st.time;
  // Years 1981 to 2030; the seconds are not looked at. Software that keeps
  // the header of the old standard stores destination and origin zone, then
  // destination and origin point, in these eight bytes: numbers below 512
  // that read as dates early in 1980, most with a month of 0. No message was
  // written in 1980, so that year is no date either.
  bool plausible = d.da != 0 && d.mo >= 1 && d.mo <= 12 && d.yr >= 1 && d.yr <= 50 &&
                   t.hh <= 23 && t.mm <= 59;
  if (plausible)
    *todate = *fromdate;
  else
    ASCII_Date_To_Binary(datestr, todate);
}
