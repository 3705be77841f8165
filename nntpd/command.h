// Cutting up what a reader sends: the byte stream into lines, a line into a
// command and its arguments, article ranges and message-ids. Pure functions
// and one small buffer class, with no I/O: the session feeds them what it
// reads.
#ifndef NNTPD_COMMAND_H
#define NNTPD_COMMAND_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nntpd {

// Longest command line accepted, its CR LF included (RFC 3977).
constexpr std::size_t MAX_COMMAND_LINE = 512;

// Lines out of the bytes a client sends. A line longer than the limit the
// caller gives is read to its end and dropped as a whole, so that what
// follows it is read as the next line and the stream stays in step.
class LineBuffer {
 public:
  enum class Got { Line, TooLong, More };

  void append(const char* data, std::size_t size);
  // The next whole line, without its LF or CR LF, when `max` bytes (the
  // line end included) hold it; TooLong when the line is longer (it is gone
  // then); More when no whole line has come yet.
  Got next(std::string& line, std::size_t max);
  // Whether part of a line has arrived.
  bool partial() const { return !data_.empty() || dropping_; }
  // Bytes kept: at most `max` of the current call plus one read.
  std::size_t size() const { return data_.size(); }

 private:
  std::string data_;
  std::size_t scanned_ = 0;  // data_ up to here holds no LF
  bool dropping_ = false;    // the line being received is too long
};

enum class Verb {
  Article, Authinfo, Body, Capabilities, Date, Group, Hdr, Head, Help, Ihave, Last, List,
  Listgroup, Mode, Newgroups, Newnews, Next, Over, Post, Quit, Starttls, Stat, Xhdr, Xover,
};

// One command line, parsed. `args` point into the line it was parsed from.
struct ParsedCommand {
  enum class Status {
    Ok,
    Empty,    // nothing but blanks: 500
    Unknown,  // no such command: 500
    Syntax,   // too few or too many arguments: 501
  };
  Status status = Status::Empty;
  Verb verb = Verb::Quit;  // when the name is known
  std::string name;        // the command word, upper-cased
  std::vector<std::string_view> args;
};

// The command in `line` (without its line end). AUTHINFO USER and PASS keep
// everything after the keyword and one blank as their one argument, so that
// a password may hold blanks.
ParsedCommand parseCommand(std::string_view line);

// The words of a command line, split at spaces and tabs.
std::vector<std::string_view> splitWords(std::string_view line);
std::string upper(std::string_view s);

// Article numbers as NNTP writes them: "n", "n-" (to the end) or "n-m". An
// empty range (m < n) is a valid range. Numbers are at most 2^63 - 1.
struct Range {
  std::int64_t first = 0;
  std::int64_t last = 0;  // INT64_MAX for "n-"
};
std::optional<Range> parseRange(std::string_view text);
std::optional<std::int64_t> parseNumber(std::string_view text);

// "<...>" of printable ASCII, no blanks, at most 250 characters.
bool isMessageId(std::string_view text);

}  // namespace nntpd

#endif
