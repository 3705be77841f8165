#include "msgid_index.h"

#include <algorithm>

namespace nntpd {

std::optional<MsgIdIndex::Place> MsgIdIndex::find(std::string_view messageId,
                                                  const std::vector<bool>* within) const {
  auto [it, end] = byId_.equal_range(std::string(messageId));
  std::optional<Place> best;
  for (; it != end; ++it) {
    const Place& p = it->second;
    if (within && !(*within)[p.area]) continue;
    if (!best || p.area < best->area || (p.area == best->area && p.number < best->number))
      best = p;
  }
  return best;
}

void MsgIdIndex::learn(std::size_t area, std::int64_t first, std::int64_t last,
                       const std::vector<Entry>& entries) {
  Area& a = areas_[area];
  if (first > a.covered + 1 || last <= a.covered) return;
  for (const Entry& e : entries) {
    if (e.number <= a.covered || e.number < first || e.number > last || e.messageId.empty())
      continue;
    if (!a.byNumber.emplace(e.number, Known{e.messageId, e.date}).second) continue;
    byId_.emplace(e.messageId, Place{area, e.number});
  }
  a.covered = last;
}

void MsgIdIndex::reset(std::size_t area) {
  Area& a = areas_[area];
  for (const auto& [number, known] : a.byNumber) {
    auto [it, end] = byId_.equal_range(known.messageId);
    while (it != end) {
      if (it->second.area == area && it->second.number == number)
        it = byId_.erase(it);
      else
        ++it;
    }
  }
  a = Area{};
}

std::vector<std::int64_t> MsgIdIndex::numbers(std::size_t area, std::int64_t first,
                                              std::int64_t last) const {
  std::vector<std::int64_t> out;
  const auto& m = areas_[area].byNumber;
  for (auto it = m.lower_bound(first); it != m.end() && it->first <= last; ++it)
    out.push_back(it->first);
  return out;
}

std::vector<std::string> MsgIdIndex::since(std::size_t area, std::time_t since) const {
  std::vector<std::string> out;
  for (const auto& [number, known] : areas_[area].byNumber)
    if (known.date >= since) out.push_back(known.messageId);
  return out;
}

}  // namespace nntpd
