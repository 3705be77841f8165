#include "netmail.h"

#include <algorithm>

namespace nntpd {
namespace {

// Past this many messages the addressees are learnt afresh.
constexpr std::size_t MAX_KNOWN = 200000;

}  // namespace

std::string foldName(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  bool blank = false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    auto c = (unsigned char)s[i];
    if (c == ' ' || c == '\t') {
      blank = !out.empty();
      continue;
    }
    if (blank) out += ' ';
    blank = false;
    if (c >= 'A' && c <= 'Z') {
      out += char(c - 'A' + 'a');
    } else if (c == 0xd0 && i + 1 < s.size()) {
      // U+0400..U+043F: capitals А..Я (D0 90..D0 AF) and Ё (D0 81) to small.
      auto d = (unsigned char)s[++i];
      if (d >= 0x90 && d <= 0x9f) {
        out += char(0xd0), out += char(d + 0x20);
      } else if (d >= 0xa0 && d <= 0xaf) {
        out += char(0xd1), out += char(d - 0x20);
      } else if (d == 0x81) {
        out += char(0xd1), out += char(0x91);
      } else {
        out += char(c), out += char(d);
      }
    } else {
      out += char(c);
    }
  }
  return out;
}

RealNames::RealNames(const std::vector<std::string>& names) {
  for (const std::string& n : names) folded_.push_back(foldName(n));
}

bool RealNames::has(std::string_view name) const {
  if (folded_.empty()) return false;
  const std::string f = foldName(name);
  return std::find(folded_.begin(), folded_.end(), f) != folded_.end();
}

bool RealNames::either(std::string_view from, std::string_view to) const {
  return has(from) || has(to);
}

std::optional<std::string> NetmailParties::addressee(std::size_t area, std::int64_t number,
                                                     std::string_view messageId) const {
  auto it = known_.find({area, number});
  if (it == known_.end() || it->second.messageId != messageId) return std::nullopt;
  return it->second.to;
}

void NetmailParties::learn(std::size_t area, std::int64_t number, std::string messageId,
                           std::string to) {
  if (known_.size() >= MAX_KNOWN) known_.clear();
  known_[{area, number}] = Known{std::move(messageId), std::move(to)};
}

}  // namespace nntpd
