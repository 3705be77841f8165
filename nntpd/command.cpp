#include "command.h"

#include <algorithm>
#include <charconv>
#include <climits>

namespace nntpd {

std::vector<std::string_view> splitWords(std::string_view line) {
  std::vector<std::string_view> words;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    std::size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    if (i > start) words.push_back(line.substr(start, i - start));
  }
  return words;
}

std::string upper(std::string_view s) {
  std::string u(s);
  for (char& c : u)
    if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
  return u;
}

std::optional<std::int64_t> parseNumber(std::string_view text) {
  if (text.empty() || text.size() > 19) return std::nullopt;  // RFC 3977: at most 16 digits
  std::int64_t v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size() || v < 0 || text[0] == '-')
    return std::nullopt;
  return v;
}

std::optional<Range> parseRange(std::string_view text) {
  auto dash = text.find('-');
  auto first = parseNumber(text.substr(0, dash));
  if (!first) return std::nullopt;
  if (dash == std::string_view::npos) return Range{*first, *first};
  std::string_view rest = text.substr(dash + 1);
  if (rest.empty()) return Range{*first, INT64_MAX};
  auto last = parseNumber(rest);
  if (!last) return std::nullopt;
  return Range{*first, *last};
}

bool isMessageId(std::string_view text) {
  if (text.size() < 3 || text.size() > 250 || text.front() != '<' || text.back() != '>')
    return false;
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return (unsigned char)c > ' ' && (unsigned char)c < 0x7f; });
}

}  // namespace nntpd
