// The listening sockets and the connections they accept. Everything runs on
// one thread: the server only moves bytes and converts text, while the work
// on message bases happens in the back-end children, whose pipes it waits on
// without blocking anyone. One thread also keeps the shared index and the
// area locks free of data races without locks of their own. (Passwords are
// checked on a thread of their own: that is slow on purpose.)
#ifndef NNTPD_SERVER_H
#define NNTPD_SERVER_H

#include <memory>
#include <string>
#include <vector>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>

#include "shared.h"

namespace nntpd {

class Server {
 public:
  Server(asio::io_context& io, Process& process);

  // Binds every address of the configuration, plain and TLS; throws
  // std::system_error naming the address that failed.
  void listen();
  struct Endpoint {
    asio::ip::tcp::endpoint address;  // with the port the system chose for port 0
    bool tls;
  };
  std::vector<Endpoint> endpoints() const;
  // Starts accepting; the io_context runs the connections.
  void start();
  void stop();

 private:
  struct Listener {
    std::string text;  // as configured
    bool tls;
    std::unique_ptr<asio::ip::tcp::acceptor> acceptor;
  };
  asio::awaitable<void> acceptLoop(Listener& listener);
  // Why a new connection from `peer` is not served, or empty.
  std::string refusal(const IpBytes& peer) const;

  asio::io_context& io_;
  Process& process_;
  std::vector<Listener> listeners_;
};

}  // namespace nntpd

#endif
