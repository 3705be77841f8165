// The listening sockets and the connections they accept. Everything runs on
// one thread: the server only moves bytes and converts text, while the work
// on message bases happens in the back-end children, whose pipes it waits on
// without blocking anyone. One thread also keeps the shared index and the
// area locks free of data races without locks of their own.
#ifndef NNTPD_SERVER_H
#define NNTPD_SERVER_H

#include <memory>
#include <vector>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>

#include "shared.h"

namespace nntpd {

class Server {
 public:
  Server(asio::io_context& io, Shared& shared);

  // Binds every address of the configuration; throws std::system_error
  // naming the address that failed.
  void listen();
  // The bound addresses, with the ports the system chose for port 0.
  std::vector<asio::ip::tcp::endpoint> endpoints() const;
  // Starts accepting; the io_context runs the connections.
  void start();
  void stop();

 private:
  asio::awaitable<void> acceptLoop(asio::ip::tcp::acceptor& acceptor);

  asio::io_context& io_;
  Shared& shared_;
  std::vector<std::unique_ptr<asio::ip::tcp::acceptor>> acceptors_;
};

}  // namespace nntpd

#endif
