// The area lock: the one lock that serialises changes to an area, for every
// format (internal; callers see it only through the Lock and Unlock slots).
//
// It is byte 0 of the area's lock file (Squish "<base>.sqd", JAM
// "<base>.jhr", *.MSG "zandrel.lck" in the directory), taken through a
// descriptor of that file (locking.h): it conflicts with other programs'
// locks of that byte and with this process's other descriptors of the file,
// and closing the descriptor drops it. With sharing off (mi.haveshare 0)
// every take succeeds and nothing touches the file.
//
// One wait policy for every change: a take that waits polls every 2 ms for a
// few hundred milliseconds (writers hold the lock for a few milliseconds),
// then retries once a second, ten attempts in all. A wait that gives up
// fails the change before it writes anything, with the reason
// MSGERR_LOCKED " for 10 s"; a take that does not wait fails at once with
// MSGERR_LOCKED. msgapierr is left to the caller.
#ifndef ZANDREL_AREALOCK_H
#define ZANDREL_AREALOCK_H

#include <utility>

enum class LockWait { kNoWait, kWait };

// Takes the lock through `fd`; false, with the reason noted, when another
// holder keeps it.
bool TakeAreaLock(int fd, LockWait wait);
void ReleaseAreaLock(int fd);

// Holds the area lock for the length of one change. On an area whose lock
// is already held (by the caller's Lock, or by the change this one is part
// of) it takes nothing, releases nothing and is ok at once. The descriptor
// must outlive the object, or be released from it first.
class AreaLock {
 public:
  AreaLock() = default;
  AreaLock(int fd, LockWait wait, bool already_held = false);
  ~AreaLock() { release(); }
  AreaLock(AreaLock&& o) noexcept
      : fd_(std::exchange(o.fd_, -1)), ok_(std::exchange(o.ok_, false)) {}
  AreaLock& operator=(AreaLock&& o) noexcept {
    if (this != &o) {
      release();
      fd_ = std::exchange(o.fd_, -1);
      ok_ = std::exchange(o.ok_, false);
    }
    return *this;
  }

  // The lock is held, by this object or before it.
  bool ok() const { return ok_; }
  // This object took it, so the change starts under a fresh lock.
  bool taken() const { return fd_ >= 0; }
  // Lets go of a lock this object took; nothing otherwise.
  void release();

 private:
  int fd_ = -1;  // the descriptor locked through, while this object holds it
  bool ok_ = false;
};

#endif
