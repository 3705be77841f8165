#include "cidr.h"

#include <arpa/inet.h>

#include <charconv>
#include <cstring>
#include <string>

namespace nntpd {

std::optional<IpBytes> parseIp(std::string_view text) {
  const std::string s(text);
  IpBytes b{};
  in_addr v4;
  if (::inet_pton(AF_INET, s.c_str(), &v4) == 1) {
    b[10] = b[11] = 0xff;
    std::memcpy(&b[12], &v4, 4);
    return b;
  }
  if (::inet_pton(AF_INET6, s.c_str(), b.data()) == 1) return b;
  return std::nullopt;
}

std::optional<Cidr> parseCidr(std::string_view text) {
  const auto slash = text.find('/');
  const auto ip = parseIp(text.substr(0, slash));
  if (!ip) return std::nullopt;
  const bool v4 = text.substr(0, slash).find(':') == std::string_view::npos;
  const unsigned width = v4 ? 32 : 128;
  unsigned bits = width;
  if (slash != std::string_view::npos) {
    const std::string_view n = text.substr(slash + 1);
    auto [end, ec] = std::from_chars(n.data(), n.data() + n.size(), bits);
    if (n.empty() || ec != std::errc() || end != n.data() + n.size() || bits > width)
      return std::nullopt;
  }
  Cidr c{*ip, bits + (v4 ? 96 : 0)};
  IpBytes masked = c.network;
  for (unsigned i = 0; i < 16; ++i) {
    const unsigned keep = c.bits > i * 8 ? std::min(8u, c.bits - i * 8) : 0;
    masked[i] &= std::uint8_t(0xff00 >> keep);
  }
  if (masked != c.network) return std::nullopt;
  return c;
}

bool Cidr::contains(const IpBytes& address) const {
  for (unsigned i = 0; i < 16; ++i) {
    const unsigned keep = bits > i * 8 ? std::min(8u, bits - i * 8) : 0;
    const auto mask = std::uint8_t(0xff00 >> keep);
    if ((address[i] & mask) != network[i]) return false;
  }
  return true;
}

}  // namespace nntpd
