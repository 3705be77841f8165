#include "listen_address.h"

#include <charconv>
#include <string>

namespace nntpd {

std::optional<asio::ip::tcp::endpoint> parseListenAddress(std::string_view text) {
  auto colon = text.rfind(':');
  if (colon == std::string_view::npos) return std::nullopt;
  std::string_view host = text.substr(0, colon), port = text.substr(colon + 1);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  else if (host.find(':') != std::string_view::npos)
    return std::nullopt;  // an IPv6 address needs its brackets
  unsigned p = 0;
  auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), p);
  if (port.empty() || ec != std::errc() || end != port.data() + port.size() || p > 65535)
    return std::nullopt;
  asio::error_code bad;
  auto addr = asio::ip::make_address(std::string(host), bad);
  if (bad) return std::nullopt;
  return asio::ip::tcp::endpoint(addr, static_cast<unsigned short>(p));
}

IpBytes ipBytesOf(const asio::ip::address& a) {
  if (a.is_v6()) return a.to_v6().to_bytes();
  return asio::ip::make_address_v6(asio::ip::v4_mapped, a.to_v4()).to_bytes();
}

}  // namespace nntpd
