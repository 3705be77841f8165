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

Server::Server(asio::io_context& io, Shared& shared) : io_(io), shared_(shared) {}

void Server::listen() {
  for (const std::string& text : shared_.config.listen) {
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
    acceptors_.push_back(std::move(acc));
  }
}

std::vector<asio::ip::tcp::endpoint> Server::endpoints() const {
  std::vector<asio::ip::tcp::endpoint> out;
  for (const auto& acc : acceptors_) out.push_back(acc->local_endpoint());
  return out;
}

void Server::start() {
  for (auto& acc : acceptors_) asio::co_spawn(io_, acceptLoop(*acc), asio::detached);
}

void Server::stop() {
  asio::error_code ignored;
  for (auto& acc : acceptors_) acc->close(ignored);
}

asio::awaitable<void> Server::acceptLoop(asio::ip::tcp::acceptor& acceptor) {
  while (acceptor.is_open()) {
    asio::error_code ec;
    asio::ip::tcp::socket socket =
        co_await acceptor.async_accept(asio::redirect_error(asio::use_awaitable, ec));
    if (ec == asio::error::operation_aborted) co_return;
    if (ec) {
      // Out of descriptors, say: wait a moment rather than spin.
      shared_.log.line("accept failed: " + ec.message());
      asio::steady_timer pause(io_, std::chrono::milliseconds(100));
      co_await pause.async_wait(asio::redirect_error(asio::use_awaitable, ec));
      continue;
    }
    auto session = std::make_shared<Session>(std::move(socket), shared_);
    asio::co_spawn(io_, Session::serve(std::move(session)), [this](std::exception_ptr e) {
      if (!e) return;
      try {
        std::rethrow_exception(e);
      } catch (const std::exception& x) {
        shared_.log.line(std::string("error: a connection ended by ") + x.what());
      } catch (...) {
        shared_.log.line("error: a connection ended by an unknown exception");
      }
    });
  }
}

}  // namespace nntpd
