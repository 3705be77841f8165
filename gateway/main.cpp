#include <malloc.h>

#include <csignal>

#include "zandrel.h"

int main(int argc, char** argv) {
  // Front ends pass no arguments; whatever they might pass is ignored.
  if (argc > 1 && runOption(argv[1])) return 0;
  // A front end that stops reading must not kill us in the middle of a
  // write to a base; the reply is simply lost.
  std::signal(SIGPIPE, SIG_IGN);
  // Every command allocates and frees buffers of the same large sizes (a
  // JAM area's index and numbering table, whole message texts). Memory
  // freed by one command stays in the heap for the next, instead of going
  // back to the system and returning as fresh pages that must be faulted
  // in and cleared again. Only memory is reused; nothing read from an area
  // outlives its command.
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 128 << 20);
  startUp();
  return commandLoop();
}
