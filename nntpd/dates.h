// Dates as NNTP writes them: the arguments of NEWGROUPS and NEWNEWS, the
// reply of DATE, and the RFC 5322 dates of articles, read back for NEWNEWS.
#ifndef NNTPD_DATES_H
#define NNTPD_DATES_H

#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace nntpd {

// The "[yy]yymmdd hhmmss [GMT]" of NEWGROUPS and NEWNEWS as UTC seconds;
// `now` decides the century of a two-digit year. Without GMT the time is the
// server's local time.
std::optional<std::time_t> parseNewsDate(std::string_view date, std::string_view time,
                                         bool gmt, std::time_t now);

// "Thu, 07 Mar 2002 09:05:42 +0000" (the weekday optional) as UTC seconds.
std::optional<std::time_t> parseRfc5322Date(std::string_view date);

// "yyyymmddhhmmss" in UTC, for DATE.
std::string nntpDate(std::time_t t);

}  // namespace nntpd

#endif
