// HEAD: one news overview line per requested message.
#include "commands.h"

#include <cstring>

#include "address.h"
#include "message.h"
#include "strfmt.h"
#include "textio.h"

namespace {

// Room for the longest overview line: the number, a subject of at most 71
// characters, From, the date, two Message-IDs, the length, the line count,
// and the tabs and line end.
constexpr std::size_t LINE_ROOM =
    NUM_ROOM + 72 + FROM_ROOM + 24 + 2 * MSGID_ROOM + 2 * NUM_ROOM + 16;

// Prints the overview line of message `num`, or nothing when it cannot be
// opened or read. `m` carries its buffers from one message to the next.
void overviewLine(HAREA area, long num, StoredMsg& m) {
  MsgPtr msg = openMsg(area, MO_READ, dword(num));
  if (!msg) return;
  if (!readStored(area, msg.get(), m)) return;

  const char* subj = reinterpret_cast<const char*>(m.hdr.subj);
  const auto& d = m.hdr.date_written.msg_st;

  // "%d\t%s\t%s\t%02d %s %02d %02d:%02d:%02d\t%s\t%s\t%ld\t%d\t\t\n"
  char line[LINE_ROOM];
  char* p = putNum(line, num);
  *p++ = '\t';
  p = putText(p, *subj ? subj : NONESTR);  // the field ends at its 72nd byte
  *p++ = '\t';
  const auto msgid = findKludge(m.ctl(), "MSGID: ");
  p = putFrom(p, msgid, m.hdr, m.txt());
  *p++ = '\t';
  p = putTwoDigits(p, d.date.da);
  *p++ = ' ';
  p = putText(p, monthStr(d.date.mo));
  *p++ = ' ';
  p = putTwoDigits(p, (d.date.yr + 80) % 100);
  *p++ = ' ';
  p = putTwoDigits(p, d.time.hh);
  *p++ = ':';
  p = putTwoDigits(p, d.time.mm);
  *p++ = ':';
  p = putTwoDigits(p, d.time.ss * 2);
  *p++ = '\t';
  p = putMsgid(p, msgid);
  *p++ = '\t';
  p = putMsgid(p, findKludge(m.ctl(), "REPLY: "));
  *p++ = '\t';
  p = putNum(p, sdword(m.textLen));
  *p++ = '\t';
  p = putNum(p, countLines(m.txt(), m.text.size()));
  p = putText(p, "\t\t\n");
  gwOut().write(line, std::size_t(p - line));
}

}  // namespace

// Only a HEAD whose area cannot be opened counts as failed. A number that
// names no message is normal: front ends ask for whole ranges, and numbers
// of deleted messages stay in them. A message that is there but cannot be
// read says why when it is retrieved.
void listHeaders(const char* str) {
  const CommandLine cmd("HEAD", str);
  // The first character of the arguments is a filler the front end always
  // sends and is skipped unseen; a line that ends there has no list at all.
  if (!cmd.args() || !cmd.args()[0]) return cmd.failed(BAD_LINE);
  AreaPtr area = cmd.open(AREA_READ);
  if (!area) return;

  // Every space starts a number, and a number skips leading blanks, so a run
  // of spaces repeats the number after it. The first non-blank and its value
  // are remembered across such a run rather than searched for again.
  StoredMsg m;
  const char* digits = nullptr;
  long value = 0;
  for (const char* p = cmd.args() + 1;;) {
    if (!digits || digits < p) {
      digits = p;
      while (isBlank(*digits)) ++digits;
      value = readNumber(digits);
    }
    overviewLine(area.get(), value, m);
    const char* next = std::strchr(p, ' ');
    if (!next) break;
    p = next + 1;
  }
}
