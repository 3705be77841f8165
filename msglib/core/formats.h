// The base formats msglib knows, in one table (internal; callers open areas
// through MsgOpenArea and MsgValidate).
//
// A row names a format by its area type bit and by the character that
// marks its areas in an area spec, and gives its two entry points: open and
// validate. MsgOpenArea and MsgValidate take the first row whose type bit
// the caller's type carries, and the last row (*.MSG) when it carries none;
// the gateway reads the prefixes. Adding a format adds one row.
#ifndef ZANDREL_FORMATS_H
#define ZANDREL_FORMATS_H

#include "msgapi.h"

struct MsgFormat {
  word type;    // its AT_ bit
  char prefix;  // marks an echo area of this format in an area spec
  HAREA (*open)(const char* name, word mode, word type);
  sword (*validate)(const char* name);  // 1 when the area's files exist
};

// The format that serves an area of `type`.
const MsgFormat& MsgFormatOf(word type);
// The format whose area specs begin with `prefix`, or null for none.
const MsgFormat* MsgFormatByPrefix(char prefix);

#endif
