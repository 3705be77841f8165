// STAT: the area's line of a news server's active file.
#include "commands.h"

#include "message.h"
#include "textio.h"

// The lowest number the line gives: numbering starts at 1 in every format.
constexpr long LOWEST_NUMBER = 1;

// An active-file line: group, highest number, lowest number, posting flag.
// The highest number is the area's `high_msg`, which for JAM counts killed
// messages too.
void groupInfo(const char* str) {
  const CommandLine cmd("STAT", str);
  if (!cmd.args()) return cmd.failed(BAD_LINE);
  AreaPtr area = cmd.open(AREA_READ);
  if (!area) return;
  gwOut().printf("%s %ld %ld y\n", cmd.args(), long(sdword(area->high_msg)), LOWEST_NUMBER);
}
