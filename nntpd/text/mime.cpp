#include "mime.h"

namespace nntpd {

std::string encodeUnstructured(std::string_view, std::string_view utf8, HeaderMode) {
  return std::string(utf8);
}
std::string encodePhrase(std::string_view utf8, HeaderMode) { return std::string(utf8); }
std::string foldValue(std::string_view, std::string_view value) { return std::string(value); }
std::string unfold(std::string_view value) { return std::string(value); }
std::string decodeHeaderText(std::string_view raw) { return std::string(raw); }
std::string decodeQuotedPrintable(std::string_view text) { return std::string(text); }
std::string decodeBase64(std::string_view text) { return std::string(text); }
std::string decodeFlowed(std::string_view text, bool) { return std::string(text); }

}  // namespace nntpd
