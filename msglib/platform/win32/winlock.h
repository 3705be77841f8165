// The host's byte-range locks, as the platform layer uses them.
//
// Locks here are mandatory: while another process holds a range, a read or
// write through any other handle that overlaps it fails with
// ERROR_LOCK_VIOLATION instead of going ahead. Writers of the base formats
// lock byte 0 of the JAM header file and of the Squish data file, right
// where the header info and the base header are read, so a reader meets
// such a refusal whenever it opens an area while a tosser is writing. The
// file wrapper waits the refusal out as a writer waits for the lock (retry,
// and waitlock_polling): short polls while a writer finishes (writers hold
// the lock for milliseconds), then waitlock's ten attempts a second apart.
//
// A range locked twice through one handle is refused the second time here,
// where elsewhere the holder simply keeps it. The ranges each descriptor
// holds are remembered (held), so that the holder's second lock succeeds at
// once as on every host instead of waiting ten seconds for itself.
#ifndef ZANDREL_WINLOCK_H
#define ZANDREL_WINLOCK_H

#include "winapi.h"

#include "typedefs.h"

namespace winlock {

constexpr int WAIT_ATTEMPTS = 10;  // waitlock's attempts, one second apart
constexpr unsigned WAIT_PAUSE_MS = 1000;
constexpr int QUICK_POLLS = 200;  // before those, two milliseconds apart
constexpr unsigned QUICK_PAUSE_MS = 2;

// Calls `attempt` until it succeeds or fails for a reason other than a lock
// held elsewhere, and at most the policy's number of times. `attempt`
// returns true on success; on failure GetLastError() tells why. Returns the
// last attempt's result; after a failure GetLastError() is that attempt's.
template <class Attempt>
bool retry(Attempt&& attempt) {
  for (int n = 0;; ++n) {
    if (attempt()) return true;
    const DWORD err = GetLastError();
    if (err != ERROR_LOCK_VIOLATION || n == QUICK_POLLS + WAIT_ATTEMPTS - 1) return false;
    Sleep(n < QUICK_POLLS ? QUICK_PAUSE_MS : WAIT_PAUSE_MS);
    SetLastError(err);
  }
}

// The ranges locked through each descriptor of this process.
namespace held {
// True when `fd` holds a range that covers [offset, offset + length).
bool covers(int fd, dword offset, dword length);
void add(int fd, dword offset, dword length);
void remove(int fd, dword offset, dword length);
// The descriptor is being closed, and its locks go with it.
void forget(int fd);
}  // namespace held

}  // namespace winlock

#endif
