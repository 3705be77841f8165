// FidoNet address text as kludges and command lines carry it, through both
// parsers: the library's (with and without wildcards, with parts not
// wanted) and the gateway's stricter one; and the gateway's other readers
// of kludge and header text (Message-IDs, From values, kludge lookup).
#include <cstring>
#include <string>

#include "address.h"
#include "fidotext.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, unsigned long size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const char* s = text.c_str();
  word zone = 7, net = 7, node = 7, point = 7;
  Parse_NetNode(s, &zone, &net, &node, &point);
  ParseNN(s, &zone, &net, &node, &point, 1);
  ParseNN(s, nullptr, &net, nullptr, &point, 0);
  ParseNN(s, &zone, nullptr, &node, nullptr, 1);
  ParseNN(s, nullptr, nullptr, nullptr, nullptr, 1);

  NETADDR a{};
  if (parseFtnAddr(s, &a)) {
    // What parses prints back to text that parses to the same address.
    NETADDR b{};
    if (!parseFtnAddr(ftnAddrStr(a).c_str(), &b)) __builtin_trap();
    if (std::memcmp(&a, &b, sizeof a) != 0) __builtin_trap();
  }
  if (msgidStr(s).size() > 255) __builtin_trap();
  addrStr(s, a);
  getKludge(s, "MSGID: ");
  getKludge(s, "");
  countLines(s);

  XMSG x{};
  std::memcpy(x.from, s, std::min<std::size_t>(size, sizeof x.from));
  getFrom(s, x, s);
  return 0;
}
