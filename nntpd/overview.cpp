// OVER/XOVER and HDR/XHDR, and the overview fetch that every listing goes
// through, which also keeps the Message-ID index up to date.
#include <algorithm>
#include <array>
#include <numeric>

#include "dates.h"
#include "session.h"

namespace nntpd {

using asio::awaitable;

namespace {

// Header names served from the overview; the rest needs the articles.
enum class Field { Subject, From, Date, MessageId, References, Bytes, Lines, Xref, Other };

Field fieldOf(std::string_view name) {
  static constexpr std::array<std::pair<std::string_view, Field>, 10> NAMES = {{
      {"SUBJECT", Field::Subject},
      {"FROM", Field::From},
      {"DATE", Field::Date},
      {"MESSAGE-ID", Field::MessageId},
      {"REFERENCES", Field::References},
      {":BYTES", Field::Bytes},
      {"BYTES", Field::Bytes},
      {":LINES", Field::Lines},
      {"LINES", Field::Lines},
      {"XREF", Field::Xref},
  }};
  const std::string u = upper(name);
  for (const auto& [n, f] : NAMES)
    if (u == n) return f;
  return Field::Other;
}

std::string valueOf(const Overview& o, Field f) {
  switch (f) {
    case Field::Subject: return o.subject;
    case Field::From: return o.from;
    case Field::Date: return o.date;
    case Field::MessageId: return o.messageId;
    case Field::References: return o.references;
    case Field::Bytes: return std::to_string(o.bytes);
    case Field::Lines: return std::to_string(o.lines);
    case Field::Xref:
    case Field::Other: break;
  }
  return {};
}

// number TAB the seven fields of LIST OVERVIEW.FMT
void overviewLine(Reply& r, const Overview& o, std::int64_t number) {
  std::string s = std::to_string(number);
  for (const std::string* f : {&o.subject, &o.from, &o.date, &o.messageId, &o.references}) {
    s += '\t';
    s += *f;
  }
  s += '\t';
  s += std::to_string(o.bytes);
  s += '\t';
  s += std::to_string(o.lines);
  r.line(s);
}

// A header value on one line: what could break the line becomes a space.
std::string flat(std::string v) {
  for (char& c : v)
    if ((unsigned char)c < ' ') c = ' ';
  return v;
}

}  // namespace

awaitable<std::vector<Overview>> Session::overviewChunk(std::size_t area, std::int64_t first,
                                                        std::int64_t last, std::int64_t& next) {
  const AreaConfig& a = config_.areas[area];
  const std::size_t want = std::size_t(std::min<std::int64_t>(last - first + 1, 1 << 20));
  std::vector<std::int64_t> numbers(Backend::headFits(a.spec, first, want));
  std::iota(numbers.begin(), numbers.end(), first);
  next = first + std::int64_t(numbers.size());
  std::vector<Overview> out;
  if (numbers.empty()) co_return out;

  std::string reply = co_await backend_.head(a.spec, numbers);
  std::vector<MsgIdIndex::Entry> entries;
  std::string_view rest = reply;
  while (!rest.empty()) {
    auto eol = rest.find('\n');
    std::string_view line = rest.substr(0, eol);
    rest.remove_prefix(eol == std::string_view::npos ? rest.size() : eol + 1);
    auto o = convertOverview(line, a.group, shared_.render);
    if (!o) continue;
    entries.push_back({std::int64_t(o->number), o->messageId,
                       parseRfc5322Date(o->date).value_or(0)});
    out.push_back(std::move(*o));
  }
  shared_.index.learn(area, first, next - 1, entries);
  co_return out;
}

awaitable<std::optional<Range>> Session::rangeOf(const Args& args, std::size_t at, Reply& error) {
  if (!group_) {
    error.status("412 no newsgroup selected");
    co_return std::nullopt;
  }
  if (args.size() <= at) {
    if (current_ == 0) {
      error.status("420 current article number is invalid");
      co_return std::nullopt;
    }
    co_return Range{current_, current_};
  }
  auto r = parseRange(args[at]);
  if (!r) error.status("501 bad article range");
  co_return r;
}

awaitable<void> Session::cmdOver(const Args& args) {
  Reply reply;
  if (!args.empty() && isMessageId(args[0])) {
    co_await sendById(args[0], false, "224 overview information follows",
                      [](const Found& f, Reply& r) { overviewLine(r, *f.overview, 0); });
    co_return;
  }
  auto range = co_await rangeOf(args, 0, reply);
  if (!range) {
    co_await send(reply);
    co_return;
  }
  co_await sendRange(*range, args.empty(), "224 overview information follows",
                     [](const Overview& o, Reply& r) -> awaitable<void> {
                       overviewLine(r, o, std::int64_t(o.number));
                       co_return;
                     });
}

awaitable<void> Session::sendById(std::string_view id, bool wholeArticle,
                                  const std::string& status,
                                  const std::function<void(const Found&, Reply&)>& each) {
  auto found = co_await lookup(id, wholeArticle);
  if (!found) {
    co_await send("430 no article with that message-id");
    co_return;
  }
  Reply reply;
  reply.status(status);
  each(*found, reply);
  reply.end();
  co_await send(reply);
}

awaitable<void> Session::sendRange(
    Range range, bool current, const std::string& status,
    const std::function<awaitable<void>(const Overview&, Reply&)>& each) {
  const std::size_t area = *group_;
  const std::int64_t last = std::min(range.last, co_await high(area));
  // Chunks go out as the back end delivers them; the status line waits for
  // the first one that holds anything, since an empty range is an error.
  Reply reply;
  bool any = false;
  std::int64_t next = 0;
  for (std::int64_t at = std::max<std::int64_t>(range.first, 1); at <= last; at = next) {
    auto chunk = co_await overviewChunk(area, at, last, next);
    if (chunk.empty()) continue;
    if (!any) reply.status(status);
    any = true;
    for (const Overview& o : chunk) co_await each(o, reply);
    co_await send(reply);
    if (quit_) co_return;
  }
  if (!any) {
    co_await send(current ? "420 current article number is invalid"
                          : "423 no articles in that range");
    co_return;
  }
  reply.end();
  co_await send(reply);
}

awaitable<void> Session::cmdHdr(const Args& args) { co_await headers(args, "225"); }
awaitable<void> Session::cmdXhdr(const Args& args) { co_await headers(args, "221"); }

awaitable<void> Session::headers(const Args& args, const char* okCode) {
  const Field field = fieldOf(args[0]);
  const bool x = std::string_view(okCode) == "221";
  Reply reply;
  const std::string status = std::string(okCode) + " " + std::string(args[0]) + " follows";

  if (args.size() == 2 && isMessageId(args[1])) {
    const bool whole = field == Field::Other || field == Field::Xref;
    co_await sendById(args[1], whole, status, [&](const Found& f, Reply& r) {
      std::string value =
          whole ? f.article->field(args[0]).value_or("") : valueOf(*f.overview, field);
      r.line(std::string(x ? args[1] : "0") + " " + flat(std::move(value)));
    });
    co_return;
  }
  auto range = co_await rangeOf(args, 1, reply);
  if (!range) {
    co_await send(reply);
    co_return;
  }
  const std::size_t area = *group_;
  const std::string name(args[0]);
  co_await sendRange(*range, args.size() < 2, status,
                     [&](const Overview& o, Reply& r) -> awaitable<void> {
                       std::string value;
                       // Readers whose overview lacks Xref ask for it by
                       // HDR; it needs no article.
                       if (field == Field::Xref)
                         value = config_.hostname + " " + config_.areas[area].group + ":" +
                                 std::to_string(o.number);
                       else if (field != Field::Other)
                         value = valueOf(o, field);
                       else if (auto art = co_await fetchArticle(area, std::int64_t(o.number)))
                         value = art->field(name).value_or("");
                       r.line(std::to_string(o.number) + " " + flat(std::move(value)));
                     });
}

}  // namespace nntpd
