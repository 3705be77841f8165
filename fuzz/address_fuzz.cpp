// FidoNet address text, as kludges and command lines carry it: the
// library's parser with and without wildcards, and with parts not wanted.
#include <string>

#include "parsenn.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, unsigned long size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  word zone = 7, net = 7, node = 7, point = 7;
  Parse_NetNode(text.c_str(), &zone, &net, &node, &point);
  ParseNN(text.c_str(), &zone, &net, &node, &point, 1);
  ParseNN(text.c_str(), nullptr, &net, nullptr, &point, 0);
  ParseNN(text.c_str(), &zone, nullptr, &node, nullptr, 1);
  ParseNN(text.c_str(), nullptr, nullptr, nullptr, nullptr, 1);
  return 0;
}
