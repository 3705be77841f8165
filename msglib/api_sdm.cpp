#include "api_sdm.h"

#include "apiutil.h"

// Stand-ins until the format exists: no area of this kind can be opened.
HAREA SdmOpenArea(const char*, word, word) { return fail_null<HAREA>(APIERR_NOT_FOUND); }
sword SdmValidate(const char*) { return 0; }
