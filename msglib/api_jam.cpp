#include "api_jam.h"

#include "apiutil.h"

// Stand-ins until the format exists: no area of this kind can be opened.
HAREA JamOpenArea(const char*, word, word) { return fail_null<HAREA>(APIERR_NOT_FOUND); }
sword JamValidate(const char*) { return 0; }
