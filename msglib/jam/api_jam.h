// Entry points of this format that the core calls directly; everything else
// is reached through the area's table of operations.
#ifndef ZANDREL_API_JAM_H
#define ZANDREL_API_JAM_H

#include "msgapi.h"

HAREA JamOpenArea(const char* name, word mode, word type);
// 1 when the ".jhr", ".jdt" and ".jdx" files of the base exist, else 0.
sword JamValidate(const char* name);
// Removes the four files of the base; 1 only when all four went.
sword JamDeleteBase(const char* name);

#endif
