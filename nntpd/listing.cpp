// LIST and its keywords, NEWGROUPS, NEWNEWS, DATE and HELP.
#include <ctime>
#include <set>

#include "dates.h"
#include "session.h"
#include "wildmat.h"

namespace nntpd {

using asio::awaitable;

namespace {

constexpr const char* HELP_TEXT[] = {
    "ARTICLE [number|<message-id>]",
    "AUTHINFO USER name | AUTHINFO PASS password",
    "BODY [number|<message-id>]",
    "CAPABILITIES",
    "DATE",
    "GROUP newsgroup",
    "HDR header [range|<message-id>]",
    "HEAD [number|<message-id>]",
    "HELP",
    "IHAVE <message-id>  (not wanted: post with POST)",
    "LAST",
    "LIST [ACTIVE|NEWSGROUPS [wildmat]|OVERVIEW.FMT|HEADERS]",
    "LISTGROUP [newsgroup [range]]",
    "MODE READER",
    "NEWGROUPS [yy]yymmdd hhmmss [GMT]",
    "NEWNEWS wildmat [yy]yymmdd hhmmss [GMT]",
    "NEXT",
    "OVER [range|<message-id>]",
    "POST",
    "QUIT",
    "STARTTLS",
    "STAT [number|<message-id>]",
    "XHDR header [range|<message-id>]",
    "XOVER [range]",
};

// The areas among `readable` whose group matches `wildmat` (all of them
// without one).
std::vector<std::size_t> matching(const Config& c, const std::vector<bool>& readable,
                                  std::optional<std::string_view> wildmat) {
  std::vector<std::size_t> out;
  for (std::size_t i = 0; i < c.areas.size(); ++i)
    if (readable[i] && (!wildmat || wildmatMatch(*wildmat, c.areas[i].group))) out.push_back(i);
  return out;
}

// The date arguments of NEWGROUPS and NEWNEWS from `at` on: date, time and
// an optional "GMT".
std::optional<std::time_t> dateArgs(const Session::Args& args, std::size_t at) {
  if (args.size() < at + 2 || args.size() > at + 3) return std::nullopt;
  bool gmt = args.size() == at + 3;
  if (gmt && upper(args[at + 2]) != "GMT") return std::nullopt;
  return parseNewsDate(args[at], args[at + 1], gmt, std::time(nullptr));
}

}  // namespace

awaitable<void> Session::cmdList(const Args& args) {
  const std::string keyword = args.empty() ? "ACTIVE" : upper(args[0]);
  if (keyword == "ACTIVE") {
    co_await listActive(args);
  } else if (keyword == "NEWSGROUPS") {
    co_await listNewsgroups(args);
  } else if (keyword == "OVERVIEW.FMT") {
    Reply r;
    r.status("215 order of fields in overview database");
    for (const char* f : {"Subject:", "From:", "Date:", "Message-ID:", "References:", "Bytes:",
                          "Lines:"})
      r.line(f);
    r.end();
    co_await send(r);
  } else if (keyword == "HEADERS") {
    if (args.size() == 2 && upper(args[1]) != "MSGID" && upper(args[1]) != "RANGE") {
      co_await send("501 LIST HEADERS takes MSGID or RANGE");
      co_return;
    }
    Reply r;
    r.status("215 headers supported");
    // Any header of an article can be asked for; the metadata items too.
    r.line(":");
    r.line(":bytes");
    r.line(":lines");
    r.end();
    co_await send(r);
  } else if (keyword == "ACTIVE.TIMES" || keyword == "DISTRIB.PATS" ||
             keyword == "DISTRIBUTIONS" || keyword == "MODERATORS" || keyword == "MOTD" ||
             keyword == "SUBSCRIPTIONS" || keyword == "COUNTS") {
    co_await send("503 LIST " + keyword + " is not kept here");
  } else {
    co_await send("501 unknown LIST keyword");
  }
}

awaitable<void> Session::listActive(const Args& args) {
  std::optional<std::string_view> wildmat;
  if (args.size() == 2) wildmat = args[1];
  const std::vector<std::size_t> areas = matching(*config_, readableAreas(), wildmat);
  const std::vector<std::int64_t> h = co_await highs(areas);
  Reply r;
  r.status("215 list of newsgroups follows");
  for (std::size_t i = 0; i < areas.size(); ++i) {
    const AreaConfig& a = config_->areas[areas[i]];
    // group high low status; an empty group shows high one below low.
    r.line(a.group + " " + std::to_string(h[i]) + " 1 " + (canPost(areas[i]) ? "y" : "n"));
  }
  r.end();
  co_await send(r);
}

awaitable<void> Session::listNewsgroups(const Args& args) {
  std::optional<std::string_view> wildmat;
  if (args.size() == 2) wildmat = args[1];
  Reply r;
  r.status("215 descriptions follow");
  for (std::size_t i : matching(*config_, readableAreas(), wildmat))
    r.line(config_->areas[i].group + "\t" + config_->areas[i].description);
  r.end();
  co_await send(r);
}

awaitable<void> Session::cmdNewgroups(const Args& args) {
  if (!dateArgs(args, 0)) {
    co_await send("501 expected [yy]yymmdd hhmmss [GMT]");
    co_return;
  }
  // Areas keep no creation date; the configuration's groups are there from
  // the server's start, so none is ever new to a reader who has listed them.
  Reply r;
  r.status("231 list of new newsgroups follows");
  r.end();
  co_await send(r);
}

awaitable<void> Session::cmdNewnews(const Args& args) {
  auto since = dateArgs(args, 1);
  if (!since) {
    co_await send("501 expected wildmat [yy]yymmdd hhmmss [GMT]");
    co_return;
  }
  const std::vector<std::size_t> areas = matching(*config_, readableAreas(), args[0]);
  const std::vector<std::int64_t> h = co_await highs(areas);
  for (std::size_t i = 0; i < areas.size(); ++i) co_await syncArea(areas[i], h[i]);
  Reply r;
  r.status("230 list of new articles follows");
  std::set<std::string> listed;  // echomail stored in two areas is one article
  for (std::size_t i = 0; i < areas.size(); ++i) {
    const std::size_t a = areas[i];
    if (!config_->areas[a].netmail) {
      for (std::string& id : shared_->index.since(a, *since))
        if (listed.insert(id).second) r.line(id);
      continue;
    }
    // A private area: the user's own messages only.
    co_await overviews(a, 1, h[i], [&](std::vector<OverLine>& chunk) -> awaitable<bool> {
      co_await keepVisible(a, chunk);
      for (const OverLine& o : chunk)
        if (parseRfc5322Date(o.field(OverLine::DATE)).value_or(0) >= *since &&
            listed.insert(std::string(o.messageId())).second)
          r.line(o.messageId());
      co_return true;
    });
  }
  r.end();
  co_await send(r);
}

awaitable<void> Session::cmdDate(const Args&) {
  co_await send("111 " + nntpDate(std::time(nullptr)));
}

awaitable<void> Session::cmdHelp(const Args&) {
  Reply r;
  r.status("100 help text follows");
  for (const char* line : HELP_TEXT) r.line(line);
  r.end();
  co_await send(r);
}

}  // namespace nntpd
