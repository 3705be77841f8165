// A Squish base made of fuzzed files ("a.sqd", "a.sqi"), opened, read
// whole, written to and deleted from through msglib.
#include <string>

#include "container.h"
#include "exercise.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, unsigned long size) {
  static const std::string dir = fz::MakeScratchDir("squish");
  fz::FuzzArea(data, size, dir.c_str(), "", "a", AT_SQUISH | AT_ECHO);
  return 0;
}
