#include "session.h"

#include "listen_address.h"

#include <chrono>

#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>

namespace nntpd {

using asio::awaitable;
using asio::use_awaitable;
using Clock = std::chrono::steady_clock;

// The handler of each verb, in the order of the enumeration.
const Session::Handler Session::HANDLERS[std::size_t(Verb::Xover) + 1] = {
    &Session::cmdArticle,  &Session::cmdAuthinfo,  &Session::cmdBody,      &Session::cmdCapabilities,
    &Session::cmdDate,     &Session::cmdGroup,     &Session::cmdHdr,       &Session::cmdHead,
    &Session::cmdHelp,     &Session::cmdIhave,     &Session::cmdLast,      &Session::cmdList,
    &Session::cmdListgroup, &Session::cmdMode,     &Session::cmdNewgroups, &Session::cmdNewnews,
    &Session::cmdNext,     &Session::cmdOver,      &Session::cmdPost,      &Session::cmdQuit,
    &Session::cmdStarttls, &Session::cmdStat,      &Session::cmdXhdr,      &Session::cmdOver,
};

Session::Session(asio::ip::tcp::socket socket, Process& process, bool implicitTls,
                 std::string refusal, std::optional<ConnectionSlot> slot)
    : process_(process),
      shared_(process.current),
      config_(&shared_->config),
      stream_(std::move(socket)),
      slot_(std::move(slot)),
      refusal_(std::move(refusal)),
      implicitTls_(implicitTls),
      deadline_(stream_.socket().get_executor()),
      backend_(stream_.socket().get_executor(), config_->backend, config_->backend_timeout) {
  asio::error_code ec;
  auto ep = stream_.socket().remote_endpoint(ec);
  if (!ec) {
    peerIp_ = ipBytesOf(ep.address());
    peer_ = ep.address().to_string() + ":" + std::to_string(ep.port());
  } else {
    peer_ = "?";
  }
  // Replies leave in one write each; Nagle would hold every reply back
  // until the previous one is acknowledged.
  stream_.socket().set_option(asio::ip::tcp::no_delay(true), ec);
  if (!slot_) ++process_.refusing;
}

Session::~Session() {
  *alive_ = false;
  if (!slot_) --process_.refusing;
}

// The limits are kept by one timer that wakes up when what the connection
// waits for is due, or once a limit when it waits for nothing; re-arming a
// timer around every read and write would cost two system calls a command.
void Session::waitFor(Wait what, Clock::time_point since) {
  wait_ = what;
  waitSince_ = since;
  if (what == Wait::None) return;
  const auto limit = what == Wait::Command ? config_->idle_timeout : config_->command_timeout;
  if (expired_ != Wait::None || since + limit < deadline_.expiry()) watch();
}

void Session::watch() {
  const auto limitOf = [this](Wait w) {
    return w == Wait::Command ? config_->idle_timeout : config_->command_timeout;
  };
  deadline_.expires_at(wait_ != Wait::None
                           ? waitSince_ + limitOf(wait_)
                           : Clock::now() + std::min(config_->idle_timeout, config_->command_timeout));
  // A timer that has already fired is not stopped by cancel(): its handler
  // may run after the session is gone, and must know.
  deadline_.async_wait([this, alive = alive_, limitOf](const asio::error_code& ec) {
    if (ec || !*alive) return;
    if (wait_ != Wait::None && Clock::now() - waitSince_ >= limitOf(wait_)) {
      expired_ = wait_;
      stream_.cancel();
      // Not armed again until the session waits once more (for a farewell).
      deadline_.expires_at(Clock::time_point::max());
      return;
    }
    watch();
  });
}

std::string Session::who() const {
  return userName_.empty() ? peer_ : peer_ + " (" + userName_ + ")";
}

void Session::note(std::string_view event, std::string_view detail) {
  std::string text(event);
  text += ' ';
  text += who();
  if (!detail.empty()) {
    text += ": ";
    text += detail;
  }
  shared_->log.line(text);
}

void Session::logError(std::string_view what) { note("error", what); }

awaitable<Session::Read> Session::readLine(std::string& line, std::size_t max) {
  // A command line runs against the idle limit until its first byte comes,
  // and against the command limit from then on; an article (the caller
  // says Receiving) against the command limit throughout.
  const bool command = wait_ != Wait::Receiving;
  for (;;) {
    const LineBuffer::Got got = in_.next(line, max);
    if (got != LineBuffer::Got::More) {
      if (command) waitFor(Wait::None, {});
      co_return got == LineBuffer::Got::Line ? Read::Line : Read::TooLong;
    }
    if (command) {
      if (in_.partial() && wait_ != Wait::Receiving)
        waitFor(Wait::Receiving, Clock::now());
      else if (!in_.partial() && wait_ != Wait::Command)
        waitFor(Wait::Command, Clock::now());
    }
    char buf[16384];
    asio::error_code ec;
    const std::size_t n = co_await stream_.readSome(asio::buffer(buf), ec);
    if (ec) {
      if (command) waitFor(Wait::None, {});
      co_return Read::Closed;
    }
    in_.append(buf, n);
  }
}

awaitable<void> Session::send(Reply& reply) {
  if (reply.empty()) co_return;
  // The whole reply must be taken within the command limit: a client that
  // does not read its replies holds no more than one reply here, and not
  // for long.
  waitFor(Wait::Sending, Clock::now());
  const std::string& data = reply.data();
  asio::error_code ec;
  for (std::size_t done = 0; done < data.size() && !ec;)
    done += co_await stream_.writeSome(asio::buffer(data.data() + done, data.size() - done), ec);
  waitFor(Wait::None, {});
  reply.clear();
  if (ec) quit_ = true;
}

awaitable<void> Session::send(std::string_view statusLine) {
  Reply r;
  r.status(statusLine);
  co_await send(r);
}

std::string Session::greeting() const {
  const bool posting = canPostAnywhere();
  return std::string(posting ? "200 " : "201 ") + config_->hostname + " zandrel-nntpd " + VERSION +
         (posting ? " ready (posting allowed)" : " ready (no posting)");
}

awaitable<bool> Session::startTls() {
  if (!shared_->tls) {
    note("refused", "no [tls] in the configuration for this TLS listener");
    co_return false;
  }
  waitFor(Wait::Receiving, Clock::now());
  asio::error_code ec;
  co_await stream_.handshake(shared_->tls, ec);
  waitFor(Wait::None, {});
  if (ec) {
    note("refused", "TLS handshake failed: " +
                        (expired_ != Wait::None ? std::string("too slow") : ec.message()));
    co_return false;
  }
  note("tls", stream_.tlsDescription());
  co_return true;
}

awaitable<void> Session::run() {
  const auto started = Clock::now();
  std::string why = "quit";
  watch();
  note("connect", implicitTls_ ? "on the TLS listener" : "");

  if (implicitTls_) {
    const bool ok = co_await startTls();
    if (!ok) {
      stream_.close();
      co_return;
    }
  }
  if (!refusal_.empty()) {
    note("refused", refusal_);
    co_await send(refusal_);
    stream_.close();
    co_return;
  }
  co_await send(greeting());

  std::string line;
  while (!quit_) {
    const Read r = co_await readLine(line, MAX_COMMAND_LINE);
    if (r == Read::Closed) break;
    ++commands_;
    if (r == Read::TooLong) {
      co_await send("501 command line too long");
      continue;
    }
    co_await dispatch(line);
  }
  // Told why, when the client may still be listening.
  if (expired_ == Wait::Command) {
    why = "idle";
    co_await send("400 idle for " + std::to_string(config_->idle_timeout.count()) +
                  " s, closing connection");
  } else if (expired_ == Wait::Receiving) {
    why = "too slow to send a command";
    co_await send("400 command not received within " +
                  std::to_string(config_->command_timeout.count()) + " s, closing connection");
  } else if (expired_ == Wait::Sending) {
    why = "not reading its replies";
  } else if (!quit_) {
    why = "closed by client";
  }

  deadline_.cancel();
  stream_.close();
  const auto secs =
      std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - started).count();
  shared_->log.line("connection " + who() + " " + why + " after " + std::to_string(secs) + " s: " +
                    std::to_string(commands_) + " commands, " + std::to_string(articles_) +
                    " articles, " + std::to_string(posts_) + " posts");
}

void Session::adopt(std::shared_ptr<Shared> shared) {
  const std::string group = group_ ? config_->areas[*group_].group : "";
  shared_ = std::move(shared);
  config_ = &shared_->config;
  if (!userName_.empty()) {
    user_ = config_->findUser(userName_);
    if (user_) {
      realNames_ = RealNames(user_->realnames);
    } else {
      note("logout", "no longer a user after the configuration was read again");
      userName_.clear();
      realNames_ = RealNames();
    }
  }
  pendingUser_.clear();
  std::string ignored;
  group_ = group.empty() ? std::nullopt : readableGroup(group, ignored);
  if (!group_) current_ = 0;
}

awaitable<void> Session::dispatch(std::string_view line) {
  static_assert(std::size(HANDLERS) == std::size_t(Verb::Xover) + 1);
  if (process_.current != shared_) adopt(process_.current);
  const ParsedCommand cmd = parseCommand(line);
  switch (cmd.status) {
    case ParsedCommand::Status::Empty:
      co_await send("500 empty command");
      co_return;
    case ParsedCommand::Status::Unknown:
      co_await send("500 unknown command");
      co_return;
    case ParsedCommand::Status::Syntax:
      co_await send("501 syntax error in " + cmd.name);
      co_return;
    case ParsedCommand::Status::Ok:
      break;
  }
  std::string failure;
  bool timedOut = false;
  try {
    co_await (this->*HANDLERS[std::size_t(cmd.verb)])(cmd.args);
    co_return;
  } catch (const BackendError& e) {
    failure = e.what();
    timedOut = e.timeout;
  }
  logError(cmd.name + ": " + failure);
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
  const bool here = (co_await lookup(args[0], false)).has_value();
  co_await send(here ? "435 article not wanted: already here"
                     : "435 article not wanted: post with POST");
}

awaitable<void> Session::cmdMode(const Args& args) {
  if (upper(args[0]) != "READER") {
    co_await send("501 only MODE READER is known here");
    co_return;
  }
  co_await send(canPostAnywhere() ? "200 posting allowed" : "201 no posting");
}

awaitable<void> Session::cmdCapabilities(const Args&) {
  Reply r;
  r.status("101 capability list follows");
  r.line("VERSION 2");
  r.line("READER");
  if (canPostAnywhere()) r.line("POST");
  if (!user_ && !config_->users.empty())
    r.line(stream_.tls() || config_->plainLogin(peerIp_) ? "AUTHINFO USER" : "AUTHINFO");
  if (shared_->tls && !stream_.tls() && !user_) r.line("STARTTLS");
  r.line("NEWNEWS");
  r.line("HDR");
  r.line("OVER MSGID");
  r.line("LIST ACTIVE NEWSGROUPS OVERVIEW.FMT HEADERS");
  r.line(std::string("IMPLEMENTATION zandrel-nntpd ") + VERSION);
  r.end();
  co_await send(r);
}

}  // namespace nntpd
