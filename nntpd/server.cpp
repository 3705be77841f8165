#include "server.h"

#include <system_error>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/ip/v6_only.hpp>
#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>

#include "listen_address.h"
#include "session.h"

namespace nntpd {

namespace {

// Connections being told why they are refused, at most; past that they are
// closed without a word, so that a flood costs little.
constexpr std::size_t MAX_REFUSING = 64;

}  // namespace

Server::Server(asio::io_context& io, Process& process) : io_(io), process_(process) {}

void Server::listen() {
  const Config& config = process_.current->config;
  for (bool tls : {false, true}) {
    for (const std::string& text : tls ? config.tls_listen : config.listen) {
      auto ep = parseListenAddress(text);
      if (!ep) throw std::system_error(std::make_error_code(std::errc::invalid_argument), text);
      auto acc = std::make_unique<asio::ip::tcp::acceptor>(io_);
      asio::error_code ec;
      acc->open(ep->protocol(), ec);
      if (!ec) acc->set_option(asio::ip::tcp::acceptor::reuse_address(true), ec);
      // An IPv6 address means that address alone, not the IPv4 ones too.
      if (!ec && ep->address().is_v6()) acc->set_option(asio::ip::v6_only(true), ec);
      if (!ec) acc->bind(*ep, ec);
      if (!ec) acc->listen(asio::socket_base::max_listen_connections, ec);
      if (ec) throw std::system_error(ec, "cannot listen on " + text);
      listeners_.push_back(Listener{text, tls, std::move(acc)});
    }
  }
}

std::vector<Server::Endpoint> Server::endpoints() const {
  std::vector<Endpoint> out;
  for (const auto& l : listeners_) out.push_back({l.acceptor->local_endpoint(), l.tls});
  return out;
}

void Server::start() {
  for (auto& l : listeners_) asio::co_spawn(io_, acceptLoop(l), asio::detached);
}

void Server::stop() {
  asio::error_code ignored;
  for (auto& l : listeners_) l.acceptor->close(ignored);
}

std::string Server::refusal(const IpBytes& peer) const {
  const Config& config = process_.current->config;
  if (!config.allowed(peer)) return "502 access denied";
  if (process_.connections >= config.max_connections)
    return "400 " + config.hostname + " has too many connections, try again later";
  auto it = process_.perAddress.find(peer);
  if (it != process_.perAddress.end() && it->second >= config.max_connections_per_address)
    return "400 too many connections from your address, try again later";
  return {};
}

asio::awaitable<void> Server::acceptLoop(Listener& listener) {
  asio::ip::tcp::acceptor& acceptor = *listener.acceptor;
  while (acceptor.is_open()) {
    asio::error_code ec;
    asio::ip::tcp::socket socket =
        co_await acceptor.async_accept(asio::redirect_error(asio::use_awaitable, ec));
    if (ec == asio::error::operation_aborted) co_return;
    if (ec) {
      // Out of descriptors, say: wait a moment rather than spin.
      process_.log.line("accept failed: " + ec.message());
      asio::steady_timer pause(io_, std::chrono::milliseconds(100));
      co_await pause.async_wait(asio::redirect_error(asio::use_awaitable, ec));
      continue;
    }
    const auto peer = socket.remote_endpoint(ec);
    if (ec) continue;  // gone already
    const IpBytes address = ipBytesOf(peer.address());
    std::string refused = refusal(address);
    std::optional<ConnectionSlot> slot;
    if (refused.empty()) {
      slot.emplace(process_, address);
    } else if (process_.refusing >= MAX_REFUSING) {
      process_.log.line("refused " + peer.address().to_string() + ":" +
                        std::to_string(peer.port()) + ": " + refused + " (closed at once)");
      continue;  // the socket closes here
    }
    auto session = std::make_shared<Session>(std::move(socket), process_, listener.tls,
                                              std::move(refused), std::move(slot));
    asio::co_spawn(io_, Session::serve(std::move(session)), [this](std::exception_ptr e) {
      if (!e) return;
      try {
        std::rethrow_exception(e);
      } catch (const std::exception& x) {
        process_.log.line(std::string("error: a connection ended by ") + x.what());
      } catch (...) {
        process_.log.line("error: a connection ended by an unknown exception");
      }
    });
  }
}

}  // namespace nntpd
