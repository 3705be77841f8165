// One zandrel child per client connection, spoken to over its pipes exactly
// as any front end does. The child is started on the first command that
// needs it. A child that ends in the middle of a command is started again
// and the command sent once more; a child that does not answer within the
// time limit is killed and the command fails with BackendError::timeout.
//
// The back end's text is code page 1251 with LF line ends here: its CR LF
// pairs are undone on the way in, and its NUL terminators removed.
#ifndef NNTPD_BACKEND_H
#define NNTPD_BACKEND_H

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/steady_timer.hpp>

namespace nntpd {

struct BackendError : std::runtime_error {
  BackendError(const std::string& what, bool timedOut)
      : std::runtime_error(what), timeout(timedOut) {}
  bool timeout;
};

class Backend {
 public:
  Backend(asio::any_io_executor ex, std::string path, std::chrono::seconds limit);
  ~Backend();
  Backend(const Backend&) = delete;
  Backend& operator=(const Backend&) = delete;

  // Highest message number of each area, in order; -1 for an area the back
  // end cannot open (a configured area nobody has posted to yet).
  asio::awaitable<std::vector<std::int64_t>> stat(const std::vector<std::string_view>& specs);

  // Overview lines of the listed messages (missing ones give no line), one
  // per line, LF-ended. The list must fit one command line: see headFits.
  asio::awaitable<std::string> head(std::string_view spec,
                                    const std::vector<std::int64_t>& numbers);
  // How many numbers counting up from `first` (at most `count`) fit one HEAD
  // line for `spec`.
  static std::size_t headFits(std::string_view spec, std::int64_t first, std::size_t count);

  // The same HEAD in two halves, so that the back end works on the next list
  // while the caller handles the last reply: submitHead sends it, collect
  // reads the oldest reply not yet read. Every submitted command must be
  // collected; a command of any other kind first reads and drops what is
  // still outstanding.
  asio::awaitable<void> submitHead(std::string_view spec,
                                   const std::vector<std::int64_t>& numbers);
  asio::awaitable<std::string> collect();

  // The article, or empty when there is no such message.
  asio::awaitable<std::string> retr(std::string_view spec, std::int64_t number);

  // Sends a POST (the command line, the four lines and the text), which the
  // back end never answers. Whether it was stored is for the caller to find
  // out.
  asio::awaitable<void> post(const std::string& posting);

  // Counts child starts: a change across a command means the child that
  // had it ended.
  unsigned generation() const { return generation_; }
  // Commands submitted whose replies are not read yet.
  std::size_t inflight() const { return inflight_.size(); }

  // The longest line the back end reads in one piece.
  static constexpr std::size_t MAX_LINE = 8191;

 private:
  asio::awaitable<std::string> ask(const std::string& request);
  asio::awaitable<void> submit(const std::string& request);
  asio::awaitable<bool> write(const std::string& bytes);
  asio::awaitable<bool> readReply(std::string& reply);
  asio::awaitable<bool> revive();
  [[noreturn]] void fail(const char* doing);
  void start();
  void stop();
  void busy(bool on);
  void watch();

  asio::any_io_executor ex_;
  std::string path_;
  std::chrono::seconds limit_;
  asio::posix::stream_descriptor to_, from_;
  asio::steady_timer timer_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  int pidfd_ = -1;
  bool running_ = false;
  bool timedOut_ = false;
  bool watching_ = false;  // the timer is armed
  bool busy_ = false;      // waiting for the child
  std::chrono::steady_clock::time_point busySince_;
  unsigned generation_ = 0;
  std::deque<std::string> inflight_;  // commands sent, replies not yet read
  std::string pending_;               // bytes read past the last reply
};

}  // namespace nntpd

#endif
