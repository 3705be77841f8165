// HEAD: one news overview line per requested message.
#include <cstring>
#include <string>

#include "address.h"
#include "message.h"
#include "textio.h"
#include "zandrel.h"

namespace {

// Prints the overview line of message `num`, or nothing when it cannot be
// opened or read.
void overviewLine(HAREA area, long num) {
  MsgPtr msg = openMsg(area, MO_READ, dword(num));
  if (!msg) return;
  StoredMsg m;
  if (!readStored(area, msg.get(), m)) return;

  const std::string ref = msgidStr(getKludge(m.ctl(), "REPLY: "));
  const std::string from = getFrom(m.ctl(), m.hdr, m.txt());
  const std::string id = msgidStr(getKludge(m.ctl(), "MSGID: "));
  const char* subj = reinterpret_cast<const char*>(m.hdr.subj);
  const auto& d = m.hdr.date_written.msg_st;

  gwOut().printf("%ld\t%s\t%s\t%02u %s %02u %02u:%02u:%02u\t%s\t%s\t%ld\t%d\t\t\n", num,
                 *subj ? subj : NONESTR, from.c_str(), unsigned(d.date.da),
                 monthStr(d.date.mo), (unsigned(d.date.yr) + 80) % 100, unsigned(d.time.hh),
                 unsigned(d.time.mm), unsigned(d.time.ss) * 2, id.c_str(), ref.c_str(),
                 long(sdword(m.textLen)), countLines(m.txt()));
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
  const char* digits = nullptr;
  long value = 0;
  for (const char* p = space + 2;;) {
    if (!digits || digits < p) {
      digits = p;
      while (isBlank(*digits)) ++digits;
      value = readNumber(digits);
    }
    overviewLine(area.get(), value);
    const char* next = std::strchr(p, ' ');
    if (!next) break;
    p = next + 1;
  }
}
