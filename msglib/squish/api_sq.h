// Entry points of the Squish format that callers reach directly; everything
// else is reached through the area's table of operations.
#ifndef ZANDREL_API_SQ_H
#define ZANDREL_API_SQ_H

#include "msgapi.h"

// `name` is the base path without extension, at most 79 characters; the
// area lives in "<name>.sqd" and "<name>.sqi". Of `type` only AT_ECHO counts.
HAREA SquishOpenArea(const char* name, word mode, word type);
// 1 when both files of the base exist, else 0. Opens nothing.
sword SquishValidate(const char* name);
// Sets the message limit, the count of leading messages exempt from it, and
// the retention setting; 0xFFFFFFFF leaves a value as it is. The values reach
// the disk with the next header write. The handle is not checked.
void SquishSetMaxMsg(HAREA ha, dword max_msgs, dword skip_msgs, dword retention);
// The name hash kept in index records, over `name` up to its NUL.
dword SquishHash(const byte* name);

#endif
