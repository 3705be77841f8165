#include "dates.h"

#include <algorithm>
#include <array>
#include <charconv>

namespace nntpd {

std::optional<std::time_t> parseNewsDate(std::string_view date, std::string_view time,
                                         bool gmt, std::time_t now) {
  if ((date.size() != 6 && date.size() != 8) || time.size() != 6) return std::nullopt;
  if (!std::all_of(date.begin(), date.end(), [](char c) { return c >= '0' && c <= '9'; }) ||
      !std::all_of(time.begin(), time.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return std::nullopt;
  auto num = [](std::string_view s) {
    int v = 0;
    for (char c : s) v = v * 10 + (c - '0');
    return v;
  };
  std::tm tm{};
  int year = num(date.substr(0, date.size() - 4));
  if (date.size() == 6) {
    // The century that puts the date no further in the future than the
    // current year: a year up to this one's two digits is this century.
    std::tm nowTm{};
    gmtime_r(&now, &nowTm);
    int thisYear = nowTm.tm_year + 1900;
    int century = thisYear / 100 * 100;
    year += century;
    if (year > thisYear) year -= 100;
  }
  tm.tm_year = year - 1900;
  tm.tm_mon = num(date.substr(date.size() - 4, 2)) - 1;
  tm.tm_mday = num(date.substr(date.size() - 2, 2));
  tm.tm_hour = num(time.substr(0, 2));
  tm.tm_min = num(time.substr(2, 2));
  tm.tm_sec = num(time.substr(4, 2));
  if (tm.tm_mon < 0 || tm.tm_mon > 11 || tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_hour > 23 ||
      tm.tm_min > 59 || tm.tm_sec > 60)
    return std::nullopt;
  if (gmt) return timegm(&tm);
  tm.tm_isdst = -1;
  return std::mktime(&tm);
}

std::optional<std::time_t> parseRfc5322Date(std::string_view date) {
  static constexpr std::array<std::string_view, 12> MONTHS = {
      "Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  if (auto comma = date.find(','); comma != std::string_view::npos) date.remove_prefix(comma + 1);
  auto word = [&date]() {
    while (!date.empty() && date.front() == ' ') date.remove_prefix(1);
    auto sp = date.find(' ');
    std::string_view w = date.substr(0, sp);
    date.remove_prefix(sp == std::string_view::npos ? date.size() : sp);
    return w;
  };
  auto num = [](std::string_view s, int& v) {
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    return ec == std::errc() && p == s.data() + s.size();
  };
  std::string_view d = word(), mon = word(), y = word(), hms = word(), zone = word();
  std::tm tm{};
  int year = 0;
  if (!num(d, tm.tm_mday) || !num(y, year) || hms.size() != 8) return std::nullopt;
  auto m = std::find(MONTHS.begin(), MONTHS.end(), mon);
  if (m == MONTHS.end()) return std::nullopt;
  tm.tm_mon = int(m - MONTHS.begin());
  tm.tm_year = year - 1900;
  if (!num(hms.substr(0, 2), tm.tm_hour) || !num(hms.substr(3, 2), tm.tm_min) ||
      !num(hms.substr(6, 2), tm.tm_sec))
    return std::nullopt;
  std::time_t t = timegm(&tm);
  int offset = 0;
  if (zone.size() == 5 && (zone[0] == '+' || zone[0] == '-') && num(zone.substr(1), offset)) {
    int secs = (offset / 100) * 3600 + (offset % 100) * 60;
    t -= zone[0] == '+' ? secs : -secs;
  }
  return t;
}

std::string nntpDate(std::time_t t) {
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y%m%d%H%M%S", &tm);
  return buf;
}

}  // namespace nntpd
