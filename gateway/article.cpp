// RETR: one stored message as a news article. Kludges become X-Kludge
// header lines, SEEN-BY lines X-Seen-By header lines, and the rest of the
// text the body, recoded, with CR turned into LF and long lines wrapped.
#include "commands.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "address.h"
#include "message.h"
#include "recode.h"
#include "textio.h"

namespace {

constexpr char SOH = '\x01';
constexpr std::size_t WRAP_WIDTH = 80;
constexpr const char SEEN_BY[] = "SEEN-BY:";
constexpr std::size_t SEEN_BY_LEN = sizeof SEEN_BY - 1;
// The keyword and the character after it, normally a space.
constexpr std::size_t SEEN_BY_SKIP = SEEN_BY_LEN + 1;

void printHeaders(const StoredMsg& m) {
  TextOut& out = gwOut();
  const auto& d = m.hdr.date_written.msg_st;
  const char* subj = reinterpret_cast<const char*>(m.hdr.subj);

  out.printf("From: %s\n", getFrom(m.ctl(), m.hdr, m.txt()).c_str());
  out.printf("Subject: %s\n", *subj ? subj : NONESTR);
  // The stamp holds the writer's local time; its zone is known only from a
  // TZUTC kludge.
  out.printf("Date: %02u %s %04u %02u:%02u:%02u %s\n", unsigned(d.date.da),
             monthStr(d.date.mo), unsigned(d.date.yr) + 1980, unsigned(d.time.hh),
             unsigned(d.time.mm), unsigned(d.time.ss) * 2, dateZone(m.ctl()).c_str());
  out.printf("Message-ID: %s\n", msgidStr(getKludge(m.ctl(), "MSGID: ")).c_str());
  if (auto reply = getKludge(m.ctl(), "REPLY: "))
    out.printf("References: %s\n", msgidStr(reply).c_str());
  out.printf("X-Comment-To: %s\n", reinterpret_cast<const char*>(m.hdr.to));
  out.printf("Lines: %d\n", countLines(m.txt(), m.text.size()));
}

// Prints the kludges of the control block. False when the block is damaged
// (a kludge that does not start with SOH): the article ends there.
bool printControlKludges(const std::vector<char>& ctrl) {
  TextOut& out = gwOut();
  const char* p = ctrl.data();
  const char* end = p + ctrl.size() - 1;  // the extra NUL is not part of it
  while (p < end && *p) {
    if (*p != SOH) return false;
    out.puts("X-Kludge: ");
    for (++p; p < end && *p && *p != SOH; ++p) out.put(recodeChar(*p));
    out.put('\n');
  }
  return true;
}

// Writes the line [p, end) as a header line, a NUL shown as a space, and
// wipes it from the body.
void moveToHeader(const char* name, char* p, char* end, bool recoded) {
  TextOut& out = gwOut();
  out.puts(name);
  for (; p < end; ++p) {
    char c = *p ? *p : ' ';
    out.put(recoded ? recodeChar(c) : c);
    *p = '\0';
  }
  out.put('\n');
}

// Recodes the body line [p, end) in place and breaks it at spaces so that no
// output line runs past WRAP_WIDTH where a space allows.
void wrapBodyLine(char* p, char* end) {
  std::size_t count = 0;
  char* lastSpace = nullptr;
  for (; p < end; ++p) {
    *p = *p ? recodeChar(*p) : ' ';
    if (++count > WRAP_WIDTH && lastSpace) {
      *lastSpace = '\n';
      count = std::size_t(p - lastSpace);
      lastSpace = nullptr;
    }
    if (*p == ' ') lastSpace = p;
  }
}

// Moves kludge and SEEN-BY lines of the text into header lines and leaves
// the body, recoded and wrapped, in the buffer; wiped bytes are NUL.
void splitText(char* text, char* end) {
  for (char* line = text; line < end;) {
    char* stop;  // where this line's CR is, or the end of the text
    if (*line == SOH) {
      stop = std::find(line, end, '\r');
      moveToHeader("X-Kludge: ", line + 1, stop, true);
      *line = '\0';
    } else if (std::size_t(end - line) >= SEEN_BY_LEN &&
               std::memcmp(line, SEEN_BY, SEEN_BY_LEN) == 0) {
      // A bare "SEEN-BY:" loses its CR among the skipped characters, and the
      // next line joins this header.
      char* rest = line + std::min(SEEN_BY_SKIP, std::size_t(end - line));
      stop = std::find(rest, end, '\r');
      std::memset(line, 0, std::size_t(rest - line));
      moveToHeader("X-Seen-By: ", rest, stop, false);
    } else {
      stop = std::find(line, end, '\r');
      wrapBodyLine(line, stop);
      if (stop < end) *stop = '\n';
      line = stop + 1;
      continue;
    }
    if (stop < end) *stop = '\0';
    line = stop + 1;
  }
}

}  // namespace

void getArticle(const char* str) {
  const CommandLine cmd("RETR", str);
  if (!cmd.args()) return cmd.failed(BAD_LINE);
  AreaPtr area = cmd.open(AREA_READ);
  if (!area) return;
  MsgPtr msg = openMsg(area.get(), MO_READ, dword(readNumber(cmd.args())));
  if (!msg) return cmd.failed(MsgErrorText());
  StoredMsg m;
  const char* why = nullptr;
  if (!readStored(area.get(), msg.get(), m, &why)) return cmd.failed(why);

  printHeaders(m);
  if (!printControlKludges(m.ctrl)) return;
  char* text = m.text.data();
  char* end = text + m.textRead;
  splitText(text, end);

  TextOut& out = gwOut();
  out.put('\n');
  for (char* p = text; p < end; ++p)
    if (*p) out.put(*p);
}
