#include "host.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "winapi.h"

void host_startup() {
  // A back end has no one to answer a dialog box: a spec that names a
  // drive without a disk fails like any other missing path.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  // The runtime's text mode ends input at the first Ctrl-Z (0x1A) that
  // arrives through a pipe, which would cut a posted text short and end
  // the session. Input is read in binary and its CR LF pairs are joined by
  // the stream layer; output keeps the runtime's text mode.
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_TEXT);
  _setmode(_fileno(stderr), _O_TEXT);
}

bool host_output_adds_cr() { return true; }
