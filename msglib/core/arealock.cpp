#include "arealock.h"

#include "msgapi.h"
#include "msgerr.h"
#include "platform.h"

bool TakeAreaLock(int fd, LockWait wait) {
  if (!mi.haveshare) return true;
  if (wait == LockWait::kWait) {
    if (waitlock_polling(fd, 0, 1) == 0) return true;
    note_reason(MSGERR_LOCKED " for 10 s");
  } else {
    if (lock(fd, 0, 1) == 0) return true;
    note_reason(MSGERR_LOCKED);
  }
  return false;
}

void ReleaseAreaLock(int fd) {
  if (mi.haveshare) unlock(fd, 0, 1);
}

AreaLock::AreaLock(int fd, LockWait wait, bool already_held) {
  if (already_held) {
    ok_ = true;
  } else if (TakeAreaLock(fd, wait)) {
    ok_ = true;
    fd_ = fd;
  }
}

void AreaLock::release() {
  if (fd_ >= 0) ReleaseAreaLock(fd_);
  fd_ = -1;
  ok_ = false;
}
