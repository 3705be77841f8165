// Exclusive byte-range locks on an open descriptor.
//
// A lock belongs to the descriptor: two descriptors of one file conflict even
// inside one process, and they also conflict with other programs' locks.
// Closing the descriptor drops its locks. None of the three moves the
// descriptor's file position, so callers may lock in the middle of reading or
// writing. A descriptor open only for reading cannot hold a write lock on
// POSIX; it takes a shared one, which still keeps every writer out (Windows
// locks are exclusive either way). A range the descriptor already holds may
// be locked again. A length of 0 is an empty range: it locks nothing and
// always succeeds.
#ifndef ZANDREL_LOCKING_H
#define ZANDREL_LOCKING_H

#include "typedefs.h"

// 0 when locked; -1 when the range is held elsewhere or the position cannot
// be read. Never waits.
int lock(int fd, dword offset, dword length);
// Like lock, but when refused retries once a second, ten attempts in all.
int waitlock(int fd, dword offset, dword length);
// Like waitlock, but first polls every 2 ms for a few hundred milliseconds:
// writers hold an area's lock for a few milliseconds, and a second's pause
// on every collision would make a busy area crawl.
int waitlock_polling(int fd, dword offset, dword length);
// 0 once the unlock request was made; -1 only when the position cannot be read.
int unlock(int fd, dword offset, dword length);

// Sleeps `ms` milliseconds in full: a signal that arrives meanwhile does not
// cut the pause short. For the pauses between lock attempts.
void pause_ms(unsigned ms);

// For tests only: the pause between waitlock's attempts, in milliseconds
// (1000 unless set), so that a test can wait out a holder quickly. The
// product never calls it.
void set_waitlock_pause_ms(unsigned ms);

#endif
