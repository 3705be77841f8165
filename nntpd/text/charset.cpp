#include "charset.h"

namespace nntpd {

std::optional<Charset> charsetByName(std::string_view) { return std::nullopt; }
std::string_view charsetName(Charset) { return "utf-8"; }
std::string toUtf8(std::string_view bytes, Charset) { return std::string(bytes); }
bool isValidUtf8(std::string_view) { return true; }
std::string utf8ToCp1251(std::string_view utf8) { return std::string(utf8); }
std::size_t utf8Prefix(std::string_view utf8, std::size_t max) {
  return utf8.size() < max ? utf8.size() : max;
}
std::string backendToUtf8(std::string_view text, Charset) { return std::string(text); }
std::optional<Charset> charsetOfKludge(std::string_view) { return std::nullopt; }

}  // namespace nntpd
