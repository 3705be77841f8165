// Entry points of this format that the core calls directly; everything else
// is reached through the area's table of operations.
#ifndef ZANDREL_API_SQ_H
#define ZANDREL_API_SQ_H

#include "msgapi.h"

HAREA SquishOpenArea(const char* name, word mode, word type);
sword SquishValidate(const char* name);

#endif
