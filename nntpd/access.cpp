// AUTHINFO and STARTTLS, and who may read and post where: groups a client
// may not read are not there for it at all, and in a private netmail area
// a user sees only the messages from or to one of the user's real names.
#include <asio/co_spawn.hpp>
#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>

#include "session.h"
#include "text/mime.h"
#include "text/post.h"

namespace nntpd {

using asio::awaitable;
using Clock = std::chrono::steady_clock;

namespace {

// Checked on the hashing thread: the strings are its own copies.
awaitable<bool> verify(std::string password, std::optional<std::string> hash) {
  co_return passwordMatches(password, hash ? &*hash : nullptr);
}

}  // namespace

bool Session::canRead(std::size_t area) const { return config_->areas[area].read.allows(user_); }

bool Session::canPost(std::size_t area) const {
  return canRead(area) && config_->areas[area].post.allows(user_);
}

bool Session::canPostAnywhere() const {
  for (std::size_t a = 0; a < config_->areas.size(); ++a)
    if (canPost(a)) return true;
  return false;
}

std::vector<bool> Session::readableAreas() const {
  std::vector<bool> mask(config_->areas.size());
  for (std::size_t a = 0; a < mask.size(); ++a) mask[a] = canRead(a);
  return mask;
}

std::optional<std::size_t> Session::readableGroup(std::string_view group,
                                                  std::string& error) const {
  const AreaConfig* a = config_->find(group);
  if (a) {
    const std::size_t area = std::size_t(a - config_->areas.data());
    if (canRead(area)) return area;
    if (!user_ && a->read.loginWouldHelp()) {
      error = "480 authentication required for this group";
      return std::nullopt;
    }
  }
  error = "411 no such newsgroup";
  return std::nullopt;
}

bool Session::visible(std::size_t area, const Article& article) const {
  if (!config_->areas[area].netmail) return true;
  return realNames_.either(mailboxName(article.field("From").value_or("")),
                           decodeHeaderText(article.field("X-Comment-To").value_or("")));
}

awaitable<bool> Session::visible(std::size_t area, const OverLine& overview) {
  if (!config_->areas[area].netmail) co_return true;
  const std::string from = mailboxName(overview.field(OverLine::FROM));
  if (realNames_.has(from)) co_return true;
  // The addressee is in the article only.
  auto to = shared_->parties.addressee(area, overview.number, overview.messageId());
  if (!to) {
    auto article = co_await fetchArticle(area, overview.number);
    if (!article || article->messageId != overview.messageId()) co_return false;
    to = decodeHeaderText(article->field("X-Comment-To").value_or(""));
    shared_->parties.learn(area, overview.number, std::string(overview.messageId()), *to);
  }
  co_return realNames_.has(*to);
}

awaitable<void> Session::keepVisible(std::size_t area, std::vector<OverLine>& chunk) {
  if (!config_->areas[area].netmail) co_return;
  std::vector<OverLine> kept;
  for (OverLine& o : chunk) {
    const bool mine = co_await visible(area, o);
    if (mine) kept.push_back(std::move(o));
  }
  chunk = std::move(kept);
}

awaitable<void> Session::cmdStarttls(const Args&) {
  if (stream_.tls()) {
    co_await send("502 TLS is already in use");
    co_return;
  }
  if (user_) {
    co_await send("502 already logged in");
    co_return;
  }
  if (!shared_->tls) {
    co_await send("580 no TLS on this server");
    co_return;
  }
  co_await send("382 continue with TLS negotiation");
  // What came before the handshake was sent in the clear, where anyone on
  // the way could have put it: none of it counts.
  in_ = LineBuffer();
  pendingUser_.clear();
  const bool ok = co_await startTls();
  if (!ok) quit_ = true;
}

awaitable<void> Session::cmdAuthinfo(const Args& args) {
  const std::string keyword = upper(args[0]);
  if (keyword != "USER" && keyword != "PASS") {
    co_await send("501 only AUTHINFO USER and AUTHINFO PASS are known here");
    co_return;
  }
  if (user_) {
    co_await send("502 already logged in");
    co_return;
  }
  if (config_->users.empty()) {
    co_await send("502 no logins on this server");
    co_return;
  }
  if (!stream_.tls() && !config_->plainLogin(peerIp_)) {
    note("refused", "a password without TLS");
    co_await send(shared_->tls ? "483 passwords only over TLS: use STARTTLS first"
                               : "483 passwords only over TLS");
    co_return;
  }
  if (keyword == "USER") {
    pendingUser_ = std::string(args[1]);
    co_await send("381 password required");
    co_return;
  }
  if (pendingUser_.empty()) {
    co_await send("482 AUTHINFO USER first");
    co_return;
  }
  co_await checkPassword(args[1]);
}

awaitable<void> Session::checkPassword(std::string_view password) {
  const std::string name = std::exchange(pendingUser_, {});
  LoginGuard& guard = process_.logins;
  guard.configure(config_->login_failures, config_->login_block);
  bool ok = false;
  bool blocked = guard.blocked(peerIp_, Clock::now());
  if (!blocked) {
    const UserConfig* u = config_->findUser(name);
    std::optional<std::string> hash;
    if (u) hash = u->password;
    ok = co_await asio::co_spawn(process_.hashers, verify(std::string(password), std::move(hash)),
                                 asio::use_awaitable);
  }
  if (ok) {
    guard.succeeded(peerIp_);
    userName_ = name;
    user_ = config_->findUser(name);
    realNames_ = RealNames(user_->realnames);
    note("login", "");
    co_await send("281 authentication accepted");
    co_return;
  }
  const std::string shown = name.size() > 64 ? name.substr(0, 64) + "..." : name;
  if (blocked) {
    note("refused", "a login as \"" + shown + "\" from an address blocked for failed logins");
  } else {
    const bool nowBlocked = guard.failed(peerIp_, Clock::now());
    note("login-failed", "as \"" + shown + "\"" +
                             (nowBlocked ? "; the address is blocked for " +
                                               std::to_string(config_->login_block.count()) + " s"
                                         : ""));
  }
  // Each failure costs the client time.
  asio::steady_timer pause(stream_.socket().get_executor(), config_->login_delay);
  asio::error_code ec;
  co_await pause.async_wait(asio::redirect_error(asio::use_awaitable, ec));
  co_await send(blocked ? "481 too many failed logins from your address; try again later"
                        : "481 authentication failed");
}

}  // namespace nntpd
