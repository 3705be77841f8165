#include "locking.h"

#include <io.h>

#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "winlock.h"

namespace winlock::held {

namespace {

std::mutex mu;
std::map<int, std::vector<std::pair<dword, dword>>> ranges;  // per descriptor

}  // namespace

bool covers(int fd, dword offset, dword length) {
  std::lock_guard<std::mutex> g(mu);
  auto it = ranges.find(fd);
  if (it == ranges.end()) return false;
  for (const auto& [o, l] : it->second)
    if (offset >= o && std::uint64_t(offset) + length <= std::uint64_t(o) + l) return true;
  return false;
}

void add(int fd, dword offset, dword length) {
  std::lock_guard<std::mutex> g(mu);
  ranges[fd].emplace_back(offset, length);
}

void remove(int fd, dword offset, dword length) {
  std::lock_guard<std::mutex> g(mu);
  auto it = ranges.find(fd);
  if (it == ranges.end()) return;
  std::erase(it->second, std::make_pair(offset, length));
  if (it->second.empty()) ranges.erase(it);
}

void forget(int fd) {
  std::lock_guard<std::mutex> g(mu);
  ranges.erase(fd);
}

}  // namespace winlock::held

namespace {

unsigned waitlock_pause_ms = 1000;

// LockFile works on absolute offsets and never moves the position, but a
// descriptor whose position cannot be read (a pipe, a closed descriptor)
// still fails before anything is locked, as on every host.
HANDLE lockable(int fd) {
  if (fd < 0) return INVALID_HANDLE_VALUE;
  HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  if (h == INVALID_HANDLE_VALUE || GetFileType(h) != FILE_TYPE_DISK || _telli64(fd) < 0)
    return INVALID_HANDLE_VALUE;
  return h;
}

// The host's locks are exclusive, whatever the handle's access, and belong
// to the handle: a second handle of the same file conflicts even inside
// this process. Closing the handle drops them. A range this descriptor
// already holds is not asked for again (see winlock.h).
bool try_lock(int fd, HANDLE h, dword offset, dword length) {
  if (winlock::held::covers(fd, offset, length)) return true;
  if (!LockFile(h, offset, 0, length, 0)) return false;
  winlock::held::add(fd, offset, length);
  return true;
}

}  // namespace

// A zero-length range is locked and unlocked trivially, as on every host.

int lock(int fd, dword offset, dword length) {
  HANDLE h = lockable(fd);
  if (h == INVALID_HANDLE_VALUE) return -1;
  if (length == 0) return 0;
  return try_lock(fd, h, offset, length) ? 0 : -1;
}

int waitlock(int fd, dword offset, dword length) {
  HANDLE h = lockable(fd);
  if (h == INVALID_HANDLE_VALUE) return -1;
  if (length == 0) return 0;
  // The runtime's _locking(_LK_LOCK) has the same ten attempts a second
  // apart; the loop is ours so that the policy is the same on every host
  // and a refusal for any other reason is not waited for.
  for (int attempt = 1;; ++attempt) {
    if (try_lock(fd, h, offset, length)) return 0;
    if (GetLastError() != ERROR_LOCK_VIOLATION || attempt == winlock::WAIT_ATTEMPTS) return -1;
    pause_ms(waitlock_pause_ms);
  }
}

int waitlock_polling(int fd, dword offset, dword length) {
  HANDLE h = lockable(fd);
  if (h == INVALID_HANDLE_VALUE) return -1;
  if (length == 0) return 0;
  for (int attempt = 0; attempt < winlock::QUICK_POLLS; ++attempt) {
    if (try_lock(fd, h, offset, length)) return 0;
    if (GetLastError() != ERROR_LOCK_VIOLATION) return -1;
    pause_ms(winlock::QUICK_PAUSE_MS);
  }
  return waitlock(fd, offset, length);
}

int unlock(int fd, dword offset, dword length) {
  HANDLE h = lockable(fd);
  if (h == INVALID_HANDLE_VALUE) return -1;
  if (length != 0) {
    UnlockFile(h, offset, 0, length, 0);  // a refusal is not reported
    winlock::held::remove(fd, offset, length);
  }
  return 0;
}

// No signal cuts a sleep short here.
void pause_ms(unsigned ms) { Sleep(ms); }

void set_waitlock_pause_ms(unsigned ms) { waitlock_pause_ms = ms; }
