// What readers send, as the server reads it: the byte stream cut into lines
// (in pieces of any size, the way reads deliver it), each line parsed into a
// command and its arguments, and the arguments read as article numbers,
// ranges, message-ids and wildmats.
//
// The lines must come out the same however the bytes were split: each line
// ended by LF is either given whole (without its CR LF) or, when it is
// longer than the limit, refused as a whole, and what follows it is the
// next line. A client can make the buffer hold no more than one limit and
// one read.
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "command.h"
#include "wildmat.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

bool isDigits(std::string_view s) {
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return !s.empty();
}

bool within(std::string_view part, std::string_view whole) {
  return part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size();
}

// One result of the line buffer: a line, or nothing for one refused.
using Result = std::pair<bool, std::string>;

// What the lines of `bytes` must be, taken in one piece.
std::vector<Result> expected(std::string_view bytes, std::size_t max) {
  std::vector<Result> out;
  for (std::size_t nl; (nl = bytes.find('\n')) != std::string_view::npos;) {
    std::string_view line = bytes.substr(0, nl);
    bytes.remove_prefix(nl + 1);
    if (nl + 1 > max) {
      out.push_back({false, ""});
      continue;
    }
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    out.push_back({true, std::string(line)});
  }
  return out;
}

void checkCommand(std::string_view line) {
  const nntpd::ParsedCommand c = nntpd::parseCommand(line);
  const auto words = nntpd::splitWords(line);
  check((c.status == nntpd::ParsedCommand::Status::Empty) == words.empty());
  if (words.empty()) return;
  check(c.name == nntpd::upper(words[0]));
  for (std::string_view a : c.args) check(within(a, line));
  if (c.status == nntpd::ParsedCommand::Status::Ok && c.verb == nntpd::Verb::Authinfo) {
    // The user name or password: the rest of the line, blanks and all.
    check(c.args.size() == 2 && c.args[1].data() + c.args[1].size() == line.data() + line.size());
  } else if (c.status != nntpd::ParsedCommand::Status::Unknown) {
    check(c.args.size() == words.size() - 1);
  }

  for (std::string_view w : words) {
    check(!w.empty() && w.find_first_of(" \t") == std::string_view::npos && within(w, line));
    check(nntpd::upper(w).size() == w.size());
    if (auto n = nntpd::parseNumber(w)) check(*n >= 0 && isDigits(w));
    if (auto r = nntpd::parseRange(w)) {
      check(r->first >= 0 && r->last >= 0);
      check(isDigits(w.substr(0, w.find('-'))));
    }
    if (nntpd::isMessageId(w)) check(w.size() >= 3 && w.front() == '<' && w.back() == '>');
  }
  // LIST ACTIVE and NEWNEWS: the second word a wildmat, matched against
  // the others and itself. Matching must stay fast whatever the pattern
  // (the fuzzer's time limit catches backtracking).
  if (words.size() >= 2) {
    const std::string_view pattern = words[1];
    for (std::string_view w : words) nntpd::wildmatMatch(pattern, w);
    // A pattern without special characters matches exactly itself.
    if (pattern.find_first_of("*?[]\\!,") == std::string_view::npos)
      check(nntpd::wildmatMatch(pattern, pattern) &&
            nntpd::wildmatMatch(pattern, words[0]) == (pattern == words[0]));
    // "*" matches everything, "!*" nothing.
    check(nntpd::wildmatMatch("*", pattern) && !nntpd::wildmatMatch("!*", pattern));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, unsigned long size) {
  if (size < 2) return 0;
  // The first byte picks the line limit (the server's, or a small one so
  // that the edges are reached), the second how the bytes are split.
  const std::size_t max = data[0] & 1 ? nntpd::MAX_COMMAND_LINE : 1 + data[0] / 4;
  const unsigned pieces = data[1];
  const std::string_view bytes(reinterpret_cast<const char*>(data) + 2, size - 2);

  nntpd::LineBuffer buffer;
  std::vector<Result> got;
  std::size_t at = 0, step = 0;
  while (at < bytes.size()) {
    const std::size_t n = pieces == 0 ? bytes.size() : 1 + (pieces * ++step) % 97;
    const std::string_view piece = bytes.substr(at, n);
    at += piece.size();
    buffer.append(piece.data(), piece.size());
    std::string line;
    for (nntpd::LineBuffer::Got g; (g = buffer.next(line, max)) != nntpd::LineBuffer::Got::More;) {
      got.push_back({g == nntpd::LineBuffer::Got::Line, g == nntpd::LineBuffer::Got::Line ? line : ""});
      if (g == nntpd::LineBuffer::Got::Line) {
        check(line.size() + 1 <= max && line.find('\n') == std::string::npos);
        checkCommand(line);
      }
    }
    check(buffer.size() < max);
  }
  check(got == expected(bytes, max));
  return 0;
}
