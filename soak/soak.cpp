// The soak and crash run. For each area format at once:
//
// Soak: several writer processes post articles through the real gateway
// (build/zandrel over pipes, real POST), reader processes loop over STAT,
// HEAD and RETR, and for Squish and JAM one process deletes messages through
// msglib under the area lock, as a tosser would, all for a set time. Every
// article carries a checksum of itself in its subject. A writer counts a POST
// as finished once the NOOP line after it is answered (the gateway runs one
// command at a time). At the end every finished article that was not
// deleted must be in the area exactly once and intact, and the base must
// pass its format's consistency checker.
//
// Crash: a gateway is killed with SIGKILL at a random moment of a POST, again
// and again; after every kill each article whose POST had finished must be
// there and intact, the area must open, and the next posts and reads must
// work. What the interrupted POST left behind is counted by kind. A *.MSG
// post that was cut off leaves its temporary file; the run makes it two hours
// old, and the next post must remove it.
//
//   zandrel_soak [--bin build/zandrel] [--dir DIR] [--seconds 30]
//                [--writers 3] [--readers 2] [--crashes 200]
//                [--formats squish,jam,echo,net] [--seed N]
//
// Prints one table for the soak and one for the crashes; exits non-zero on
// any loss, corruption, checker damage or gateway failure.
// GCC 12 at -O3 misreports chains of std::string operator+ as overlapping
// copies (-Wrestrict, a known false positive); this program builds many
// short strings that way.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wrestrict"
#endif

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "base_check.h"
#include "fileio.h"
#include "msgapi.h"
#include "spawn.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// ---------------------------------------------------------------------------
// Options and formats

struct Options {
  std::string bin = "build/zandrel";
  std::string dir;
  int seconds = 30;
  int writers = 3;
  int readers = 2;
  int crashes = 200;
  std::vector<std::string> formats = {"squish", "jam", "echo", "net"};
  unsigned seed = 0;
};

struct Format {
  const char* key;
  const char* name;
  const char* prefix;  // of the area spec
  word type;
  bool deleter;  // a tosser deletes through msglib (Squish and JAM)
};

constexpr Format kFormats[] = {
    {"squish", "Squish", "$", AT_SQUISH | AT_ECHO, true},
    {"jam", "JAM", "#", AT_JAM | AT_ECHO, true},
    {"echo", "*.MSG echo", "@", AT_SDM | AT_ECHO, false},
    {"net", "*.MSG netmail", "", AT_SDM, false},
};

// The area's path: a base path for Squish and JAM, a directory for *.MSG.
std::string AreaPath(const Format& f, const std::string& dir) {
  bool base = (f.type & (AT_SQUISH | AT_JAM)) != 0;
  return base ? dir + "/" + f.key + "/area" : dir + "/" + f.key;
}

std::string AreaSpec(const Format& f, const std::string& path) { return f.prefix + path; }

// ---------------------------------------------------------------------------
// Articles

std::uint32_t Crc32(const std::string& s) {
  static const auto table = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  std::uint32_t c = 0xFFFFFFFFu;
  for (unsigned char b : s) c = table[(c ^ b) & 0xFF] ^ (c >> 8);
  return ~c;
}

struct Article {
  std::string id, from, to, text;  // text lines end in LF
  std::string Subject() const {
    char crc[16];
    std::snprintf(crc, sizeof crc, "%08" PRIx32, Crc32(id + "\n" + from + "\n" + to + "\n" + text));
    return "soak " + id + " " + crc;
  }
};

// Plain ASCII lines of at most 70 characters (never wrapped by RETR), each
// starting with a letter (never a kludge, SEEN-BY or AREA line).
Article MakeArticle(const std::string& id, int writer, std::mt19937& rng) {
  Article a;
  a.id = id;
  a.from = "Soak Writer " + std::to_string(writer);
  a.to = rng() % 2 ? "All" : "Sysop";
  int lines = int(rng() % 30);
  for (int i = 0; i < lines; ++i) {
    a.text += char('a' + rng() % 26);
    int len = int(rng() % 70);
    for (int k = 0; k < len; ++k) a.text += char(' ' + rng() % 95);
    a.text += '\n';
  }
  return a;
}

std::string PostCommand(const std::string& spec, const Article& a, int writer) {
  std::string s = "POST " + spec + " 2:5020/52." + std::to_string(writer) + " 2:5020/1 " +
                  std::to_string(a.text.size()) + "\n";
  s += "\n" + a.from + "\n" + a.to + "\n" + a.Subject() + "\n" + a.text;
  return s;
}

// What a stored or rendered message says about itself.
enum class Verdict { ours_intact, ours_corrupted, foreign };

Verdict Judge(const std::string& subj, const std::string& from, const std::string& to,
              const std::string& text, std::string* id) {
  char idbuf[64];
  char crc[16];
  if (std::sscanf(subj.c_str(), "soak %63s %15s", idbuf, crc) != 2) return Verdict::foreign;
  *id = idbuf;
  Article a{idbuf, from, to, text};
  return a.Subject() == subj ? Verdict::ours_intact : Verdict::ours_corrupted;
}

// ---------------------------------------------------------------------------
// The gateway as a child process on pipes

class Gateway : public zt::GatewayPipe {
 public:
  // Diagnostics go nowhere: readers race the deleters and fail by design.
  bool Start(const std::string& bin) { return GatewayPipe::Start(bin, DevNull()); }

  // Writes everything, draining replies meanwhile; false when the gateway
  // stopped reading.
  bool Send(const std::string& bytes) { return GatewayPipe::Send(bytes, 60000) == Sent::kAll; }

  // Everything up to the next NUL; false on timeout or when the gateway ended.
  bool Reply(std::string* reply, int timeout_ms = 60000) {
    return GatewayPipe::Reply(reply, timeout_ms);
  }

  // EXIT, then the exit status (-1 when it did not end normally).
  int Exit() {
    Send("EXIT\n");
    CloseInput();
    return Wait(-1);
  }

  // Sends `bytes` (a whole POST) while tracing the gateway's system calls,
  // and kills it with SIGKILL on entry to its `kill_at`-th system call after
  // the read that fetched the POST, before that call runs. Every state the
  // files can be left in by a kill lies between two system calls, so a kill
  // at call k leaves exactly what the first k - 1 calls did. When the
  // gateway asks for its next command first, the POST had finished: it is
  // killed there and *finished is set. *calls is the number of calls seen.
  // False when the gateway cannot be traced.
  bool PostAndKillAt(const std::string& bytes, int kill_at, int* calls, bool* finished) {
    *calls = 0;
    *finished = false;
    // First make sure it is idle, waiting for a command: not starting up.
    std::string reply;
    if (!Send("NOOP\n") || !Reply(&reply)) return false;
    if (::ptrace(PTRACE_SEIZE, pid(), 0, PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL) != 0)
      return false;
    int status = 0;
    // Stopped while it waits in read() for the next command.
    if (::ptrace(PTRACE_INTERRUPT, pid(), 0, 0) != 0 ||
        retry_eintr([&] { return ::waitpid(pid(), &status, 0); }) != pid()) {
      Kill();
      return true;
    }
    Send(bytes);  // fits the pipe: the gateway need not run for it
    bool fetched = false;  // the read() that returned the POST has been seen
    // The call it was stopped in: reading the next command.
    std::uint64_t last_nr = SYS_read, last_fd = 0;
    int signal = 0;
    for (;;) {
      if (::ptrace(PTRACE_SYSCALL, pid(), 0, signal) != 0 ||
          retry_eintr([&] { return ::waitpid(pid(), &status, 0); }) != pid() || !WIFSTOPPED(status))
        break;
      signal = 0;
      if (WSTOPSIG(status) != (SIGTRAP | 0x80)) {
        // A signal for the gateway itself is passed on; stops of the
        // tracer's own making are not.
        int sig = WSTOPSIG(status);
        if (sig != SIGTRAP && sig != SIGSTOP) signal = sig;
        continue;
      }
      __ptrace_syscall_info info{};
      if (::ptrace(PTRACE_GET_SYSCALL_INFO, pid(), sizeof info, &info) <= 0) break;
      if (info.op == PTRACE_SYSCALL_INFO_EXIT) {
        if (!fetched && last_nr == SYS_read && last_fd == 0 && !info.exit.is_error &&
            info.exit.rval > 0)
          fetched = true;
        continue;
      }
      if (info.op != PTRACE_SYSCALL_INFO_ENTRY) continue;
      last_nr = info.entry.nr;
      last_fd = info.entry.args[0];
      if (!fetched) continue;
      if (info.entry.nr == SYS_read && info.entry.args[0] == 0) {
        *finished = true;
        break;
      }
      if (++*calls == kill_at) break;
    }
    Kill();
    return true;
  }

};

// Posts one article and waits until the gateway has answered the NOOP after
// it, so the POST has finished. An error text, or empty on success.
std::string PostAndConfirm(Gateway& g, const std::string& spec, const Article& a, int writer) {
  std::string reply;
  if (!g.Send(PostCommand(spec, a, writer) + "NOOP\n")) return "gateway stopped reading";
  if (!g.Reply(&reply)) return "no reply after POST";
  if (!reply.empty()) return "POST answered: " + reply.substr(0, 60);
  return "";
}

// A RETR reply: the subject, sender name, addressee and body it shows.
bool ParseArticle(const std::string& reply, std::string* subj, std::string* from,
                  std::string* to, std::string* body) {
  std::string r;
  for (std::size_t i = 0; i < reply.size(); ++i)  // CR LF from the text mode
    if (!(reply[i] == '\r' && i + 1 < reply.size() && reply[i + 1] == '\n')) r += reply[i];
  std::size_t blank = r.find("\n\n");
  if (blank == std::string::npos) return false;
  std::istringstream headers(r.substr(0, blank + 1));
  for (std::string line; std::getline(headers, line);) {
    if (line.rfind("Subject: ", 0) == 0) *subj = line.substr(9);
    if (line.rfind("From: ", 0) == 0) *from = line.substr(6, line.find(" <") - 6);
    if (line.rfind("X-Comment-To: ", 0) == 0) *to = line.substr(14);
  }
  *body = r.substr(blank + 2);
  // A *.MSG text is stored with its final NUL, which the body shows as a
  // space after the last line end.
  if (*body == " " || (body->size() >= 2 && body->compare(body->size() - 2, 2, "\n ") == 0))
    body->pop_back();
  return true;
}

// ---------------------------------------------------------------------------
// Reading an area back through msglib

struct Scan {
  bool opened = false;
  std::map<std::string, int> intact;  // id -> copies found intact
  std::multiset<std::string> corrupted;
  int foreign = 0;  // messages not posted by this run (the *.MSG high-water mark)
};

Scan ScanArea(const Format& f, const std::string& path) {
  Scan s;
  HAREA ha = MsgOpenArea(path.c_str(), AOPEN_EXISTING, f.type);
  if (!ha) return s;
  s.opened = true;
  // *.MSG numbers are file numbers and may be sparse.
  const dword last = (f.type & (AT_SQUISH | AT_JAM)) ? ha->num_msg : ha->high_msg;
  for (dword n = 1; n <= last; ++n) {
    HMSG m = ha->api->OpenMsg(ha, MO_READ, n);
    if (!m) continue;
    dword tl = ha->api->GetTextLen(m), cl = ha->api->GetCtrlLen(m);
    std::vector<char> text(std::size_t(tl) + 1), ctrl(std::size_t(cl) + 1);
    XMSG x{};
    dword got = ha->api->ReadMsg(m, &x, 0, tl, reinterpret_cast<byte*>(text.data()), cl,
                                 reinterpret_cast<byte*>(ctrl.data()));
    ha->api->CloseMsg(m);
    std::string body(text.data());  // up to its first NUL
    std::replace(body.begin(), body.end(), '\r', '\n');
    std::string id;
    Verdict v = got == 0xFFFFFFFFu ? Verdict::foreign
                                   : Judge(reinterpret_cast<char*>(x.subj),
                                           reinterpret_cast<char*>(x.from),
                                           reinterpret_cast<char*>(x.to), body, &id);
    if (v == Verdict::ours_intact) ++s.intact[id];
    else if (v == Verdict::ours_corrupted) s.corrupted.insert(id);
    else ++s.foreign;
  }
  ha->api->CloseArea(ha);
  return s;
}

bool CreateArea(const Format& f, const std::string& path) {
  fs::create_directories(fs::path(path).parent_path());
  HAREA ha = MsgOpenArea(path.c_str(), AOPEN_CREATE, f.type);
  return ha && ha->api->CloseArea(ha) == 0;
}

zt::BaseCheck CheckBase(const Format& f, const std::string& path) {
  if (f.type & AT_SQUISH) return zt::CheckSquishBaseDetailed(path);
  if (f.type & AT_JAM) return zt::CheckJamBaseDetailed(path);
  return zt::CheckSdmAreaDetailed(path, (f.type & AT_ECHO) != 0);
}

// Deletes one random message of ours through msglib under the area lock, as
// a tosser would: a Squish caller locks the area around its deletions; a JAM
// deletion takes the lock itself (and refuses when the caller holds it).
// The id goes to `deleted` when the deletion is certainly on disk, to
// `uncertain` when the unlock failed after it. False when nothing was done.
bool DeleteOne(const Format& f, const std::string& path, std::mt19937& rng,
               std::string* deleted, std::string* uncertain) {
  HAREA ha = MsgOpenArea(path.c_str(), AOPEN_EXISTING, f.type);
  if (!ha) return false;
  const bool caller_locks = (f.type & AT_SQUISH) != 0;
  bool done = false;
  if (!caller_locks || ha->api->Lock(ha) == 0) {
    std::string id;
    if (ha->num_msg > 0) {
      dword n = dword(rng() % ha->num_msg) + 1;
      if (HMSG m = ha->api->OpenMsg(ha, MO_READ, n)) {
        XMSG x{};
        ha->api->ReadMsg(m, &x, 0, 0, nullptr, 0, nullptr);
        ha->api->CloseMsg(m);
        char idbuf[64];
        if (std::sscanf(reinterpret_cast<char*>(x.subj), "soak %63s", idbuf) == 1 &&
            ha->api->KillMsg(ha, n) == 0)
          id = idbuf;
      }
    }
    bool unlocked = !caller_locks || ha->api->Unlock(ha) == 0;
    if (!id.empty()) {
      *(unlocked ? deleted : uncertain) = id;
      done = true;
    }
  }
  ha->api->CloseArea(ha);
  return done;
}

// ---------------------------------------------------------------------------
// Worker processes. Each writes its findings to a log file, one per line:
//   C id   a POST that finished        D id   a message deleted
//   U id   a deletion that may not have reached the disk
//   R n v t   reader: replies, articles verified, articles torn
//   E text    an error (the run fails)

class Log {
 public:
  explicit Log(const std::string& path) : f_(std::fopen(path.c_str(), "w")) {}
  ~Log() {
    if (f_) std::fclose(f_);
  }
  void Line(char kind, const std::string& text) {
    std::fprintf(f_, "%c %s\n", kind, text.c_str());
    std::fflush(f_);
  }

 private:
  std::FILE* f_;
};

void Writer(const Options& o, const Format& f, const std::string& spec, int w,
            Clock::time_point deadline, const std::string& log_path, const std::string& tag) {
  Log log(log_path);
  std::mt19937 rng(o.seed * 1000 + unsigned(w));
  Gateway g;
  if (!g.Start(o.bin)) return log.Line('E', "cannot start the gateway");
  for (int seq = 0; Clock::now() < deadline; ++seq) {
    Article a = MakeArticle(tag + "w" + std::to_string(w) + "n" + std::to_string(seq), w, rng);
    std::string err = PostAndConfirm(g, spec, a, w);
    if (!err.empty()) return log.Line('E', std::string(f.key) + " writer: " + err);
    log.Line('C', a.id);
  }
  if (g.Exit() != 0) log.Line('E', "writer's gateway did not exit cleanly");
}

void Reader(const Options& o, const Format& f, const std::string& spec, int r,
            Clock::time_point deadline, const std::string& log_path) {
  Log log(log_path);
  std::mt19937 rng(o.seed * 1000 + 500 + unsigned(r));
  Gateway g;
  if (!g.Start(o.bin)) return log.Line('E', "cannot start the gateway");
  long replies = 0, verified = 0, torn = 0;
  while (Clock::now() < deadline) {
    // The STAT line arrives with the flush that ends the HEAD reply.
    std::string cmd = "STAT " + spec + " soak.test\nHEAD " + spec + " x";
    for (int i = 0; i < 5; ++i) cmd += (i ? " " : "") + std::to_string(1 + rng() % 64);
    std::string reply;
    if (!g.Send(cmd + "\n") || !g.Reply(&reply))
      return log.Line('E', std::string(f.key) + " reader: no reply to STAT/HEAD");
    ++replies;
    long high = 0;
    if (reply.rfind("soak.test ", 0) == 0) high = std::atol(reply.c_str() + 10);
    if (high <= 0) continue;
    if (!g.Send("RETR " + spec + " " + std::to_string(1 + rng() % high) + "\n") || !g.Reply(&reply))
      return log.Line('E', std::string(f.key) + " reader: no reply to RETR");
    ++replies;
    std::string subj, from, to, body, id;
    if (!ParseArticle(reply, &subj, &from, &to, &body)) continue;
    Verdict v = Judge(subj, from, to, body, &id);
    if (v == Verdict::ours_intact) ++verified;
    if (v == Verdict::ours_corrupted) ++torn;
  }
  if (g.Exit() != 0) log.Line('E', "reader's gateway did not exit cleanly");
  log.Line('R', std::to_string(replies) + " " + std::to_string(verified) + " " +
                    std::to_string(torn));
}

void Deleter(const Options& o, const Format& f, const std::string& path,
             Clock::time_point deadline, const std::string& log_path) {
  Log log(log_path);
  std::mt19937 rng(o.seed * 1000 + 900);
  while (Clock::now() < deadline) {
    ::usleep(useconds_t(20000 + rng() % 60000));
    std::string deleted, uncertain;
    if (!DeleteOne(f, path, rng, &deleted, &uncertain)) continue;
    if (!deleted.empty()) log.Line('D', deleted);
    if (!uncertain.empty()) log.Line('U', uncertain);
  }
}

// Runs fn in a child process. Output buffered so far is flushed first, or
// the child would print it again.
template <typename Fn>
pid_t Spawn(Fn&& fn) {
  std::fflush(nullptr);
  pid_t pid = ::fork();
  if (pid == 0) {
    fn();
    ::_exit(0);
  }
  return pid;
}

struct Logs {
  std::set<std::string> completed, deleted, uncertain;
  std::set<std::string> partial;  // cut-off posts that left a damaged message
  std::vector<std::string> errors;
  long replies = 0, verified = 0, torn = 0;
};

void ReadLog(const std::string& path, Logs* logs) {
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    if (line.size() < 2) continue;
    std::string rest = line.substr(2);
    switch (line[0]) {
      case 'C': logs->completed.insert(rest); break;
      case 'D': logs->deleted.insert(rest); break;
      case 'U': logs->uncertain.insert(rest); break;
      case 'E': logs->errors.push_back(rest); break;
      case 'R': {
        long r = 0, v = 0, t = 0;
        std::sscanf(rest.c_str(), "%ld %ld %ld", &r, &v, &t);
        logs->replies += r;
        logs->verified += v;
        logs->torn += t;
        break;
      }
      default: break;
    }
  }
}

// ---------------------------------------------------------------------------
// Judging what an area holds against what the workers did

struct Tally {
  long found = 0, lost = 0, corrupted = 0, extra = 0;
  std::vector<std::string> examples;  // of what went wrong

  void Note(const std::string& what) {
    if (examples.size() < 8) examples.push_back(what);
  }
  bool Clean() const { return lost == 0 && corrupted == 0 && extra == 0; }
};

// Every completed, undeleted article must be there once and intact; deleted
// ones must be gone. `in_flight` (a POST cut short) may be there or not.
Tally Judge(const Scan& s, const Logs& logs, const std::string& in_flight = "") {
  Tally t;
  for (const std::string& id : logs.completed) {
    if (logs.deleted.count(id) || logs.uncertain.count(id)) continue;
    auto it = s.intact.find(id);
    int copies = it == s.intact.end() ? 0 : it->second;
    if (copies == 1) {
      ++t.found;
    } else if (copies > 1) {
      ++t.found;
      ++t.extra;
      t.Note(id + " found " + std::to_string(copies) + " times");
    } else if (s.corrupted.count(id)) {
      ++t.corrupted;
      t.Note(id + " corrupted");
    } else {
      ++t.lost;
      t.Note(id + " lost");
    }
  }
  for (const auto& [id, copies] : s.intact) {
    if (logs.deleted.count(id)) {
      ++t.extra;
      t.Note(id + " deleted but still there");
    } else if (!logs.completed.count(id) && id != in_flight && !logs.uncertain.count(id)) {
      ++t.extra;
      t.Note(id + " never posted");
    }
  }
  for (const std::string& id : s.corrupted) {
    if (!logs.completed.count(id) && id != in_flight && !logs.partial.count(id)) {
      ++t.corrupted;
      t.Note(id + " corrupted (not a finished post)");
    }
  }
  return t;
}

// ---------------------------------------------------------------------------
// The soak

struct SoakRow {
  std::string format;
  int processes = 0;
  double seconds = 0;
  long posted = 0, deleted = 0;
  Tally tally;
  long replies = 0, verified = 0, torn = 0;
  zt::BaseCheck check;
  std::vector<std::string> errors;
  bool Clean() const { return tally.Clean() && check.damage.empty() && errors.empty(); }
};

SoakRow RunSoak(const Options& o, const Format& f, const std::string& dir) {
  SoakRow row;
  row.format = f.name;
  const std::string path = AreaPath(f, dir);
  const std::string spec = AreaSpec(f, path);
  const std::string logs_dir = dir + "/logs-" + f.key;
  fs::create_directories(logs_dir);
  if (!CreateArea(f, path)) {
    row.errors.push_back("cannot create the area");
    return row;
  }
  const auto start = Clock::now();
  const auto deadline = start + std::chrono::seconds(o.seconds);
  std::vector<pid_t> pids;
  std::vector<std::string> log_files;
  auto log_file = [&](const std::string& name) {
    log_files.push_back(logs_dir + "/" + name);
    return log_files.back();
  };
  for (int w = 0; w < o.writers; ++w) {
    std::string lp = log_file("writer" + std::to_string(w));
    pids.push_back(Spawn([&, w, lp] { Writer(o, f, spec, w, deadline, lp, "s"); }));
  }
  for (int r = 0; r < o.readers; ++r) {
    std::string lp = log_file("reader" + std::to_string(r));
    pids.push_back(Spawn([&, r, lp] { Reader(o, f, spec, r, deadline, lp); }));
  }
  if (f.deleter) {
    std::string lp = log_file("deleter");
    pids.push_back(Spawn([&, lp] { Deleter(o, f, path, deadline, lp); }));
  }
  for (pid_t p : pids) {
    int status = 0;
    retry_eintr([&] { return ::waitpid(p, &status, 0); });
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
      row.errors.push_back("a worker process ended abnormally");
  }
  row.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  row.processes = int(pids.size());

  Logs logs;
  for (const auto& lp : log_files) ReadLog(lp, &logs);
  row.posted = long(logs.completed.size());
  row.deleted = long(logs.deleted.size());
  row.replies = logs.replies;
  row.verified = logs.verified;
  row.torn = logs.torn;
  row.errors.insert(row.errors.end(), logs.errors.begin(), logs.errors.end());
  Scan scan = ScanArea(f, path);
  if (!scan.opened) row.errors.push_back("the area does not open after the soak");
  row.tally = Judge(scan, logs);
  row.check = CheckBase(f, path);
  return row;
}

// ---------------------------------------------------------------------------
// The crashes

struct CrashRow {
  std::string format;
  int kills = 0;
  long checked = 0;  // finished articles checked after the kills, summed
  long deleted = 0;
  int in_flight_there = 0, in_flight_absent = 0, in_flight_partial = 0;
  long lost = 0, corrupted = 0, extra = 0;
  int reads_ok = 0, reads_failed = 0;
  int calls_per_post = 0;
  int temps_cleared = 0;  // *.MSG: temporary files of killed posts the next post removed
  std::map<int, int> kill_points;  // system call killed at -> kills; -1: after the POST
  std::map<std::string, int> leftovers;  // kind -> kills after which it was seen
  std::map<std::string, int> damage;
  std::vector<std::string> examples, errors;
  bool Clean() const {
    return lost == 0 && corrupted == 0 && extra == 0 && damage.empty() && errors.empty() &&
           reads_failed == 0;
  }
};

// A checker finding without its numbers: "index record 12 past num_msg ..."
// and "index record 40 past num_msg ..." are one kind.
std::string KindOf(const std::string& problem) {
  std::string k;
  bool digits = false;
  for (char c : problem) {
    if (c >= '0' && c <= '9') {
      if (!digits) k += 'N';
      digits = true;
    } else {
      k += c;
      digits = false;
    }
  }
  return k;
}

// The temporary files that killed *.MSG posts left in `dir`, made two hours
// old: the next post must take them for a killed writer's and remove them.
std::set<std::string> AgeTempFiles(const std::string& dir) {
  std::set<std::string> aged;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec)) {
    const std::string name = e.path().filename().string();
    if (name.rfind("zandrel-", 0) != 0 || name.size() < 12 ||
        name.compare(name.size() - 4, 4, ".tmp") != 0)
      continue;
    fs::last_write_time(e.path(), fs::file_time_type::clock::now() - std::chrono::hours(2), ec);
    aged.insert(e.path().string());
  }
  return aged;
}

CrashRow RunCrashes(const Options& o, const Format& f, const std::string& dir) {
  CrashRow row;
  row.format = f.name;
  const std::string path = AreaPath(f, dir + "/crash");
  const std::string spec = AreaSpec(f, path);
  std::mt19937 rng(o.seed * 7919 + 17);
  if (!CreateArea(f, path)) {
    row.errors.push_back("cannot create the area");
    return row;
  }
  Logs logs;
  int seq = 0;
  auto next_article = [&] { return MakeArticle("k" + std::to_string(seq++), 1, rng); };
  const bool sdm = (f.type & (AT_SQUISH | AT_JAM)) == 0;
  std::set<std::string> aged;  // old temporary files that the next post must remove
  auto check_aged = [&] {
    for (const std::string& p : aged) {
      if (fs::exists(p)) row.errors.push_back("a killed post's temporary file outlived the next post: " + p);
      else ++row.temps_cleared;
    }
    aged.clear();
  };

  // How many system calls a POST makes here: the kills are spread over them.
  int calls_per_post = 0;
  {
    Gateway g;
    if (!g.Start(o.bin)) {
      row.errors.push_back("cannot start the gateway");
      return row;
    }
    for (int i = 0; i < 20; ++i) {
      Article a = next_article();
      std::string err = PostAndConfirm(g, spec, a, 1);
      if (!err.empty()) {
        row.errors.push_back(err);
        return row;
      }
      logs.completed.insert(a.id);
    }
    for (int i = 0; i < 3; ++i) {
      Gateway t;
      Article a = next_article();
      int calls = 0;
      bool finished = false;
      if (!t.Start(o.bin) || !t.PostAndKillAt(PostCommand(spec, a, 1), 1 << 30, &calls, &finished)) {
        row.errors.push_back("cannot trace the gateway");
        return row;
      }
      if (finished) logs.completed.insert(a.id);
      calls_per_post = std::max(calls_per_post, calls);
    }
    g.Exit();
  }
  row.calls_per_post = calls_per_post;

  for (int k = 0; k < o.crashes; ++k) {
    // Deletions leave free frames and killed records for later posts to meet.
    if (f.deleter && rng() % 3 == 0) {
      std::string deleted, uncertain;
      if (DeleteOne(f, path, rng, &deleted, &uncertain)) {
        if (!deleted.empty()) logs.deleted.insert(deleted);
        if (!uncertain.empty()) logs.uncertain.insert(uncertain);
      }
    }
    Gateway g;
    if (!g.Start(o.bin)) {
      row.errors.push_back("cannot start the gateway");
      break;
    }
    // The area must take posts and give reads after the previous kill.
    int before = int(rng() % 3);
    Article last;
    for (int i = 0; i < before; ++i) {
      last = next_article();
      std::string err = PostAndConfirm(g, spec, last, 1);
      if (!err.empty()) {
        row.errors.push_back("after kill " + std::to_string(k) + ": " + err);
        break;
      }
      logs.completed.insert(last.id);
    }
    if (before > 0) {
      check_aged();
      // The newest message is the one just posted: Squish and JAM number
      // densely, *.MSG takes the next file number.
      Scan now = ScanArea(f, path);
      bool ok = now.intact.count(last.id) == 1;
      (ok ? row.reads_ok : row.reads_failed)++;
    }
    Article victim = next_article();
    std::string cmd = PostCommand(spec, victim, 1);
    int killed_at = -2;  // while the input was still arriving
    // One kill in ten lands while the text is still arriving; the rest at a
    // system call of the POST chosen at random (a few past its last one).
    if (rng() % 10 == 0) {
      cmd.resize(cmd.size() - 1 - rng() % std::min<std::size_t>(cmd.size() - 1, 40));
      g.Send(cmd);
      g.Kill();
    } else {
      bool finished = false;
      g.PostAndKillAt(cmd, 1 + int(rng() % unsigned(calls_per_post + 2)), &killed_at, &finished);
      if (finished) killed_at = -1;
      ++row.kill_points[killed_at];
    }
    ++row.kills;

    // The checker looks first: closing an area may already tidy up (a JAM
    // close rewrites the header info with a fresh count).
    zt::BaseCheck c = CheckBase(f, path);
    if (sdm) aged.merge(AgeTempFiles(path));
    Scan s = ScanArea(f, path);
    if (!s.opened) {
      row.errors.push_back("the area does not open after kill " + std::to_string(k));
      break;
    }
    Tally t = Judge(s, logs, victim.id);
    row.checked += t.found;
    row.lost += t.lost;
    row.corrupted += t.corrupted;
    row.extra += t.extra;
    for (const auto& e : t.examples)
      if (row.examples.size() < 8) row.examples.push_back("kill " + std::to_string(k) + ": " + e);
    if (s.intact.count(victim.id)) {
      ++row.in_flight_there;
      logs.completed.insert(victim.id);  // stored whole: from now on it must stay
    } else if (s.corrupted.count(victim.id)) {
      ++row.in_flight_partial;
      logs.partial.insert(victim.id);
    } else {
      ++row.in_flight_absent;
    }
    std::set<std::string> kinds;
    for (const auto& p : c.leftovers) kinds.insert(KindOf(p));
    for (const auto& kind : kinds) ++row.leftovers[kind];
    std::set<std::string> dkinds;
    for (const auto& p : c.damage) {
      dkinds.insert(KindOf(p));
      if (row.examples.size() < 8)
        row.examples.push_back("kill " + std::to_string(k) + " at call " + std::to_string(killed_at) +
                               ": " + p);
    }
    for (const auto& kind : dkinds) ++row.damage[kind];
  }
  row.deleted = long(logs.deleted.size());

  // After the last kill: one more post and read.
  Gateway g;
  Article a = next_article();
  std::string err = g.Start(o.bin) ? PostAndConfirm(g, spec, a, 1) : "cannot start the gateway";
  if (!err.empty()) row.errors.push_back("after the last kill: " + err);
  else logs.completed.insert(a.id);
  if (err.empty()) check_aged();
  g.Exit();
  Scan s = ScanArea(f, path);
  (s.intact.count(a.id) == 1 ? row.reads_ok : row.reads_failed)++;
  return row;
}

// ---------------------------------------------------------------------------

bool ParseArgs(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
    if (a == "--bin") o->bin = value();
    else if (a == "--dir") o->dir = value();
    else if (a == "--seconds") o->seconds = std::atoi(value().c_str());
    else if (a == "--writers") o->writers = std::atoi(value().c_str());
    else if (a == "--readers") o->readers = std::atoi(value().c_str());
    else if (a == "--crashes") o->crashes = std::atoi(value().c_str());
    else if (a == "--seed") o->seed = unsigned(std::strtoul(value().c_str(), nullptr, 10));
    else if (a == "--formats") {
      o->formats.clear();
      std::stringstream ss(value());
      for (std::string k; std::getline(ss, k, ',');) o->formats.push_back(k);
    } else {
      return false;
    }
  }
  return true;
}

void PrintFindings(const char* what, const std::vector<std::string>& items) {
  for (const auto& i : items) std::printf("    %s: %s\n", what, i.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!ParseArgs(argc, argv, &o)) {
    std::fprintf(stderr,
                 "usage: %s [--bin PATH] [--dir DIR] [--seconds N] [--writers N] [--readers N]\n"
                 "       [--crashes N] [--formats squish,jam,echo,net] [--seed N]\n",
                 argv[0]);
    return 2;
  }
  if (o.seed == 0) o.seed = unsigned(std::random_device{}());
  o.bin = fs::absolute(o.bin).string();
  if (!fs::exists(o.bin)) {
    std::fprintf(stderr, "no gateway binary at %s\n", o.bin.c_str());
    return 2;
  }
  bool own_dir = o.dir.empty();
  if (own_dir) {
    std::string t = (fs::temp_directory_path() / "zandrel-soak-XXXXXX").string();
    if (!::mkdtemp(t.data())) return 2;
    o.dir = t;
  }
  fs::create_directories(o.dir);
  ::signal(SIGPIPE, SIG_IGN);
  _minf minf{0, 2, 0};
  MsgOpenApi(&minf);

  std::vector<const Format*> formats;
  for (const auto& k : o.formats) {
    auto it = std::find_if(std::begin(kFormats), std::end(kFormats),
                           [&](const Format& f) { return k == f.key; });
    if (it == std::end(kFormats)) {
      std::fprintf(stderr, "unknown format %s\n", k.c_str());
      return 2;
    }
    formats.push_back(&*it);
  }
  std::printf("zandrel soak: %d writers, %d readers, a deleter for Squish and JAM, %d s per "
              "format; %d kills per format; seed %u\n\n",
              o.writers, o.readers, o.seconds, o.crashes, o.seed);
  std::fflush(stdout);

  bool ok = true;
  std::printf("| format | processes | seconds | posted | deleted | found | lost | corrupted | "
              "extra | reader replies | read back | torn reads | checker |\n");
  std::printf("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|\n");
  std::vector<SoakRow> soak;
  for (const Format* f : formats) {
    SoakRow r = RunSoak(o, *f, o.dir + "/soak");
    std::printf("| %s | %d | %.0f | %ld | %ld | %ld | %ld | %ld | %ld | %ld | %ld | %ld | %s |\n",
                r.format.c_str(), r.processes, r.seconds, r.posted, r.deleted, r.tally.found,
                r.tally.lost, r.tally.corrupted, r.tally.extra, r.replies, r.verified, r.torn,
                !r.check.damage.empty() ? "DAMAGE" : r.check.leftovers.empty() ? "sound" : "leftovers");
    std::fflush(stdout);
    ok = ok && r.Clean();
    soak.push_back(std::move(r));
  }
  for (const auto& r : soak) {
    if (r.Clean() && r.check.leftovers.empty()) continue;
    std::printf("\n  %s:\n", r.format.c_str());
    PrintFindings("error", r.errors);
    PrintFindings("article", r.tally.examples);
    PrintFindings("damage", r.check.damage);
    PrintFindings("leftover", r.check.leftovers);
  }

  std::printf("\n| format | kills | finished articles checked | deleted | cut-off post there | "
              "absent | partial | lost | corrupted | extra | post and read after a kill | "
              "checker damage |\n");
  std::printf("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|---:|\n");
  std::vector<CrashRow> crashes;
  for (const Format* f : formats) {
    if (o.crashes <= 0) break;
    CrashRow r = RunCrashes(o, *f, o.dir);
    int damage = 0;
    for (const auto& [k, n] : r.damage) damage += n;
    std::printf("| %s | %d | %ld | %ld | %d | %d | %d | %ld | %ld | %ld | %d ok, %d failed | %d |\n",
                r.format.c_str(), r.kills, r.checked, r.deleted, r.in_flight_there,
                r.in_flight_absent, r.in_flight_partial, r.lost, r.corrupted, r.extra, r.reads_ok,
                r.reads_failed, damage);
    std::fflush(stdout);
    ok = ok && r.Clean();
    crashes.push_back(std::move(r));
  }
  for (const auto& r : crashes) {
    std::printf("\n  %s: a POST makes %d system calls after reading its input; kills at call",
                r.format.c_str(), r.calls_per_post);
    for (const auto& [call, n] : r.kill_points)
      if (call >= 0) std::printf(" %d:%d", call, n);
    auto after = r.kill_points.find(-1);
    std::printf("; after it: %d", after == r.kill_points.end() ? 0 : after->second);
    if (r.format.rfind("*.MSG", 0) == 0)
      std::printf("; killed posts' temporary files removed by the next post: %d", r.temps_cleared);
    std::printf("\n");
    if (r.leftovers.empty() && r.Clean()) continue;
    PrintFindings("error", r.errors);
    PrintFindings("finding", r.examples);
    for (const auto& [k, n] : r.leftovers) std::printf("    leftover (after %d kills): %s\n", n, k.c_str());
    for (const auto& [k, n] : r.damage) std::printf("    DAMAGE (after %d kills): %s\n", n, k.c_str());
  }
  std::printf("\n%s\n", ok ? "soak: nothing lost, nothing corrupted" : "soak: FAILED");
  if (own_dir && ok) fs::remove_all(o.dir);
  else std::printf("areas and logs kept in %s\n", o.dir.c_str());
  return ok ? 0 : 1;
}
