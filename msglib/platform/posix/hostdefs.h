// Constants of a POSIX host.
#ifndef ZANDREL_HOSTDEFS_H
#define ZANDREL_HOSTDEFS_H

// Paths are built with '/', the one separator this host knows.
constexpr char PATH_DELIM = '/';

// File names are matched with their case: 12.MSG is not 12.msg.
constexpr bool HOST_NAMES_IGNORE_CASE = false;

#endif
