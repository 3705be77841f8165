// Control information: kludge lines at the start of a *.MSG text collected
// into a block, and every routine that reads or edits a block.
#include <cstring>
#include <string>
#include <vector>

#include "ctrlinfo.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, unsigned long size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const char* txt = text.c_str();

  // The count must be exact: a buffer of just that size takes the block.
  const word count = _CopyToBuf(txt, nullptr, nullptr);
  std::vector<char> block(count);
  const char* end = nullptr;
  if (_CopyToBuf(txt, block.data(), &end) != count) __builtin_trap();
  if (end < txt || end > txt + text.size()) __builtin_trap();

  dword length = dword(size);
  const char* rest = nullptr;
  std::string ctrl = CopyToControlBuf(txt, &rest, &length);

  // Every routine over both the collected block and the raw bytes as a block.
  for (const std::string* b : {static_cast<const std::string*>(&ctrl), &text}) {
    const char* c = b->c_str();
    NETADDR orig{2, 5020, 52, 0}, dest{2, 5020, 1, 0};
    ConvertControlInfo(c, &orig, &dest);
    CvtCtrlToKludge(c);
    GetCtrlToken(c, "MSGID");
    GetCtrlToken(c, "AREA:");
    NumKludges(c);
    std::string edit = *b;
    RemoveFromCtrl(edit.data(), "PID");
    RemoveFromCtrl(edit.data(), "INTL");
    if (std::strlen(edit.c_str()) > std::strlen(c)) __builtin_trap();
    std::string nasty = *b;
    StripNasties(nasty.data());
  }
  return 0;
}
