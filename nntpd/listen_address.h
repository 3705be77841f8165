// "address:port" as the configuration writes a listening address.
#ifndef NNTPD_LISTEN_ADDRESS_H
#define NNTPD_LISTEN_ADDRESS_H

#include <optional>
#include <string_view>

#include <asio/ip/tcp.hpp>

#include "cidr.h"

namespace nntpd {

// "127.0.0.1:119", "[::1]:119", "0.0.0.0:119"; port 0 asks for any free port.
// Only literal addresses: the server binds exactly what the sysop names.
std::optional<asio::ip::tcp::endpoint> parseListenAddress(std::string_view text);

// The address as the access lists compare it: IPv4 as IPv4-mapped IPv6.
IpBytes ipBytesOf(const asio::ip::address& address);

}  // namespace nntpd

#endif
