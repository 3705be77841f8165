#include "locking.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "fileio.h"

namespace {

constexpr int WAITLOCK_ATTEMPTS = 10;
constexpr int POLL_ATTEMPTS = 200;
constexpr unsigned POLL_PAUSE_MS = 2;
unsigned waitlock_pause_ms = 1000;

// The host's lock call works from the descriptor's current position, and a
// descriptor whose position cannot be read (a pipe, a closed descriptor)
// fails before anything is locked. fcntl takes an absolute offset instead,
// so the position is only checked here and never moved: callers may lock
// in the middle of reading or writing.
bool position_readable(int fd) { return ::lseek(fd, 0, SEEK_CUR) != -1; }

// Exclusive where the descriptor allows it. A write lock needs a descriptor
// open for writing (EBADF otherwise); a read-only descriptor takes a shared
// lock instead, which still conflicts with every write lock held elsewhere
// and keeps every writer out while held. Without this a read-only descriptor
// would see "held by someone else" on every attempt.
short lock_type(int fd) {
  int fl = ::fcntl(fd, F_GETFL);
  return fl != -1 && (fl & O_ACCMODE) == O_RDONLY ? F_RDLCK : F_WRLCK;
}

// OFD locks belong to the open file description: two descriptors of one file
// conflict even inside this process, and close() drops only that
// descriptor's locks. Classic F_SETLK locks do neither.
int set_lock(int fd, short type, dword offset, dword length) {
  struct flock fl {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = off_t(offset);
  fl.l_len = off_t(length);
  return retry_eintr([&] { return ::fcntl(fd, F_OFD_SETLK, &fl); });
}

bool held_elsewhere(int err) { return err == EAGAIN || err == EACCES; }

}  // namespace

// A length of 0 would mean "to the end of the file and beyond" to fcntl; to
// the callers it is an empty range, which is locked and unlocked trivially.

int lock(int fd, dword offset, dword length) {
  if (!position_readable(fd)) return -1;
  if (length == 0) return 0;
  return set_lock(fd, lock_type(fd), offset, length) == 0 ? 0 : -1;
}

int waitlock(int fd, dword offset, dword length) {
  if (!position_readable(fd)) return -1;
  if (length == 0) return 0;
  short type = lock_type(fd);
  for (int attempt = 1;; ++attempt) {
    if (set_lock(fd, type, offset, length) == 0) return 0;
    // Only a conflicting holder is worth waiting for; a bad descriptor or
    // range will not get better.
    if (!held_elsewhere(errno) || attempt == WAITLOCK_ATTEMPTS) return -1;
    pause_ms(waitlock_pause_ms);
  }
}

int waitlock_polling(int fd, dword offset, dword length) {
  for (int attempt = 0; attempt < POLL_ATTEMPTS; ++attempt) {
    if (lock(fd, offset, length) == 0) return 0;
    if (!held_elsewhere(errno)) return -1;
    pause_ms(POLL_PAUSE_MS);
  }
  return waitlock(fd, offset, length);
}

int unlock(int fd, dword offset, dword length) {
  if (!position_readable(fd)) return -1;
  if (length != 0) set_lock(fd, F_UNLCK, offset, length);  // a refusal is not reported
  return 0;
}

void pause_ms(unsigned ms) {
  // Against an absolute deadline: a sleep restarted with "what is left"
  // after every signal drifts, and a plain one ends at the first signal.
  timespec until;
  ::clock_gettime(CLOCK_MONOTONIC, &until);
  until.tv_sec += time_t(ms / 1000);
  until.tv_nsec += long(ms % 1000) * 1000000L;
  if (until.tv_nsec >= 1000000000L) {
    until.tv_sec += 1;
    until.tv_nsec -= 1000000000L;
  }
  while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
  }
}

void set_waitlock_pause_ms(unsigned ms) { waitlock_pause_ms = ms; }
