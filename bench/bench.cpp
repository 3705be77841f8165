// zandrel's benchmark: generates areas of every format through msglib, then
// drives the real gateway binary over pipes exactly as a front end would and
// compares the cost of serving HEAD over a whole area with the cost of
// reading the area's files once. Prints a table, checks the targets, and
// writes the figures to docs/performance.md.
//
// Two profiles of areas: "mixed" texts of 0.3-20 KB, where copying the texts
// dominates, and "small" ones of 0.2-2 KB with the kludges, SEEN-BY and PATH
// lines of tossed echomail, where the work per message does. Where Debian's
// jamnntpd is installed, its XOVER over each 10,000-message JAM area is
// measured beside zandrel's HEAD over the same messages.
//
//   zandrel_bench [--bin build/zandrel] [--data build/bench-data]
//                 [--out docs/performance.md] [--quick] [--formats sq,jam,msg]
//                 [--profiles mixed,small]

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "fileio.h"
#include "msgapi.h"
#include "nntpclient.h"
#include "spawn.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// ---------------------------------------------------------------------------
// Formats and sizes

// What the texts of an area are like.
enum class Profile { kMixed, kSmall };

const char* ProfileKey(Profile p) { return p == Profile::kMixed ? "mixed" : "small"; }

struct Format {
  std::string key;    // sq, jam, msg
  std::string name;   // for the report
  word type;          // area type bits
  char prefix;        // area spec prefix ('\0' for none)
  bool kills;         // a few percent of messages deleted after generation
  std::vector<unsigned> sizes;
  Profile profile;
};

std::vector<Format> AllFormats(bool quick, Profile p) {
  std::vector<unsigned> big = {1000, 10000, 100000};
  std::vector<unsigned> msg = {1000, 10000, 60000};  // *.MSG numbers are 16-bit
  if (p == Profile::kSmall) {
    big = {10000, 100000};
    msg = {10000, 60000};
  }
  if (quick) big = msg = {p == Profile::kSmall ? 10000u : 1000u, 10000};
  if (quick && p == Profile::kSmall) big = msg = {10000};
  return {
      {"sq", "Squish", AT_SQUISH | AT_ECHO, '$', true, big, p},
      {"jam", "JAM", AT_JAM | AT_ECHO, '#', true, big, p},
      {"msg", "*.MSG echo", AT_SDM | AT_ECHO, '@', false, msg, p},
  };
}

// Where an area of a format, profile and size is cached; the mixed areas
// keep the names they had before there were profiles.
std::string DataDir(const std::string& data, const Format& f, unsigned size) {
  return data + "/" + f.key + (f.profile == Profile::kSmall ? "-small-" : "-") +
         std::to_string(size);
}

// Where an area of a format lives inside its data directory, as msglib
// names it (base path for Squish and JAM, the directory for *.MSG).
std::string AreaPath(const Format& f, const std::string& dir) {
  return f.key == "msg" ? dir : dir + "/area";
}

std::string AreaSpec(const Format& f, const std::string& dir) {
  std::string p = AreaPath(f, dir);
  return f.prefix ? std::string(1, f.prefix) + p : p;
}

// The files that hold the area, for the raw read floor.
std::vector<std::string> AreaFiles(const Format& f, const std::string& dir) {
  std::vector<std::string> files;
  for (const auto& e : fs::directory_iterator(dir)) {
    if (!e.is_regular_file()) continue;
    std::string name = e.path().filename();
    if (name[0] == '.') continue;  // our own marker
    files.push_back(e.path());
  }
  std::sort(files.begin(), files.end());
  (void)f;
  return files;
}

// ---------------------------------------------------------------------------
// Generating areas through msglib

constexpr const char* kDataVersion = "zandrel-bench-data 1";

// Words in code page 866 and plain ASCII, to make text that looks like mail.
const std::vector<std::string>& Words() {
  static const std::vector<std::string> w = [] {
    std::vector<std::string> v = {"the", "node", "echo", "point", "mail",
                                  "system", "message", "area", "reply",
                                  "FidoNet", "modem", "sysop", "tosser"};
    // Cyrillic words, written directly as 866 bytes.
    const char* cyr[] = {"\xaf\xe0\xa8\xa2\xa5\xe2", "\xac\xa8\xe0",
                         "\xe1\xa8\xe1\xae\xaf", "\xe3\xa7\xa5\xab",
                         "\xaf\xae\xe7\xe2\xa0", "\xac\xae\xa4\xa5\xac",
                         "\xa4\xa0", "\xad\xa5\xe2", "\xe1\xaf\xa0\xe1\xa8\xa1\xae",
                         "\x8f\xe0\xa8\xa2\xa5\xe2", "\xe4\xa0\xa9\xab",
                         "\xae\xe2\xa2\xa5\xe2"};
    for (const char* c : cyr) v.push_back(c);
    return v;
  }();
  return w;
}

// A text of about `size` bytes: body lines, tear line, origin, SEEN-BY and a
// PATH kludge line, every line ended by CR as the bases keep it.
std::string MakeText(std::mt19937_64& rng, std::size_t size, unsigned n) {
  const auto& words = Words();
  std::string t;
  t.reserve(size + 256);
  std::string line;
  while (t.size() < size) {
    const std::string& w = words[rng() % words.size()];
    if (line.size() + w.size() + 1 > 72) {
      t += line;
      t += '\r';
      line.clear();
      if (rng() % 9 == 0) t += '\r';  // paragraph break
    }
    if (!line.empty()) line += ' ';
    line += w;
  }
  t += line;
  t += "\r--- bench\r * Origin: Benchmark station " + std::to_string(n % 97) +
       " (2:5020/" + std::to_string(52 + n % 40) + ")\r";
  t += "SEEN-BY: 5020/52 53 54 55 56 57 58 59 60 61 62 63 64 65 66 67 68 69\r";
  t += "SEEN-BY: 5020/70 71 72 73\r";
  t += "\x01PATH: 5020/52 53\r";
  return t;
}

// Log-uniform text sizes between 0.3 and 20 KB: most mail is short.
std::size_t TextSize(std::mt19937_64& rng) {
  std::uniform_real_distribution<double> d(std::log(300.0), std::log(20000.0));
  return std::size_t(std::exp(d(rng)));
}

// A line of node numbers as tossers write SEEN-BY and PATH: "net/node" when
// the net changes, the node alone while it stays, in rising order.
std::string NodeList(std::mt19937_64& rng, const char* head, std::size_t width) {
  std::string l = head;
  unsigned net = 0;
  unsigned node = 0;
  while (l.size() < width) {
    if (net == 0 || rng() % 4 == 0) {
      net += 1 + unsigned(rng() % 900);
      node = unsigned(rng() % 20);
      l += ' ' + std::to_string(net) + '/' + std::to_string(node);
    } else {
      node += 1 + unsigned(rng() % 60);
      l += ' ' + std::to_string(node);
    }
  }
  return l + '\r';
}

// A tossed echomail text of 0.2-2 KB in all: a body with a quote now and
// then, tear line and origin, two to five SEEN-BY lines and one or two PATH
// kludge lines, as a tosser stores what it received.
std::string MakeSmallText(std::mt19937_64& rng, unsigned n) {
  const std::size_t size = 200 + std::size_t(rng() % 1801);
  std::string tail = "--- GoldED+/LNX 1.1.5-b20230304\r * Origin: Station " +
                     std::to_string(n % 211) + " of the bench (2:" +
                     std::to_string(5000 + n % 90) + "/" + std::to_string(n % 300) + ")\r";
  for (unsigned k = 2 + unsigned(rng() % 4); k > 0; --k) tail += NodeList(rng, "SEEN-BY:", 72);
  for (unsigned k = 1 + unsigned(rng() % 2); k > 0; --k) tail += NodeList(rng, "\x01PATH:", 60);
  const auto& words = Words();
  std::string body;
  std::string line = rng() % 3 == 0 ? " AB> " : "";
  while (body.size() + tail.size() < size || body.size() < 40) {
    const std::string& w = words[rng() % words.size()];
    if (line.size() + w.size() + 1 > 72) {
      body += line + '\r';
      line = rng() % 5 == 0 ? " AB> " : "";
    }
    if (!line.empty() && line.back() != ' ') line += ' ';
    line += w;
  }
  return body + line + "\r\r" + tail;
}

XMSG MakeHeader(unsigned n) {
  XMSG x;
  std::memset(&x, 0, sizeof x);
  x.attr = MSGLOCAL;
  std::snprintf(reinterpret_cast<char*>(x.from), sizeof x.from, "Sender %u", n % 500);
  std::snprintf(reinterpret_cast<char*>(x.to), sizeof x.to, "All");
  std::snprintf(reinterpret_cast<char*>(x.subj), sizeof x.subj, "Benchmark subject %u", n);
  x.orig = {2, 5020, word(52 + n % 40), 0};
  x.dest = {2, 5020, 1, 0};
  x.date_written.msg_st.date.da = 1 + n % 28;
  x.date_written.msg_st.date.mo = 1 + n % 12;
  x.date_written.msg_st.date.yr = 45;
  x.date_written.msg_st.time.hh = n % 24;
  x.date_written.msg_st.time.mm = n % 60;
  x.date_written.msg_st.time.ss = n % 30;
  x.date_arrived = x.date_written;
  return x;
}

bool Generate(const Format& f, unsigned count, const std::string& dir) {
  const bool small = f.profile == Profile::kSmall;
  std::string marker = dir + "/.complete";
  if (fs::exists(marker)) {
    std::ifstream m(marker);
    std::string v;
    std::getline(m, v);
    if (v == kDataVersion) return true;
  }
  fs::remove_all(dir);
  fs::create_directories(dir);
  std::printf("  generating %s area of %u messages in %s ...\n", f.name.c_str(), count,
              dir.c_str());
  std::fflush(stdout);
  auto t0 = Clock::now();
  HAREA area = MsgOpenArea(AreaPath(f, dir).c_str(), AOPEN_CREATE, f.type);
  if (!area) {
    std::fprintf(stderr, "cannot create %s area (msgapierr %d)\n", f.name.c_str(), msgapierr);
    return false;
  }
  // Squish keeps the index in memory while locked: one index write at the end.
  bool locked = f.key == "sq" && area->api->Lock(area) == 0;
  std::mt19937_64 rng(count * 7919ULL + f.type + (small ? 1 : 0));
  for (unsigned n = 1; n <= count; ++n) {
    std::string text = small ? MakeSmallText(rng, n) : MakeText(rng, TextSize(rng), n);
    char ctrl[256];
    int clen;
    if (small) {
      char reply[64] = "";
      if (n > 1 && n % 2 == 0)
        std::snprintf(reply, sizeof reply, "\x01REPLY: 2:%u/%u %08x", 5000 + n / 2 % 90,
                      n / 2 % 300, 0x5f000000u + n / 2);
      clen = std::snprintf(ctrl, sizeof ctrl,
                           "\x01MSGID: 2:%u/%u %08x%s\x01PID: GoldED+/LNX 1.1.5-b20230304"
                           "\x01TID: hpt/lnx 1.9\x01" "CHRS: CP866 2\x01TZUTC: 0300",
                           5000 + n % 90, n % 300, 0x5f000000u + n, reply);
    } else if (n > 1 && n % 3 == 0)
      clen = std::snprintf(ctrl, sizeof ctrl,
                           "\x01MSGID: 2:5020/52 %08x\x01REPLY: 2:5020/52 %08x\x01PID: bench 1",
                           n, n - 1);
    else
      clen = std::snprintf(ctrl, sizeof ctrl, "\x01MSGID: 2:5020/52 %08x\x01PID: bench 1", n);
    XMSG x = MakeHeader(n);
    HMSG m = area->api->OpenMsg(area, MO_CREATE, 0);
    if (!m) {
      std::fprintf(stderr, "cannot create message %u (msgapierr %d)\n", n, msgapierr);
      return false;
    }
    auto tb = reinterpret_cast<const byte*>(text.data());
    if (area->api->WriteMsg(m, 0, &x, tb, dword(text.size()), dword(text.size()), dword(clen),
                            reinterpret_cast<const byte*>(ctrl)) != 0) {
      std::fprintf(stderr, "cannot write message %u (msgapierr %d)\n", n, msgapierr);
      return false;
    }
    area->api->CloseMsg(m);
  }
  if (locked) area->api->Unlock(area);

  // Holes: a few percent of the messages go, highest numbers first so that
  // the numbers still to kill stay where they are.
  std::vector<dword> victims;
  for (unsigned n = 2; n <= count; ++n)
    if (rng() % 100 < 3) victims.push_back(n);
  std::sort(victims.rbegin(), victims.rend());
  locked = f.key == "sq" && area->api->Lock(area) == 0;
  for (dword n : victims) {
    if (area->api->KillMsg(area, n) != 0) {
      std::fprintf(stderr, "cannot kill message %u (msgapierr %d)\n", n, msgapierr);
      return false;
    }
  }
  if (locked) area->api->Unlock(area);
  area->api->CloseArea(area);
  std::ofstream(marker) << kDataVersion << "\n";
  std::printf("  ... %zu deleted, %.1f s\n", victims.size(),
              std::chrono::duration<double>(Clock::now() - t0).count());
  return true;
}

// ---------------------------------------------------------------------------
// The gateway over pipes

class Gateway {
 public:
  explicit Gateway(const std::string& bin) {
    pid_ = SpawnOnPipes(bin.c_str(), &in_, &out_);
    if (pid_ < 0) std::exit(2);
  }
  ~Gateway() {
    if (in_ >= 0) ::close(in_);
    if (out_ >= 0) ::close(out_);
    if (pid_ > 0) retry_eintr([&] { return ::waitpid(pid_, nullptr, 0); });
  }

  // Sends a request and waits for the NUL that ends its reply; returns the
  // reply's size in bytes, and the reply itself when `text` is given. STAT
  // and POST answer without a NUL, so the caller follows them with an
  // unknown line, whose lone NUL flushes and ends the reply.
  std::size_t Ask(const std::string& request, std::string* text = nullptr) {
    WriteAll(request);
    std::size_t got = 0;
    for (;;) {
      if (pos_ == len_) {
        ssize_t r = retry_eintr([&] { return ::read(out_, buf_, sizeof buf_); });
        if (r <= 0) return got;
        pos_ = 0;
        len_ = std::size_t(r);
      }
      void* nul = std::memchr(buf_ + pos_, 0, len_ - pos_);
      std::size_t n = nul ? std::size_t(static_cast<char*>(nul) - (buf_ + pos_)) : len_ - pos_;
      if (text) text->append(buf_ + pos_, n);
      got += n;
      pos_ += n;
      if (nul) {
        ++pos_;
        return got;
      }
    }
  }

  // Ends input and returns the child's peak resident memory in KB: its
  // high-water mark as the kernel keeps it for the program it runs. (The
  // maximum that wait4 reports also counts the copy of this process the
  // child was until it ran the program.)
  long Finish() {
    long peak = -1;
    std::ifstream proc("/proc/" + std::to_string(pid_) + "/status");
    for (std::string l; std::getline(proc, l);)
      if (l.rfind("VmHWM:", 0) == 0) peak = std::atol(l.c_str() + 6);
    ::close(in_);
    in_ = -1;
    char sink[4096];
    while (retry_eintr([&] { return ::read(out_, sink, sizeof sink); }) > 0) {
    }
    int status;
    struct rusage ru;
    retry_eintr([&] { return ::wait4(pid_, &status, 0, &ru); });
    pid_ = -1;
    return peak >= 0 ? peak : ru.ru_maxrss;
  }

 private:
  void WriteAll(const std::string& s) {
    std::size_t done = 0;
    while (done < s.size()) {
      ssize_t w = retry_eintr([&] { return ::write(in_, s.data() + done, s.size() - done); });
      if (w <= 0) std::exit(3);
      done += std::size_t(w);
    }
  }
  pid_t pid_ = -1;
  int in_ = -1, out_ = -1;
  std::size_t pos_ = 0, len_ = 0;
  char buf_[1 << 16];
};

double Seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

// ---------------------------------------------------------------------------
// Measurements

struct Result {
  std::string format;
  Profile profile = Profile::kMixed;
  unsigned size = 0;
  unsigned high = 0;         // highest number as STAT gives it
  double stat_us = 0;        // per STAT
  double head_s = 0;         // HEAD over every message, all commands
  unsigned head_cmds = 0;    // HEAD command lines used
  unsigned head_lines = 0;   // overview lines received
  double head_us_per_msg = 0;
  double head_ms_per_cmd = 0;
  double raw_s = 0;          // reading every byte of the area's files once
  std::uint64_t raw_bytes = 0;
  double retr_us = 0;        // per RETR
  double post_us = 0;        // per POST
  long head_rss_kb = 0;      // peak resident memory while serving HEAD
  long max_rss_kb = 0;       // peak over all phases
  // Beside jamnntpd (JAM areas of 10,000 messages, where it is installed):
  // its GROUP + XOVER over what it lists, and zandrel's HEAD over as many.
  std::size_t jam_lines = 0;
  double jam_xover_s = 0;
  double head_same_s = 0;
  std::string jam_note;      // why there is no comparison, when there is none
};

unsigned ParseHigh(const std::string& reply) {
  // "group high 1 y\r\n"
  std::istringstream ss(reply);
  std::string group;
  unsigned high = 0;
  ss >> group >> high;
  return high;
}

// Timed repetitions of the raw read, of a HEAD pass and of jamnntpd's XOVER;
// the fastest counts. The machine's host now and then holds a run up for
// longer than a run of a small area lasts.
constexpr int TIMED_RUNS = 5;

double RawFloor(const Format& f, const std::string& dir, std::uint64_t* bytes) {
  std::vector<std::string> files = AreaFiles(f, dir);
  std::vector<char> buf(1 << 20);
  auto read_all = [&] {
    std::uint64_t total = 0;
    for (const auto& p : files) {
      UniqueFd fd(open_file(p.c_str(), OF_READ));
      if (!fd) continue;
      for (std::int64_t r; (r = read_upto(fd.get(), buf.data(), buf.size())) > 0;)
        total += std::uint64_t(r);
    }
    return total;
  };
  read_all();  // warm the page cache
  double best = 1e9;
  for (int i = 0; i < TIMED_RUNS; ++i) {
    auto t0 = Clock::now();
    *bytes = read_all();
    best = std::min(best, Seconds(t0, Clock::now()));
  }
  return best;
}

std::string PostRequest(const std::string& spec, unsigned n) {
  std::string text = "Benchmark posting " + std::to_string(n) + "\n";
  while (text.size() < 2000)
    text += "\xcf\xf0\xe8\xe2\xe5\xf2, \xec\xe8\xf0! A line of a posted article.\n";
  std::string req = "POST " + spec + " 2:5020/52.1 2:5020/1 " + std::to_string(text.size()) +
                    "\n" + (n % 2 ? "2:5020/52 0000abcd" : "") + "\nBench Poster\nAll\n" +
                    "Posting " + std::to_string(n) + "\n" + text;
  return req + "NOOP\n";
}

// Microseconds per request: the requests are sent in five batches and the
// fastest batch counts. A round trip over a pipe on a small, shared machine
// is now and then held up by the scheduler for tens of microseconds; the
// best batch shows what the gateway itself costs.
double BestBatchUs(Gateway& g, const std::vector<std::string>& reqs) {
  const std::size_t batches = 5, per = std::max<std::size_t>(1, reqs.size() / batches);
  double best = 1e18;
  for (std::size_t b = 0; b * per < reqs.size(); ++b) {
    const std::size_t from = b * per, to = std::min(reqs.size(), from + per);
    auto t0 = Clock::now();
    for (std::size_t i = from; i < to; ++i) g.Ask(reqs[i]);
    best = std::min(best, Seconds(t0, Clock::now()) * 1e6 / double(to - from));
  }
  return best;
}

// HEAD over numbers 1 to `high`, in command lines of at most 8191 characters.
std::vector<std::string> HeadRequests(const std::string& spec, unsigned high) {
  std::vector<std::string> reqs;
  std::string prefix = "HEAD " + spec + " x";
  std::string line = prefix;
  bool any = false;
  for (unsigned n = 1; n <= high; ++n) {
    std::string num = std::to_string(n);
    if (line.size() + (any ? 1 : 0) + num.size() + 1 > 8191) {
      reqs.push_back(line + "\n");
      line = prefix;
      any = false;
    }
    if (any) line += ' ';
    line += num;
    any = true;
  }
  if (any) reqs.push_back(line + "\n");
  return reqs;
}

// Best of TIMED_RUNS passes of the requests, like the raw floor HEAD is compared
// with.
double BestHeadPass(Gateway& g, const std::vector<std::string>& reqs) {
  double best = 1e18;
  for (int pass = 0; pass < TIMED_RUNS; ++pass) {
    auto t0 = Clock::now();
    for (const auto& q : reqs) g.Ask(q);
    best = std::min(best, Seconds(t0, Clock::now()));
  }
  return best;
}

// jamnntpd's GROUP + XOVER over the JAM base in `dir` (best of TIMED_RUNS after
// a warm-up, over loopback with TCP_NODELAY), and zandrel's HEAD over the
// same number of messages from 1 on. The amd64 build lists only part of an
// area, so both are timed on the messages that both list.
void BesideJamnntpd(const std::string& dir, const std::string& spec, const std::string& bin,
                    const std::string& run, Result& r) {
  namespace nn = benchnntp;
  if (!fs::exists(nn::JAMNNTPD)) {
    r.jam_note = std::string(nn::JAMNNTPD) + " is not installed";
    return;
  }
  try {
    nn::Process server;
    const int port = nn::startJamnntpd(run, "FIDO.BENCH", dir + "/area", server);
    nn::Client c(port);
    r.jam_lines = nn::xover(c, "FIDO.BENCH");
    r.jam_xover_s = 1e18;
    for (int pass = 0; pass < TIMED_RUNS; ++pass) {
      auto t0 = Clock::now();
      r.jam_lines = nn::xover(c, "FIDO.BENCH");
      r.jam_xover_s = std::min(r.jam_xover_s, Seconds(t0, Clock::now()));
    }
  } catch (const std::exception& e) {
    r.jam_note = std::string("jamnntpd: ") + e.what();
    r.jam_lines = 0;
    return;
  }
  Gateway g(bin);
  g.Ask("NOOP\n");
  r.head_same_s = BestHeadPass(g, HeadRequests(spec, unsigned(r.jam_lines)));
}

Result Measure(const Format& f, unsigned size, const std::string& dir, const std::string& bin,
               const std::string& scratch) {
  Result r;
  r.format = f.name;
  r.profile = f.profile;
  r.size = size;
  std::string spec = AreaSpec(f, dir);

  // STAT, repeated; each followed by an unknown line that flushes. The
  // first answer also tells the highest number, as a front end learns it.
  {
    Gateway g(bin);
    std::string req = "STAT " + spec + " bench.area\nNOOP\n";
    std::string reply;
    g.Ask(req, &reply);
    r.high = ParseHigh(reply);
    for (int i = 0; i < 50; ++i) g.Ask(req);  // warm up: the first commands of a run are slow
    r.stat_us = BestBatchUs(g, std::vector<std::string>(1000, req));
    r.max_rss_kb = std::max(r.max_rss_kb, g.Finish());
  }

  // The raw read floor first: its reads leave the area's files in the page
  // cache, so that HEAD below runs warm like the floor it is compared with.
  // Where the page cache holds little more than one large area, HEAD would
  // otherwise partly read from the disk whatever the previous phases pushed
  // out.
  r.raw_s = RawFloor(f, dir, &r.raw_bytes);

  // HEAD over every number up to the highest, in lines of at most 8191
  // characters, as a front end asks for an overview of the whole group.
  {
    std::vector<std::string> reqs = HeadRequests(spec, r.high);
    Gateway g(bin);
    g.Ask("NOOP\n");
    r.head_s = BestHeadPass(g, reqs);
    r.head_cmds = unsigned(reqs.size());
    r.head_rss_kb = g.Finish();
    r.max_rss_kb = std::max(r.max_rss_kb, r.head_rss_kb);
    r.head_us_per_msg = r.high ? r.head_s * 1e6 / r.high : 0;
    r.head_ms_per_cmd = reqs.empty() ? 0 : r.head_s * 1e3 / double(reqs.size());
  }
  if (f.key == "jam" && size == 10000) BesideJamnntpd(dir, spec, bin, scratch + "-jamnntpd", r);

  // RETR of 1,000 random messages.
  {
    std::mt19937_64 rng(size);
    Gateway g(bin);
    g.Ask("NOOP\n");
    const int reps = 1000;
    std::vector<std::string> reqs;
    for (int i = 0; i < reps; ++i)
      reqs.push_back("RETR " + spec + " " + std::to_string(1 + rng() % std::max(1u, r.high)) +
                     "\n");
    r.retr_us = BestBatchUs(g, reqs);
    r.max_rss_kb = std::max(r.max_rss_kb, g.Finish());
  }

  // POST of 1,000 articles into a copy of the area; the small areas are
  // there for HEAD, and copying them for POST would only make the run longer.
  if (f.profile == Profile::kMixed) {
    fs::remove_all(scratch);
    fs::create_directories(scratch);
    for (const auto& p : AreaFiles(f, dir)) fs::copy_file(p, scratch + "/" + fs::path(p).filename().string());
    // The copy leaves hundreds of megabytes waiting to be written back; a
    // front end posts into an area nobody just copied, so let the disk
    // settle, then bring the copy into the page cache as HEAD and the raw
    // floor have their area, before timing.
    ::sync();
    std::uint64_t ignored;
    RawFloor(f, scratch, &ignored);
    std::string cspec = AreaSpec(f, scratch);
    Gateway g(bin);
    g.Ask("NOOP\n");
    const int reps = 1000;
    std::vector<std::string> reqs;
    for (int i = 0; i < reps; ++i) reqs.push_back(PostRequest(cspec, unsigned(i)));
    r.post_us = BestBatchUs(g, reqs);
    r.max_rss_kb = std::max(r.max_rss_kb, g.Finish());
    fs::remove_all(scratch);
  }
  return r;
}

}  // namespace

namespace {

// ---------------------------------------------------------------------------
// Reporting

std::string Machine() {
  std::string model = "unknown CPU";
  std::ifstream cpu("/proc/cpuinfo");
  for (std::string l; std::getline(cpu, l);)
    if (l.rfind("model name", 0) == 0) {
      model = l.substr(l.find(':') + 2);
      break;
    }
  long cores = ::sysconf(_SC_NPROCESSORS_ONLN);
  long mem_gb = long(double(::sysconf(_SC_PHYS_PAGES)) * double(::sysconf(_SC_PAGESIZE)) / 1e9 + 0.5);
  struct utsname u;
  ::uname(&u);
  char buf[512];
  std::snprintf(buf, sizeof buf, "%s, %ld cores, %ld GB memory, Linux %s", model.c_str(), cores,
                mem_gb, u.release);
  return buf;
}

struct Target {
  std::string what;
  bool met;
  std::string detail;
};

const Result* Find(const std::vector<Result>& rs, const Format& f, unsigned size) {
  for (const auto& r : rs)
    if (r.format == f.name && r.profile == f.profile && r.size == size) return &r;
  return nullptr;
}

// "JAM" for the mixed profile, "JAM small" for the other.
std::string Named(const Format& f) {
  return f.profile == Profile::kMixed ? f.name : f.name + " small";
}

std::string Fmt(const char* f, double v) {
  char b[64];
  std::snprintf(b, sizeof b, f, v);
  return b;
}

std::vector<Target> CheckTargets(const std::vector<Result>& rs, const std::vector<Format>& fs) {
  std::vector<Target> ts;
  for (const auto& f : fs) {
    unsigned small = f.sizes.front(), large = f.sizes.back();
    const Result* a = Find(rs, f, small);
    const Result* b = Find(rs, f, large);
    for (unsigned sz : f.sizes) {
      if (sz < 10000) continue;
      const Result* r = Find(rs, f, sz);
      if (!r) continue;
      double ratio = r->head_s / r->raw_s;
      ts.push_back({Named(f) + " HEAD over " + std::to_string(sz) + " messages <= 3x raw read",
                    ratio <= 3.0, Fmt("%.2fx", ratio)});
      if (r->jam_lines && r->head_same_s > 0) {
        double x = r->jam_xover_s / r->head_same_s;
        ts.push_back({Named(f) + " HEAD over the " + std::to_string(r->jam_lines) +
                          " messages jamnntpd lists >= 10x faster than its XOVER",
                      x >= 10, Fmt("%.1fx", x)});
      }
    }
    if (!a || !b) continue;
    if (f.profile == Profile::kSmall) {
      if (large >= 60000)
        ts.push_back({Named(f) + " peak memory serving HEAD over " + std::to_string(large) +
                          " messages <= 64 MB",
                      b->head_rss_kb <= 64 * 1024, Fmt("%.1f MB", b->head_rss_kb / 1024.0)});
      continue;  // the growth targets are the mixed areas', from 1,000 up
    }
    if (f.key == "sq") {
      ts.push_back({"Squish STAT cost at " + std::to_string(large) + " within 2x of " +
                        std::to_string(small),
                    b->stat_us <= 2 * a->stat_us, Fmt("%.2fx", b->stat_us / a->stat_us)});
      ts.push_back({"Squish POST cost at " + std::to_string(large) + " within 2x of " +
                        std::to_string(small),
                    b->post_us <= 2 * a->post_us, Fmt("%.2fx", b->post_us / a->post_us)});
    } else {
      double worst = std::max({b->stat_us / 1e3, b->head_ms_per_cmd, b->retr_us / 1e3,
                               b->post_us / 1e3});
      ts.push_back({f.name + " cost per command at " + std::to_string(large) + " <= 25 ms",
                    worst <= 25.0, Fmt("worst %.2f ms", worst)});
      double size_ratio = double(large) / small;
      double growth = std::max({b->stat_us / a->stat_us, b->head_ms_per_cmd / a->head_ms_per_cmd,
                                b->post_us / a->post_us});
      ts.push_back({f.name + " per-command cost grows no faster than the area (" +
                        Fmt("%.0fx", size_ratio) + ")",
                    growth <= size_ratio, Fmt("%.1fx", growth)});
    }
    if (large >= 60000)
      ts.push_back({f.name + " peak memory serving HEAD over " + std::to_string(large) +
                        " messages <= 64 MB",
                    b->head_rss_kb <= 64 * 1024, Fmt("%.1f MB", b->head_rss_kb / 1024.0)});
  }
  return ts;
}

std::string Table(const std::vector<Result>& rs) {
  std::ostringstream o;
  o << "| Format | Texts | Messages | STAT us | HEAD us/msg | HEAD ms/cmd | HEAD s | raw read s | "
       "HEAD/raw | RETR us | POST us | HEAD peak MB |\n";
  o << "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n";
  for (const auto& r : rs) {
    char b[512];
    std::snprintf(b, sizeof b,
                  "| %s | %s | %u | %.0f | %.2f | %.2f | %.3f | %.3f (%.0f MB) | %.2fx | %.0f | %s | "
                  "%.1f |\n",
                  r.format.c_str(), ProfileKey(r.profile), r.size, r.stat_us, r.head_us_per_msg,
                  r.head_ms_per_cmd, r.head_s, r.raw_s, r.raw_bytes / 1e6, r.head_s / r.raw_s,
                  r.retr_us, r.post_us > 0 ? Fmt("%.0f", r.post_us).c_str() : "-",
                  r.head_rss_kb / 1024.0);
    o << b;
  }
  return o.str();
}

std::string Growth(const std::vector<Result>& rs, const std::vector<Format>& fs) {
  std::ostringstream o;
  o << "| Format | from | to | size | STAT | HEAD per message | RETR | POST |\n";
  o << "|---|---:|---:|---:|---:|---:|---:|---:|\n";
  for (const auto& f : fs) {
    const Result* a = Find(rs, f, f.sizes.front());
    const Result* b = Find(rs, f, f.sizes.back());
    if (!a || !b || a == b) continue;
    char buf[256];
    std::snprintf(buf, sizeof buf, "| %s | %u | %u | %.0fx | %.2fx | %.2fx | %.2fx | %s |\n",
                  Named(f).c_str(), a->size, b->size, double(b->size) / a->size,
                  b->stat_us / a->stat_us, b->head_us_per_msg / a->head_us_per_msg,
                  b->retr_us / a->retr_us,
                  a->post_us > 0 ? Fmt("%.2fx", b->post_us / a->post_us).c_str() : "-");
    o << buf;
  }
  return o.str();
}

// What learning the numbering costs HEAD over the largest JAM areas: every
// command opens the area and builds it, which is what a STAT costs. And the
// jamnntpd comparisons, or why there are none.
std::string Notes(const std::vector<Result>& rs, const std::vector<Format>& fs) {
  std::ostringstream o;
  for (const auto& f : fs) {
    if (f.key != "jam") continue;
    const Result* b = Find(rs, f, f.sizes.back());
    if (b && b->head_s > 0) {
      const double numbering = b->stat_us * 1e-6 * b->head_cmds;
      o << "- " << Named(f) << " at " << b->size << " messages: HEAD "
        << Fmt("%.3f s", b->head_s) << " in " << b->head_cmds << " commands, "
        << Fmt("%.2fx", b->head_s / b->raw_s) << " the raw read; learning the numbering (a STAT, "
        << Fmt("%.0f us", b->stat_us) << ", in each command) "
        << Fmt("%.3f s", numbering) << ", " << Fmt("%.0f%%", 100 * numbering / b->head_s)
        << " of HEAD.\n";
    }
    for (const auto& r : rs) {
      if (r.format != f.name || r.profile != f.profile || r.size != 10000) continue;
      if (r.jam_lines)
        o << "- " << Named(f) << " at 10000 messages beside jamnntpd: its GROUP + XOVER "
          << Fmt("%.1f ms", r.jam_xover_s * 1e3) << " for the " << r.jam_lines
          << " messages it lists, zandrel's HEAD over as many " << Fmt("%.1f ms", r.head_same_s * 1e3)
          << " (" << Fmt("%.1fx", r.jam_xover_s / r.head_same_s) << " faster).\n";
      else
        o << "- " << Named(f) << " at 10000 messages: no jamnntpd comparison (" << r.jam_note
          << ").\n";
    }
  }
  return o.str();
}

void WriteReport(const std::string& path, const std::string& generated) {
  const std::string begin = "<!-- bench:begin -->", end = "<!-- bench:end -->";
  std::string doc;
  if (fs::exists(path)) {
    std::ifstream in(path);
    std::ostringstream ss;
    ss << in.rdbuf();
    doc = ss.str();
  }
  auto b = doc.find(begin), e = doc.find(end);
  std::string block = begin + "\n" + generated + end;
  if (b != std::string::npos && e != std::string::npos && e > b)
    doc.replace(b, e + end.size() - b, block);
  else
    doc = "# Performance\n\n" + block + "\n";
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path) << doc;
}

}  // namespace

int main(int argc, char** argv) {
  std::string bin = "build/zandrel", data = "build/bench-data", out = "docs/performance.md";
  std::string only, profiles = "mixed,small";
  bool quick = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
    if (a == "--bin") bin = next();
    else if (a == "--data") data = next();
    else if (a == "--out") out = next();
    else if (a == "--formats") only = next();
    else if (a == "--profiles") profiles = next();
    else if (a == "--quick") quick = true;
    else {
      std::fprintf(stderr, "usage: %s [--bin B] [--data D] [--out F] [--formats sq,jam,msg] [--profiles mixed,small] [--quick]\n",
                   argv[0]);
      return 2;
    }
  }
  ::signal(SIGPIPE, SIG_IGN);
  bin = fs::absolute(bin);
  data = fs::absolute(data);
  _minf m{};
  m.def_zone = 2;
  MsgOpenApi(&m);

  auto listed = [](const std::string& list, const std::string& key) {
    return list.empty() || ("," + list + ",").find("," + key + ",") != std::string::npos;
  };
  std::vector<Format> formats;
  for (Profile p : {Profile::kMixed, Profile::kSmall}) {
    if (!listed(profiles, ProfileKey(p))) continue;
    for (auto& f : AllFormats(quick, p))
      if (listed(only, f.key)) formats.push_back(f);
  }

  const auto started = Clock::now();
  std::vector<Result> results;
  for (const auto& f : formats) {
    for (unsigned size : f.sizes) {
      std::string dir = DataDir(data, f, size);
      if (!Generate(f, size, dir)) return 1;
      std::printf("  measuring %s, %u messages ...\n", Named(f).c_str(), size);
      std::fflush(stdout);
      results.push_back(Measure(f, size, dir, bin, data + "/scratch"));
    }
  }

  std::string table = Table(results), growth = Growth(results, formats),
              notes = Notes(results, formats);
  std::vector<Target> targets = CheckTargets(results, formats);
  std::printf("\n%s\n%s\n%s\n", table.c_str(), growth.c_str(), notes.c_str());
  std::ostringstream tt;
  tt << "| Target | Result | Met |\n|---|---|---|\n";
  for (const auto& t : targets) {
    std::printf("  [%s] %s: %s\n", t.met ? " met " : "MISSED", t.what.c_str(), t.detail.c_str());
    tt << "| " << t.what << " | " << t.detail << " | " << (t.met ? "yes" : "**no**") << " |\n";
  }

  const double took = Seconds(started, Clock::now());
  std::printf("\nmeasured in %.0f s (areas generated before that not counted)\n", took);
  char when[64];
  std::time_t now = std::time(nullptr);
  std::strftime(when, sizeof when, "%Y-%m-%d %H:%M UTC", std::gmtime(&now));
  std::ostringstream doc;
  doc << "## Latest run\n\n"
      << "Run " << when << " on " << Machine() << (quick ? " (quick run: small sizes only)" : "")
      << ".\n\n"
      << "Every figure comes from the real `zandrel` binary driven over pipes as a front end "
         "drives it, one command at a time, waiting for each reply. STAT and POST, which "
         "answer without a terminator, are each followed by an unknown line whose lone NUL "
         "flushes the reply. HEAD asks for every number from 1 to the highest that STAT "
         "reports, in command lines of at most 8191 characters; RETR reads 1,000 random "
         "numbers; POST stores 1,000 articles of about 2 KB into a copy of the area (mixed areas "
         "only). The raw "
         "read floor is the best of five reads of every byte of the area's files, page "
         "cache warm, in the same run, taken just before HEAD so that HEAD runs warm too; "
         "HEAD is the best of five passes over the area, and STAT, RETR and POST the "
         "fastest of five batches of their requests. Peak memory is the high-water mark "
         "of the zandrel process's resident set (VmHWM). Texts: \"mixed\" 0.3-20 KB of body, \"small\" "
         "0.2-2 KB in all with the kludges, SEEN-BY and PATH lines of tossed echomail. "
         "jamnntpd, where installed, serves the 10,000-message JAM areas over loopback "
         "(TCP_NODELAY); its GROUP + XOVER is the best of five passes after a warm-up. "
         "The measurements took "
      << Fmt("%.0f s", took) << ".\n\n"
      << table << "\nGrowth from the smallest to the largest area (cost per operation):\n\n"
      << growth << "\nNumbering and jamnntpd:\n\n"
      << notes << "\nTargets:\n\n"
      << tt.str() << "\n";
  WriteReport(out, doc.str());
  std::printf("\nfigures written to %s\n", out.c_str());
  return 0;
}
