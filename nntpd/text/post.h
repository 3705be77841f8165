// Articles that readers post: parsed (RFC 5322 headers, MIME) into the parts
// the server needs, and turned into the back end's POST input.
//
// The parser is a pure function of the article's bytes: it never throws, and
// every size it builds is bounded, so a hostile article cannot exhaust
// memory. Failures come back as a reason text for the 441 reply.
#ifndef NNTPD_TEXT_POST_H
#define NNTPD_TEXT_POST_H

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nntpd {

struct PostLimits {
  std::size_t maxArticle = 1 << 20;  // bytes of the whole article as posted
  std::size_t maxHeader = 64 << 10;  // bytes of the header section
  std::size_t maxFields = 256;       // header fields
  std::size_t maxBody = 1 << 20;     // bytes of the decoded body (UTF-8)
  std::size_t maxLines = 50000;      // lines of the decoded body
  std::size_t maxParts = 64;         // MIME parts looked at, nested ones too
  int maxDepth = 8;                  // nesting of multiparts
};

struct ParsedPost {
  std::vector<std::string> newsgroups;    // in the order given, no duplicates
  std::string authorName;                 // UTF-8; the address's local part when no name is given
  std::string authorAddress;              // "user@example.org"
  std::string subject;                    // UTF-8, unfolded
  std::optional<std::string> commentTo;   // X-Comment-To, UTF-8
  std::string commentToAddress;           // X-Comment-To "Name <address>": the address
  std::vector<std::string> references;    // Message-IDs with their brackets, oldest first
  std::string body;                       // UTF-8, LF line ends, the last line ended too
};

struct ParseResult {
  std::optional<ParsedPost> post;
  std::string error;  // why the article was refused, when `post` is empty
};

// Parses an article as a reader posted it (CR LF or LF line ends, already
// un-dot-stuffed). Newsgroups, From and Subject are required; control
// messages are refused. The body is the text/plain part (the first one of a
// multipart) decoded to UTF-8: by its charset; without one (or with
// us-ascii) as UTF-8 when it is valid UTF-8, else as code page 1251.
ParseResult parsePost(std::string_view article, const PostLimits& limits = {}) noexcept;

// The display name of a From value ("Name <addr>", "addr (Name)", encoded
// or not) in UTF-8; the address's local part when it names nobody. For the
// addressee of a reply: the author of the article replied to.
std::string mailboxName(std::string_view from);

// A name as the posting stores it (at most 35 characters of code page 1251,
// control characters as spaces, blanks at the ends dropped), back in UTF-8:
// what other programs will show as the sender.
std::string storedName(std::string_view utf8);

// What the server adds to a parsed article to store it.
struct PostingParams {
  std::string to = "All";    // the addressee, UTF-8
  std::string reply;         // the MSGID value replied to, or empty
  std::string tearline;      // after "--- "
  std::string origin;        // the text of the origin line, UTF-8
  std::string address;       // the origin address, "2:5020/52.1"
};

// The back end's posting, in code page 1251 ('?' for what 1251 lacks).
struct Posting {
  std::string reply;
  std::string from;     // at most 35 bytes: the 36-byte field keeps its NUL
  std::string to;       // likewise
  std::string subject;  // at most 71 bytes
  std::string text;     // LF line ends; tear line and origin line at the end

  // The text length as the POST command counts it: characters after the
  // text-mode translation of the back end's input.
  std::size_t textLength() const;
  // Everything written to the back end for this posting: the command line
  // "POST spec orig dest length", the reply, from, to and subject lines and
  // the text.
  std::string command(std::string_view spec, std::string_view orig,
                      std::string_view dest) const;
};

// The posting for `post`: control characters in names and subject become
// spaces, in the text they go (TAB and LF stay); the body gets the tear line
// and the origin line (at most 79 characters, the origin text cut to fit).
Posting buildPosting(const ParsedPost& post, const PostingParams& params);

}  // namespace nntpd

#endif
