#include "article.h"

#include <algorithm>
#include <array>
#include <charconv>

#include "msgid.h"

namespace nntpd {
namespace {

// 8bit bodies may not have longer lines (in octets, without the line end).
constexpr std::size_t MAX_BODY_LINE = 998;

constexpr std::array<std::string_view, 12> MONTHS = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr std::array<std::string_view, 7> WEEKDAYS = {"Thu", "Fri", "Sat", "Sun",
                                                      "Mon", "Tue", "Wed"};  // from 1 Jan 1970

char lowerAscii(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

bool equalsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return lowerAscii(x) == lowerAscii(y);
         });
}

// A stamp as the back end shows it; the year has four digits once read.
struct Stamp {
  unsigned day, month, year, hour, minute, second;
  std::string zone;
};

bool readNumber(std::string_view s, unsigned& v) {
  if (s.empty() || s.size() > 4) return false;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  return ec == std::errc() && end == s.data() + s.size();
}

std::vector<std::string_view> split(std::string_view s, char sep) {
  std::vector<std::string_view> parts;
  for (std::size_t start = 0;;) {
    const std::size_t at = s.find(sep, start);
    parts.push_back(s.substr(start, at - start));
    if (at == std::string_view::npos) return parts;
    start = at + 1;
  }
}

// "07 Mar 02 09:05:42" or "07 Mar 2002 09:05:42 +0000".
std::optional<Stamp> parseStamp(std::string_view s) {
  const auto f = split(s, ' ');
  if (f.size() != 4 && f.size() != 5) return std::nullopt;
  Stamp st{};
  const auto mon = std::find(MONTHS.begin(), MONTHS.end(), f[1]);
  const auto hms = split(f[3], ':');
  if (!readNumber(f[0], st.day) || mon == MONTHS.end() || !readNumber(f[2], st.year) ||
      hms.size() != 3 || !readNumber(hms[0], st.hour) || !readNumber(hms[1], st.minute) ||
      !readNumber(hms[2], st.second))
    return std::nullopt;
  st.month = unsigned(mon - MONTHS.begin()) + 1;
  if (f.size() == 4) {
    if (f[2].size() != 2) return std::nullopt;
    // Stamps start in 1980.
    st.year += st.year >= 80 ? 1900 : 2000;
    st.zone = "+0000";
  } else {
    unsigned zone;
    if (f[2].size() != 4 || f[4].size() != 5 || (f[4][0] != '+' && f[4][0] != '-') ||
        !readNumber(f[4].substr(1), zone))
      return std::nullopt;
    st.zone = std::string(f[4]);
  }
  return st;
}

bool isLeap(unsigned y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

unsigned daysInMonth(unsigned y, unsigned m) {
  static constexpr unsigned DAYS[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && isLeap(y) ? 29 : DAYS[m - 1];
}

// Days since 1 January 1970 (the civil-from-days inverse of H. Hinnant).
long daysSinceEpoch(long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = unsigned(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + long(doe) - 719468;
}

void append2(std::string& out, unsigned v) {
  out += char('0' + v / 10 % 10);
  out += char('0' + v % 10);
}

// "07 Mar " and " 09:05:42", the parts both forms share.
void appendDayMonth(std::string& out, const Stamp& st) {
  append2(out, st.day);
  out += ' ';
  out += MONTHS[st.month - 1];
  out += ' ';
}

void appendTime(std::string& out, const Stamp& st) {
  out += ' ';
  append2(out, st.hour);
  out += ':';
  append2(out, st.minute);
  out += ':';
  append2(out, st.second);
}

// The form the overview shows, the same for a stamp read from either form.
std::string overviewDate(const Stamp& st) {
  std::string out;
  appendDayMonth(out, st);
  append2(out, st.year % 100);
  appendTime(out, st);
  return out;
}

std::string formatRfc5322(Stamp st) {
  st.day = std::clamp(st.day, 1u, daysInMonth(st.year, st.month));
  st.hour = std::min(st.hour, 23u);
  st.minute = std::min(st.minute, 59u);
  st.second = std::min(st.second, 59u);
  const long days = daysSinceEpoch(st.year, st.month, st.day);
  std::string out(WEEKDAYS[std::size_t(((days % 7) + 7) % 7)]);
  out += ", ";
  appendDayMonth(out, st);
  out += std::to_string(st.year);
  appendTime(out, st);
  out += ' ';
  out += st.zone;
  return out;
}

// Control characters have no place in a header line.
std::string blankControls(std::string s) {
  for (char& c : s)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  return s;
}

// What the back end shows through its table, decoded by `cs`.
struct Decoder {
  Charset cs;
  std::string operator()(std::string_view shown) const {
    return blankControls(backendToUtf8(shown, cs));
  }
};

// A local part that is not a dot-atom ("..", or empty: names of non-Latin
// letters and spaces only) goes in quotes.
std::string addrSpec(std::string_view addr) {
  const std::size_t at = addr.rfind('@');
  if (at == std::string_view::npos) return std::string(addr);
  const std::string_view local = addr.substr(0, at);
  const bool dotAtom = !local.empty() && local.front() != '.' && local.back() != '.' &&
                       local.find("..") == std::string_view::npos &&
                       local.find_first_of("\"\\ ") == std::string_view::npos;
  if (dotAtom) return std::string(addr);
  return quotedString(local).append(addr.substr(at));
}

// The back end's From value, "Name <local@domain>", as an RFC 5322 mailbox.
std::string convertFrom(std::string_view shown, const Decoder& decode, HeaderMode mode) {
  const std::size_t lt = shown.rfind(" <");
  if (shown.empty() || shown.back() != '>' || lt == std::string_view::npos)
    return encodePhrase(decode(shown), mode);
  const std::string name = encodePhrase(decode(shown.substr(0, lt)), mode);
  std::string out = name;
  if (!out.empty()) out += ' ';
  out += '<';
  out += addrSpec(blankControls(std::string(shown.substr(lt + 2, shown.size() - lt - 3))));
  out += '>';
  return out;
}

// The stamp holds the writer's local time; its zone is the TZUTC kludge's
// when there is one.
// A field the back end prints itself (the date, the line count) as it came,
// for want of a better: controls blanked, and cut where no real one reaches,
// so that a damaged reply makes no header line past the limit.
std::string printedField(std::string_view shown) {
  constexpr std::size_t LONGEST = 200;
  return blankControls(std::string(shown.substr(0, LONGEST)));
}

std::string convertDate(std::string_view shown, const std::optional<std::string>& zone = {}) {
  if (auto st = parseStamp(shown)) {
    if (zone) st->zone = *zone;
    return formatRfc5322(*st);
  }
  return printedField(shown);
}

std::string dateForHash(std::string_view shown) {
  if (auto st = parseStamp(shown)) return overviewDate(*st);
  return std::string(shown);
}

std::string messageIdOf(std::string_view shown, std::string_view group, std::string_view from,
                        std::string_view subject, std::string_view date, std::string_view lines) {
  if (isBackendMessageId(shown)) return std::string(shown);
  return contentMessageId(group, from, subject, dateForHash(date), lines);
}

// The body with every line ended, none longer than an 8bit body allows.
std::string finishBody(std::string_view body) {
  std::string out;
  out.reserve(body.size() + 1);
  std::size_t start = 0;
  while (start < body.size()) {
    std::size_t nl = body.find('\n', start);
    if (nl == std::string_view::npos) nl = body.size();
    std::string_view line = body.substr(start, nl - start);
    while (line.size() > MAX_BODY_LINE) {
      const std::size_t cut = utf8Prefix(line, MAX_BODY_LINE);
      out.append(line.substr(0, cut));
      out += '\n';
      line.remove_prefix(cut);
    }
    out.append(line);
    out += '\n';
    start = nl + 1;
  }
  return out;
}

struct RawField {
  std::string_view name;
  std::string value;
};

// The fields the back end writes; a line that starts with none of them is
// the rest of the field before it (a kludge with a line end inside).
bool isBackendField(std::string_view s) {
  for (std::string_view name : {"From", "Subject", "Date", "Message-ID", "References",
                                "X-Comment-To", "Lines", "X-Kludge", "X-Seen-By"})
    if (s == name) return true;
  return false;
}

const std::string* rawField(const std::vector<RawField>& fields, std::string_view name) {
  for (const auto& f : fields)
    if (f.name == name) return &f.value;
  return nullptr;
}

// The charset a message's kludges name. Without one, text that is UTF-8
// through and through is taken as UTF-8: software that writes it does not
// always say so.
Charset messageCharset(const std::vector<RawField>& fields, std::string_view body,
                       const RenderOptions& options) {
  Charset cs = options.defaultCharset;
  bool named = false;
  for (const auto& f : fields) {
    if (f.name != "X-Kludge") continue;
    if (auto kludged = charsetOfKludge(f.value, options.ibmpc)) {
      cs = *kludged;
      named = true;
      break;
    }
  }
  if (!named && cs != Charset::Utf8) {
    // Every part UTF-8 (or ASCII), and one at least not ASCII.
    bool utf8 = true, any = false;
    auto look = [&](std::string_view text) {
      if (!utf8 || !std::any_of(text.begin(), text.end(),
                                [](char c) { return static_cast<unsigned char>(c) >= 0x80; }))
        return;
      any = true;
      utf8 = backendTextIsUtf8(text);
    };
    look(body);
    for (std::string_view name : {"From", "Subject", "X-Comment-To"})
      if (const std::string* v = rawField(fields, name)) look(*v);
    if (utf8 && any) cs = Charset::Utf8;
  }
  // ASCII text reads alike in every charset; its 8-bit bytes are damage.
  return cs == Charset::Ascii ? Charset::Cp866 : cs;
}

// The zone of a TZUTC kludge ("0300", "-0500") as an RFC 5322 zone.
std::optional<std::string> zoneOfKludges(const std::vector<RawField>& fields) {
  for (const auto& f : fields) {
    if (f.name != "X-Kludge" || f.value.size() < 6 || !equalsNoCase(f.value.substr(0, 6), "TZUTC:"))
      continue;
    std::string_view v = std::string_view(f.value).substr(6);
    while (!v.empty() && v.front() == ' ') v.remove_prefix(1);
    while (!v.empty() && v.back() == ' ') v.remove_suffix(1);
    const char sign = !v.empty() && v.front() == '-' ? '-' : '+';
    if (!v.empty() && (v.front() == '-' || v.front() == '+')) v.remove_prefix(1);
    unsigned hhmm;
    if (v.size() != 4 || !readNumber(v, hhmm) || hhmm / 100 > 23 || hhmm % 100 > 59)
      return std::nullopt;
    return sign + std::string(v);
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> Article::field(std::string_view name) const {
  for (const auto& h : headers)
    if (equalsNoCase(h.name, name)) return unfold(h.value);
  return std::nullopt;
}

std::string Article::head() const {
  std::string out;
  for (const auto& h : headers) {
    out += h.name;
    out += ": ";
    out += h.value;
    out += '\n';
  }
  return out;
}

std::string Article::text() const { return head() + "\n" + body; }

std::optional<Article> renderArticle(std::string_view retr, std::string_view group,
                                     const ServerFields& server, const RenderOptions& options) {
  std::string text;
  text.reserve(retr.size());
  for (std::size_t i = 0; i < retr.size();) {
    std::size_t cr = retr.find("\r\n", i);
    if (cr == std::string_view::npos) cr = retr.size();
    text.append(retr, i, cr - i);
    i = cr + 1;  // the LF stays
  }

  // Header lines up to the empty line; a damaged message may end without one.
  std::vector<RawField> fields;
  std::size_t pos = 0;
  bool sawBlank = false;
  while (pos < text.size()) {
    std::size_t nl = text.find('\n', pos);
    if (nl == std::string::npos) nl = text.size();
    const std::string_view line = std::string_view(text).substr(pos, nl - pos);
    pos = nl + 1;
    if (line.empty()) {
      sawBlank = true;
      break;
    }
    const std::size_t colon = line.find(": ");
    if (colon != std::string_view::npos && isBackendField(line.substr(0, colon))) {
      fields.push_back({line.substr(0, colon), std::string(line.substr(colon + 2))});
    } else if (!fields.empty()) {
      fields.back().value += ' ';
      fields.back().value += line;
    }
  }
  if (fields.empty()) return std::nullopt;
  const std::string_view body =
      sawBlank && pos <= text.size() ? std::string_view(text).substr(pos) : std::string_view();

  const Decoder decode{messageCharset(fields, body, options)};
  const HeaderMode mode = options.headers;

  static const std::string NONE;
  auto get = [&](std::string_view name) -> const std::string& {
    const std::string* v = rawField(fields, name);
    return v ? *v : NONE;
  };
  Article a;
  auto add = [&](std::string_view name, std::string value) {
    a.headers.push_back({std::string(name), std::move(value)});
  };
  auto addText = [&](std::string_view name, std::string_view shown) {
    add(name, encodeUnstructured(name, decode(shown), mode));
  };

  a.messageId = messageIdOf(get("Message-ID"), group, get("From"), get("Subject"), get("Date"),
                            get("Lines"));
  if (!server.path.empty()) add("Path", foldValue("Path", server.path));
  add("From", foldValue("From", convertFrom(get("From"), decode, mode)));
  if (!server.newsgroups.empty()) add("Newsgroups", foldValue("Newsgroups", server.newsgroups));
  addText("Subject", get("Subject"));
  add("Date", convertDate(get("Date"), zoneOfKludges(fields)));
  add("Message-ID", a.messageId);
  if (isBackendMessageId(get("References"))) add("References", get("References"));
  if (!get("X-Comment-To").empty()) addText("X-Comment-To", get("X-Comment-To"));
  if (rawField(fields, "Lines")) add("Lines", printedField(get("Lines")));
  if (!server.xref.empty()) add("Xref", foldValue("Xref", server.xref));
  add("MIME-Version", "1.0");
  add("Content-Type", "text/plain; charset=utf-8");
  add("Content-Transfer-Encoding", "8bit");
  for (const auto& f : fields)
    if (f.name == "X-Kludge" || f.name == "X-Seen-By") addText(f.name, f.value);

  a.body = finishBody(backendToUtf8(body, decode.cs));
  return a;
}

std::optional<Overview> convertOverview(std::string_view line, std::string_view group,
                                        const RenderOptions& options) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  const auto f = split(line, '\t');
  if (f.size() < 8) return std::nullopt;
  Overview o;
  auto number = [](std::string_view s, unsigned long& v) {
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    return ec == std::errc() && end == s.data() + s.size();
  };
  if (!number(f[0], o.number)) return std::nullopt;
  if (!number(f[6], o.bytes)) o.bytes = 0;
  if (!number(f[7], o.lines)) o.lines = 0;

  Charset cs = options.defaultCharset;
  if (cs == Charset::Ascii) cs = Charset::Cp866;
  const Decoder decode{cs};
  o.subject = blankControls(unfold(encodeUnstructured("Subject", decode(f[1]), options.headers)));
  o.from = convertFrom(f[2], decode, options.headers);
  o.date = convertDate(f[3]);
  o.messageId = messageIdOf(f[4], group, f[2], f[1], f[3], f[7]);
  if (isBackendMessageId(f[5])) o.references = std::string(f[5]);
  return o;
}

std::optional<std::string> rfc5322Date(std::string_view date) {
  if (auto st = parseStamp(date)) return formatRfc5322(*st);
  return std::nullopt;
}

}  // namespace nntpd
