// OVER/XOVER and HDR/XHDR, and the overview fetch that every listing goes
// through, which also keeps the Message-ID index up to date.
#include <algorithm>
#include <array>
#include <charconv>
#include <deque>
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

std::string valueOf(const OverLine& o, Field f) {
  switch (f) {
    case Field::Subject: return std::string(o.field(OverLine::SUBJECT));
    case Field::From: return std::string(o.field(OverLine::FROM));
    case Field::Date: return std::string(o.field(OverLine::DATE));
    case Field::MessageId: return std::string(o.field(OverLine::MESSAGE_ID));
    case Field::References: return std::string(o.field(OverLine::REFERENCES));
    case Field::Bytes: return std::string(o.field(OverLine::BYTES));
    case Field::Lines: return std::string(o.field(OverLine::LINES));
    case Field::Xref:
    case Field::Other: break;
  }
  return {};
}

// The line as OVER sends it; `number` 0 for the message-id form.
void overviewLine(Reply& r, const OverLine& o, std::int64_t number) {
  if (number == o.number) {
    r.line(o.text);
    return;
  }
  std::string s = std::to_string(number);
  s += std::string_view(o.text).substr(o.text.find('\t'));
  r.line(s);
}

// A header value on one line: what could break the line becomes a space.
std::string flat(std::string v) {
  for (char& c : v)
    if ((unsigned char)c < ' ') c = ' ';
  return v;
}

}  // namespace

std::vector<std::int64_t> Session::chunkNumbers(std::size_t area, std::int64_t first,
                                                std::int64_t last) const {
  if (first > last) return {};
  const std::size_t want = std::size_t(std::min<std::int64_t>(last - first + 1, 1 << 20));
  std::vector<std::int64_t> numbers(Backend::headFits(config_->areas[area].spec, first, want));
  std::iota(numbers.begin(), numbers.end(), first);
  return numbers;
}

std::vector<OverLine> Session::convertChunk(std::size_t area, std::int64_t first,
                                            std::int64_t last, std::string_view reply) {
  const AreaConfig& a = config_->areas[area];
  MsgIdIndex& index = shared_->index;
  // Only a chunk that takes the index further is worth its copies.
  const bool learn = first <= index.covered(area) + 1 && last > index.covered(area);
  std::vector<MsgIdIndex::Entry> entries;
  std::vector<OverLine> out;
  while (!reply.empty()) {
    auto eol = reply.find('\n');
    std::string_view raw = reply.substr(0, eol);
    reply.remove_prefix(eol == std::string_view::npos ? reply.size() : eol + 1);
    std::int64_t number = 0;
    std::from_chars(raw.data(), raw.data() + raw.size(), number);
    if (const std::string* known = shared_->overviews.find(area, number, raw)) {
      out.emplace_back(number, *known);
    } else {
      auto o = convertOverview(raw, a.group, shared_->render);
      if (!o) continue;
      out.emplace_back(*o);
      shared_->overviews.store(area, out.back().number, raw, out.back().text);
    }
    if (learn)
      entries.push_back({out.back().number, std::string(out.back().messageId()),
                         parseRfc5322Date(out.back().field(OverLine::DATE)).value_or(0)});
  }
  if (learn) index.learn(area, first, last, entries);
  return out;
}

awaitable<std::vector<OverLine>> Session::overviewChunk(std::size_t area, std::int64_t first,
                                                        std::int64_t last, std::int64_t& next) {
  std::vector<std::int64_t> numbers = chunkNumbers(area, first, last);
  next = first + std::int64_t(numbers.size());
  if (numbers.empty()) co_return std::vector<OverLine>();
  std::string reply = co_await backend_.head(config_->areas[area].spec, numbers);
  co_return convertChunk(area, first, next - 1, reply);
}

awaitable<void> Session::overviews(std::size_t area, std::int64_t first, std::int64_t last,
                                   const ChunkSink& sink) {
  // Two lists are out at a time: while the server converts one reply, the
  // back end builds the next, each on its own core. A sink that needs whole
  // articles (a header the overview lacks, the addressee of private
  // netmail) sends commands of its own, before which the back end's reply
  // to the list sent ahead is read and dropped: that list is sent again,
  // and from then on one list at a time.
  const std::string& spec = config_->areas[area].spec;
  std::deque<std::pair<std::int64_t, std::int64_t>> sent;
  std::size_t ahead = 2;
  std::int64_t next = std::max<std::int64_t>(first, 1);
  bool stopped = false;
  for (;;) {
    while (!stopped && sent.size() < ahead && next <= last) {
      std::vector<std::int64_t> numbers = chunkNumbers(area, next, last);
      co_await backend_.submitHead(spec, numbers);
      sent.emplace_back(next, next + std::int64_t(numbers.size()) - 1);
      next += std::int64_t(numbers.size());
    }
    if (sent.empty()) co_return;
    std::string reply = co_await backend_.collect();
    auto [from, to] = sent.front();
    sent.pop_front();
    if (stopped) continue;  // what was sent is read all the same
    std::vector<OverLine> chunk = convertChunk(area, from, to, reply);
    if (!co_await sink(chunk)) stopped = true;
    if (backend_.inflight() < sent.size()) {
      if (!sent.empty()) next = sent.front().first;
      sent.clear();
      ahead = 1;
    }
  }
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
                     [](const std::vector<OverLine>& chunk, Reply& r) -> awaitable<void> {
                       for (const OverLine& o : chunk) overviewLine(r, o, o.number);
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
    const std::function<awaitable<void>(const std::vector<OverLine>&, Reply&)>& lines) {
  const std::size_t area = *group_;
  const std::int64_t last = std::min(range.last, co_await high(area));
  // Chunks go out as the back end delivers them; the status line waits for
  // the first one that holds anything, since an empty range is an error.
  Reply reply;
  bool any = false;
  co_await overviews(area, range.first, last,
                     [&](std::vector<OverLine>& chunk) -> awaitable<bool> {
                       co_await keepVisible(area, chunk);
                       if (chunk.empty()) co_return true;
                       if (!any) reply.status(status);
                       any = true;
                       co_await lines(chunk, reply);
                       co_await send(reply);
                       co_return !quit_;
                     });
  if (quit_) co_return;
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
                     [&](const std::vector<OverLine>& chunk, Reply& r) -> awaitable<void> {
                       for (const OverLine& o : chunk) {
                         std::string value;
                         // Readers whose overview lacks Xref ask for it by
                         // HDR; it needs no article.
                         if (field == Field::Xref)
                           value = config_->hostname + " " + config_->areas[area].group + ":" +
                                   std::to_string(o.number);
                         else if (field != Field::Other)
                           value = valueOf(o, field);
                         else if (auto art = co_await fetchArticle(area, o.number))
                           value = art->field(name).value_or("");
                         r.line(std::to_string(o.number) + " " + flat(std::move(value)));
                       }
                     });
}

}  // namespace nntpd
