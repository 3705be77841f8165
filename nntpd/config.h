// The server's configuration: listening addresses, the back end, limits, the
// gateway's FidoNet identity and the areas it serves as newsgroups.
#ifndef NNTPD_CONFIG_H
#define NNTPD_CONFIG_H

#include <chrono>
#include <optional>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace nntpd {

struct AreaConfig {
  std::string group;        // newsgroup name, unique
  std::string spec;         // the back end's area spec: $squish, #jam, @echo, netmail
  std::string description;  // LIST NEWGROUPS
  bool post = true;
  std::string address;  // origin address of posts in this area; the gateway's if empty
  std::string origin;   // text of the Origin line; the gateway's if empty
};

struct Config {
  std::string file;  // where it was read from, for messages

  // [server]
  std::vector<std::string> listen{"127.0.0.1:1119"};
  std::string hostname;  // default: the machine's name
  std::string backend;   // default: zandrel beside this program
  std::size_t max_connections = 64;
  std::chrono::seconds idle_timeout{600};
  std::chrono::seconds backend_timeout{60};
  std::size_t max_article_size = 1 << 20;
  bool utf8_headers = false;  // raw UTF-8 header fields instead of RFC 2047 words
  std::size_t overview_cache = 100000;  // converted overview lines kept, all groups together
  std::string log;            // log file; empty: standard error

  // [fidonet]
  std::string address;
  std::string origin;
  std::string tearline = "zandrel-nntpd";

  std::vector<AreaConfig> areas;

  // The area serving `group`, or null.
  const AreaConfig* find(std::string_view group) const;
  bool anyPosting() const;
  const std::string& originAddress(const AreaConfig& a) const {
    return a.address.empty() ? address : a.address;
  }
  const std::string& originText(const AreaConfig& a) const {
    return a.origin.empty() ? origin : a.origin;
  }
};

// A configuration that cannot be used; what() names the file, the line and
// the key.
struct ConfigError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Reads and checks the file. `selfPath` is this program's own path, for the
// default back end.
Config loadConfig(const std::string& path, const std::string& selfPath);

// A FidoNet address "zone:net/node[.point]", all parts present, written the
// way the back end writes it into MSGIDs (no leading zeros, no ".0"); nothing
// when `text` is not one.
std::optional<std::string> canonicalFtnAddress(std::string_view text);

// A newsgroup name a reader can ask for: printable ASCII without blanks or
// the characters wildmats give a meaning.
bool validGroupName(std::string_view name);

}  // namespace nntpd

#endif
