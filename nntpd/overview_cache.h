// Overview lines as readers get them, and a cache of them keyed by the back
// end's line they were made from.
//
// Converting a back-end overview line (charsets, encoded-words, dates,
// Message-IDs) costs more than the back end took to make it. The conversion
// depends on the line alone (for one group, with the server's fixed
// options), so a line the back end gives again, byte for byte, is taken from
// here: every overview is still read from the back end, and a message that
// was renumbered or changed gives a different line and is converted anew.
// Readers fetch the same overviews again and again, from every connection.
#ifndef NNTPD_OVERVIEW_CACHE_H
#define NNTPD_OVERVIEW_CACHE_H

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "text/article.h"

namespace nntpd {

// "number TAB subject TAB from TAB date TAB message-id TAB references TAB
// bytes TAB lines": the fields of LIST OVERVIEW.FMT, none of which holds a
// tab.
struct OverLine {
  std::int64_t number = 0;
  std::string text;

  explicit OverLine(const Overview& o);
  OverLine(std::int64_t n, std::string t) : number(n), text(std::move(t)) {}

  enum Field { NUMBER, SUBJECT, FROM, DATE, MESSAGE_ID, REFERENCES, BYTES, LINES };
  std::string_view field(Field f) const;
  std::string_view messageId() const { return field(MESSAGE_ID); }
};

class OverviewCache {
 public:
  // At most `maxLines` lines in all; 0 keeps none.
  OverviewCache(std::size_t areas, std::size_t maxLines);

  // The line made before from exactly `raw` for message `number`, or null.
  // Valid until the next store().
  const std::string* find(std::size_t area, std::int64_t number, std::string_view raw);
  void store(std::size_t area, std::int64_t number, std::string_view raw,
             const std::string& line);

 private:
  struct Entry {
    std::string raw, line;
  };
  struct Area {
    std::unordered_map<std::int64_t, Entry> lines;
    std::uint64_t used = 0;  // when it was last looked at
  };
  std::vector<Area> areas_;
  std::size_t max_;
  std::size_t count_ = 0;
  std::uint64_t clock_ = 0;
};

}  // namespace nntpd

#endif
