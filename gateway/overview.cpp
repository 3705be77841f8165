// HEAD: one news overview line per requested message.
#include <cstring>
#include <string>

#include "address.h"
#include "message.h"
#include "strfmt.h"
#include "textio.h"
#include "zandrel.h"

namespace {

// Prints the overview line of message `num`, or nothing when it cannot be
// opened or read. `m` carries its buffers from one message to the next.
void overviewLine(HAREA area, long num, StoredMsg& m) {
  MsgPtr msg = openMsg(area, MO_READ, dword(num));
  if (!msg) return;
  if (!readStored(area, msg.get(), m)) return;

  const std::string ref = msgidStr(getKludge(m.ctl(), "REPLY: "));
  const std::string from = getFrom(m.ctl(), m.hdr, m.txt());
  const std::string id = msgidStr(getKludge(m.ctl(), "MSGID: "));
  const char* subj = reinterpret_cast<const char*>(m.hdr.subj);
  const auto& d = m.hdr.date_written.msg_st;

  // "%d\t%s\t%s\t%02d %s %02d %02d:%02d:%02d\t%s\t%s\t%ld\t%d\t\t\n"
  std::string line;
  line.reserve(128 + from.size() + id.size() + ref.size());
  appendNum(line, num);
  line += '\t';
  line += *subj ? subj : NONESTR;
  line += '\t';
  line += from;
  line += '\t';
  appendNum(line, d.date.da, 2);
  line += ' ';
  line += monthStr(d.date.mo);
  line += ' ';
  appendNum(line, (d.date.yr + 80) % 100, 2);
  line += ' ';
  appendNum(line, d.time.hh, 2);
  line += ':';
  appendNum(line, d.time.mm, 2);
  line += ':';
  appendNum(line, d.time.ss * 2, 2);
  line += '\t';
  line += id;
  line += '\t';
  line += ref;
  line += '\t';
  appendNum(line, sdword(m.textLen));
  line += '\t';
  appendNum(line, countLines(m.txt()));
  line += "\t\t\n";
  gwOut().write(line.data(), line.size());
}

}  // namespace

void listHeaders(const char* str) {
  std::string spec;
  const char* space = cutAreaSpec(str, spec);
  if (!space) return;
  // The character after the space is a filler the front end always sends
  // and is skipped unseen; a line that ends there has no list at all.
  if (!space[1]) return;
  AreaPtr area(openArea(spec.c_str(), 0));
  if (!area) return;

  // Every space starts a number, and a number skips leading blanks, so a run
  // of spaces repeats the number after it. The first non-blank and its value
  // are remembered across such a run rather than searched for again.
  StoredMsg m;
  const char* digits = nullptr;
  long value = 0;
  for (const char* p = space + 2;;) {
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
