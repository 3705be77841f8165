#include "command.h"

#include <algorithm>
#include <charconv>
#include <climits>

namespace nntpd {
namespace {

struct Syntax {
  std::string_view name;
  Verb verb;
  std::size_t minArgs, maxArgs;  // words after the command
};

constexpr Syntax COMMANDS[] = {
    {"ARTICLE", Verb::Article, 0, 1},
    {"AUTHINFO", Verb::Authinfo, 2, 2},
    {"BODY", Verb::Body, 0, 1},
    {"CAPABILITIES", Verb::Capabilities, 0, 1},
    {"DATE", Verb::Date, 0, 0},
    {"GROUP", Verb::Group, 1, 1},
    {"HDR", Verb::Hdr, 1, 2},
    {"HEAD", Verb::Head, 0, 1},
    {"HELP", Verb::Help, 0, 0},
    {"IHAVE", Verb::Ihave, 1, 1},
    {"LAST", Verb::Last, 0, 0},
    {"LIST", Verb::List, 0, 2},
    {"LISTGROUP", Verb::Listgroup, 0, 2},
    {"MODE", Verb::Mode, 1, 1},
    {"NEWGROUPS", Verb::Newgroups, 2, 4},
    {"NEWNEWS", Verb::Newnews, 3, 5},
    {"NEXT", Verb::Next, 0, 0},
    {"OVER", Verb::Over, 0, 1},
    {"POST", Verb::Post, 0, 0},
    {"QUIT", Verb::Quit, 0, 0},
    {"STARTTLS", Verb::Starttls, 0, 0},
    {"STAT", Verb::Stat, 0, 1},
    {"XHDR", Verb::Xhdr, 1, 2},
    {"XOVER", Verb::Xover, 0, 1},
};

bool isBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

void LineBuffer::append(const char* data, std::size_t size) { data_.append(data, size); }

LineBuffer::Got LineBuffer::next(std::string& line, std::size_t max) {
  const auto eol = data_.find('\n', scanned_);
  if (eol == std::string::npos) {
    if (data_.size() >= max) {
      // Too long already: the rest of it is dropped as it comes.
      dropping_ = true;
      data_.clear();
    }
    scanned_ = data_.size();
    return Got::More;
  }
  scanned_ = 0;
  if (dropping_ || eol + 1 > max) {
    dropping_ = false;
    data_.erase(0, eol + 1);
    return Got::TooLong;
  }
  std::size_t len = eol;
  if (len > 0 && data_[len - 1] == '\r') --len;
  line.assign(data_, 0, len);
  data_.erase(0, eol + 1);
  return Got::Line;
}

ParsedCommand parseCommand(std::string_view line) {
  ParsedCommand c;
  std::vector<std::string_view> words = splitWords(line);
  if (words.empty()) return c;
  c.name = upper(words[0]);
  const Syntax* syntax = nullptr;
  for (const Syntax& s : COMMANDS)
    if (s.name == c.name) syntax = &s;
  if (!syntax) {
    c.status = ParsedCommand::Status::Unknown;
    return c;
  }
  c.verb = syntax->verb;
  if (c.verb == Verb::Authinfo && words.size() >= 3) {
    // The user name or password is the rest of the line after one blank.
    const std::string_view keyword = words[1];
    const std::size_t at = std::size_t(keyword.data() - line.data()) + keyword.size() + 1;
    words.resize(2);
    words.push_back(line.substr(at));
  }
  c.args.assign(words.begin() + 1, words.end());
  c.status = c.args.size() < syntax->minArgs || c.args.size() > syntax->maxArgs
                 ? ParsedCommand::Status::Syntax
                 : ParsedCommand::Status::Ok;
  return c;
}

std::vector<std::string_view> splitWords(std::string_view line) {
  std::vector<std::string_view> words;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && isBlank(line[i])) ++i;
    std::size_t start = i;
    while (i < line.size() && !isBlank(line[i])) ++i;
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
