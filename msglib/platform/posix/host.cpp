#include "host.h"

#include <malloc.h>

#include <csignal>

void host_startup() {
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
}

// Descriptors have no modes here: the stream layer translates both ways.
bool host_output_adds_cr() { return false; }
