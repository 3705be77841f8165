#include "stream.h"

#include <openssl/ssl.h>

#include <stdexcept>

#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>

namespace nntpd {

using asio::awaitable;
using asio::use_awaitable;

std::shared_ptr<asio::ssl::context> makeTlsContext(const std::string& certFile,
                                                   const std::string& keyFile) {
  auto ctx = std::make_shared<asio::ssl::context>(asio::ssl::context::tls_server);
  ctx->set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                   asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 |
                   asio::ssl::context::no_tlsv1_1 | asio::ssl::context::single_dh_use);
  SSL_CTX* native = ctx->native_handle();
  SSL_CTX_set_min_proto_version(native, TLS1_2_VERSION);
  // Renegotiation started by a client costs the server work for nothing.
  SSL_CTX_set_options(native, SSL_OP_NO_RENEGOTIATION);
  asio::error_code ec;
  ctx->use_certificate_chain_file(certFile, ec);
  if (ec) throw std::runtime_error("tls.cert: " + certFile + ": " + ec.message());
  ctx->use_private_key_file(keyFile, asio::ssl::context::pem, ec);
  if (ec) throw std::runtime_error("tls.key: " + keyFile + ": " + ec.message());
  if (SSL_CTX_check_private_key(native) != 1)
    throw std::runtime_error("tls.key: " + keyFile + " is not the key of " + certFile);
  return ctx;
}

std::string ClientStream::tlsDescription() const {
  if (!tls_) return {};
  SSL* ssl = const_cast<asio::ssl::stream<asio::ip::tcp::socket&>&>(*tls_).native_handle();
  return std::string(SSL_get_version(ssl)) + " " + SSL_get_cipher_name(ssl);
}

awaitable<void> ClientStream::handshake(std::shared_ptr<asio::ssl::context> context,
                                        asio::error_code& ec) {
  context_ = std::move(context);
  tls_ = std::make_unique<asio::ssl::stream<asio::ip::tcp::socket&>>(socket_, *context_);
  co_await tls_->async_handshake(asio::ssl::stream_base::server,
                                 asio::redirect_error(use_awaitable, ec));
}

awaitable<std::size_t> ClientStream::readSome(asio::mutable_buffer buffer, asio::error_code& ec) {
  if (tls_)
    co_return co_await tls_->async_read_some(buffer, asio::redirect_error(use_awaitable, ec));
  co_return co_await socket_.async_read_some(buffer, asio::redirect_error(use_awaitable, ec));
}

awaitable<std::size_t> ClientStream::writeSome(asio::const_buffer buffer, asio::error_code& ec) {
  if (tls_)
    co_return co_await tls_->async_write_some(buffer, asio::redirect_error(use_awaitable, ec));
  co_return co_await socket_.async_write_some(buffer, asio::redirect_error(use_awaitable, ec));
}

void ClientStream::cancel() {
  asio::error_code ignored;
  socket_.cancel(ignored);
}

void ClientStream::close() {
  asio::error_code ignored;
  socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
  socket_.close(ignored);
}

}  // namespace nntpd
