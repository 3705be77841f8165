// Private netmail: who a message is from and to, and whether that is one of
// a user's real names.
//
// The overview shows the sender but not the addressee, who is only in the
// article. What the article said is kept per message, keyed by its number
// and Message-ID, so that an overview of a netmail area fetches each
// article once, not on every listing.
#ifndef NNTPD_NETMAIL_H
#define NNTPD_NETMAIL_H

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace nntpd {

// A name as FidoNet software compares names: without regard to case (ASCII
// and Cyrillic), blanks at the ends dropped and runs of blanks made one.
std::string foldName(std::string_view utf8);

// The real names of a user, folded, and whether a message belongs to them.
class RealNames {
 public:
  RealNames() = default;
  explicit RealNames(const std::vector<std::string>& names);
  // `from` and `to` are UTF-8 names as readers see them, not yet folded.
  bool either(std::string_view from, std::string_view to) const;
  bool has(std::string_view name) const;

 private:
  std::vector<std::string> folded_;
};

class NetmailParties {
 public:
  // The addressee of message `number` of `area`, when it was learnt for the
  // message with this Message-ID.
  std::optional<std::string> addressee(std::size_t area, std::int64_t number,
                                       std::string_view messageId) const;
  void learn(std::size_t area, std::int64_t number, std::string messageId, std::string to);

 private:
  struct Known {
    std::string messageId, to;
  };
  std::map<std::pair<std::size_t, std::int64_t>, Known> known_;
};

}  // namespace nntpd

#endif
