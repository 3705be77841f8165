#include "reply.h"

namespace nntpd {

Reply& Reply::status(std::string_view text) {
  // Status lines echo what the client sent (a header name, say); a CR, LF
  // or NUL of its own would end or cut the line for the reader.
  const std::size_t start = data_.size();
  data_ += text;
  for (std::size_t i = start; i < data_.size(); ++i)
    if (data_[i] == '\r' || data_[i] == '\n' || data_[i] == '\0') data_[i] = '?';
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
