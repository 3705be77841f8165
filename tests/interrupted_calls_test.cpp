// Signals in the middle of system calls. A handler installed without
// SA_RESTART makes every blocking call it lands in fail with EINTR: the
// gateway's reads and writes of its streams, the lock waits, the file and
// directory calls of the formats. A timer fires every millisecond through
// whole sessions, and every reply and every stored byte must be what the same
// session gives without it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "basekind.h"
#include "fileio.h"
#include "gwfixture.h"
#include "locking.h"
#include "testutil.h"
#include "textio.h"
#include "zandrel.h"

namespace {

volatile sig_atomic_t ticks = 0;
void OnTick(int) { ticks = ticks + 1; }

// SIGALRM every millisecond while it lives, with a handler that does not
// ask for interrupted calls to be restarted.
class Ticker {
 public:
  Ticker() {
    struct sigaction sa {};
    sa.sa_handler = OnTick;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    ::sigaction(SIGALRM, &sa, &old_);
    ticks = 0;
    const itimerval every_ms{{0, 1000}, {0, 1000}};
    ::setitimer(ITIMER_REAL, &every_ms, nullptr);
  }
  ~Ticker() {
    const itimerval off{};
    ::setitimer(ITIMER_REAL, &off, nullptr);
    ::sigaction(SIGALRM, &old_, nullptr);
  }
  Ticker(const Ticker&) = delete;
  Ticker& operator=(const Ticker&) = delete;

 private:
  struct sigaction old_ {};
};

// Helper threads leave the signal to the thread that runs the gateway.
void LeaveTicksToOthers() {
  sigset_t s;
  sigemptyset(&s);
  sigaddset(&s, SIGALRM);
  ::pthread_sigmask(SIG_BLOCK, &s, nullptr);
}

void Nap(long us) {
  const timespec t{0, us * 1000};
  ::nanosleep(&t, nullptr);
}

// The command loop in this process on `script`, through pipes of one page
// that a front end fills and drains a little at a time: the loop spends
// most of its time blocked reading its commands or writing its replies,
// where the signal finds it. Returns every byte of the replies.
std::string RunLoop(const std::string& script) {
  static const bool started = (startUp(), true);
  (void)started;
  // A loop that stops early closes its input on a front end still writing.
  ::signal(SIGPIPE, SIG_IGN);
  int in[2], out[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return "no pipes";
  ::fcntl(in[1], F_SETPIPE_SZ, 4096);
  ::fcntl(out[1], F_SETPIPE_SZ, 4096);
  std::thread front_end_writes([&] {
    LeaveTicksToOthers();
    for (std::size_t at = 0; at < script.size(); at += 64) {
      if (!write_all(in[1], script.data() + at, std::min<std::size_t>(64, script.size() - at)))
        break;
      Nap(200);
    }
    close_file(in[1]);
  });
  std::string replies;
  std::thread front_end_reads([&] {
    LeaveTicksToOthers();
    char buf[256];
    for (std::int64_t n; (n = read_upto(out[0], buf, sizeof buf)) > 0; Nap(100))
      replies.append(buf, std::size_t(n));
  });
  {
    auto tin = std::make_unique<TextIn>(in[0]);
    auto tout = std::make_unique<TextOut>(out[1]);
    gwRedirect(tin.get(), tout.get());
    commandLoop();
    tout->flush();
    gwRedirect(nullptr, nullptr);
  }
  close_file(in[0]);
  close_file(out[1]);
  front_end_writes.join();
  front_end_reads.join();
  close_file(out[0]);
  return replies;
}

struct Format {
  const char* name;
  const char* prefix;
  bool directory;  // the area is a directory of its own
};

void PrintTo(const Format& f, std::ostream* os) { *os << f.name; }

class Interrupted : public ::testing::TestWithParam<Format> {};

TEST_P(Interrupted, SessionsGiveTheSameRepliesAndFiles) {
  const Format f = GetParam();
  zt::TempDir tmp;
  const std::string area = tmp / "area", spec = f.prefix + area;
  std::string script;
  // Long enough that a reply fills the pipe several times over.
  std::string long_text;
  for (int i = 0; i < 150; ++i) long_text += "Line " + std::to_string(i) + " of a long posting\n";
  script += zt::PostInput(spec, "2:5020/52.1", "2:5020/1", "", "Ann", "All", "first", "Hi\n");
  script += zt::PostInput(spec, "2:5020/52.1", "2:5020/1", "", "Ann", "Bob", "long", long_text);
  script += zt::PostInput(spec, "2:5020/52.1", "2:5020/1", "", "Bob", "Ann", "third", "Bye\n");
  script += "STAT " + spec + " g\nHEAD " + spec + " x1 2 3 4\n";
  for (int n = 1; n <= 4; ++n) script += "RETR " + spec + " " + std::to_string(n) + "\n";
  script += "EXIT\n";

  struct Run {
    std::string replies;
    std::map<std::string, std::string> files;
  };
  auto run = [&](bool with_signals) {
    for (const std::string& name : zt::ListDir(tmp.path()))
      std::filesystem::remove_all(tmp / name);
    Run r;
    {
      std::unique_ptr<Ticker> ticker;
      if (with_signals) ticker = std::make_unique<Ticker>();
      r.replies = RunLoop(script);
    }
    r.files = zt::Snapshot(f.directory ? area : tmp.path());
    return r;
  };
  // A posting's date and MSGID serial come from the clock: compare two runs
  // that began and ended within one second.
  for (int attempt = 0; attempt < 10; ++attempt) {
    const std::time_t start = std::time(nullptr);
    const Run quiet = run(false);
    const Run noisy = run(true);
    const int interruptions = ticks;
    if (std::time(nullptr) != start) continue;
    EXPECT_GT(interruptions, 5);
    EXPECT_NE(quiet.replies.find("long posting"), std::string::npos);
    EXPECT_EQ(noisy.replies, quiet.replies);
    EXPECT_EQ(noisy.files, quiet.files);
    return;
  }
  FAIL() << "no pair of runs fell within one second";
}

INSTANTIATE_TEST_SUITE_P(Formats, Interrupted,
                         ::testing::Values(Format{"Squish", "$", false}, Format{"Jam", "#", false},
                                           Format{"SdmEcho", "@", true},
                                           Format{"SdmNetmail", "", true}),
                         [](const auto& info) { return std::string(info.param.name); });

// The pauses between lock attempts last their whole length however many
// signals arrive: a holder that keeps the lock is waited out in full, not
// given up on after a few milliseconds.
TEST(InterruptedLockWait, WaitsOutTheWholePause) {
  zt::TempDir tmp;
  const std::string path = tmp / "base";
  zt::WriteFile(path, "x");
  UniqueFd holder(open_file(path.c_str(), OF_READWRITE));
  UniqueFd waiter(open_file(path.c_str(), OF_READWRITE));
  ASSERT_EQ(lock(holder.get(), 0, 1), 0);
  set_waitlock_pause_ms(20);
  Ticker ticker;
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(waitlock(waiter.get(), 0, 1), -1);
  const auto waited = std::chrono::steady_clock::now() - t0;
  EXPECT_GE(waited, std::chrono::milliseconds(9 * 20));
  EXPECT_GT(ticks, 50);
  ASSERT_EQ(unlock(holder.get(), 0, 1), 0);
  EXPECT_EQ(waitlock(waiter.get(), 0, 1), 0);
}

}  // namespace
