// What the four commands share, so that none of them needs the command
// loop: the limits and texts of the protocol, opening an area from its area
// spec, cutting command lines, telling why a command failed, handles that
// close themselves, one message read whole, and the date fields of the
// replies (their month abbreviations, monthStr, come from msglib's FidoNet
// text module). Everything here reaches the areas through msglib's public
// API.
//
// Functions that can fail return bool, true when they did their work, or a
// handle that is null when they did not; where the caller reports a
// failure, the reason comes back through a `why` argument as a text for
// standard error.
#ifndef ZANDREL_MESSAGE_H
#define ZANDREL_MESSAGE_H

#include <memory>
#include <string>
#include <vector>

#include "fidotext.h"
#include "msgapi.h"

#define ZANDREL_VERSION "1.2"

// Longest command line read at once; a longer line arrives in pieces, each
// taken as a line of its own.
constexpr int MAX_LINE = 8191;

// The reason for a command line that lacks a part the command needs.
constexpr const char BAD_LINE[] = "bad command line";

// ReadMsg's result when nothing could be read.
constexpr dword READ_FAILED = 0xFFFFFFFFu;

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

// Removes every CR and LF from the end of `s`, in place.
void chomp(char* s);

// The `write` argument of openArea.
constexpr int AREA_READ = 0;   // the area must exist
constexpr int AREA_WRITE = 1;  // a missing area is created

// Opens the area named by an area spec: "$path" Squish, "#path" JAM,
// "@path" *.MSG echo area, any other text a *.MSG netmail directory. Null
// when it cannot be opened; MsgErrorText then says why.
HAREA openArea(const char* p, int write);

// An open area, closed when the owner goes out of scope.
struct AreaCloser {
  void operator()(MSGA* a) const { a->api->CloseArea(a); }
};
using AreaPtr = std::unique_ptr<MSGA, AreaCloser>;

// One command line as a handler gets it: the verb it was recognised by, the
// area spec (the text from the sixth character up to the first space at or
// after it) and the arguments after that space.
class CommandLine {
 public:
  CommandLine(const char* verb, const char* str);

  // The text after the space that ends the area spec; null when the line is
  // too short to hold one or has no such space (a BAD_LINE).
  const char* args() const { return args_; }
  // The area spec; for a bad line, the text from the sixth character on.
  const std::string& spec() const { return spec_; }

  // Tells on standard error why the command failed, in one line of its
  // own: "zandrel: RETR #/var/fido/jam/ru.linux: message 12 not found". An
  // empty spec (a line too short to have one) is left out; its control
  // characters are shown as "?", for the line goes to a terminal or a log.
  void failed(const char* reason) const;
  // The line's area opened with openArea; null, and the failure told, when
  // it cannot be.
  AreaPtr open(int write) const;

 private:
  const char* verb_;
  std::string spec_;
  const char* args_ = nullptr;
};

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
