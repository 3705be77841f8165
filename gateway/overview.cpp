// HEAD: one news overview line per requested message.
#include "commands.h"

#include <cstring>
#include <string>

#include "address.h"
#include "message.h"
#include "strfmt.h"
#include "textio.h"

namespace {

// Prints the overview line of message `num`, or nothing when it cannot be
// opened or read. `m` and `line` carry their buffers from one message to
// the next.
void overviewLine(HAREA area, long num, StoredMsg& m, std::string& line) {
  MsgPtr msg = openMsg(area, MO_READ, dword(num));
  if (!msg) return;
  if (!readStored(area, msg.get(), m)) return;

  const char* subj = reinterpret_cast<const char*>(m.hdr.subj);
  const auto& d = m.hdr.date_written.msg_st;

  // "%d\t%s\t%s\t%02d %s %02d %02d:%02d:%02d\t%s\t%s\t%ld\t%d\t\t\n"
  line.clear();
  appendNum(line, num);
  line += '\t';
  line += *subj ? subj : NONESTR;
  line += '\t';
  const auto msgid = findKludge(m.ctl(), "MSGID: ");
  appendFrom(line, msgid, m.hdr, m.txt());
  line += '\t';
  appendTwoDigits(line, d.date.da);
  line += ' ';
  line += monthStr(d.date.mo);
  line += ' ';
  appendTwoDigits(line, (d.date.yr + 80) % 100);
  line += ' ';
  appendTwoDigits(line, d.time.hh);
  line += ':';
  appendTwoDigits(line, d.time.mm);
  line += ':';
  appendTwoDigits(line, d.time.ss * 2);
  line += '\t';
  appendMsgid(line, msgid);
  line += '\t';
  appendMsgid(line, findKludge(m.ctl(), "REPLY: "));
  line += '\t';
  appendNum(line, sdword(m.textLen));
  line += '\t';
  appendNum(line, countLines(m.txt(), m.text.size()));
  line += "\t\t\n";
  gwOut().write(line.data(), line.size());
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
  std::string line;
  const char* digits = nullptr;
  long value = 0;
  for (const char* p = cmd.args() + 1;;) {
    if (!digits || digits < p) {
      digits = p;
      while (isBlank(*digits)) ++digits;
      value = readNumber(digits);
    }
    overviewLine(area.get(), value, m, line);
    const char* next = std::strchr(p, ' ');
    if (!next) break;
    p = next + 1;
  }
}
