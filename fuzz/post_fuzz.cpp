// Articles as readers post them: parsed, and when accepted turned into the
// back end's POST input. Whatever the article holds, the parser answers
// with a post or a reason, and the POST it leads to keeps its framing: the
// four header lines carry no line end and the stated length is the length
// of the text that follows, so nothing a reader writes can become a back-end
// command of its own.
#include <cstdlib>
#include <string>
#include <string_view>

#include "post.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

bool hasControl(std::string_view s) {
  for (char c : s)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return true;
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, unsigned long size) {
  const std::string_view article(reinterpret_cast<const char*>(data), size);
  // The addressee of a reply is the name in the From of the article
  // replied to, whatever that holds.
  check(!hasControl(nntpd::mailboxName(article)));
  // Small limits as well, so that every refusal is reached with small inputs.
  nntpd::PostLimits tight;
  tight.maxArticle = 4096;
  tight.maxHeader = 512;
  tight.maxFields = 8;
  tight.maxBody = 1024;
  tight.maxLines = 16;
  tight.maxParts = 4;
  tight.maxDepth = 2;
  for (const nntpd::PostLimits& limits : {nntpd::PostLimits{}, tight}) {
    const nntpd::ParseResult r = nntpd::parsePost(article, limits);
    // "article not understood" stands for an exception the parser did not
    // expect: an out-of-range access or the like.
    check(r.post ? r.error.empty() : !r.error.empty() && r.error != "article not understood");
    if (!r.post) continue;
    const nntpd::ParsedPost& p = *r.post;
    check(!p.newsgroups.empty());
    check(p.body.empty() || p.body.back() == '\n');
    check(p.body.size() <= limits.maxBody + 1);

    nntpd::PostingParams params;
    params.to = p.commentTo.value_or("All");
    params.reply = p.references.empty() ? "" : p.references.back();
    params.tearline = p.subject;
    params.origin = p.authorName;
    params.address = "2:5020/52.1";
    const nntpd::Posting posting = nntpd::buildPosting(p, params);
    check(posting.from.size() <= 35 && posting.to.size() <= 35 && posting.subject.size() <= 71);
    check(!hasControl(posting.reply) && !hasControl(posting.from) && !hasControl(posting.to) &&
          !hasControl(posting.subject));
    for (char c : posting.text)
      check(static_cast<unsigned char>(c) >= 0x20 || c == '\t' || c == '\n');

    const std::string cmd = posting.command("$area", "2:5020/52.1", "2:5020/1");
    std::size_t pos = 0;
    for (int line = 0; line < 5; ++line) {
      pos = cmd.find('\n', pos);
      check(pos != std::string::npos);
      ++pos;
    }
    const std::string head = "POST $area 2:5020/52.1 2:5020/1 " +
                             std::to_string(posting.textLength()) + "\n";
    check(cmd.compare(0, head.size(), head) == 0);
    check(cmd.size() - pos == posting.textLength());
  }
  return 0;
}
