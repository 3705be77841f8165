#include "shared.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "stream.h"

namespace nntpd {

Shared::Shared(std::shared_ptr<const Config> c, Process& p)
    : configHolder(std::move(c)),
      config(*configHolder),
      process(p),
      log(p.log),
      index(config.areas.size()),
      syncLocks(config.areas.size()),
      overviews(config.areas.size(), config.overview_cache) {
  render.headers = config.utf8_headers ? HeaderMode::Utf8 : HeaderMode::Encoded;
  if (config.tls()) tls = makeTlsContext(config.tls_cert, config.tls_key);
}

void reloadConfig(Process& process, const std::string& path, const std::string& selfPath) {
  const Config& old = process.current->config;
  std::shared_ptr<Shared> next;
  try {
    auto config = std::make_shared<Config>(loadConfig(path, selfPath));
    if (::access(config->backend.c_str(), X_OK) != 0)
      throw ConfigError(path + ": server.backend: " + config->backend +
                        " is not an executable program");
    next = std::make_shared<Shared>(std::move(config), process);
  } catch (const std::exception& e) {
    process.log.line(std::string("SIGHUP: the configuration is kept as it was: ") + e.what());
    return;
  }
  const Config& now = next->config;
  if (now.listen != old.listen || now.tls_listen != old.tls_listen)
    process.log.line("SIGHUP: listening addresses change only with a restart");
  if (!now.log.empty() && !process.log.open(now.log))
    process.log.line("SIGHUP: cannot open the log " + now.log + ": " + std::strerror(errno));
  process.current = std::move(next);
  process.log.line("SIGHUP: configuration read again: " + std::to_string(now.areas.size()) +
                   " groups, " + std::to_string(now.users.size()) + " users");
}

}  // namespace nntpd
