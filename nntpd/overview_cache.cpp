#include "overview_cache.h"

#include <algorithm>

namespace nntpd {

OverLine::OverLine(const Overview& o) : number(std::int64_t(o.number)) {
  text = std::to_string(o.number);
  for (const std::string* f : {&o.subject, &o.from, &o.date, &o.messageId, &o.references}) {
    text += '\t';
    text += *f;
  }
  text += '\t';
  text += std::to_string(o.bytes);
  text += '\t';
  text += std::to_string(o.lines);
}

std::string_view OverLine::field(Field f) const {
  std::string_view rest = text;
  for (int i = 0; i < f; ++i) {
    auto tab = rest.find('\t');
    if (tab == std::string_view::npos) return {};
    rest.remove_prefix(tab + 1);
  }
  return rest.substr(0, rest.find('\t'));
}

OverviewCache::OverviewCache(std::size_t areas, std::size_t maxLines)
    : areas_(areas), max_(maxLines) {}

const std::string* OverviewCache::find(std::size_t area, std::int64_t number,
                                       std::string_view raw) {
  Area& a = areas_[area];
  a.used = ++clock_;
  auto it = a.lines.find(number);
  if (it == a.lines.end() || it->second.raw != raw) return nullptr;
  return &it->second.line;
}

void OverviewCache::store(std::size_t area, std::int64_t number, std::string_view raw,
                          const std::string& line) {
  if (max_ == 0) return;
  Area& a = areas_[area];
  auto [it, added] = a.lines.try_emplace(number);
  it->second.raw.assign(raw);
  it->second.line = line;
  if (!added) return;
  ++count_;
  // Over the limit the area looked at longest ago goes whole: areas are
  // read a group at a time.
  while (count_ > max_) {
    auto victim = std::min_element(areas_.begin(), areas_.end(), [&](const Area& x, const Area& y) {
      bool xe = x.lines.empty(), ye = y.lines.empty();
      return xe != ye ? ye : x.used < y.used;
    });
    count_ -= victim->lines.size();
    victim->lines.clear();
  }
}

}  // namespace nntpd
