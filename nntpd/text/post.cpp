#include "post.h"

namespace nntpd {

ParseResult parsePost(std::string_view, const PostLimits&) noexcept {
  return {std::nullopt, "not implemented"};
}
std::size_t Posting::textLength() const { return text.size(); }
std::string Posting::command(std::string_view, std::string_view, std::string_view) const {
  return {};
}
Posting buildPosting(const ParsedPost&, const PostingParams&) { return {}; }

}  // namespace nntpd
