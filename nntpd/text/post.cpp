#include "post.h"

#include <algorithm>
#include <new>

#include "charset.h"
#include "mime.h"

namespace nntpd {
namespace {

// FidoNet header fields are 36 and 72 bytes, NUL included: a value that
// filled the field would leave other programs reading past it.
constexpr std::size_t MAX_NAME = 35;
constexpr std::size_t MAX_SUBJECT = 71;
// The origin line is the last line of an echomail message.
constexpr std::size_t MAX_ORIGIN_LINE = 79;
constexpr std::string_view ORIGIN_PREFIX = " * Origin: ";

// A failure on the way: its text is the reason in the 441 reply.
struct Refusal {
  std::string reason;
};

char lowerAscii(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = lowerAscii(c);
  return out;
}

bool isBlankChar(char c) { return c == ' ' || c == '\t'; }

std::string_view trim(std::string_view s) {
  while (!s.empty() && (isBlankChar(s.front()) || s.front() == '\r' || s.front() == '\n'))
    s.remove_prefix(1);
  while (!s.empty() && (isBlankChar(s.back()) || s.back() == '\r' || s.back() == '\n'))
    s.remove_suffix(1);
  return s;
}

// Control characters become spaces; the ends are trimmed.
std::string cleanLine(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  return std::string(trim(out));
}

struct Field {
  std::string name;   // lowercase
  std::string value;  // unfolded, trimmed
};

struct Entity {
  std::vector<Field> fields;
  std::string_view body;
};

const std::string* findField(const std::vector<Field>& fields, std::string_view name) {
  for (const auto& f : fields)
    if (f.name == name) return &f.value;
  return nullptr;
}

// The next line of `s` from `pos` without its line end (LF or CR LF).
std::string_view nextLine(std::string_view s, std::size_t& pos) {
  std::size_t nl = s.find('\n', pos);
  if (nl == std::string_view::npos) nl = s.size();
  std::string_view line = s.substr(pos, nl - pos);
  pos = nl + 1;
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

// Header fields up to the empty line, and the body after it. Without an
// empty line everything is header.
Entity splitEntity(std::string_view s, const PostLimits& limits) {
  Entity e;
  std::size_t pos = 0;
  std::string current;  // the field being read, folds and all
  auto finish = [&] {
    if (current.empty()) return;
    const std::size_t colon = current.find(':');
    Field f{lower(trim(std::string_view(current).substr(0, colon))),
            std::string(trim(unfold(std::string_view(current).substr(colon + 1))))};
    e.fields.push_back(std::move(f));
    current.clear();
  };
  while (pos < s.size()) {
    const std::string_view line = nextLine(s, pos);
    if (line.empty()) {
      finish();
      e.body = s.substr(std::min(pos, s.size()));
      return e;
    }
    if (std::min(pos, s.size()) > limits.maxHeader) throw Refusal{"header too large"};
    if (isBlankChar(line.front())) {
      if (current.empty()) throw Refusal{"malformed header: continuation without a field"};
      current += '\n';
      current += line;
      continue;
    }
    finish();
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0 ||
        !std::all_of(line.begin(), line.begin() + colon,
                     [](char c) { return c > 0x20 && c < 0x7F; }))
      throw Refusal{"malformed header line"};
    if (e.fields.size() >= limits.maxFields) throw Refusal{"too many header fields"};
    current = line;
  }
  finish();
  return e;
}

// "type/subtype; name=value; name="quoted value"": the lowercase type and
// the parameters, names lowercase.
struct ContentType {
  std::string type = "text/plain";
  std::vector<std::pair<std::string, std::string>> params;

  const std::string* param(std::string_view name) const {
    for (const auto& p : params)
      if (p.first == name) return &p.second;
    return nullptr;
  }
};

ContentType parseContentType(std::string_view v) {
  ContentType ct;
  std::size_t semi = v.find(';');
  const std::string type = lower(trim(v.substr(0, semi)));
  if (!type.empty()) ct.type = type;
  while (semi != std::string_view::npos) {
    std::size_t i = semi + 1;
    const std::size_t eq = v.find('=', i);
    if (eq == std::string_view::npos) break;
    std::string name = lower(trim(v.substr(i, eq - i)));
    i = eq + 1;
    while (i < v.size() && isBlankChar(v[i])) ++i;
    std::string value;
    if (i < v.size() && v[i] == '"') {
      for (++i; i < v.size() && v[i] != '"'; ++i) {
        if (v[i] == '\\' && i + 1 < v.size()) ++i;
        value += v[i];
      }
      semi = v.find(';', i);
    } else {
      semi = v.find(';', i);
      value = std::string(trim(v.substr(i, semi == std::string_view::npos ? semi : semi - i)));
    }
    // RFC 2231 form charset*=utf-8''...: the charset is all that counts here.
    if (!name.empty() && name.back() == '*') {
      name.pop_back();
      value = value.substr(0, value.find('\''));
    }
    ct.params.emplace_back(std::move(name), std::move(value));
  }
  return ct;
}

bool isAscii(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// LF line ends: CR LF and a lone CR both end a line.
std::string normaliseLineEnds(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\r') {
      out += '\n';
      if (i + 1 < s.size() && s[i + 1] == '\n') ++i;
    } else {
      out += s[i];
    }
  }
  return out;
}

// Text without a charset, or labelled US-ASCII, is taken as UTF-8 when it
// reads as UTF-8, and as code page 1251 (what an unlabelled 8-bit post in a
// Russian area most likely is) when not.
std::string unlabelledToUtf8(std::string_view bytes) {
  return isValidUtf8(bytes) ? std::string(bytes) : toUtf8(bytes, Charset::Cp1251);
}

// The text of a text/plain entity, decoded to UTF-8 with LF line ends.
std::string decodeText(const Entity& e, const ContentType& ct) {
  const std::string* cte = findField(e.fields, "content-transfer-encoding");
  const std::string enc = cte ? lower(*cte) : "7bit";
  std::string bytes;
  if (enc == "quoted-printable")
    bytes = decodeQuotedPrintable(e.body);
  else if (enc == "base64")
    bytes = decodeBase64(e.body);
  else if (enc == "7bit" || enc == "8bit" || enc == "binary")
    bytes = std::string(e.body);
  else
    throw Refusal{"unsupported Content-Transfer-Encoding: " + cleanLine(enc)};
  bytes = normaliseLineEnds(bytes);

  std::string text;
  const std::string* name = ct.param("charset");
  const auto cs = name ? charsetByName(*name) : std::optional<Charset>(Charset::Ascii);
  if (!cs) {
    if (!isAscii(bytes)) throw Refusal{"unsupported charset: " + cleanLine(*name)};
    text = std::move(bytes);
  } else if (*cs == Charset::Ascii) {
    text = unlabelledToUtf8(bytes);
  } else {
    text = toUtf8(bytes, *cs);
  }

  const std::string* format = ct.param("format");
  if (format && lower(*format) == "flowed") {
    const std::string* delsp = ct.param("delsp");
    text = decodeFlowed(text, delsp && lower(*delsp) == "yes");
  }
  return text;
}

// The text of the first text/plain entity in `e`, looking into multiparts.
std::optional<std::string> findText(const Entity& e, const PostLimits& limits, int depth,
                                    std::size_t& parts) {
  if (++parts > limits.maxParts) throw Refusal{"too many MIME parts"};
  const std::string* ctField = findField(e.fields, "content-type");
  const ContentType ct = ctField ? parseContentType(*ctField) : ContentType{};
  if (ct.type == "text/plain") return decodeText(e, ct);
  if (ct.type.compare(0, 10, "multipart/") != 0) return std::nullopt;
  if (depth >= limits.maxDepth) throw Refusal{"MIME parts nested too deeply"};
  const std::string* boundary = ct.param("boundary");
  if (!boundary || boundary->empty()) throw Refusal{"multipart without a boundary"};

  const std::string delimiter = "--" + *boundary;
  std::size_t pos = 0;
  std::size_t partStart = std::string_view::npos;  // after the delimiter line
  while (pos < e.body.size()) {
    const std::size_t lineStart = pos;
    const std::string_view line = nextLine(e.body, pos);
    if (line.compare(0, delimiter.size(), delimiter) != 0) continue;
    const std::string_view rest = trim(line.substr(delimiter.size()));
    const bool closing = rest == "--";
    if (!rest.empty() && !closing) continue;  // a longer boundary
    if (partStart != std::string_view::npos) {
      // The line end before the delimiter belongs to it.
      std::size_t end = lineStart;
      if (end > partStart && e.body[end - 1] == '\n') --end;
      if (end > partStart && e.body[end - 1] == '\r') --end;
      Entity part = splitEntity(e.body.substr(partStart, end - partStart), limits);
      if (auto text = findText(part, limits, depth + 1, parts)) return text;
    }
    if (closing) return std::nullopt;
    partStart = std::min(pos, e.body.size());
  }
  // Without its closing delimiter the last part runs to the end.
  if (partStart != std::string_view::npos && partStart < e.body.size()) {
    Entity part = splitEntity(e.body.substr(partStart), limits);
    return findText(part, limits, depth + 1, parts);
  }
  return std::nullopt;
}

struct Mailbox {
  std::string name;     // UTF-8
  std::string address;  // as written
};

// "Name <addr>", "\"Name\" <addr>", "addr (Name)" or "addr".
Mailbox parseMailbox(std::string_view v) {
  Mailbox m;
  const std::size_t lt = v.rfind('<');
  const std::size_t gt = v.rfind('>');
  if (lt != std::string_view::npos && gt != std::string_view::npos && gt > lt) {
    m.address = std::string(trim(v.substr(lt + 1, gt - lt - 1)));
    std::string_view display = trim(v.substr(0, lt));
    std::string unquoted;
    for (std::size_t i = 0; i < display.size(); ++i) {
      if (display[i] == '"') continue;
      if (display[i] == '\\' && i + 1 < display.size()) ++i;
      unquoted += display[i];
    }
    m.name = decodeHeaderText(unquoted);
  } else {
    const std::size_t open = v.find('(');
    m.address = std::string(trim(v.substr(0, open)));
    if (open != std::string_view::npos) {
      const std::size_t close = v.rfind(')');
      if (close != std::string_view::npos && close > open)
        m.name = decodeHeaderText(v.substr(open + 1, close - open - 1));
    }
  }
  m.name = cleanLine(m.name);
  return m;
}

std::string nameOf(const Mailbox& m) {
  return m.name.empty() ? cleanLine(m.address.substr(0, m.address.find('@'))) : m.name;
}

std::vector<std::string> parseNewsgroups(std::string_view v) {
  std::vector<std::string> groups;
  std::size_t start = 0;
  while (start <= v.size()) {
    std::size_t comma = v.find(',', start);
    if (comma == std::string_view::npos) comma = v.size();
    const std::string_view g = trim(v.substr(start, comma - start));
    start = comma + 1;
    if (g.empty()) continue;
    if (!std::all_of(g.begin(), g.end(), [](char c) { return c > 0x20 && c < 0x7F; }))
      throw Refusal{"malformed Newsgroups header"};
    if (std::find(groups.begin(), groups.end(), g) == groups.end()) groups.emplace_back(g);
  }
  if (groups.empty()) throw Refusal{"empty Newsgroups header"};
  return groups;
}

std::vector<std::string> parseReferences(std::string_view v) {
  std::vector<std::string> refs;
  for (std::size_t lt = v.find('<'); lt != std::string_view::npos; lt = v.find('<', lt + 1)) {
    const std::size_t gt = v.find('>', lt);
    if (gt == std::string_view::npos) break;
    const std::string_view id = v.substr(lt, gt - lt + 1);
    if (id.find_first_of(" \t\r\n<", 1) == std::string_view::npos) refs.emplace_back(id);
  }
  return refs;
}

ParsedPost parse(std::string_view article, const PostLimits& limits) {
  if (article.size() > limits.maxArticle) throw Refusal{"article too large"};
  const Entity top = splitEntity(article, limits);
  auto required = [&](std::string_view name, std::string_view shown) -> const std::string& {
    const std::string* v = findField(top.fields, name);
    if (!v) throw Refusal{"missing " + std::string(shown) + " header"};
    return *v;
  };

  // A cancel or another control message would be stored as an ordinary
  // message in every area it names.
  if (findField(top.fields, "control")) throw Refusal{"control messages are not accepted"};
  ParsedPost p;
  p.newsgroups = parseNewsgroups(required("newsgroups", "Newsgroups"));
  const Mailbox author = parseMailbox(required("from", "From"));
  if (author.address.find('@') == std::string::npos) throw Refusal{"From without an address"};
  p.authorAddress = cleanLine(author.address);
  p.authorName = nameOf(author);
  p.subject = cleanLine(decodeHeaderText(required("subject", "Subject")));
  if (const std::string* to = findField(top.fields, "x-comment-to")) {
    // Some readers put a whole mailbox there.
    const Mailbox m = parseMailbox(*to);
    p.commentTo = cleanLine(m.name.empty() ? decodeHeaderText(*to) : m.name);
    if (!m.name.empty()) p.commentToAddress = cleanLine(m.address);
  }
  if (const std::string* refs = findField(top.fields, "references"))
    p.references = parseReferences(*refs);

  std::size_t parts = 0;
  auto text = findText(top, limits, 0, parts);
  if (!text) throw Refusal{"no text/plain part"};
  if (text->size() > limits.maxBody) throw Refusal{"body too large"};
  if (!text->empty() && text->back() != '\n') *text += '\n';
  if (std::size_t(std::count(text->begin(), text->end(), '\n')) > limits.maxLines)
    throw Refusal{"too many lines"};
  p.body = std::move(*text);
  return p;
}

// `utf8` as 1251 in at most `max` bytes, control characters as spaces.
std::string fieldText(std::string_view utf8, std::size_t max) {
  std::string s = cleanLine(utf8ToCp1251(utf8));
  if (s.size() > max) s.resize(max);  // one byte per character in 1251
  return std::string(trim(s));
}

}  // namespace

std::string mailboxName(std::string_view from) { return nameOf(parseMailbox(from)); }

std::string storedName(std::string_view utf8) {
  return toUtf8(fieldText(utf8, MAX_NAME), Charset::Cp1251);
}

ParseResult parsePost(std::string_view article, const PostLimits& limits) noexcept {
  try {
    return {parse(article, limits), {}};
  } catch (const Refusal& r) {
    return {std::nullopt, r.reason};
  } catch (const std::bad_alloc&) {
    return {std::nullopt, "out of memory"};
  } catch (...) {
    return {std::nullopt, "article not understood"};
  }
}

std::size_t Posting::textLength() const {
  // The back end's input turns CR LF into LF: a pair counts once.
  std::size_t n = text.size();
  for (std::size_t i = 0; i + 1 < text.size(); ++i)
    if (text[i] == '\r' && text[i + 1] == '\n') --n;
  return n;
}

std::string Posting::command(std::string_view spec, std::string_view orig,
                             std::string_view dest) const {
  std::string out = "POST ";
  out += spec;
  out += ' ';
  out += orig;
  out += ' ';
  out += dest;
  out += ' ';
  out += std::to_string(textLength());
  out += '\n';
  for (const std::string* line : {&reply, &from, &to, &subject}) {
    out += *line;
    out += '\n';
  }
  out += text;
  return out;
}

Posting buildPosting(const ParsedPost& post, const PostingParams& params) {
  Posting p;
  // A control byte in the reply line would break the lines that follow it.
  if (std::none_of(params.reply.begin(), params.reply.end(),
                   [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }))
    p.reply = params.reply;
  p.from = fieldText(post.authorName, MAX_NAME);
  p.to = fieldText(params.to, MAX_NAME);
  if (p.to.empty()) p.to = "All";
  p.subject = fieldText(post.subject, MAX_SUBJECT);

  // In the text a SOH would start a kludge line and a NUL would end the
  // text early; control characters other than TAB and LF go.
  for (char c : utf8ToCp1251(post.body))
    if (static_cast<unsigned char>(c) >= 0x20 || c == '\t' || c == '\n') p.text += c;
  if (!p.text.empty() && p.text.back() != '\n') p.text += '\n';

  const std::string tear = cleanLine(utf8ToCp1251(params.tearline));
  p.text += tear.empty() ? "---" : "--- " + tear;
  p.text += '\n';
  const std::string address = cleanLine(params.address);
  const std::size_t room = MAX_ORIGIN_LINE - std::min(MAX_ORIGIN_LINE, ORIGIN_PREFIX.size() +
                                                                          address.size() + 3);
  p.text += ORIGIN_PREFIX;
  p.text += fieldText(params.origin, room);
  p.text += " (";
  p.text += address;
  p.text += ")\n";
  return p;
}

}  // namespace nntpd
