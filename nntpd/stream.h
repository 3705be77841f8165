// A client's connection: a TCP socket, with TLS over it from the start (the
// implicit-TLS listener) or from STARTTLS on. The session reads and writes
// through this one type whichever it is.
#ifndef NNTPD_STREAM_H
#define NNTPD_STREAM_H

#include <cstddef>
#include <memory>
#include <string>

#include <asio/awaitable.hpp>
#include <asio/buffer.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/ssl/context.hpp>
#include <asio/ssl/stream.hpp>

namespace nntpd {

// The server's TLS context for the certificate and key in these PEM files:
// TLS 1.2 and newer only. Throws std::runtime_error naming the file that
// cannot be used.
std::shared_ptr<asio::ssl::context> makeTlsContext(const std::string& certFile,
                                                   const std::string& keyFile);

class ClientStream {
 public:
  explicit ClientStream(asio::ip::tcp::socket socket) : socket_(std::move(socket)) {}
  ClientStream(const ClientStream&) = delete;
  ClientStream& operator=(const ClientStream&) = delete;

  asio::ip::tcp::socket& socket() { return socket_; }
  bool tls() const { return tls_ != nullptr; }
  // The TLS version and cipher, for the log; empty without TLS.
  std::string tlsDescription() const;

  // Starts TLS as the server side with `context`, which is kept as long as
  // the stream. Whatever the client sent before is for the caller to drop.
  asio::awaitable<void> handshake(std::shared_ptr<asio::ssl::context> context,
                                  asio::error_code& ec);
  asio::awaitable<std::size_t> readSome(asio::mutable_buffer buffer, asio::error_code& ec);
  asio::awaitable<std::size_t> writeSome(asio::const_buffer buffer, asio::error_code& ec);

  // Makes operations under way end with operation_aborted.
  void cancel();
  void close();

 private:
  asio::ip::tcp::socket socket_;
  std::shared_ptr<asio::ssl::context> context_;
  std::unique_ptr<asio::ssl::stream<asio::ip::tcp::socket&>> tls_;
};

}  // namespace nntpd

#endif
