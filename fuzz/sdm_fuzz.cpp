// A *.MSG area made of fuzzed files (numbered "N.msg" and anything else in
// the directory), opened, read whole, written to and deleted from through
// msglib; netmail and echo areas alike, as the input's size decides.
#include <string>

#include "container.h"
#include "exercise.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, unsigned long size) {
  static const std::string dir = fz::MakeScratchDir("sdm");
  const word type = size % 2 ? AT_SDM | AT_ECHO : AT_SDM;
  fz::FuzzArea(data, size, dir.c_str(), "d", "d", type);
  return 0;
}
