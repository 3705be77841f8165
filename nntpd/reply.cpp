#include "reply.h"

namespace nntpd {

Reply& Reply::status(std::string_view text) {
  data_ += text;
  data_ += "\r\n";
  return *this;
}

Reply& Reply::line(std::string_view text) {
  // A line can carry a CR of the message's own; as the last byte before our
  // CR LF it would make the line end look doubled.
  if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
  if (!text.empty() && text.front() == '.') data_ += '.';
  data_ += text;
  data_ += "\r\n";
  return *this;
}

Reply& Reply::lines(std::string_view text) {
  data_.reserve(data_.size() + text.size() + text.size() / 32);
  while (!text.empty()) {
    auto eol = text.find('\n');
    line(text.substr(0, eol));
    if (eol == std::string_view::npos) break;
    text.remove_prefix(eol + 1);
  }
  return *this;
}

Reply& Reply::end() {
  data_ += ".\r\n";
  return *this;
}

}  // namespace nntpd
