// The Windows half of the platform layer: this folder implements what
// platform.h declares (files, byte-range locks, directory search, existence
// tests, process set-up) with the Windows API (winapi.h, winlock.h), and
// may use nothing of msglib above the basic types and failure notes. This
// header holds the constants of a Windows host.
#ifndef ZANDREL_HOSTDEFS_H
#define ZANDREL_HOSTDEFS_H

// Paths are built with the host's own separator (D:\FIDO\NET\12.msg); the
// host accepts forward slashes too, so area specs may use either.
constexpr char PATH_DELIM = '\\';

// File names are matched without regard to case: 12.MSG is 12.msg.
constexpr bool HOST_NAMES_IGNORE_CASE = true;

#endif
