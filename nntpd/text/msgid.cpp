#include "msgid.h"

namespace nntpd {

std::optional<std::string> ftnMsgid(std::string_view) { return std::nullopt; }
bool isBackendMessageId(std::string_view) { return false; }
std::string contentMessageId(std::string_view, std::string_view, std::string_view,
                             std::string_view, std::string_view) {
  return "<0@nomsgid.invalid>";
}

}  // namespace nntpd
