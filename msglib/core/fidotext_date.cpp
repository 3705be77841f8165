// Stamps, broken-down time, the current date, the FidoNet date text and
// the month tables.
#include "fidotext.h"

int is_dst = -1;

SCOMBO* TmDate_to_DosDate(const struct tm* tmdate, SCOMBO* dosdate) {
  // Each value is cut to its field width; years outside 1980-2107 wrap
  // modulo 128. Unsigned arithmetic, so that no field of a caller's record,
  // however wild, can overflow on the way.
  dosdate->msg_st.date.da = word(unsigned(tmdate->tm_mday) & 0x1F);
  dosdate->msg_st.date.mo = word((unsigned(tmdate->tm_mon) + 1u) & 0x0F);
  dosdate->msg_st.date.yr = word((unsigned(tmdate->tm_year) - 80u) & 0x7F);
  dosdate->msg_st.time.hh = word(unsigned(tmdate->tm_hour) & 0x1F);
  dosdate->msg_st.time.mm = word(unsigned(tmdate->tm_min) & 0x3F);
  dosdate->msg_st.time.ss = word(unsigned(tmdate->tm_sec / 2) & 0x1F);
  return dosdate;
}

struct tm* DosDate_to_TmDate(const SCOMBO* dosdate, struct tm* tmdate) {
  // Sampled once per process: a run across a daylight-saving change keeps
  // the flag it started with.
  if (is_dst == -1) {
    time_t now = time(nullptr);
    struct tm local {};
    is_dst = localtime_r(&now, &local) != nullptr && local.tm_isdst ? 1 : 0;
  }

  if (StampIsEmpty(*dosdate)) {
    time_t epoch = 0;
    gmtime_r(&epoch, tmdate);
    return tmdate;
  }

  // tm_wday and tm_yday stay as they were; a caller that needs them
  // normalises the record with mktime.
  tmdate->tm_mday = dosdate->msg_st.date.da;
  tmdate->tm_mon = dosdate->msg_st.date.mo - 1;
  tmdate->tm_year = dosdate->msg_st.date.yr + 80;
  tmdate->tm_hour = dosdate->msg_st.time.hh;
  tmdate->tm_min = dosdate->msg_st.time.mm;
  tmdate->tm_sec = dosdate->msg_st.time.ss * 2;
  tmdate->tm_isdst = is_dst;
  return tmdate;
}

char* Ftsc_Date(char* out, unsigned day, unsigned month, unsigned year, unsigned hour,
                unsigned minute, unsigned second) {
  // Written by hand: readers make one for every message, and printf's format
  // parsing cost more than the rest of the conversion.
  const unsigned mo = month >= 1 && month <= 12 ? month - 1 : 0;
  char* p = out;
  auto two = [&p](unsigned v) {
    v %= 100;
    *p++ = char('0' + v / 10);
    *p++ = char('0' + v % 10);
  };
  two(day);
  *p++ = ' ';
  for (int i = 0; i < 3; ++i) *p++ = months_ab[mo][i];
  *p++ = ' ';
  two(year);
  *p++ = ' ';
  *p++ = ' ';
  two(hour);
  *p++ = ':';
  two(minute);
  *p++ = ':';
  two(second);
  *p = '\0';
  return out;
}

char* TmDate_to_FtscDate(const struct tm* tmdate, char* out) {
  // Unsigned, so that no field of a caller's record, however wild, can
  // overflow or print a sign.
  return Ftsc_Date(out, unsigned(tmdate->tm_mday), unsigned(tmdate->tm_mon) + 1u,
                   unsigned(tmdate->tm_year), unsigned(tmdate->tm_hour),
                   unsigned(tmdate->tm_min), unsigned(tmdate->tm_sec));
}

char* sc_time(const SCOMBO* sc, char* string) {
  const auto& d = sc->msg_st.date;
  const auto& t = sc->msg_st.time;
  if (d.yr == 0) {
    string[0] = '\0';
    return string;
  }
  // The day is printed as stored, so a zero day prints as 00.
  return Ftsc_Date(string, d.da, d.mo, d.yr + 80u, t.hh, t.mm, t.ss * 2u);
}

SCOMBO* Get_Dos_Date(SCOMBO* st) {
  time_t now = time(nullptr);
  struct tm local {};
  if (localtime_r(&now, &local) == nullptr) {
    StandardDate(st);
    return st;
  }
  return TmDate_to_DosDate(&local, st);
}

const char months[12][10] = {
    "January", "February", "March",     "April",   "May",      "June",
    "July",    "August",   "September", "October", "November", "December",
};

const char months_ab[12][4] = {
    "Jan", "Feb", "Mar", "Apr", "May", "Jun",
    "Jul", "Aug", "Sep", "Oct", "Nov", "Dec",
};
