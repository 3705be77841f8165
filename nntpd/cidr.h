// Address ranges in CIDR notation, for the hosts allowed to connect and the
// hosts allowed to log in without TLS. IPv4 ranges are kept as IPv4-mapped
// IPv6 ones, so that they also match IPv4 clients of an IPv6 socket.
#ifndef NNTPD_CIDR_H
#define NNTPD_CIDR_H

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace nntpd {

using IpBytes = std::array<std::uint8_t, 16>;  // an IPv6 address, or an IPv4-mapped one

struct Cidr {
  IpBytes network{};
  unsigned bits = 0;  // of the 128

  bool contains(const IpBytes& address) const;
};

// "192.0.2.0/24", "2001:db8::/32", or a single address ("127.0.0.1", "::1").
// Bits set past the prefix are refused: "192.0.2.1/24" is more likely a
// mistake than a range.
std::optional<Cidr> parseCidr(std::string_view text);

// The bytes of a literal address; nothing when `text` is not one.
std::optional<IpBytes> parseIp(std::string_view text);

}  // namespace nntpd

#endif
