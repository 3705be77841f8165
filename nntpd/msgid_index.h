// Message-ID -> (area, number) for every area the server serves, shared by
// all connections of the process and kept in memory only.
//
// An area's part of the index covers its numbers 1..covered(area): what the
// overview of that range holds is known. Overviews fetched for any reason
// are offered to the index; a range that joins what is covered extends it,
// so the index follows an area whose high number moves by fetching only the
// new range. Numbers can change behind our back (a Squish area renumbers
// when a message is deleted): callers check what they fetch against the
// Message-ID they looked up, and reset the area when they disagree.
#ifndef NNTPD_MSGID_INDEX_H
#define NNTPD_MSGID_INDEX_H

#include <cstdint>
#include <ctime>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace nntpd {

class MsgIdIndex {
 public:
  explicit MsgIdIndex(std::size_t areas) : areas_(areas) {}

  struct Place {
    std::size_t area;
    std::int64_t number;
  };
  struct Entry {
    std::int64_t number;
    std::string messageId;
    std::time_t date;
  };

  // Where `messageId` is among the areas `within` marks (all of them when
  // null); the first in configuration order when it is in several
  // (echomail stored in two areas).
  std::optional<Place> find(std::string_view messageId,
                            const std::vector<bool>* within = nullptr) const;

  std::int64_t covered(std::size_t area) const { return areas_[area].covered; }

  // `entries` are all messages numbered first..last in `area`. Known when the
  // range joins the covered part; ignored otherwise.
  void learn(std::size_t area, std::int64_t first, std::int64_t last,
             const std::vector<Entry>& entries);

  // Forgets everything about `area`.
  void reset(std::size_t area);

  // Numbers of `area` within [first, last] that the covered part holds.
  std::vector<std::int64_t> numbers(std::size_t area, std::int64_t first,
                                    std::int64_t last) const;
  std::size_t count(std::size_t area) const { return areas_[area].byNumber.size(); }
  // The lowest number the area holds; 0 when it holds none.
  std::int64_t lowest(std::size_t area) const {
    const auto& m = areas_[area].byNumber;
    return m.empty() ? 0 : m.begin()->first;
  }

  // Message-IDs of `area` dated at or after `since`.
  std::vector<std::string> since(std::size_t area, std::time_t since) const;

 private:
  struct Known {
    std::string messageId;
    std::time_t date;
  };
  struct Area {
    std::int64_t covered = 0;
    std::map<std::int64_t, Known> byNumber;
  };
  std::vector<Area> areas_;
  std::unordered_multimap<std::string, Place> byId_;
};

}  // namespace nntpd

#endif
