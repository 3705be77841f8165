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

#include "cidr.h"

namespace nntpd {

struct UserConfig {
  std::string name;                    // the AUTHINFO USER name
  std::string password;                // crypt(3) hash
  std::vector<std::string> realnames;  // UTF-8; the first signs the user's posts
  std::string address;                 // the user's own point: origin of posts; may be empty
};

// Who may read or post in a group.
struct Access {
  enum class Who { All, Users, Named, Nobody };
  Who who = Who::All;
  std::vector<std::string> names;  // Who::Named

  // Whether a client logged in as `user` (null: not logged in) may.
  bool allows(const UserConfig* user) const;
  // Whether some configured login would allow it, when `allows(nullptr)` does not.
  bool loginWouldHelp() const { return who == Who::Users || who == Who::Named; }
};

struct AreaConfig {
  std::string group;        // newsgroup name, unique
  std::string spec;         // the back end's area spec: $squish, #jam, @echo, netmail
  std::string description;  // LIST NEWGROUPS
  Access read;
  Access post;
  // Private netmail: only logged-in users see it, and each only the messages
  // from or to one of their real names.
  bool netmail = false;
  std::string address;  // origin address of posts in this area; the gateway's if empty
  std::string origin;   // text of the Origin line; the gateway's if empty
};

struct Config {
  std::string file;  // where it was read from, for messages

  // [server]
  std::vector<std::string> listen{"127.0.0.1:1119"};
  std::vector<std::string> tls_listen;  // implicit TLS
  std::string hostname;  // default: the machine's name
  std::string backend;   // default: zandrel beside this program
  std::size_t max_connections = 64;
  std::size_t max_connections_per_address = 16;
  std::chrono::seconds idle_timeout{600};
  // To send a whole command line (or article), to take a whole reply, and
  // to finish a TLS handshake.
  std::chrono::seconds command_timeout{60};
  std::chrono::seconds backend_timeout{60};
  std::size_t max_article_size = 1 << 20;
  bool utf8_headers = false;  // raw UTF-8 header fields instead of RFC 2047 words
  std::size_t overview_cache = 100000;  // converted overview lines kept, all groups together
  std::string log;            // log file; empty: standard error
  // Where passwords may be sent without TLS.
  std::vector<Cidr> plain_login_hosts;
  std::chrono::seconds login_delay{3};   // before a failed login is answered
  std::size_t login_failures = 5;        // failures of one address before it is blocked
  std::chrono::seconds login_block{600}; // how long it is then blocked

  // [tls]
  std::string tls_cert, tls_key;  // PEM files; STARTTLS is offered when set

  // [[allow]]: who may connect; everyone when there is no [[allow]].
  std::vector<Cidr> allow;

  std::vector<UserConfig> users;

  // [fidonet]
  std::string address;
  std::string origin;
  std::string tearline = "zandrel-nntpd";

  std::vector<AreaConfig> areas;

  // The area serving `group`, or null.
  const AreaConfig* find(std::string_view group) const;
  const UserConfig* findUser(std::string_view name) const;
  bool tls() const { return !tls_cert.empty(); }
  bool allowed(const IpBytes& peer) const;
  bool plainLogin(const IpBytes& peer) const;
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
