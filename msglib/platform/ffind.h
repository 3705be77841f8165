// Directory search, one entry at a time.
//
// Patterns are a directory prefix followed by a wildcard name ("dir/*.msg").
// Matching follows the host's names: with their case on POSIX, without it on
// Windows. Names longer than 255 characters are never returned; directories
// only when the wish has bit 0x10.
#ifndef ZANDREL_FFIND_H
#define ZANDREL_FFIND_H

#include <cstdint>

#include "typedefs.h"

constexpr word MSDOS_SUBDIR = 0x10;


struct FFIND {
  byte attr;       // MSDOS_SUBDIR for a directory, else 0
  sdword size;     // size in bytes (low 32 bits)
  char name[256];  // the entry's name without directory part
  struct FFindPrivate* priv;  // the platform search
};

// A record on the first qualifying entry, or null: with errno 0 when there
// is none, else errno says why the directory could not be searched (ENOMEM
// when memory ran out).
FFIND* FFindOpen(const char* filespec, word attribute);
// 0 when the record now holds the next entry; -1 at the end or for null.
int FFindNext(FFIND* ff);
// Ends the search and frees the record; null is allowed.
void FFindClose(FFIND* ff);
// FFindOpen for callers that need sizes only now and then: an entry that the
// listing itself reports as a regular file comes back without a status
// query, with `size` -1 where the listing carries no sizes (a Windows
// listing does, and gives them). Directories and every other kind of entry
// are reported as FFindOpen reports them.
FFIND* FFindOpenNoSize(const char* filespec, word attribute);

// Exactly FFindOpen(filespec, 0).
FFIND* FindInfo(const char* filespec);

#endif
