// One client connection: reads commands, answers them, and keeps the
// selected group and current article. Every read and write of a message
// goes through the connection's own back-end child.
//
// The command handlers are split by job: session.cpp has the connection and
// the dispatch, articles.cpp group selection and article retrieval,
// overview.cpp OVER, HDR and the overview fetch that feeds the index,
// listing.cpp the LIST family and the other informational commands,
// posting.cpp POST.
#ifndef NNTPD_SESSION_H
#define NNTPD_SESSION_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <asio/awaitable.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include "backend.h"
#include "cidr.h"
#include "command.h"
#include "netmail.h"
#include "msgid_index.h"
#include "overview_cache.h"
#include "reply.h"
#include "shared.h"
#include "stream.h"
#include "text/article.h"
#include "text/post.h"

namespace nntpd {

class Session {
 public:
  // A connection accepted on a listener (`implicitTls`: the TLS one). With a
  // `refusal`, the client is told it and the connection closed; otherwise
  // `slot` is its place among those served.
  Session(asio::ip::tcp::socket socket, Process& process, bool implicitTls, std::string refusal,
          std::optional<ConnectionSlot> slot);
  ~Session();

  // Serves the connection to its end; the coroutine owns the session.
  static asio::awaitable<void> serve(std::shared_ptr<Session> session) {
    co_await session->run();
  }

  using Args = std::vector<std::string_view>;

 private:
  asio::awaitable<void> run();

  enum class Read { Line, TooLong, Closed };
  using Handler = asio::awaitable<void> (Session::*)(const Args&);
  static const Handler HANDLERS[std::size_t(Verb::Xover) + 1];

  // -- the connection (session.cpp)
  asio::awaitable<Read> readLine(std::string& line, std::size_t max);
  asio::awaitable<void> send(Reply& reply);
  asio::awaitable<void> send(std::string_view statusLine);
  asio::awaitable<void> dispatch(std::string_view line);
  asio::awaitable<bool> startTls();
  // Serves new commands with the configuration read last.
  void adopt(std::shared_ptr<Shared> shared);
  // Log lines: "<event> <peer> (<user>): <detail>".
  std::string who() const;
  void note(std::string_view event, std::string_view detail);
  void logError(std::string_view what);
  std::string greeting() const;

  // What the connection waits for from its client, and since when; the
  // watchdog closes it when that takes too long.
  enum class Wait { None, Command, Receiving, Sending };
  void waitFor(Wait what, std::chrono::steady_clock::time_point since);
  void watch();

  asio::awaitable<void> cmdQuit(const Args&);
  asio::awaitable<void> cmdIhave(const Args&);
  asio::awaitable<void> cmdMode(const Args&);
  asio::awaitable<void> cmdCapabilities(const Args&);

  // -- logins and who may do what (access.cpp)
  asio::awaitable<void> cmdAuthinfo(const Args&);
  asio::awaitable<void> cmdStarttls(const Args&);
  asio::awaitable<void> checkPassword(std::string_view password);
  bool canRead(std::size_t area) const;
  bool canPost(std::size_t area) const;
  bool canPostAnywhere() const;
  // The area a client names to select it, or the refusal in `error`: 411
  // for a group it may not know of, 480 where a login would let it in.
  std::optional<std::size_t> readableGroup(std::string_view group, std::string& error) const;
  // The areas this client may read, as a mask.
  std::vector<bool> readableAreas() const;
  // Whether the client may see a message of a private netmail area (always
  // so in other areas): it is from or to one of the user's real names.
  bool visible(std::size_t area, const Article& article) const;
  asio::awaitable<bool> visible(std::size_t area, const OverLine& overview);
  // Drops what the client may not see from a chunk of overview lines.
  asio::awaitable<void> keepVisible(std::size_t area, std::vector<OverLine>& chunk);

  // -- groups and articles (articles.cpp)
  asio::awaitable<void> cmdGroup(const Args&);
  asio::awaitable<void> cmdListgroup(const Args&);
  asio::awaitable<void> cmdArticle(const Args&);
  asio::awaitable<void> cmdHead(const Args&);
  asio::awaitable<void> cmdBody(const Args&);
  asio::awaitable<void> cmdStat(const Args&);
  asio::awaitable<void> cmdNext(const Args&);
  asio::awaitable<void> cmdLast(const Args&);

  enum class Part { Article, Head, Body, Stat };
  asio::awaitable<void> retrieve(const Args& args, Part part);
  asio::awaitable<void> step(int direction);
  // Selects a group whose high number is `high` for GROUP and LISTGROUP:
  // the reply's "211" line.
  std::string select(std::size_t area, std::int64_t high);
  // The area of a group GROUP or LISTGROUP names, or nothing when the
  // refusal has been sent.
  asio::awaitable<std::optional<std::size_t>> selectable(std::string_view group);
  // The numbers in [first, last] of `area` the client may see.
  asio::awaitable<std::vector<std::int64_t>> visibleNumbers(std::size_t area, std::int64_t first,
                                                             std::int64_t last);

  // The high number of each area (0 for an area not created yet).
  asio::awaitable<std::vector<std::int64_t>> highs(const std::vector<std::size_t>& areas);
  asio::awaitable<std::int64_t> high(std::size_t area);
  asio::awaitable<std::optional<Article>> fetchArticle(std::size_t area, std::int64_t number);
  asio::awaitable<std::optional<OverLine>> fetchOverview(std::size_t area, std::int64_t number);

  // A message found by its Message-ID, with what was fetched to prove it.
  struct Found {
    MsgIdIndex::Place place;
    std::optional<Article> article;
    std::optional<OverLine> overview;
  };
  // Where a Message-ID is in more than one area, one of the areas `prefer`
  // marks is taken.
  asio::awaitable<std::optional<Found>> lookup(std::string_view messageId, bool wholeArticle,
                                               const std::vector<bool>* prefer = nullptr);
  asio::awaitable<void> syncAll();
  asio::awaitable<void> syncArea(std::size_t area, std::int64_t high);

  // -- overviews (overview.cpp)
  asio::awaitable<void> cmdOver(const Args&);
  asio::awaitable<void> cmdHdr(const Args&);
  asio::awaitable<void> cmdXhdr(const Args&);
  asio::awaitable<void> headers(const Args& args, const char* okCode);
  // The overview of `area` from `first` towards `last`, as much as one
  // back-end command holds; `next` is where the following chunk starts.
  asio::awaitable<std::vector<OverLine>> overviewChunk(std::size_t area, std::int64_t first,
                                                       std::int64_t last, std::int64_t& next);
  // The overview of `area` over [first, last], a chunk at a time and in
  // order: `sink` gets each chunk (empty where no message exists) and
  // returns false to stop. Fetched in a pipeline with the back end.
  using ChunkSink = std::function<asio::awaitable<bool>(std::vector<OverLine>&)>;
  asio::awaitable<void> overviews(std::size_t area, std::int64_t first, std::int64_t last,
                                  const ChunkSink& sink);
  // The numbers of the chunk starting at `first`, and its reply converted
  // (which teaches the index what it did not know).
  std::vector<std::int64_t> chunkNumbers(std::size_t area, std::int64_t first,
                                         std::int64_t last) const;
  std::vector<OverLine> convertChunk(std::size_t area, std::int64_t first, std::int64_t last,
                                     std::string_view reply);
  // The message-id form: `status` and the line `each` adds for the
  // article, or 430.
  asio::awaitable<void> sendById(std::string_view id, bool wholeArticle,
                                 const std::string& status,
                                 const std::function<void(const Found&, Reply&)>& each);
  // Sends `status` and the lines `lines` adds for the messages of the
  // selected group in `range`, a chunk at a time; 423 when there is none
  // (420 when the range is the `current` article).
  asio::awaitable<void> sendRange(
      Range range, bool current, const std::string& status,
      const std::function<asio::awaitable<void>(const std::vector<OverLine>&, Reply&)>& lines);
  // The range a command names for the selected group, with 412/420/501/423
  // already in `error` when there is none.
  asio::awaitable<std::optional<Range>> rangeOf(const Args& args, std::size_t at, Reply& error);

  // -- lists and information (listing.cpp)
  asio::awaitable<void> cmdList(const Args&);
  asio::awaitable<void> cmdNewgroups(const Args&);
  asio::awaitable<void> cmdNewnews(const Args&);
  asio::awaitable<void> cmdDate(const Args&);
  asio::awaitable<void> cmdHelp(const Args&);
  asio::awaitable<void> listActive(const Args&);
  asio::awaitable<void> listNewsgroups(const Args&);

  // -- posting (posting.cpp)
  asio::awaitable<void> cmdPost(const Args&);
  asio::awaitable<bool> readArticle(std::string& article, bool& tooLarge);
  // The areas of `groups` this client may post to, or why not all.
  std::string postableAreas(const std::vector<std::string>& groups,
                            std::vector<std::size_t>& areas) const;
  // The FidoNet sender name of a post by this client, or empty with `why`.
  std::string authorName(const ParsedPost& post, std::string& why) const;
  // Posts into `area` and finds the message among the new ones: its number
  // and Message-ID, or nothing when it is not there.
  struct Stored {
    std::int64_t number;
    std::string messageId;
  };
  asio::awaitable<std::optional<Stored>> store(std::size_t area, const Posting& posting,
                                               const std::string& origin,
                                               const std::string& dest);

  Process& process_;
  std::shared_ptr<Shared> shared_;
  const Config* config_;
  ClientStream stream_;
  std::optional<ConnectionSlot> slot_;
  std::string refusal_;
  bool implicitTls_;
  asio::steady_timer deadline_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  Backend backend_;
  IpBytes peerIp_{};
  std::string peer_;
  LineBuffer in_;  // bytes read from the client past the last line
  bool quit_ = false;
  Wait wait_ = Wait::None;
  std::chrono::steady_clock::time_point waitSince_;
  Wait expired_ = Wait::None;  // what the watchdog closed the connection for

  // The logged-in user, by name across reloads.
  std::string userName_;
  const UserConfig* user_ = nullptr;
  RealNames realNames_;
  std::string pendingUser_;  // after AUTHINFO USER

  std::optional<std::size_t> group_;  // index into config_->areas
  std::int64_t current_ = 0;          // 0: no current article

  // For the connection's log line.
  std::size_t commands_ = 0, articles_ = 0, posts_ = 0;
};

}  // namespace nntpd

#endif
