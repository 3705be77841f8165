// A JAM base consistency checker for tests and soak runs. It reads the four
// files on its own, without the message library, and reports every problem
// it finds as one line of text; an empty list means the base is sound.
#ifndef ZANDREL_JAM_CHECK_H
#define ZANDREL_JAM_CHECK_H

#include <cstdint>
#include <string>
#include <vector>

namespace zt {

struct JamCheckOptions {
  // Bases written by other software may carry a stale ActiveMsgs.
  bool check_active_count = true;
};

// Checks the base at `base` (path without suffix): the header info is
// there, the index holds whole records, every live index record points at a
// header signed "JAM" whose subfield chain decodes to exactly SubfieldLen
// and whose text lies inside ".jdt", and ActiveMsgs counts the live
// messages.
std::vector<std::string> CheckJamBase(const std::string& base, const JamCheckOptions& opt = {});

// The live messages as a full scan sees them: (index record byte offset,
// header offset) in index order, for index records that are not killed and
// whose header is readable and not marked deleted.
struct JamLive {
  std::uint32_t idx_pos;
  std::uint32_t hdr_ofs;
  bool operator==(const JamLive&) const = default;
};
std::vector<JamLive> JamLiveMessages(const std::string& base);

}  // namespace zt

#endif
