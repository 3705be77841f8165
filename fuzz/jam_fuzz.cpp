// A JAM base made of fuzzed files ("a.jhr", "a.jdt", "a.jdx", "a.jlr"),
// opened, read whole, written to and deleted from through msglib; netmail
// and echo areas alike, as the input's size decides.
#include <string>

#include "container.h"
#include "exercise.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, unsigned long size) {
  static const std::string dir = fz::MakeScratchDir("jam");
  const word type = size % 2 ? AT_JAM | AT_ECHO : AT_JAM;
  fz::FuzzArea(data, size, dir.c_str(), "", "a", type);
  return 0;
}
