// zandrel-nntpd: a news server for FidoNet areas, in front of zandrel.
#include <termios.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <string>

#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>
#include <asio/thread_pool.hpp>

#include "auth.h"
#include "child.h"
#include "config.h"
#include "log.h"
#include "server.h"
#include "shared.h"
#include "stream.h"

namespace {

constexpr const char USAGE[] =
    "usage: zandrel-nntpd --config FILE [--check-config]\n"
    "       zandrel-nntpd --hash-password\n"
    "       zandrel-nntpd --version | --help\n"
    "\n"
    "Serves the FidoNet areas named in FILE (TOML) to news readers over NNTP,\n"
    "reading and posting through the zandrel back end.\n"
    "\n"
    "  --config FILE    the configuration (see zandrel-nntpd.toml(5))\n"
    "  --check-config   check the configuration and exit: 0 when it is usable\n"
    "  --hash-password  read a password and print its hash for a [[user]] table\n"
    "  --version        print the version and exit\n"
    "  --help           print this text and exit\n";

// One line from standard input, without echo when it is a terminal.
bool readSecret(const char* prompt, std::string& out) {
  const bool tty = ::isatty(0);
  termios saved{};
  if (tty) {
    std::fputs(prompt, stderr);
    std::fflush(stderr);
    ::tcgetattr(0, &saved);
    termios quiet = saved;
    quiet.c_lflag &= ~tcflag_t(ECHO);
    ::tcsetattr(0, TCSAFLUSH, &quiet);
  }
  out.clear();
  int c;
  while ((c = std::getchar()) != EOF && c != '\n') out += char(c);
  if (!out.empty() && out.back() == '\r') out.pop_back();
  if (tty) {
    ::tcsetattr(0, TCSAFLUSH, &saved);
    std::fputc('\n', stderr);
  }
  return c != EOF || !out.empty();
}

int hashPasswordCommand() {
  std::string password, again;
  if (!readSecret("Password: ", password) || password.empty()) {
    std::fputs("zandrel-nntpd: no password given\n", stderr);
    return 1;
  }
  if (::isatty(0) && (!readSecret("Again: ", again) || again != password)) {
    std::fputs("zandrel-nntpd: the passwords differ\n", stderr);
    return 1;
  }
  const std::string hash = nntpd::hashPassword(password);
  if (hash.empty()) {
    std::fputs("zandrel-nntpd: libcrypt could not make a hash\n", stderr);
    return 1;
  }
  std::printf("%s\n", hash.c_str());
  return 0;
}

std::string selfPath(const char* argv0) {
  char buf[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n > 0) return std::string(buf, std::size_t(n));
  return argv0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string configPath;
  bool checkOnly = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::fputs(USAGE, stdout);
      return 0;
    }
    if (a == "--version") {
      std::printf("zandrel-nntpd %s\n", nntpd::VERSION);
      return 0;
    }
    if (a == "--hash-password") return hashPasswordCommand();
    if (a == "--check-config") {
      checkOnly = true;
    } else if (a == "--config" && i + 1 < argc) {
      configPath = argv[++i];
    } else if (a.starts_with("--config=")) {
      configPath = a.substr(9);
    } else {
      std::fprintf(stderr, "zandrel-nntpd: unknown argument %s\n%s", a.c_str(), USAGE);
      return 2;
    }
  }
  if (configPath.empty()) {
    std::fprintf(stderr, "zandrel-nntpd: --config FILE is required\n%s", USAGE);
    return 2;
  }

  const std::string self = selfPath(argv[0]);
  auto config = std::make_shared<nntpd::Config>();
  try {
    *config = nntpd::loadConfig(configPath, self);
    if (config->tls()) nntpd::makeTlsContext(config->tls_cert, config->tls_key);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "zandrel-nntpd: %s: %s\n", configPath.c_str(), e.what());
    return 1;
  }
  if (::access(config->backend.c_str(), X_OK) != 0) {
    std::fprintf(stderr, "zandrel-nntpd: %s: server.backend: %s is not an executable program\n",
                 configPath.c_str(), config->backend.c_str());
    return 1;
  }
  if (checkOnly) {
    std::printf("%s: ok, %zu areas, %zu users, back end %s\n", configPath.c_str(),
                config->areas.size(), config->users.size(), config->backend.c_str());
    return 0;
  }

  nntpd::Log log;
  if (!config->log.empty() && !log.open(config->log)) {
    std::fprintf(stderr, "zandrel-nntpd: cannot open the log %s: %s\n", config->log.c_str(),
                 std::strerror(errno));
    return 1;
  }
  nntpd::setUpChildSignals();
  try {
    // The connections die with the io_context, and they use the process's
    // state until then: it is made first and goes last.
    asio::thread_pool hashers(1);
    nntpd::Process process(log, hashers.get_executor());
    process.current = std::make_shared<nntpd::Shared>(config, process);
    asio::io_context io(1);
    nntpd::Server server(io, process);
    server.listen();
    for (const auto& ep : server.endpoints())
      log.line(std::string("listening on ") + (ep.tls ? "TLS " : "") +
               ep.address.address().to_string() + ":" + std::to_string(ep.address.port()) + ", " +
               std::to_string(config->areas.size()) + " groups, back end " + config->backend);
    asio::signal_set stop(io, SIGINT, SIGTERM);
    stop.async_wait([&](const asio::error_code& ec, int sig) {
      if (ec) return;
      log.line(std::string("stopping on ") + (sig == SIGINT ? "SIGINT" : "SIGTERM"));
      server.stop();
      io.stop();
    });
    asio::signal_set hangup(io, SIGHUP);
    std::function<void(const asio::error_code&, int)> reload = [&](const asio::error_code& ec, int) {
      if (ec) return;
      nntpd::reloadConfig(process, configPath, self);
      hangup.async_wait(reload);
    };
    hangup.async_wait(reload);
    server.start();
    io.run();
    // A password still being checked hands its result to the stopped
    // io_context, which drops it with the connections.
    hashers.stop();
    hashers.join();
    process.current.reset();
  } catch (const std::exception& e) {
    log.line(std::string("fatal: ") + e.what());
    return 1;
  }
  return 0;
}
