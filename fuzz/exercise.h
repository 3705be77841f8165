// What the format fuzz targets do with an area whose files they made up:
// everything a reader, the gateway and a tosser would do, through msglib.
#ifndef ZANDREL_FUZZ_EXERCISE_H
#define ZANDREL_FUZZ_EXERCISE_H

#include "msgapi.h"

namespace fz {

// Opens the area `name` of type `type` (it must exist), reads every message
// (header, control information, text, also in pieces and by relative
// moves), asks the numbering operations, posts one message, deletes one
// under the area lock, closes, and reads everything once more. `seed`
// varies which message is deleted and what is posted.
void ExerciseArea(const char* name, word type, unsigned seed);

// One fuzz run of a format target: unpacks the input's files into
// `dir`/`files_in` (emptied first) and exercises the area `dir`/`area`.
void FuzzArea(const unsigned char* data, unsigned long size, const char* dir,
              const char* files_in, const char* area, word type);

// The same message the seed generator and the fuzz targets post.
struct Posting {
  XMSG header;
  const char* ctrl;
  const char* text;
};
Posting MakePosting(unsigned seed);
// Creates a new message from MakePosting(seed) with one write; the
// WriteMsg result, or -2 when no message could be created.
int PostOne(HAREA ha, unsigned seed);

}  // namespace fz

#endif
