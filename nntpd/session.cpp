#include "session.h"

#include <chrono>

#include <asio/read.hpp>
#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

namespace nntpd {

using asio::awaitable;
using asio::use_awaitable;

struct Session::Command {
  std::string_view name;
  Handler handler;
  std::size_t minArgs, maxArgs;  // words after the command
};

const Session::Command Session::COMMANDS[] = {
    {"ARTICLE", &Session::cmdArticle, 0, 1},
    {"BODY", &Session::cmdBody, 0, 1},
    {"CAPABILITIES", &Session::cmdCapabilities, 0, 1},
    {"DATE", &Session::cmdDate, 0, 0},
    {"GROUP", &Session::cmdGroup, 1, 1},
    {"HDR", &Session::cmdHdr, 1, 2},
    {"HEAD", &Session::cmdHead, 0, 1},
    {"HELP", &Session::cmdHelp, 0, 0},
    {"IHAVE", &Session::cmdIhave, 1, 1},
    {"LAST", &Session::cmdLast, 0, 0},
    {"LIST", &Session::cmdList, 0, 2},
    {"LISTGROUP", &Session::cmdListgroup, 0, 2},
    {"MODE", &Session::cmdMode, 1, 1},
    {"NEWGROUPS", &Session::cmdNewgroups, 2, 4},
    {"NEWNEWS", &Session::cmdNewnews, 3, 5},
    {"NEXT", &Session::cmdNext, 0, 0},
    {"OVER", &Session::cmdOver, 0, 1},
    {"POST", &Session::cmdPost, 0, 0},
    {"QUIT", &Session::cmdQuit, 0, 0},
    {"STAT", &Session::cmdStat, 0, 1},
    {"XHDR", &Session::cmdXhdr, 1, 2},
    {"XOVER", &Session::cmdOver, 0, 1},
};

Session::Session(asio::ip::tcp::socket socket, Shared& shared)
    : shared_(shared),
      config_(shared.config),
      socket_(std::move(socket)),
      deadline_(socket_.get_executor()),
      backend_(socket_.get_executor(), shared.config.backend, shared.config.backend_timeout) {
  asio::error_code ec;
  auto ep = socket_.remote_endpoint(ec);
  peer_ = ec ? "?" : ep.address().to_string() + ":" + std::to_string(ep.port());
  // Replies leave in one write each; Nagle would hold every reply back
  // until the previous one is acknowledged.
  socket_.set_option(asio::ip::tcp::no_delay(true), ec);
  ++shared_.connections;
}

Session::~Session() {
  *alive_ = false;
  --shared_.connections;
}

// The idle limit is kept by one timer that wakes up once per limit and looks
// at how long the connection has been waiting for its client; re-arming a
// timer around every read and write would cost two system calls a command.
void Session::watchIdle() {
  auto due = waiting_ ? waitingSince_ + config_.idle_timeout
                      : std::chrono::steady_clock::now() + config_.idle_timeout;
  deadline_.expires_at(due);
  // A timer that has already fired is not stopped by cancel(): its handler
  // may run after the session is gone, and must know.
  deadline_.async_wait([this, alive = alive_](const asio::error_code& ec) {
    if (ec || !*alive) return;
    if (waiting_ && std::chrono::steady_clock::now() - waitingSince_ >= config_.idle_timeout) {
      idle_ = true;
      asio::error_code ignored;
      socket_.cancel(ignored);
      return;
    }
    watchIdle();
  });
}

void Session::logError(std::string_view what) {
  shared_.log.line("error " + peer_ + ": " + std::string(what));
}

awaitable<Session::Read> Session::readLine(std::string& line, std::size_t max) {
  std::size_t scanned = 0;
  bool tooLong = false;
  for (;;) {
    auto eol = in_.find('\n', scanned);
    if (eol != std::string::npos) {
      if (tooLong || eol > max) {
        in_.erase(0, eol + 1);
        co_return Read::TooLong;
      }
      std::size_t len = eol;
      if (len > 0 && in_[len - 1] == '\r') --len;
      line.assign(in_, 0, len);
      in_.erase(0, eol + 1);
      co_return Read::Line;
    }
    if (in_.size() > max) {
      // The rest of an over-long line is read and dropped.
      tooLong = true;
      in_.clear();
    }
    scanned = in_.size();
    char buf[16384];
    asio::error_code ec;
    waiting_ = true;
    waitingSince_ = std::chrono::steady_clock::now();
    std::size_t n =
        co_await socket_.async_read_some(asio::buffer(buf), asio::redirect_error(use_awaitable, ec));
    waiting_ = false;
    if (ec) co_return Read::Closed;
    in_.append(buf, n);
  }
}

awaitable<void> Session::send(Reply& reply) {
  if (reply.empty()) co_return;
  asio::error_code ec;
  waiting_ = true;
  waitingSince_ = std::chrono::steady_clock::now();
  co_await asio::async_write(socket_, asio::buffer(reply.data()),
                             asio::redirect_error(use_awaitable, ec));
  waiting_ = false;
  reply.clear();
  if (ec) quit_ = true;
}

awaitable<void> Session::send(std::string_view statusLine) {
  Reply r;
  r.status(statusLine);
  co_await send(r);
}

awaitable<void> Session::run() {
  const auto started = std::chrono::steady_clock::now();
  std::string why = "quit";
  watchIdle();

  if (shared_.connections > config_.max_connections) {
    co_await send("400 " + config_.hostname + " has too many connections, try again later");
    shared_.log.line("refused " + peer_ + ": too many connections");
    co_return;
  }
  bool posting = config_.anyPosting();
  co_await send(std::string(posting ? "200 " : "201 ") + config_.hostname + " zandrel-nntpd " +
                VERSION + (posting ? " ready (posting allowed)" : " ready (no posting)"));

  std::string line;
  while (!quit_) {
    Read r = co_await readLine(line, MAX_COMMAND_LINE);
    if (r == Read::Closed) {
      if (idle_) {
        why = "idle";
        co_await send("400 idle for " + std::to_string(config_.idle_timeout.count()) +
                      " s, closing connection");
      } else {
        why = "closed by client";
      }
      break;
    }
    ++commands_;
    if (r == Read::TooLong) {
      co_await send("501 command line too long");
      continue;
    }
    co_await dispatch(line);
  }
  if (quit_ && idle_) why = "idle";

  asio::error_code ignored;
  deadline_.cancel();
  socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
  socket_.close(ignored);
  auto secs = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() -
                                                               started)
                  .count();
  shared_.log.line("connection " + peer_ + " " + why + " after " + std::to_string(secs) + " s: " +
                   std::to_string(commands_) + " commands, " + std::to_string(articles_) +
                   " articles, " + std::to_string(posts_) + " posts");
}

awaitable<void> Session::dispatch(std::string_view line) {
  Args words = splitWords(line);
  if (words.empty()) {
    co_await send("500 empty command");
    co_return;
  }
  const std::string name = upper(words[0]);
  const Command* cmd = nullptr;
  for (const Command& c : COMMANDS)
    if (c.name == name) cmd = &c;
  if (!cmd) {
    co_await send("500 unknown command");
    co_return;
  }
  Args args(words.begin() + 1, words.end());
  if (args.size() < cmd->minArgs || args.size() > cmd->maxArgs) {
    co_await send("501 syntax error in " + name);
    co_return;
  }
  std::string failure;
  bool timedOut = false;
  try {
    co_await (this->*(cmd->handler))(args);
    co_return;
  } catch (const BackendError& e) {
    failure = e.what();
    timedOut = e.timeout;
  }
  logError(name + ": " + failure);
  co_await send(timedOut ? "403 the message base did not answer in time"
                         : "403 the message base could not be read");
}

awaitable<void> Session::cmdQuit(const Args&) {
  co_await send("205 closing connection");
  quit_ = true;
}

awaitable<void> Session::cmdIhave(const Args& args) {
  if (!isMessageId(args[0])) {
    co_await send("501 expected a message-id");
    co_return;
  }
  // Areas are fed by tossers, not by news peers: a peer offering an article
  // is told not to send it, and told why.
  co_await send(shared_.index.find(args[0]) ? "435 article not wanted: already here"
                                            : "435 article not wanted: post with POST");
}

awaitable<void> Session::cmdMode(const Args& args) {
  if (upper(args[0]) != "READER") {
    co_await send("501 only MODE READER is known here");
    co_return;
  }
  co_await send(config_.anyPosting() ? "200 posting allowed" : "201 no posting");
}

awaitable<void> Session::cmdCapabilities(const Args&) {
  Reply r;
  r.status("101 capability list follows");
  r.line("VERSION 2");
  r.line("READER");
  if (config_.anyPosting()) r.line("POST");
  r.line("NEWNEWS");
  r.line("HDR");
  r.line("OVER MSGID");
  r.line("LIST ACTIVE NEWSGROUPS OVERVIEW.FMT HEADERS");
  r.line(std::string("IMPLEMENTATION zandrel-nntpd ") + VERSION);
  r.end();
  co_await send(r);
}

}  // namespace nntpd
