// What the back end says about a message, turned into what readers get: an
// article from a RETR reply and an overview from a HEAD line. Message text,
// names, subjects and kludges come from whoever wrote the message anywhere
// in the network, so they are hostile input too. Whatever they hold, header
// fields stay one field each (a line end inside one only folds it), body and
// header lines stay within 998 octets, overview fields carry no tab or line
// end, and Message-IDs keep their brackets and have no blanks.
#include <cstdlib>
#include <string>
#include <string_view>

#include "article.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

bool hasBlankOrControl(std::string_view s) {
  for (char c : s)
    if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F) return true;
  return false;
}

void checkMessageId(std::string_view id) {
  check(id.size() >= 3 && id.front() == '<' && id.back() == '>' && !hasBlankOrControl(id));
}

// Lines of `text` end in LF; none is longer than 998 octets.
void checkLines(std::string_view text) {
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t nl = text.find('\n', start);
    check(nl != std::string_view::npos);
    check(nl - start <= 998);
    start = nl + 1;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, unsigned long size) {
  if (size == 0) return 0;
  // The first byte picks the options, the rest is the back end's reply.
  nntpd::RenderOptions options;
  options.headers = data[0] & 1 ? nntpd::HeaderMode::Utf8 : nntpd::HeaderMode::Encoded;
  options.defaultCharset = data[0] & 2 ? nntpd::Charset::Cp437 : nntpd::Charset::Cp866;
  const std::string_view reply(reinterpret_cast<const char*>(data) + 1, size - 1);

  if (auto a = nntpd::renderArticle(reply, "fido.test", {"news", "fido.test", "news fido.test:1"},
                                    options)) {
    for (const nntpd::HeaderField& f : a->headers) {
      check(!f.name.empty() && !hasBlankOrControl(f.name) && f.name.find(':') == std::string::npos);
      // Folded with LF and a blank, never ended inside.
      for (std::size_t nl = f.value.find('\n'); nl != std::string::npos;
           nl = f.value.find('\n', nl + 1))
        check(nl + 1 < f.value.size() && (f.value[nl + 1] == ' ' || f.value[nl + 1] == '\t'));
      check(f.value.find('\r') == std::string::npos && f.value.find('\0') == std::string::npos);
      // Text from the message is encoded. The back end prints the date, the
      // line count and the address in From itself, in ASCII; a damaged one
      // here passes as it came.
      const bool own = f.name == "Date" || f.name == "Lines" || f.name == "From";
      if (options.headers == nntpd::HeaderMode::Encoded && !own)
        for (char c : f.value) check(static_cast<unsigned char>(c) < 0x80);
    }
    checkLines(a->head());
    checkLines(a->body);
    checkMessageId(a->messageId);
  }

  // Every line of the reply as an overview line.
  std::size_t start = 0;
  while (start <= reply.size()) {
    std::size_t nl = reply.find('\n', start);
    if (nl == std::string_view::npos) nl = reply.size();
    if (auto o = nntpd::convertOverview(reply.substr(start, nl - start), "fido.test", options)) {
      for (const std::string* f : {&o->subject, &o->from, &o->date, &o->messageId, &o->references})
        check(f->find_first_of("\t\r\n", 0, 3) == std::string::npos);
      checkMessageId(o->messageId);
    }
    start = nl + 1;
  }
  if (auto d = nntpd::rfc5322Date(reply)) check(d->size() == 31);
  return 0;
}
