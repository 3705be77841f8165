// Constants of a POSIX host.
#ifndef ZANDREL_HOSTDEFS_H
#define ZANDREL_HOSTDEFS_H

// The design came from a host whose paths use a backslash; here every path
// separator is '/'.
constexpr char PATH_DELIM = '/';

#endif
