// The platform layer: everything msglib and the gateway ask of their host.
//
// Lives here: the file wrapper (fileio.h: descriptors, whole-buffer
// transfers, moves, mappings), byte-range locks (locking.h), directory
// search (ffind.h), existence and size tests (fexist.h) and the process
// set-up and stream modes (host.h). Each host implements all of it in a
// folder of its own, posix/ or win32/, with the constants that differ
// between hosts in that folder's hostdefs.h; fileio_common.cpp is shared by
// both. The build compiles the one folder that fits.
//
// May use: the C++ library and the host's own interfaces; of msglib only
// the basic types (typedefs.h) and the failure notes (msgerr.h), so that a
// failed write says why. The formats and the core include this header and
// nothing below it: none of them names a host header or asks which host it
// runs on.
#ifndef ZANDREL_PLATFORM_H
#define ZANDREL_PLATFORM_H

#include "fexist.h"
#include "ffind.h"
#include "fileio.h"
#include "host.h"
#include "locking.h"

#endif
