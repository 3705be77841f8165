// zandrel-nntpd: a news server for FidoNet areas, in front of zandrel.
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>

#include "child.h"
#include "config.h"
#include "log.h"
#include "server.h"
#include "shared.h"

namespace {

constexpr const char USAGE[] =
    "usage: zandrel-nntpd --config FILE [--check-config]\n"
    "       zandrel-nntpd --version | --help\n"
    "\n"
    "Serves the FidoNet areas named in FILE (TOML) to news readers over NNTP,\n"
    "reading and posting through the zandrel back end.\n"
    "\n"
    "  --config FILE    the configuration (see zandrel-nntpd.toml(5))\n"
    "  --check-config   check the configuration and exit: 0 when it is usable\n"
    "  --version        print the version and exit\n"
    "  --help           print this text and exit\n";

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

  nntpd::Config config;
  try {
    config = nntpd::loadConfig(configPath, selfPath(argv[0]));
  } catch (const nntpd::ConfigError& e) {
    std::fprintf(stderr, "zandrel-nntpd: %s\n", e.what());
    return 1;
  }
  if (::access(config.backend.c_str(), X_OK) != 0) {
    std::fprintf(stderr, "zandrel-nntpd: %s: server.backend: %s is not an executable program\n",
                 configPath.c_str(), config.backend.c_str());
    return 1;
  }
  if (checkOnly) {
    std::printf("%s: ok, %zu areas, back end %s\n", configPath.c_str(), config.areas.size(),
                config.backend.c_str());
    return 0;
  }

  nntpd::Log log;
  if (!config.log.empty() && !log.open(config.log)) {
    std::fprintf(stderr, "zandrel-nntpd: cannot open the log %s: %s\n", config.log.c_str(),
                 std::strerror(errno));
    return 1;
  }
  nntpd::setUpChildSignals();
  try {
    asio::io_context io(1);
    nntpd::Shared shared(config, log);
    nntpd::Server server(io, shared);
    server.listen();
    for (const auto& ep : server.endpoints())
      log.line("listening on " + ep.address().to_string() + ":" + std::to_string(ep.port()) +
               ", " + std::to_string(config.areas.size()) + " groups, back end " +
               config.backend);
    asio::signal_set stop(io, SIGINT, SIGTERM);
    stop.async_wait([&](const asio::error_code& ec, int sig) {
      if (ec) return;
      log.line(std::string("stopping on ") + (sig == SIGINT ? "SIGINT" : "SIGTERM"));
      server.stop();
      io.stop();
    });
    server.start();
    io.run();
  } catch (const std::exception& e) {
    log.line(std::string("fatal: ") + e.what());
    return 1;
  }
  return 0;
}
