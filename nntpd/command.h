// Cutting up what a reader sends: the command line into words, article
// ranges and message-ids.
#ifndef NNTPD_COMMAND_H
#define NNTPD_COMMAND_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nntpd {

// Longest command line accepted, CR LF included (RFC 3977 allows 512;
// readers send a little more in practice).
constexpr std::size_t MAX_COMMAND_LINE = 2048;

// The words of a command line, split at spaces and tabs. The first is the
// command, upper-cased.
std::vector<std::string_view> splitWords(std::string_view line);
std::string upper(std::string_view s);

// Article numbers as NNTP writes them: "n", "n-" (to the end) or "n-m". An
// empty range (m < n) is a valid range. Numbers are at most 2^63 - 1.
struct Range {
  std::int64_t first = 0;
  std::int64_t last = 0;  // INT64_MAX for "n-"
};
std::optional<Range> parseRange(std::string_view text);
std::optional<std::int64_t> parseNumber(std::string_view text);

// "<...>" of printable ASCII, no blanks, at most 250 characters.
bool isMessageId(std::string_view text);

}  // namespace nntpd

#endif
