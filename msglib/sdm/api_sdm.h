// Entry points of this format that the core calls directly; everything else
// is reached through the area's table of operations.
#ifndef ZANDREL_API_SDM_H
#define ZANDREL_API_SDM_H

#include "msgapi.h"

HAREA SdmOpenArea(const char* name, word mode, word type);
sword SdmValidate(const char* name);

#endif
