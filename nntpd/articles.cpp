// GROUP, LISTGROUP, ARTICLE, HEAD, BODY, STAT, NEXT and LAST, and finding
// messages by number and by Message-ID.
#include <algorithm>

#include "session.h"

namespace nntpd {

using asio::awaitable;

namespace {

// How many numbers NEXT and LAST look at in one back-end command.
constexpr std::int64_t STEP_WINDOW = 64;

std::string num(std::int64_t n) { return std::to_string(n); }

}  // namespace

awaitable<std::vector<std::int64_t>> Session::highs(const std::vector<std::size_t>& areas) {
  std::vector<std::string_view> specs;
  for (std::size_t a : areas) specs.push_back(config_->areas[a].spec);
  std::vector<std::int64_t> h = co_await backend_.stat(specs);
  // An area nobody has posted to yet does not exist; it is an empty group.
  for (auto& v : h) v = std::max<std::int64_t>(v, 0);
  co_return h;
}

awaitable<std::int64_t> Session::high(std::size_t area) {
  const std::vector<std::size_t> one{area};
  std::vector<std::int64_t> h = co_await highs(one);
  co_return h[0];
}

awaitable<std::optional<Article>> Session::fetchArticle(std::size_t area, std::int64_t number) {
  const AreaConfig& a = config_->areas[area];
  std::string retr = co_await backend_.retr(a.spec, number);
  if (retr.empty()) co_return std::nullopt;
  ServerFields fields;
  fields.path = config_->hostname + "!not-for-mail";
  fields.newsgroups = a.group;
  fields.xref = config_->hostname + " " + a.group + ":" + num(number);
  co_return renderArticle(retr, a.group, fields, shared_->render);
}

awaitable<std::optional<OverLine>> Session::fetchOverview(std::size_t area, std::int64_t number) {
  if (number < 1) co_return std::nullopt;
  std::int64_t next = 0;
  auto ov = co_await overviewChunk(area, number, number, next);
  if (ov.empty()) co_return std::nullopt;
  co_return std::move(ov.front());
}

awaitable<void> Session::syncArea(std::size_t area, std::int64_t high) {
  auto guard = co_await shared_->syncLocks[area].lock();
  MsgIdIndex& index = shared_->index;
  if (high < index.covered(area)) index.reset(area);  // renumbered or purged
  co_await overviews(area, index.covered(area) + 1, high,
                     [](std::vector<OverLine>&) -> awaitable<bool> { co_return true; });
}

awaitable<void> Session::syncAll() {
  std::vector<std::size_t> all;
  for (std::size_t i = 0; i < config_->areas.size(); ++i)
    if (canRead(i)) all.push_back(i);
  std::vector<std::int64_t> h = co_await highs(all);
  for (std::size_t i = 0; i < all.size(); ++i)
    if (h[i] != shared_->index.covered(all[i])) co_await syncArea(all[i], h[i]);
}

awaitable<std::optional<Session::Found>> Session::lookup(std::string_view messageId,
                                                          bool wholeArticle,
                                                          const std::vector<bool>* prefer) {
  // The index may be behind (new messages) or wrong (numbers that moved):
  // the first is mended by syncing, the second by rebuilding the area and
  // looking once more. Only the areas the client may read are looked in,
  // and a private message not the client's is not there for it.
  const std::vector<bool> readable = readableAreas();
  std::vector<bool> preferred = readable;
  if (prefer)
    for (std::size_t a = 0; a < preferred.size(); ++a) preferred[a] = readable[a] && (*prefer)[a];
  const auto find = [&] {
    auto p = shared_->index.find(messageId, &preferred);
    return p ? p : shared_->index.find(messageId, &readable);
  };
  for (int pass = 0; pass < 2; ++pass) {
    auto place = find();
    if (!place) {
      co_await syncAll();
      place = find();
    }
    if (!place) co_return std::nullopt;
    Found f{*place, std::nullopt, std::nullopt};
    if (wholeArticle) {
      f.article = co_await fetchArticle(place->area, place->number);
      if (f.article && f.article->messageId == messageId) {
        if (!visible(place->area, *f.article)) co_return std::nullopt;
        co_return f;
      }
    } else {
      f.overview = co_await fetchOverview(place->area, place->number);
      if (f.overview && f.overview->messageId() == messageId) {
        const bool mine = co_await visible(place->area, *f.overview);
        if (!mine) co_return std::nullopt;
        co_return f;
      }
    }
    shared_->index.reset(place->area);
    const std::int64_t h = co_await high(place->area);
    co_await syncArea(place->area, h);
  }
  co_return std::nullopt;
}

std::string Session::select(std::size_t area, std::int64_t h) {
  const MsgIdIndex& index = shared_->index;
  std::int64_t count = h, low = 1;
  // Exact figures when the index holds the whole area; else the estimate
  // the protocol allows: every number up to the high one. A private area
  // gives the estimate always: its count would tell of other users' mail.
  if (index.covered(area) == h && h > 0 && !config_->areas[area].netmail) {
    count = std::int64_t(index.count(area));
    low = count ? index.lowest(area) : h + 1;
  }
  if (h == 0) low = 1;
  group_ = area;
  current_ = count > 0 ? low : 0;
  return "211 " + num(count) + " " + num(low) + " " + num(h) + " " + config_->areas[area].group;
}

awaitable<std::optional<std::size_t>> Session::selectable(std::string_view group) {
  std::string error;
  const auto area = readableGroup(group, error);
  if (area) {
    note("group", config_->areas[*area].group);
  } else {
    // A group that is there but not for this client is worth a line.
    if (config_->find(group)) note("refused", "group " + std::string(group) + ": " + error);
    co_await send(error);
  }
  co_return area;
}

awaitable<void> Session::cmdGroup(const Args& args) {
  const auto area = co_await selectable(args[0]);
  if (!area) co_return;
  const std::int64_t h = co_await high(*area);
  co_await send(select(*area, h));
}

awaitable<std::vector<std::int64_t>> Session::visibleNumbers(std::size_t area, std::int64_t first,
                                                              std::int64_t last) {
  const std::int64_t h = co_await high(area);
  last = std::min(last, h);
  if (!config_->areas[area].netmail) {
    co_await syncArea(area, h);
    co_return shared_->index.numbers(area, first, last);
  }
  std::vector<std::int64_t> out;
  co_await overviews(area, first, last, [&](std::vector<OverLine>& chunk) -> awaitable<bool> {
    co_await keepVisible(area, chunk);
    for (const OverLine& o : chunk) out.push_back(o.number);
    co_return true;
  });
  co_return out;
}

awaitable<void> Session::cmdListgroup(const Args& args) {
  std::size_t area;
  if (!args.empty()) {
    const auto a = co_await selectable(args[0]);
    if (!a) co_return;
    area = *a;
  } else if (group_) {
    area = *group_;
  } else {
    co_await send("412 no newsgroup selected");
    co_return;
  }
  Range range{1, INT64_MAX};
  if (args.size() == 2) {
    auto r = parseRange(args[1]);
    if (!r) {
      co_await send("501 bad range");
      co_return;
    }
    range = *r;
  }
  const std::vector<std::int64_t> numbers = co_await visibleNumbers(area, range.first, range.last);
  const std::int64_t h = co_await high(area);
  Reply reply;
  reply.status(select(area, h));
  for (std::int64_t n : numbers) reply.line(num(n));
  reply.end();
  co_await send(reply);
}

awaitable<void> Session::retrieve(const Args& args, Part part) {
  static const char* const OK[] = {"220", "221", "222", "223"};
  const char* ok = OK[int(part)];
  const bool whole = part != Part::Stat;
  std::size_t area;
  std::int64_t number;
  std::optional<Article> article;
  std::optional<OverLine> overview;

  if (!args.empty() && isMessageId(args[0])) {
    auto found = co_await lookup(args[0], whole);
    if (!found) {
      co_await send("430 no article with that message-id");
      co_return;
    }
    area = found->place.area;
    // The number is given only where it means something to the client.
    number = group_ == area ? found->place.number : 0;
    article = std::move(found->article);
    overview = std::move(found->overview);
  } else {
    if (!group_) {
      co_await send("412 no newsgroup selected");
      co_return;
    }
    area = *group_;
    if (args.empty()) {
      if (current_ == 0) {
        co_await send("420 current article number is invalid");
        co_return;
      }
      number = current_;
    } else {
      auto n = parseNumber(args[0]);
      if (!n) {
        co_await send("501 expected an article number or a message-id");
        co_return;
      }
      number = *n;
    }
    if (whole) {
      article = co_await fetchArticle(area, number);
      if (article && !visible(area, *article)) article.reset();
    } else {
      overview = co_await fetchOverview(area, number);
      bool mine = false;
      if (overview) mine = co_await visible(area, *overview);
      if (!mine) overview.reset();
    }
    if (!article && !overview) {
      co_await send(args.empty() ? "420 current article number is invalid"
                                 : "423 no article with that number");
      co_return;
    }
    current_ = number;
  }

  const std::string id(article ? std::string_view(article->messageId) : overview->messageId());
  Reply reply;
  reply.status(std::string(ok) + " " + num(number) + " " + id);
  if (part == Part::Article) {
    reply.lines(article->head());
    reply.line("");
    reply.lines(article->body);
  } else if (part == Part::Head) {
    reply.lines(article->head());
  } else if (part == Part::Body) {
    reply.lines(article->body);
  }
  if (part != Part::Stat) {
    reply.end();
    ++articles_;
  }
  co_await send(reply);
}

awaitable<void> Session::cmdArticle(const Args& a) { co_await retrieve(a, Part::Article); }
awaitable<void> Session::cmdHead(const Args& a) { co_await retrieve(a, Part::Head); }
awaitable<void> Session::cmdBody(const Args& a) { co_await retrieve(a, Part::Body); }
awaitable<void> Session::cmdStat(const Args& a) { co_await retrieve(a, Part::Stat); }

awaitable<void> Session::step(int direction) {
  if (!group_) {
    co_await send("412 no newsgroup selected");
    co_return;
  }
  if (current_ == 0) {
    co_await send("420 current article number is invalid");
    co_return;
  }
  const std::size_t area = *group_;
  // The nearest existing number in the direction asked, looked for a window
  // of numbers at a time.
  std::int64_t h = co_await high(area);
  std::int64_t from = current_ + direction;
  while (from >= 1 && from <= h) {
    std::int64_t lo = direction > 0 ? from : std::max<std::int64_t>(1, from - STEP_WINDOW + 1);
    std::int64_t hi = direction > 0 ? std::min(h, from + STEP_WINDOW - 1) : from;
    std::int64_t next = 0;
    std::vector<OverLine> found;
    for (std::int64_t at = lo; at <= hi; at = next) {
      auto chunk = co_await overviewChunk(area, at, hi, next);
      co_await keepVisible(area, chunk);
      std::move(chunk.begin(), chunk.end(), std::back_inserter(found));
    }
    if (!found.empty()) {
      const OverLine& o = direction > 0 ? found.front() : found.back();
      current_ = o.number;
      co_await send("223 " + num(current_) + " " + std::string(o.messageId()) + " article selected");
      co_return;
    }
    from = direction > 0 ? hi + 1 : lo - 1;
  }
  co_await send(direction > 0 ? "421 no next article in this group"
                              : "422 no previous article in this group");
}

awaitable<void> Session::cmdNext(const Args&) { co_await step(+1); }
awaitable<void> Session::cmdLast(const Args&) { co_await step(-1); }

}  // namespace nntpd
