// A news client over loopback TCP and the start of Debian's jamnntpd over a
// JAM base, for the benchmarks that compare zandrel with that server.
// Failures throw std::runtime_error.
#ifndef ZANDREL_NNTPCLIENT_H
#define ZANDREL_NNTPCLIENT_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace benchnntp {

inline void sendAll(int fd, const std::string& s) {
  for (std::size_t off = 0; off < s.size();) {
    ssize_t n = ::write(fd, s.data() + off, s.size() - off);
    if (n <= 0) throw std::runtime_error("write failed");
    off += std::size_t(n);
  }
}

// A connection to 127.0.0.1:`port`, with TCP_NODELAY as news readers set it.
class Client {
 public:
  explicit Client(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(std::uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      ::close(fd_);
      throw std::runtime_error("cannot connect to port " + std::to_string(port));
    }
    int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    line();  // greeting
  }
  ~Client() {
    try {
      sendAll(fd_, "QUIT\r\n");
    } catch (const std::exception&) {
    }
    ::close(fd_);
  }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  std::string line() {
    for (;;) {
      auto eol = buf_.find("\r\n", pos_);
      if (eol != std::string::npos) {
        std::string l = buf_.substr(pos_, eol - pos_);
        pos_ = eol + 2;
        if (pos_ > (1 << 20)) {
          buf_.erase(0, pos_);
          pos_ = 0;
        }
        return l;
      }
      char chunk[65536];
      ssize_t n = ::read(fd_, chunk, sizeof chunk);
      if (n <= 0) throw std::runtime_error("connection closed");
      buf_.append(chunk, std::size_t(n));
    }
  }
  // Sends a command; the status line.
  std::string cmd(const std::string& c) {
    sendAll(fd_, c + "\r\n");
    return line();
  }
  // The lines of a multi-line block, up to its ".".
  std::size_t block() {
    std::size_t n = 0;
    for (std::string l = line(); l != "."; l = line()) ++n;
    return n;
  }

 private:
  int fd_;
  std::string buf_;
  std::size_t pos_ = 0;
};

// GROUP and XOVER over the whole group; the number of lines.
inline std::size_t xover(Client& c, const std::string& group) {
  std::string s = c.cmd("GROUP " + group);
  unsigned count = 0, low = 0, high = 0;
  if (std::sscanf(s.c_str(), "211 %u %u %u", &count, &low, &high) != 3)
    throw std::runtime_error("GROUP: " + s);
  if (c.cmd("XOVER " + std::to_string(low) + "-" + std::to_string(high)).rfind("224", 0) != 0)
    throw std::runtime_error("XOVER failed");
  return c.block();
}

// A server process, ended with SIGTERM when it goes.
struct Process {
  pid_t pid = -1;
  ~Process() { stop(); }
  void stop() {
    if (pid > 0) {
      ::kill(pid, SIGTERM);
      ::waitpid(pid, nullptr, 0);
      pid = -1;
    }
  }
};

// Starts argv[0] with standard output and error in the file `out`.
inline pid_t run(const std::vector<std::string>& argv, const std::string& out) {
  pid_t pid = ::fork();
  if (pid == 0) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::freopen(out.c_str(), "w", stdout);
    std::freopen(out.c_str(), "a", stderr);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  return pid;
}

// A port on 127.0.0.1 that nothing listens on right now.
inline int freePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

constexpr const char JAMNNTPD[] = "/usr/sbin/jamnntpd";

// jamnntpd over the JAM base `base` as group `group`, its files in `dir`;
// its port. It binds every address; the benchmarks reach it on 127.0.0.1
// only.
inline int startJamnntpd(const std::string& dir, const std::string& group,
                         const std::string& base, Process& p) {
  std::filesystem::create_directories(dir);
  std::ofstream(dir + "/groups") << group << " A 2:5020/52 " << base << "\n";
  std::ofstream(dir + "/allow") << "127.0.0.1 * *\n";
  std::ofstream(dir + "/users");
  int port = freePort();
  p.pid = run({JAMNNTPD, "-p", std::to_string(port), "-g", dir + "/groups", "-a", dir + "/allow",
               "-u", dir + "/users", "-x", "/etc/jamnntpd.xlat", "-l", dir + "/jamnntpd.log",
               "-noecholog", "-max", "100"},
              dir + "/jamnntpd.out");
  for (int i = 0; i < 500; ++i) {
    try {
      Client probe(port);
      return port;
    } catch (const std::exception&) {
      ::usleep(10000);
    }
  }
  throw std::runtime_error("jamnntpd did not start");
}

}  // namespace benchnntp

#endif
