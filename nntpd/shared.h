// What the connections of one server process share. `Process` lasts as long
// as the process: the log, the connection counts, the failed logins, the
// locks that take POSTs into one area one at a time. `Shared` belongs to one
// reading of the configuration, with what is built from it (the Message-ID
// index, the overview cache, the TLS context); SIGHUP makes a new one, and
// each connection moves over to it before its next command.
#ifndef NNTPD_SHARED_H
#define NNTPD_SHARED_H

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <asio/any_io_executor.hpp>
#include <asio/ssl/context.hpp>

#include "async_mutex.h"
#include "auth.h"
#include "cidr.h"
#include "config.h"
#include "log.h"
#include "msgid_index.h"
#include "netmail.h"
#include "overview_cache.h"
#include "text/article.h"

namespace nntpd {

constexpr const char* VERSION = "1.0";

struct Shared;

struct Process {
  Process(Log& l, asio::any_io_executor h) : log(l), hashers(std::move(h)) {}

  Log& log;
  // Where passwords are checked: hashing is slow on purpose, and the
  // connections' thread must not wait for it.
  asio::any_io_executor hashers;
  LoginGuard logins;
  // Connections served, in all and per client address.
  std::size_t connections = 0;
  std::map<IpBytes, std::size_t> perAddress;
  // Connections being refused (told why and closed), which hold no slot.
  std::size_t refusing = 0;
  // POSTs into one area are taken one at a time, so that each finds its
  // own message among the new ones; by area spec, across reloads.
  std::map<std::string, AsyncMutex> postLocks;
  // The configuration new commands are served with.
  std::shared_ptr<Shared> current;
};

struct Shared {
  // Throws std::runtime_error when the TLS certificate or key cannot be used.
  Shared(std::shared_ptr<const Config> c, Process& p);

  std::shared_ptr<const Config> configHolder;
  const Config& config;
  Process& process;
  Log& log;
  std::shared_ptr<asio::ssl::context> tls;  // null without [tls]
  RenderOptions render;
  MsgIdIndex index;
  // One connection at a time brings an area's part of the index up to date.
  std::vector<AsyncMutex> syncLocks;
  OverviewCache overviews;
  NetmailParties parties;

  AsyncMutex& postLock(std::size_t area) { return process.postLocks[config.areas[area].spec]; }
};

// Reads the configuration at `path` again and serves the commands to come
// with it; connections stay open. Listening addresses are kept until a
// restart; the log file is opened again (for log rotation). When the file
// cannot be used, the log says why and the old configuration stays.
void reloadConfig(Process& process, const std::string& path, const std::string& selfPath);

// A place among the connections served, given back when the session ends.
class ConnectionSlot {
 public:
  ConnectionSlot(Process& p, const IpBytes& address) : process_(&p), address_(address) {
    ++p.connections;
    ++p.perAddress[address];
  }
  ConnectionSlot(ConnectionSlot&& o) noexcept : process_(o.process_), address_(o.address_) {
    o.process_ = nullptr;
  }
  ConnectionSlot(const ConnectionSlot&) = delete;
  ConnectionSlot& operator=(const ConnectionSlot&) = delete;
  ConnectionSlot& operator=(ConnectionSlot&&) = delete;
  ~ConnectionSlot() {
    if (!process_) return;
    --process_->connections;
    auto it = process_->perAddress.find(address_);
    if (--it->second == 0) process_->perAddress.erase(it);
  }

 private:
  Process* process_;
  IpBytes address_;
};

}  // namespace nntpd

#endif
