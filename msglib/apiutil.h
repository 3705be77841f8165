// Small helpers shared by the format modules (internal; not part of the API).
#ifndef ZANDREL_APIUTIL_H
#define ZANDREL_APIUTIL_H

#include <new>

#include "msgapi.h"

// Report a failure where it happens: sets msgapierr and returns -1.
inline sword fail(word code) {
  msgapierr = code;
  return -1;
}

// The same for operations that return a handle.
template <typename T = HMSG>
inline T fail_null(word code) {
  msgapierr = code;
  return nullptr;
}

// The same for operations that return a dword ((dword)-1 on failure).
inline dword fail_dword(word code) {
  msgapierr = code;
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
    msgapierr = APIERR_NO_MEMORY;
    return on_failure;
  }
}

#endif
