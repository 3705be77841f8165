// Pieces shared by the commands that read and write messages: handles that
// close themselves, one message read whole, numbers from command lines. The
// month abbreviations of the replies' dates (monthStr) come from msglib's
// FidoNet text module.
#ifndef ZANDREL_MESSAGE_H
#define ZANDREL_MESSAGE_H

#include <memory>
#include <string>
#include <vector>

#include "fidotext.h"
#include "msgapi.h"

// Shown for a message without a subject.
constexpr const char NONESTR[] = "none";

// The blanks a number may be preceded by: space, TAB, LF, VT, FF and CR.
inline bool isBlank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Reads a number the way message lists and text lengths are written: leading
// blanks skipped, then decimal digits up to the first non-digit. A sign is a
// non-digit, so "-3" reads as 0. Values stop growing at 2147483647, the
// largest the front end's numbers can hold; so no text reaches the relative
// message numbers at the top of the dword range, and nothing overflows.
long readNumber(const char* s);

// Cuts the area spec out of a command line: the text from the sixth
// character up to the first space at or after it. Returns that space, or
// null when the line is too short or has none; `spec` then holds the text
// from the sixth character on, if any, for the report of the bad line.
const char* cutAreaSpec(const char* str, std::string& spec);

// An open area, closed when the owner goes out of scope.
struct AreaCloser {
  void operator()(MSGA* a) const { a->api->CloseArea(a); }
};
using AreaPtr = std::unique_ptr<MSGA, AreaCloser>;

// An open message. It must go before its area does (an area refuses to close
// while messages of it are open), so declare it after the AreaPtr.
struct MsgCloser {
  _apifuncs* api;
  void operator()(MSGH* m) const { api->CloseMsg(m); }
};
using MsgPtr = std::unique_ptr<MSGH, MsgCloser>;

inline MsgPtr openMsg(HAREA area, word mode, dword num) {
  return MsgPtr(area->api->OpenMsg(area, mode, num), MsgCloser{area->api});
}

// One message read with a single ReadMsg.
struct StoredMsg {
  // `from`, `to` and `subj` end at their last byte at the latest and are
  // recoded for output (control characters shown as spaces).
  XMSG hdr{};
  dword textLen = 0;   // as GetTextLen reports it
  dword textRead = 0;  // what ReadMsg delivered; less only in a damaged base
  // Each one byte longer than its contents, the extra bytes NUL. A short
  // read leaves NULs where the missing bytes would be.
  std::vector<char> ctrl, text;

  const char* ctl() const { return ctrl.data(); }
  const char* txt() const { return text.data(); }
};

// Reads header, whole control block and whole text of an open message into
// `m`, which may be reused from message to message. False when a buffer
// cannot be allocated or the read fails; `why`, when given, then says which.
bool readStored(HAREA area, HMSG msg, StoredMsg& m, const char** why = nullptr);

#endif
