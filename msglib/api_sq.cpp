#include "api_sq.h"

#include "apiutil.h"

// Stand-ins until the format exists: no area of this kind can be opened.
HAREA SquishOpenArea(const char*, word, word) { return fail_null<HAREA>(APIERR_NOT_FOUND); }
sword SquishValidate(const char*) { return 0; }
