// Consistency check of a Squish base on disk, for tests and soak runs.
//
// Plain functions, no test framework: each returns the problems it found as
// readable strings, empty when the base is sound.
#ifndef ZANDREL_SQUISH_CHECK_H
#define ZANDREL_SQUISH_CHECK_H

#include <string>
#include <vector>

namespace zt {

// Walks the message chain, the free chain and the index of the base at
// `base` (path without extension) and reports every disagreement: broken or
// one-sided links, chain ends that differ from the base header, counts that
// differ from num_msg, wrong frame ids or types, frame sizes that do not add
// up, frames that overlap or leave gaps between the base header and
// end_of_file, a frame in both chains, index records that do not follow the
// message chain, UMSGIDs out of order or not below next_uid, hashes that do
// not match the header, and live data past num_msg in the index.
std::vector<std::string> CheckSquishBase(const std::string& base);

// The problems joined one per line, for a test failure message.
std::string JoinProblems(const std::vector<std::string>& problems);

}  // namespace zt

#endif
