// What goes back to a client, built in one buffer so that a reply leaves in
// one write: status lines, and multi-line blocks with CR LF line ends and
// dot-stuffing.
#ifndef NNTPD_REPLY_H
#define NNTPD_REPLY_H

#include <string>
#include <string_view>

namespace nntpd {

class Reply {
 public:
  // A status line such as "211 3 1 3 fido.test"; CR LF is added.
  Reply& status(std::string_view line);
  // One line of a multi-line block, without its line end.
  Reply& line(std::string_view text);
  // LF-separated text as lines of a block; a last line without LF counts.
  Reply& lines(std::string_view text);
  // The "." that ends a block.
  Reply& end();

  std::string& data() { return data_; }
  bool empty() const { return data_.empty(); }
  void clear() { data_.clear(); }

 private:
  std::string data_;
};

}  // namespace nntpd

#endif
