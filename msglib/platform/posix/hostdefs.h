// The POSIX half of the platform layer: this folder implements what
// platform.h declares (files, byte-range locks as OFD locks, directory
// search, existence tests, process set-up) with POSIX calls, and may use
// nothing of msglib above the basic types and failure notes. This header
// holds the constants of a POSIX host.
#ifndef ZANDREL_HOSTDEFS_H
#define ZANDREL_HOSTDEFS_H

// Paths are built with '/', the one separator this host knows.
constexpr char PATH_DELIM = '/';

// File names are matched with their case: 12.MSG is not 12.msg.
constexpr bool HOST_NAMES_IGNORE_CASE = false;

#endif
