// The platform layer: everything zandrel asks of its host.
//
// Files, locks, directory search and existence tests are declared in
// fileio.h, locking.h, ffind.h and fexist.h; the process set-up and the
// standard streams here. Each host implements all of them in a folder of its
// own (posix/, win32/), with the constants that differ between hosts in that
// folder's hostdefs.h; the build compiles the one folder that fits. Nothing
// outside this layer asks which host it runs on.
#ifndef ZANDREL_HOST_H
#define ZANDREL_HOST_H

#include "hostdefs.h"

// Sets the process up before the first command is read: what a write to a
// reader that went away does, heap tuning, and the modes of the standard
// streams.
void host_startup();

// True when the host's C runtime turns every LF written to standard output
// and standard error into CR LF itself (its text mode), so the stream layer
// must not add the CR again. Standard input is always read untranslated:
// the stream layer pairs CR LF itself, so that every other byte reaches the
// commands unchanged.
bool host_output_adds_cr();

#endif
