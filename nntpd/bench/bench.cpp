// zandrel-nntpd's benchmark: what the news server adds to the back end, and
// how it compares with JamNNTPd where Debian's jamnntpd is installed.
//
// Areas of --messages messages (a JAM base and a Squish base) are made once
// through the back end's own POST and kept in --data. Then, for each area:
//   - the back end alone, over its pipes: HEAD over the whole area in the
//     chunks the server uses, and --articles RETRs of random numbers;
//   - zandrel-nntpd over TCP: GROUP + XOVER over the whole area, and ARTICLE
//     for the same numbers;
//   - jamnntpd on the JAM base: the same as zandrel-nntpd.
// Every figure is the best of five passes after a warm-up (three for
// jamnntpd, which is slow). Last, 20 clients
// read while 4 post into one area through zandrel-nntpd: every post must be
// stored exactly once and no reply may be an error.
//
//   zandrel-nntpd-bench [--backend build/zandrel] [--server build/zandrel-nntpd]
//                       [--data build/bench-data/nntpd] [--messages 10000]
//                       [--articles 1000] [--no-jamnntpd] [--out docs/nntpd.md]

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "backend.h"
#include "nntpclient.h"
#include "spawn.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

using benchnntp::Client;
using benchnntp::Process;
using benchnntp::freePort;
using benchnntp::run;
using benchnntp::xover;

struct Options {
  std::string backend = "build/zandrel";
  std::string server = "build/zandrel-nntpd";
  std::string data = "build/bench-data/nntpd";
  unsigned messages = 10000;
  unsigned articles = 1000;
  bool jamnntpd = true;
  std::string out;  // a file whose results block is replaced
};

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "zandrel-nntpd-bench: %s\n", what.c_str());
  std::exit(1);
}

double seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

// Best of `passes` passes of `f`, after one that warms caches and children.
// The machine may be shared: the best pass is the one least disturbed.
double best(const std::function<void()>& f, int passes = 5) {
  f();
  double b = 1e9;
  for (int i = 0; i < passes; ++i) {
    auto t0 = Clock::now();
    f();
    b = std::min(b, seconds(t0, Clock::now()));
  }
  return b;
}

void writeAll(int fd, const std::string& s) {
  for (std::size_t off = 0; off < s.size();) {
    ssize_t n = ::write(fd, s.data() + off, s.size() - off);
    if (n <= 0) die("write failed");
    off += std::size_t(n);
  }
}

// ---------------------------------------------------------------------------
// The back end over its pipes

class Backend {
 public:
  explicit Backend(const std::string& bin) {
    pid_ = SpawnOnPipes(bin.c_str(), &to_, &from_);
    if (pid_ < 0) die("cannot start " + bin);
  }
  ~Backend() {
    ::close(to_);
    ::close(from_);
    ::waitpid(pid_, nullptr, 0);
  }
  void send(const std::string& s) { writeAll(to_, s); }
  // Bytes up to the next NUL.
  std::string reply() {
    std::string out;
    for (;;) {
      auto nul = buf_.find('\0');
      if (nul != std::string::npos) {
        out = buf_.substr(0, nul);
        buf_.erase(0, nul + 1);
        return out;
      }
      char chunk[65536];
      ssize_t n = ::read(from_, chunk, sizeof chunk);
      if (n <= 0) die("the back end ended");
      buf_.append(chunk, std::size_t(n));
    }
  }
  std::string ask(const std::string& s) {
    send(s);
    return reply();
  }

 private:
  pid_t pid_;
  int to_ = -1, from_ = -1;
  std::string buf_;
};

// ---------------------------------------------------------------------------
// Areas, made through the back end's POST

std::string cp1251(const char* utf8) {  // the few Cyrillic words used below
  static const std::map<std::string, std::string> words = {
      {"тема", "\xf2\xe5\xec\xe0"},
      {"привет", "\xef\xf0\xe8\xe2\xe5\xf2"},
      {"сообщение", "\xf1\xee\xee\xe1\xf9\xe5\xed\xe8\xe5"},
  };
  return words.at(utf8);
}

std::string postRequest(const std::string& spec, unsigned i, std::mt19937& rng) {
  static const char* const WORDS[] = {"modem",  "tosser", "node",    "point", "echo",
                                      "kludge", "origin", "netmail", "area",  "uplink"};
  std::string text;
  unsigned lines = 3 + rng() % 18;
  for (unsigned l = 0; l < lines; ++l) {
    unsigned words = 4 + rng() % 10;
    for (unsigned w = 0; w < words; ++w) {
      if (w) text += ' ';
      text += (rng() % 5 == 0) ? cp1251("сообщение") : WORDS[rng() % 10];
    }
    text += '\n';
  }
  text += "--- bench\n * Origin: bench (2:5020/" + std::to_string(1 + i / 1000) + ")\n";
  // A different origin point per message keeps the MSGIDs apart although
  // many are written in the same second.
  std::string orig = "2:5020/" + std::to_string(1 + i / 1000) + "." + std::to_string(1 + i % 1000);
  return "POST " + spec + " " + orig + " 2:5020/1 " + std::to_string(text.size()) + "\n\n" +
         "User " + std::to_string(i % 50) + "\nAll\n" + "Topic " + std::to_string(i % 300) +
         ": " + cp1251(i % 2 ? "тема" : "привет") + "\n" + text;
}

std::int64_t highOf(Backend& b, const std::string& spec) {
  std::string r = b.ask("STAT " + spec + " g\n\n");
  long high = 0, low = 0;
  std::sscanf(r.c_str(), "g %ld %ld", &high, &low);
  return high;
}

void makeArea(const Options& o, const std::string& spec, const std::string& marker) {
  if (fs::exists(marker)) return;
  std::printf("making %s with %u messages through the back end...\n", spec.c_str(), o.messages);
  std::fflush(stdout);
  Backend b(o.backend);
  std::mt19937 rng(42);
  std::string batch;
  for (unsigned i = 0; i < o.messages; ++i) {
    batch += postRequest(spec, i, rng);
    if (batch.size() > (1 << 16)) {
      b.send(batch);
      batch.clear();
    }
  }
  b.send(batch);
  if (highOf(b, spec) != std::int64_t(o.messages)) die("the area did not get every message");
  std::ofstream(marker) << o.messages << "\n";
}

// ---------------------------------------------------------------------------
// A news client

void articles(Client& c, const std::vector<unsigned>& numbers) {
  for (unsigned n : numbers) {
    std::string s = c.cmd("ARTICLE " + std::to_string(n));
    if (s.rfind("220", 0) != 0) die("ARTICLE " + std::to_string(n) + ": " + s);
    c.block();
  }
}

// ---------------------------------------------------------------------------
// Servers

std::string slurp(const std::string& path) {
  std::ifstream f(path);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

// zandrel-nntpd over `areas` (group, spec); its port.
int startNntpd(const Options& o, const std::string& dir,
               const std::vector<std::pair<std::string, std::string>>& areas, Process& p) {
  fs::create_directories(dir);
  std::string log = dir + "/nntpd.log";
  fs::remove(log);
  std::ofstream cfg(dir + "/nntpd.toml");
  cfg << "[server]\nlisten = [\"127.0.0.1:0\"]\nhostname = \"bench\"\nbackend = \""
      << fs::absolute(o.backend).string() << "\"\nlog = \"" << log
      << "\"\nmax_connections = 100\nmax_connections_per_address = 100\n[fidonet]\naddress = \"2:5020/52\"\norigin = \"bench\"\n";
  for (const auto& [group, spec] : areas)
    cfg << "[[area]]\ngroup = \"" << group << "\"\nspec = \"" << spec << "\"\n";
  cfg.close();
  p.pid = run({o.server, "--config", dir + "/nntpd.toml"}, dir + "/nntpd.out");
  static const std::regex listening(R"(listening on 127\.0\.0\.1:(\d+))");
  for (int i = 0; i < 500; ++i) {
    std::smatch m;
    std::string text = slurp(log);
    if (std::regex_search(text, m, listening)) return std::stoi(m[1]);
    ::usleep(10000);
  }
  die("zandrel-nntpd did not start: " + slurp(dir + "/nntpd.out"));
}

// ---------------------------------------------------------------------------
// The measurements

struct Figures {
  std::string name;
  double backendXover = 0, serverXover = 0, jamXover = 0;  // seconds per pass
  double coldXover = 0;  // the server's first pass: no overview converted yet
  std::size_t jamLines = 0;  // what jamnntpd lists of the area
  double backendArticle = 0, serverArticle = 0, jamArticle = 0;  // seconds per article
  double roundTrip = 0;  // DATE through zandrel-nntpd: a round trip with no back end in it
};

// HEAD over the whole area in the chunks the server uses, all sent at once
// by a writer thread while the replies are read: the back end never waits
// for its next command.
void backendXover(Backend& b, const std::string& spec, unsigned n) {
  std::vector<std::string> requests;
  for (std::int64_t first = 1; first <= n;) {
    std::size_t count = nntpd::Backend::headFits(spec, first, n - std::size_t(first) + 1);
    std::string req = "HEAD " + spec + " x";
    for (std::size_t i = 0; i < count; ++i) {
      if (i) req += ' ';
      req += std::to_string(first + std::int64_t(i));
    }
    requests.push_back(req + "\n");
    first += std::int64_t(count);
  }
  std::thread writer([&] {
    for (const auto& r : requests) b.send(r);
  });
  std::size_t lines = 0;
  for (std::size_t i = 0; i < requests.size(); ++i) {
    std::string reply = b.reply();
    lines += std::size_t(std::count(reply.begin(), reply.end(), '\n'));
  }
  writer.join();
  if (lines != n) die("HEAD missed messages");
}

Figures measure(const Options& o, const std::string& name, const std::string& spec,
                const std::string& jamBase) {
  Figures f;
  f.name = name;
  std::mt19937 rng(7);
  std::vector<unsigned> numbers(o.articles);
  for (auto& n : numbers) n = 1 + rng() % o.messages;

  Backend b(o.backend);
  f.backendXover = best([&] { backendXover(b, spec, o.messages); });
  f.backendArticle = best([&] {
    for (unsigned n : numbers) b.ask("RETR " + spec + " " + std::to_string(n) + "\n");
  }) / o.articles;

  Process nntpd;
  int port = startNntpd(o, o.data + "/run-" + name, {{"fido.bench", spec}}, nntpd);
  {
    Client c(port);
    auto pass = [&] {
      if (xover(c, "fido.bench") != o.messages) die("XOVER missed messages");
    };
    auto t0 = Clock::now();
    pass();
    f.coldXover = seconds(t0, Clock::now());
    f.serverXover = best(pass);
    f.serverArticle = best([&] { articles(c, numbers); }) / o.articles;
    f.roundTrip = best([&] {
      for (unsigned i = 0; i < o.articles; ++i)
        if (c.cmd("DATE").rfind("111", 0) != 0) die("DATE failed");
    }) / o.articles;
  }
  nntpd.stop();

  if (!jamBase.empty()) {
    Process jam;
    int jport = benchnntp::startJamnntpd(o.data + "/run-jamnntpd", "FIDO.BENCH", jamBase, jam);
    Client c(jport);
    f.jamXover = best([&] { f.jamLines = xover(c, "FIDO.BENCH"); }, 3);
    // It answers one article in tens of milliseconds, and lists only part
    // of a large area: fewer articles, from what it lists.
    std::vector<unsigned> some;
    for (unsigned n : numbers)
      if (n <= f.jamLines && some.size() < 100) some.push_back(n);
    if (!some.empty()) f.jamArticle = best([&] { articles(c, some); }, 3) / double(some.size());
  }
  return f;
}

struct Concurrency {
  unsigned posted = 0, storedOnce = 0, missing = 0, duplicated = 0, errors = 0;
  unsigned reads = 0;
  double seconds = 0;
};

Concurrency concurrent(const Options& o, const std::string& jamDir) {
  const unsigned READERS = 20, POSTERS = 4, POSTS = 25;
  std::string dir = o.data + "/run-concurrent";
  fs::remove_all(dir);
  fs::create_directories(dir);
  for (const char* ext : {".jhr", ".jdt", ".jdx", ".jlr"})
    fs::copy_file(jamDir + "/area" + ext, dir + "/area" + ext);
  Process nntpd;
  int port = startNntpd(o, dir, {{"fido.bench", "#" + dir + "/area"}}, nntpd);

  Concurrency r;
  std::atomic<unsigned> errors{0}, reads{0}, postersLeft{POSTERS};
  std::vector<std::thread> threads;
  auto t0 = Clock::now();
  for (unsigned k = 0; k < POSTERS; ++k)
    threads.emplace_back([&, k] {
      try {
        Client c(port);
        for (unsigned i = 0; i < POSTS; ++i) {
          if (c.cmd("POST").rfind("340", 0) != 0) ++errors;
          std::string art = "From: Poster " + std::to_string(k) +
                             " <poster@example.org>\r\nNewsgroups: fido.bench\r\nSubject: bench post " +
                             std::to_string(k) + "." + std::to_string(i) + "\r\n\r\nText of post " +
                             std::to_string(k) + "." + std::to_string(i) + ".\r\n.\r\n";
          std::string s = c.cmd(art.substr(0, art.size() - 2));
          if (s.rfind("240", 0) != 0) {
            ++errors;
            std::fprintf(stderr, "post: %s\n", s.c_str());
          }
        }
      } catch (const std::exception& e) {
        ++errors;
        std::fprintf(stderr, "poster: %s\n", e.what());
      }
      --postersLeft;
    });
  for (unsigned k = 0; k < READERS; ++k)
    threads.emplace_back([&, k] {
      try {
        Client c(port);
        std::mt19937 rng(k);
        while (postersLeft > 0) {
          std::string s = c.cmd("GROUP fido.bench");
          if (s.rfind("211", 0) != 0) ++errors;
          unsigned high = unsigned(std::stoul(s.substr(s.find(' ', s.find(' ', 4) + 1) + 1)));
          if (c.cmd("XOVER " + std::to_string(high - 50) + "-").rfind("224", 0) != 0) ++errors;
          c.block();
          for (int i = 0; i < 5; ++i) {
            std::string a = c.cmd("ARTICLE " + std::to_string(1 + rng() % high));
            if (a.rfind("220", 0) != 0) ++errors;
            c.block();
            ++reads;
          }
        }
      } catch (const std::exception& e) {
        ++errors;
        std::fprintf(stderr, "reader: %s\n", e.what());
      }
    });
  for (auto& t : threads) t.join();
  r.seconds = seconds(t0, Clock::now());

  // Every subject counted in the overview of the whole area.
  std::map<std::string, unsigned> seen;
  {
    Client c(port);
    c.cmd("GROUP fido.bench");
    c.cmd("XOVER 1-");
    for (std::string l = c.line(); l != "."; l = c.line()) {
      auto t1 = l.find('\t'), t2 = l.find('\t', t1 + 1);
      ++seen[l.substr(t1 + 1, t2 - t1 - 1)];
    }
  }
  for (unsigned k = 0; k < POSTERS; ++k)
    for (unsigned i = 0; i < POSTS; ++i) {
      unsigned n = seen["bench post " + std::to_string(k) + "." + std::to_string(i)];
      ++r.posted;
      if (n == 1) ++r.storedOnce;
      if (n == 0) ++r.missing;
      if (n > 1) ++r.duplicated;
    }
  r.errors = errors;
  r.reads = reads;
  return r;
}

// Replaces what lies between the two markers in `path` with `report`.
void writeReport(const std::string& path, const std::string& report) {
  const std::string begin = "<!-- bench-nntpd results -->\n", end = "<!-- end of results -->\n";
  std::string text = slurp(path);
  auto b = text.find(begin), e = text.find(end);
  if (b == std::string::npos || e == std::string::npos || e < b) {
    std::fprintf(stderr, "zandrel-nntpd-bench: %s has no results block; not written\n",
                 path.c_str());
    return;
  }
  text.replace(b + begin.size(), e - b - begin.size(), "\n" + report + "\n");
  std::ofstream(path) << text;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) die(a + " needs a value");
      return argv[++i];
    };
    if (a == "--backend") o.backend = value();
    else if (a == "--server") o.server = value();
    else if (a == "--data") o.data = value();
    else if (a == "--messages") o.messages = unsigned(std::stoul(value()));
    else if (a == "--articles") o.articles = unsigned(std::stoul(value()));
    else if (a == "--no-jamnntpd") o.jamnntpd = false;
    else if (a == "--out") o.out = value();
    else die("unknown argument " + a);
  }
  ::signal(SIGPIPE, SIG_IGN);
  o.data = fs::absolute(o.data).string();
  const std::string n = std::to_string(o.messages);
  const std::string jamDir = o.data + "/jam-" + n, sqDir = o.data + "/squish-" + n;
  fs::create_directories(jamDir);
  fs::create_directories(sqDir);
  makeArea(o, "#" + jamDir + "/area", jamDir + "/ready");
  makeArea(o, "$" + sqDir + "/area", sqDir + "/ready");
  const bool jam = o.jamnntpd && fs::exists(benchnntp::JAMNNTPD);

  std::vector<Figures> figures;
  figures.push_back(measure(o, "JAM", "#" + jamDir + "/area", jam ? jamDir + "/area" : ""));
  figures.push_back(measure(o, "Squish", "$" + sqDir + "/area", ""));
  Concurrency c = concurrent(o, jamDir);

  std::string report;
  auto add = [&report](const char* fmt, auto... args) {
    char buf[1024];
    std::snprintf(buf, sizeof buf, fmt, args...);
    report += buf;
  };
  double load[1] = {0};
  ::getloadavg(load, 1);
  add("%u messages per area; XOVER is GROUP + XOVER over all of them, ARTICLE the mean\n"
      "of %u random articles; best of five passes after a warm-up (jamnntpd: three).\n"
      "\"First XOVER\" is the server's first pass, before it has converted any overview\n"
      "line. \"DATE round trip\" is a command through zandrel-nntpd that needs no back end:\n"
      "the floor under what the server adds to an ARTICLE. Load average at the end: %.1f\n"
      "on %u cores.\n\n",
      o.messages, o.articles, load[0], std::thread::hardware_concurrency());
  add("| Area | Back end HEAD | zandrel-nntpd XOVER | added | first XOVER | Back end RETR | "
      "zandrel-nntpd ARTICLE | added | DATE round trip |\n"
      "|---|---:|---:|---:|---:|---:|---:|---:|---:|\n");
  std::vector<std::pair<std::string, bool>> targets;
  for (const Figures& f : figures) {
    double ax = f.serverXover / f.backendXover - 1, aa = f.serverArticle / f.backendArticle - 1;
    targets.emplace_back(f.name + ": XOVER adds at most 50% to the back end's HEAD", ax <= 0.5);
    targets.emplace_back(f.name + ": ARTICLE adds at most 50% to the back end's RETR", aa <= 0.5);
    add("| %s | %.1f ms | %.1f ms | %+.0f%% | %.1f ms | %.0f us | %.0f us | %+.0f%% | %.0f us |\n",
        f.name.c_str(), f.backendXover * 1e3, f.serverXover * 1e3, ax * 100, f.coldXover * 1e3,
        f.backendArticle * 1e6, f.serverArticle * 1e6, aa * 100, f.roundTrip * 1e6);
  }
  for (const Figures& f : figures) {
    if (f.jamXover == 0) continue;
    // Per overview line: jamnntpd lists only part of a large area.
    double perJam = f.jamXover / double(f.jamLines), perOurs = f.serverXover / o.messages;
    double rx = perJam / perOurs, ra = f.jamArticle / f.serverArticle;
    targets.emplace_back("10x jamnntpd on XOVER", rx >= 10);
    targets.emplace_back("10x jamnntpd on ARTICLE", ra >= 10);
    add("\njamnntpd on the same JAM base: GROUP + XOVER %.1f ms for the %zu messages it lists "
        "(%.2f us a line; zandrel-nntpd %.2f us, %.1fx faster; the back end alone %.2f us); "
        "ARTICLE %.0f us (zandrel-nntpd %.1fx faster).\n",
        f.jamXover * 1e3, f.jamLines, perJam * 1e6, perOurs * 1e6, rx,
        f.backendXover / o.messages * 1e6, f.jamArticle * 1e6, ra);
  }
  add("\n20 readers and 4 posters for %.1f s: %u posts, %u stored exactly once, %u missing, "
      "%u stored twice; %u articles read; %u error replies.\n",
      c.seconds, c.posted, c.storedOnce, c.missing, c.duplicated, c.reads, c.errors);
  targets.emplace_back("every post stored exactly once, no error replies",
                       c.storedOnce == c.posted && c.errors == 0);
  add("\n| Target | Met |\n|---|---|\n");
  bool met = true;
  for (const auto& [what, ok] : targets) {
    add("| %s | %s |\n", what.c_str(), ok ? "yes" : "no");
    met = met && ok;
  }
  std::printf("\n%s", report.c_str());
  if (!o.out.empty()) writeReport(o.out, report);
  return met ? 0 : 1;
}
