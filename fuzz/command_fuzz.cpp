// Command lines as readers send them: split into words, and the words read
// as article numbers, ranges, message-ids and wildmats, the way the server
// reads the arguments of every command.
#include <cstdlib>
#include <string>
#include <string_view>

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, unsigned long size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  const auto words = nntpd::splitWords(line);
  for (std::string_view w : words) {
    check(!w.empty() && w.find_first_of(" \t") == std::string_view::npos);
    check(w.data() >= line.data() && w.data() + w.size() <= line.data() + line.size());

    const std::string up = nntpd::upper(w);
    check(up.size() == w.size());

    if (auto n = nntpd::parseNumber(w)) check(*n >= 0 && isDigits(w));
    if (auto r = nntpd::parseRange(w)) {
      check(r->first >= 0 && r->last >= 0);
      check(isDigits(w.substr(0, w.find('-'))));
    }
    if (nntpd::isMessageId(w)) check(w.size() >= 3 && w.front() == '<' && w.back() == '>');
  }
  // LIST ACTIVE and NEWNEWS: the second word a wildmat, matched against
  // the third and against the wildmat itself. Matching must stay fast
  // whatever the pattern (the fuzzer's time limit catches backtracking).
  if (words.size() >= 2) {
    nntpd::wildmatMatch(words[1], words[0]);
    nntpd::wildmatMatch(words[1], words[1]);
    if (words.size() >= 3) nntpd::wildmatMatch(words[1], words[2]);
    // A pattern without special characters matches exactly itself.
    if (words[1].find_first_of("*?[]\\!,") == std::string_view::npos)
      check(nntpd::wildmatMatch(words[1], words[1]) &&
            (words.size() < 3 || nntpd::wildmatMatch(words[1], words[2]) == (words[1] == words[2])));
    // "*" matches everything, "!*" nothing.
    check(nntpd::wildmatMatch("*", words[1]) && !nntpd::wildmatMatch("!*", words[1]));
  }
  return 0;
}
