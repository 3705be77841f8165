// <windows.h> for the platform layer. It defines OF_READ, OF_WRITE,
// OF_READWRITE and OF_CREATE as macros for its OpenFile call, with other
// values; they would silently replace the file wrapper's open flags of the
// same names, so they are taken back here.
#ifndef ZANDREL_WINAPI_H
#define ZANDREL_WINAPI_H

#include <windows.h>

#undef OF_READ
#undef OF_WRITE
#undef OF_READWRITE
#undef OF_CREATE

#endif
