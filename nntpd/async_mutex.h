// A mutex for coroutines on one thread: lock() suspends the caller until
// the holder unlocks, handing over in the order of arrival. Used to take
// POSTs into one area one at a time and to bring one area's index up to date
// once rather than from every connection that asks at the same moment.
#ifndef NNTPD_ASYNC_MUTEX_H
#define NNTPD_ASYNC_MUTEX_H

#include <chrono>
#include <deque>
#include <memory>

#include <asio/awaitable.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

namespace nntpd {

class AsyncMutex {
 public:
  class Guard {
   public:
    explicit Guard(AsyncMutex* m) : m_(m) {}
    Guard(Guard&& o) noexcept : m_(o.m_) { o.m_ = nullptr; }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
    Guard& operator=(Guard&&) = delete;
    ~Guard() {
      if (m_) m_->unlock();
    }

   private:
    AsyncMutex* m_;
  };

  asio::awaitable<Guard> lock() {
    if (locked_) {
      auto ex = co_await asio::this_coro::executor;
      auto waiter = std::make_shared<asio::steady_timer>(ex, std::chrono::steady_clock::time_point::max());
      waiters_.push_back(waiter);
      asio::error_code ec;
      // unlock() cancels the timer of the next waiter: the lock is its own
      // from then on.
      co_await waiter->async_wait(asio::redirect_error(asio::use_awaitable, ec));
    }
    locked_ = true;
    co_return Guard(this);
  }

 private:
  void unlock() {
    // A waiter whose coroutine is gone (the server is shutting down) is
    // passed over.
    while (!waiters_.empty()) {
      auto next = waiters_.front().lock();
      waiters_.pop_front();
      if (next) {
        next->cancel();
        return;
      }
    }
    locked_ = false;
  }

  bool locked_ = false;
  // Held by the waiting coroutines, so that none outlives the io_context.
  std::deque<std::weak_ptr<asio::steady_timer>> waiters_;
};

}  // namespace nntpd

#endif
