#include "msgerr.h"

#include <cstdio>
#include <cstring>

#include "msgapi.h"

namespace {

// The reasons; the code is msgapierr itself.
ErrorState current;

template <std::size_t N>
void copy_text(char (&to)[N], const char* from) {
  std::snprintf(to, N, "%s", from);
}

const char* code_text(word code) {
  switch (code) {
    case APIERR_OK: return "no error";
    case APIERR_BAD_HANDLE: return "invalid handle";
    case APIERR_FILE_IO: return "cannot read or write the area's files";
    case APIERR_NO_MEMORY: return "out of memory";
    case APIERR_SHORT_WRITE: return "write failed";
    case APIERR_NOT_FOUND: return "not found";
    case APIERR_BAD_MOVE: return "message chain leads back to itself";
    case APIERR_MSGS_OPEN: return "messages still open";
    default: return "unknown error";
  }
}

}  // namespace

const char* path_tail(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash ? slash + 1 : path;
}

void begin_operation() { current.noted = false; }

void note_reason(const char* text) {
  copy_text(current.note, text);
  current.noted = true;
}

void note_errno(const char* what, int err) {
  if (what)
    std::snprintf(current.note, sizeof current.note, "%s: %s", what, errno_text(err));
  else
    copy_text(current.note, errno_text(err));
  current.noted = true;
}

void note_not_writable(int err) { note_errno("not writable", err); }

void note_write_failure(int err) {
  if (err)
    note_errno("write failed", err);
  else
    note_reason("write failed");
}

void note_message(dword msgn, const char* what) {
  char* out = current.note;
  constexpr std::size_t n = sizeof current.note;
  if (msgn >= MSGN_NEXT) {
    const char* which = msgn == MSGN_CURRENT ? "current" : msgn == MSGN_PREVIOUS ? "previous" : "next";
    if (what)
      std::snprintf(out, n, "%s message: %s", which, what);
    else
      std::snprintf(out, n, "no %s message", which);
  } else if (what) {
    std::snprintf(out, n, "message %lu: %s", static_cast<unsigned long>(msgn), what);
  } else {
    std::snprintf(out, n, "message %lu not found", static_cast<unsigned long>(msgn));
  }
  current.noted = true;
}

void report_failure(word code) {
  msgapierr = code;
  report_failure_keeping_code();
}

void report_failure_keeping_code() {
  copy_text(current.reason, current.noted ? current.note : code_text(msgapierr));
  current.reason_code = msgapierr;
  current.reported = true;
}

const char* errno_text(int err) {
  static char text[ErrorState::TEXT_SIZE];
  copy_text(text, std::strerror(err));
  if (text[0] >= 'A' && text[0] <= 'Z') text[0] = char(text[0] - 'A' + 'a');
  return text;
}

// A code set since (a success that clears it, a failure that sets it
// directly) is told in its own words.
const char* MsgErrorText(void) {
  return current.reported && current.reason_code == msgapierr ? current.reason : code_text(msgapierr);
}

KeepError::KeepError() : saved_(current) { saved_.code = msgapierr; }

KeepError::~KeepError() {
  current = saved_;
  msgapierr = saved_.code;
}
