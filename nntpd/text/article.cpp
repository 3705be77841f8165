#include "article.h"

namespace nntpd {

std::optional<std::string> Article::field(std::string_view) const { return std::nullopt; }
std::string Article::head() const { return {}; }
std::string Article::text() const { return {}; }

std::optional<Article> renderArticle(std::string_view, std::string_view, const ServerFields&,
                                     const RenderOptions&) {
  return std::nullopt;
}
std::optional<Overview> convertOverview(std::string_view, std::string_view,
                                        const RenderOptions&) {
  return std::nullopt;
}
std::optional<std::string> rfc5322Date(std::string_view) { return std::nullopt; }

}  // namespace nntpd
