// What readers get: the back end's articles and overview lines (code page
// 1251, its own header layout) turned into UTF-8 MIME articles and overview
// fields.
//
// Line ends are LF throughout; the server turns them into CR LF and does the
// dot-stuffing on the wire.
#ifndef NNTPD_TEXT_ARTICLE_H
#define NNTPD_TEXT_ARTICLE_H

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "charset.h"
#include "mime.h"

namespace nntpd {

struct RenderOptions {
  HeaderMode headers = HeaderMode::Encoded;
  // The charset of stored text that names none.
  Charset defaultCharset = Charset::Cp866;
  // The DOS code page a "CHRS: IBMPC" kludge stands for.
  Charset ibmpc = Charset::Cp866;
};

// Lines the server adds to an article; empty ones are left out.
struct ServerFields {
  std::string path;        // "Path: " value
  std::string newsgroups;  // "Newsgroups: " value
  std::string xref;        // "Xref: " value
};

struct HeaderField {
  std::string name;
  std::string value;  // as it goes out: encoded and folded with "\n "
};

struct Article {
  std::vector<HeaderField> headers;
  std::string body;       // UTF-8; every line ends in LF
  std::string messageId;  // the Message-ID the article carries

  // The value of the first field called `name` (compared without regard to
  // case), unfolded; nothing when there is none.
  std::optional<std::string> field(std::string_view name) const;
  // The header lines, each ended by LF, without the empty line after them.
  std::string head() const;
  // The whole article: head, empty line, body.
  std::string text() const;
};

// The article for the back end's RETR reply `retr` (without its closing NUL;
// LF or CR LF line ends) of a message of `group`. Nothing when the reply is
// empty or has no header.
//
// Text, names and subject are decoded by the charset a CHRS (or CHARSET,
// CODEPAGE) kludge names; without one, by UTF-8 when the message reads as
// UTF-8 throughout, else by `options.defaultCharset`. The Date gets the zone
// of a TZUTC kludge. A message without a usable MSGID gets its content
// Message-ID (see contentMessageId), the same one its overview line gets.
// Body lines longer than 998 octets are broken.
std::optional<Article> renderArticle(std::string_view retr, std::string_view group,
                                     const ServerFields& server,
                                     const RenderOptions& options);

// The fields of one overview line, ready for readers: unfolded, without
// tabs, CR or LF.
struct Overview {
  unsigned long number = 0;
  std::string subject;
  std::string from;
  std::string date;  // RFC 5322
  std::string messageId;
  std::string references;
  unsigned long bytes = 0;
  unsigned long lines = 0;
};

// The fields of one line of the back end's HEAD reply (without its line
// end), for a message of `group`. Overview lines carry no kludges, so names
// and subject are decoded by `options.defaultCharset`. Nothing when the line
// has not the fields of an overview line.
std::optional<Overview> convertOverview(std::string_view line, std::string_view group,
                                        const RenderOptions& options);

// The back end's date, "07 Mar 02 09:05:42" (overview) or
// "07 Mar 2002 09:05:42 +0000" (article), as a full RFC 5322 date with the
// day of the week: "Thu, 07 Mar 2002 09:05:42 +0000". Two-digit years from
// 80 on are 19xx, the others 20xx. A damaged stamp's fields are brought into
// range (day 0 is the 1st, hour 25 is 23). Nothing when `date` does not have
// either form.
std::optional<std::string> rfc5322Date(std::string_view date);

}  // namespace nntpd

#endif
