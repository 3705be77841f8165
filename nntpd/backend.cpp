#include "backend.h"

#include <unistd.h>

#include <algorithm>
#include <charconv>

#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

#include "child.h"

namespace nntpd {
namespace {

using asio::awaitable;
using asio::use_awaitable;

// Room kept free in a HEAD line, below the back end's limit.
constexpr std::size_t HEAD_LINE_BUDGET = Backend::MAX_LINE - 64;

// The back end writes every LF as CR LF; a CR of its own (from a damaged
// kludge, say) stays.
void undoCrLf(std::string& s) {
  std::size_t w = 0;
  for (std::size_t r = 0; r < s.size(); ++r) {
    if (s[r] == '\r' && r + 1 < s.size() && s[r + 1] == '\n') continue;
    s[w++] = s[r];
  }
  s.resize(w);
}

std::size_t digits(std::int64_t n) {
  std::size_t d = 1;
  while (n >= 10) n /= 10, ++d;
  return d;
}

void appendNumber(std::string& s, std::int64_t n) {
  char buf[24];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, n);
  s.append(buf, end);
}

std::string headRequest(std::string_view spec, const std::vector<std::int64_t>& numbers) {
  std::string request = "HEAD ";
  request += spec;
  request += " x";  // the back end skips the character after the space unseen
  for (std::size_t i = 0; i < numbers.size(); ++i) {
    if (i) request += ' ';
    appendNumber(request, numbers[i]);
  }
  request += '\n';
  return request;
}

}  // namespace

Backend::Backend(asio::any_io_executor ex, std::string path, std::chrono::seconds limit)
    : ex_(ex), path_(std::move(path)), limit_(limit), to_(ex), from_(ex), timer_(ex) {}

Backend::~Backend() {
  *alive_ = false;
  stop();
}

void Backend::start() {
  ChildPipes p;
  if (!spawnChild(path_, p))
    throw BackendError("cannot start the back end " + path_, false);
  to_.assign(p.toChild);
  from_.assign(p.fromChild);
  pidfd_ = p.pidfd;
  running_ = true;
  timedOut_ = false;
  pending_.clear();
  ++generation_;
}

void Backend::stop() {
  if (!running_) return;
  // Closing its input ends a child that is waiting for a command; one that
  // is stuck in the middle of one, or whose replies nobody will read (its
  // client has gone), is of no further use.
  const bool working = timedOut_ || busy_ || !inflight_.empty();
  asio::error_code ignored;
  to_.close(ignored);
  from_.close(ignored);
  if (pidfd_ >= 0) {
    if (working) killChild(pidfd_);
    ::close(pidfd_);
    pidfd_ = -1;
  }
  running_ = false;
}

// The time limit is kept by one timer that wakes up once per limit while
// the child has work and looks at how long it has been waiting; arming a
// timer around every command would cost two system calls each.
void Backend::busy(bool on) {
  busy_ = on;
  if (!on) return;
  busySince_ = std::chrono::steady_clock::now();
  if (!watching_) watch();
}

void Backend::watch() {
  watching_ = true;
  timer_.expires_at(busySince_ + limit_);
  // A timer that has already fired is not stopped by cancel(): its handler
  // may run after the Backend is gone, and must know.
  timer_.async_wait([this, alive = alive_](const asio::error_code& ec) {
    if (ec || !*alive) return;
    watching_ = false;
    if (!busy_ || !running_) return;
    if (std::chrono::steady_clock::now() - busySince_ < limit_) {
      watch();
      return;
    }
    timedOut_ = true;
    killChild(pidfd_);
    // Whatever the child started may hold its pipes open after it is gone;
    // the command is over now, not when they close.
    asio::error_code ignored;
    to_.cancel(ignored);
    from_.cancel(ignored);
  });
}

awaitable<bool> Backend::write(const std::string& bytes) {
  asio::error_code ec;
  busy(true);
  co_await asio::async_write(to_, asio::buffer(bytes), asio::redirect_error(use_awaitable, ec));
  busy(false);
  co_return !ec;
}

awaitable<bool> Backend::readReply(std::string& reply) {
  asio::error_code ec;
  std::size_t scanned = 0;
  busy(true);
  for (;;) {
    auto nul = pending_.find('\0', scanned);
    if (nul != std::string::npos) {
      reply.assign(pending_, 0, nul);
      pending_.erase(0, nul + 1);
      break;
    }
    scanned = pending_.size();
    char chunk[65536];
    std::size_t n = co_await from_.async_read_some(asio::buffer(chunk),
                                                   asio::redirect_error(use_awaitable, ec));
    if (ec) break;
    pending_.append(chunk, n);
  }
  busy(false);
  co_return !ec;
}

// A child for the commands in flight: the running one, or a new one that
// gets them all again.
awaitable<bool> Backend::revive() {
  if (running_) co_return true;
  start();
  for (const std::string& r : inflight_)
    if (!co_await write(r)) co_return false;
  co_return true;
}

void Backend::fail(const char* doing) {
  bool timedOut = timedOut_;
  stop();
  inflight_.clear();
  if (timedOut)
    throw BackendError(std::string("the back end did not ") + doing + " within " +
                           std::to_string(limit_.count()) + " s and was killed",
                       true);
  throw BackendError(std::string("the back end ended twice while it was to ") + doing, false);
}

awaitable<void> Backend::submit(const std::string& request) {
  inflight_.push_back(request);
  if (!running_) co_return;  // collect() starts a child and sends it everything
  // (GCC 12 miscompiles co_await inside && and ||: one await per statement.)
  const bool sent = co_await write(inflight_.back());
  if (sent) co_return;
  if (timedOut_) fail("take a command");
  stop();
}

awaitable<std::string> Backend::collect() {
  for (int attempt = 0;; ++attempt) {
    std::string reply;
    bool ok = co_await revive();
    if (ok) ok = co_await readReply(reply);
    if (ok) {
      inflight_.pop_front();
      undoCrLf(reply);
      co_return reply;
    }
    if (timedOut_ || attempt == 1) fail("answer");
    stop();
  }
}

awaitable<std::string> Backend::ask(const std::string& request) {
  while (!inflight_.empty()) co_await collect();  // left by a caller that stopped early
  co_await submit(request);
  co_return co_await collect();
}

awaitable<std::vector<std::int64_t>> Backend::stat(const std::vector<std::string_view>& specs) {
  // STAT answers with a line of its own that is neither ended by a NUL nor
  // flushed; the empty line after the batch is answered by a lone NUL and a
  // flush, which delivers everything. The group name of each request is its
  // position, so the answers come back labelled.
  std::string request;
  for (std::size_t i = 0; i < specs.size(); ++i) {
    request += "STAT ";
    request += specs[i];
    request += ' ';
    appendNumber(request, std::int64_t(i));
    request += '\n';
  }
  request += '\n';
  std::string reply = co_await ask(request);
  std::vector<std::int64_t> high(specs.size(), -1);
  std::string_view rest = reply;
  while (!rest.empty()) {
    auto eol = rest.find('\n');
    std::string_view line = rest.substr(0, eol);
    rest = eol == std::string_view::npos ? std::string_view() : rest.substr(eol + 1);
    // "<position> <high> 1 y"
    std::size_t pos = 0;
    std::int64_t value = 0;
    auto r1 = std::from_chars(line.data(), line.data() + line.size(), pos);
    const char* end = line.data() + line.size();
    if (r1.ec != std::errc() || r1.ptr == end || *r1.ptr != ' ' || pos >= specs.size()) continue;
    auto r2 = std::from_chars(r1.ptr + 1, end, value);
    if (r2.ec != std::errc()) continue;
    high[pos] = value;
  }
  co_return high;
}

std::size_t Backend::headFits(std::string_view spec, std::int64_t first, std::size_t count) {
  std::size_t len = 5 + spec.size() + 2;  // "HEAD ", the area spec, " x"
  std::size_t n = 0;
  for (; n < count; ++n) {
    std::size_t add = digits(first + std::int64_t(n)) + (n ? 1 : 0);
    if (len + add > HEAD_LINE_BUDGET) break;
    len += add;
  }
  return n;
}

awaitable<std::string> Backend::head(std::string_view spec,
                                     const std::vector<std::int64_t>& numbers) {
  co_return co_await ask(headRequest(spec, numbers));
}

awaitable<void> Backend::submitHead(std::string_view spec,
                                    const std::vector<std::int64_t>& numbers) {
  co_await submit(headRequest(spec, numbers));
}

awaitable<std::string> Backend::retr(std::string_view spec, std::int64_t number) {
  std::string request = "RETR ";
  request += spec;
  request += ' ';
  appendNumber(request, number);
  request += '\n';
  co_return co_await ask(request);
}

awaitable<void> Backend::post(const std::string& request) {
  while (!inflight_.empty()) co_await collect();
  for (int attempt = 0;; ++attempt) {
    if (!running_) start();
    // A child that has gone fails the write before it has read the whole
    // posting, and it stores nothing before it has: sending again cannot
    // store it twice.
    if (co_await write(request)) co_return;
    if (timedOut_ || attempt == 1) fail("take a posting");
    stop();
  }
}

}  // namespace nntpd
