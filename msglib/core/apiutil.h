// Small helpers shared by the format modules (internal; not part of the API).
#ifndef ZANDREL_APIUTIL_H
#define ZANDREL_APIUTIL_H

#include <new>

#include "msgapi.h"
#include "msgerr.h"

// Report a failure where it happens: sets msgapierr and the reason
// MsgErrorText gives (the one noted below, else the code's meaning), and
// returns -1. With a text, that text is the reason.
inline sword fail(word code) {
  report_failure(code);
  return -1;
}
inline sword fail(word code, const char* why) {
  note_reason(why);
  return fail(code);
}

// A change refused because the area was opened for reading only; `why` is
// the errno that refused writing.
inline sword fail_read_only(int why) {
  note_not_writable(why);
  return fail(APIERR_FILE_IO);
}

// The same for operations that return a handle.
template <typename T = HMSG>
inline T fail_null(word code) {
  report_failure(code);
  return nullptr;
}

// The same for operations that return a dword ((dword)-1 on failure).
inline dword fail_dword(word code) {
  report_failure(code);
  return 0xFFFFFFFFu;
}

// No exception crosses the table of operations: an operation body that
// allocates runs inside this guard, and std::bad_alloc becomes
// APIERR_NO_MEMORY with the given failure result.
template <typename R, typename F>
inline R guard_alloc(R on_failure, F&& body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    note_reason("out of memory");
    report_failure(APIERR_NO_MEMORY);
    return on_failure;
  }
}

#endif
