// Entry points of this format that the core calls directly; everything else
// is reached through the area's table of operations.
#ifndef ZANDREL_API_JAM_H
#define ZANDREL_API_JAM_H

#include "msgapi.h"

HAREA JamOpenArea(const char* name, word mode, word type);
sword JamValidate(const char* name);

#endif
