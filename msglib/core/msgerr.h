// Why an operation failed, in words (internal; callers see MsgErrorText).
//
// The words are for a sysop: lower case, no full stop at the end ("message
// 12 not found", "write failed: no space left on device"). The routine that
// finds out why a step failed notes it; the failure reported above it
// (`fail` in apiutil.h) takes the note, or the words for its msgapierr code
// when nobody noted anything. Every operation starts without a note
// (begin_operation, called by the handle checks and MsgOpenArea), so a note
// never outlives the operation it was made in; the reason reported stays,
// as msgapierr does, until the next failure. Nothing here allocates or
// throws: the texts live in fixed buffers and are cut to fit.
#ifndef ZANDREL_MSGERR_H
#define ZANDREL_MSGERR_H

#include "typedefs.h"

// Forgets notes that earlier operations left unreported.
void begin_operation();

// Notes why the step at hand failed; the next failure reported takes it.
void note_reason(const char* text);
// "<what>: <what errno `err` means>", or only the latter for a null `what`,
// e.g. "area.jdx: no such file or directory".
void note_errno(const char* what, int err);
// "not writable: <what errno `err` means>", for a change refused because
// the area could only be opened for reading, `err` telling why.
void note_not_writable(int err);
// "write failed: <what errno `err` means>"; plain "write failed" for 0.
void note_write_failure(int err);
// "message <n> not found" for a null `what`, else "message <n>: <what>";
// the relative numbers name themselves ("no next message").
void note_message(dword msgn, const char* what);

// Records the reason of a failure with `code`: the note, or else the words
// for the code. The note stays for failures reported further up.
void report_failure(word code);
// The same for a failure that leaves msgapierr as it is.
void report_failure_keeping_code();

// What errno `err` means, in lower case: "permission denied".
const char* errno_text(int err);
// The last part of a path: the file's own name.
const char* path_tail(const char* path);

// The whole error state: msgapierr, the note, and the reason reported with
// the code it was reported with.
struct ErrorState {
  static constexpr int TEXT_SIZE = 200;
  word code = 0;
  word reason_code = 0;
  bool noted = false, reported = false;
  char note[TEXT_SIZE] = {};
  char reason[TEXT_SIZE] = {};
};

// Saves the error state and puts it back when it goes: for a step whose
// failure is no failure of the operation.
class KeepError {
 public:
  KeepError();
  ~KeepError();
  KeepError(const KeepError&) = delete;
  KeepError& operator=(const KeepError&) = delete;

 private:
  ErrorState saved_;
};

#endif
