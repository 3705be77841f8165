#include "config.h"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <climits>
#include <set>

#define TOML_HEADER_ONLY 1
#include <toml++/toml.h>

#include "auth.h"
#include "listen_address.h"
#include "text/charset.h"

namespace nntpd {
namespace {

// A bounded area spec leaves room in the back end's 8191-character command
// lines for the numbers that follow it.
constexpr std::size_t MAX_SPEC = 1024;

class Reader {
 public:
  explicit Reader(std::string file) : file_(std::move(file)) {}

  [[noreturn]] void fail(const toml::source_region& where, const std::string& key,
                         const std::string& what) const {
    throw ConfigError(file_ + ":" + std::to_string(where.begin.line) + ": " + key + ": " +
                      what);
  }

  // Rejects keys outside `known`.
  void onlyKeys(const toml::table& t, const std::string& prefix,
                std::initializer_list<std::string_view> known) const {
    for (auto&& [k, v] : t)
      if (std::find(known.begin(), known.end(), k.str()) == known.end())
        fail(k.source(), prefix + std::string(k.str()), "unknown key");
  }

  const toml::table* table(const toml::table& t, std::string_view key) const {
    const toml::node* n = t.get(key);
    if (!n) return nullptr;
    if (!n->is_table()) fail(n->source(), std::string(key), "expected a table ([" +
                                                               std::string(key) + "])");
    return n->as_table();
  }

  void str(const toml::table& t, const std::string& prefix, std::string_view key,
           std::string& out) const {
    const toml::node* n = t.get(key);
    if (!n) return;
    if (!n->is_string()) fail(n->source(), prefix + std::string(key), "expected a string");
    out = n->as_string()->get();
    if (out.find('\0') != std::string::npos)
      fail(n->source(), prefix + std::string(key), "NUL character in value");
  }

  void boolean(const toml::table& t, const std::string& prefix, std::string_view key,
               bool& out) const {
    const toml::node* n = t.get(key);
    if (!n) return;
    if (!n->is_boolean()) fail(n->source(), prefix + std::string(key), "expected true or false");
    out = n->as_boolean()->get();
  }

  template <class T>
  void number(const toml::table& t, const std::string& prefix, std::string_view key, T& out,
              long long lo, long long hi) const {
    const toml::node* n = t.get(key);
    if (!n) return;
    if (!n->is_integer()) fail(n->source(), prefix + std::string(key), "expected an integer");
    long long v = n->as_integer()->get();
    if (v < lo || v > hi)
      fail(n->source(), prefix + std::string(key),
           "must be between " + std::to_string(lo) + " and " + std::to_string(hi));
    out = T(v);
  }

  // Posts are found again by the origin address in their MSGID, so it is
  // kept in the form the back end writes there.
  void address(const toml::table& t, const std::string& prefix, std::string_view key,
               std::string& out) const {
    str(t, prefix, key, out);
    if (!t.get(key)) return;
    auto canonical = canonicalFtnAddress(out);
    if (!canonical)
      fail(where(t, key), prefix + std::string(key), "expected zone:net/node or zone:net/node.point");
    out = *canonical;
  }

  // A list of strings; nothing when the key is not there.
  std::optional<std::vector<std::string>> strings(const toml::table& t, const std::string& prefix,
                                                  std::string_view key) const {
    const toml::node* n = t.get(key);
    if (!n) return std::nullopt;
    const toml::array* a = n->as_array();
    if (!a) fail(n->source(), prefix + std::string(key), "expected a list of strings");
    std::vector<std::string> out;
    for (const toml::node& e : *a) {
      if (!e.is_string()) fail(e.source(), prefix + std::string(key), "expected a list of strings");
      out.push_back(e.as_string()->get());
      if (out.back().find('\0') != std::string::npos)
        fail(e.source(), prefix + std::string(key), "NUL character in value");
    }
    return out;
  }

  void ranges(const toml::table& t, const std::string& prefix, std::string_view key,
              std::vector<Cidr>& out) const {
    auto list = strings(t, prefix, key);
    if (!list) return;
    out.clear();
    for (const std::string& s : *list) {
      auto c = parseCidr(s);
      if (!c)
        fail(where(t, key), prefix + std::string(key),
             "\"" + s + "\" is not an address or range (\"192.0.2.0/24\", \"2001:db8::/32\", \"::1\")");
      out.push_back(*c);
    }
  }

  // "all", "users", "none" (where `none` names it), a list of user names, or
  // for posting also true and false.
  void access(const toml::table& t, const std::string& prefix, std::string_view key, Access& out,
              bool isPost, const Config& c) const {
    const toml::node* n = t.get(key);
    if (!n) return;
    const std::string k = prefix + std::string(key);
    out.names.clear();
    if (isPost && n->is_boolean()) {
      out.who = n->as_boolean()->get() ? Access::Who::All : Access::Who::Nobody;
    } else if (n->is_string()) {
      const std::string v = n->as_string()->get();
      if (v == "all") out.who = Access::Who::All;
      else if (v == "users") out.who = Access::Who::Users;
      else if (v == "none" && isPost) out.who = Access::Who::Nobody;
      else fail(n->source(), k, isPost ? "expected true, false, \"all\", \"users\", \"none\" or a list of user names"
                                       : "expected \"all\", \"users\" or a list of user names");
    } else if (n->is_array()) {
      out.who = Access::Who::Named;
      auto list = strings(t, prefix, key);
      for (std::string& name : *list) {
        if (!c.findUser(name)) fail(n->source(), k, "no [[user]] is named \"" + name + "\"");
        out.names.push_back(std::move(name));
      }
    } else {
      fail(n->source(), k, isPost ? "expected true, false, \"all\", \"users\", \"none\" or a list of user names"
                                  : "expected \"all\", \"users\" or a list of user names");
    }
  }

  void seconds(const toml::table& t, const std::string& prefix, std::string_view key,
               std::chrono::seconds& out, long long lo, long long hi) const {
    long long v = out.count();
    number(t, prefix, key, v, lo, hi);
    out = std::chrono::seconds(v);
  }

  const toml::source_region& where(const toml::table& t, std::string_view key) const {
    const toml::node* n = t.get(key);
    return n ? n->source() : t.source();
  }

 private:
  std::string file_;
};

void readServer(const Reader& r, const toml::table& t, Config& c) {
  const std::string p = "server.";
  r.onlyKeys(t, p,
             {"listen", "tls_listen", "hostname", "backend", "max_connections",
              "max_connections_per_address", "idle_timeout", "command_timeout", "backend_timeout",
              "max_article_size", "utf8_headers", "overview_cache", "log", "plain_login_hosts",
              "login_delay", "login_failures", "login_block"});
  for (auto [key, out] : {std::pair{"listen", &c.listen}, std::pair{"tls_listen", &c.tls_listen}}) {
    auto list = r.strings(t, p, key);
    if (!list) continue;
    for (const std::string& s : *list)
      if (!parseListenAddress(s))
        r.fail(r.where(t, key), p + key,
               "\"" + s + "\" is not an IP address and port (\"127.0.0.1:119\", \"[::1]:119\")");
    *out = std::move(*list);
  }
  if (c.listen.empty() && c.tls_listen.empty())
    r.fail(r.where(t, "listen"), p + "listen", "no address to listen on");
  r.str(t, p, "hostname", c.hostname);
  if (t.get("hostname") && (c.hostname.empty() ||
                            c.hostname.find_first_of(" \t\r\n") != std::string::npos))
    r.fail(r.where(t, "hostname"), p + "hostname", "must be one word");
  r.str(t, p, "backend", c.backend);
  if (t.get("backend") && c.backend.empty()) r.fail(r.where(t, "backend"), p + "backend", "empty");
  r.number(t, p, "max_connections", c.max_connections, 1, 100000);
  r.number(t, p, "max_connections_per_address", c.max_connections_per_address, 1, 100000);
  r.seconds(t, p, "idle_timeout", c.idle_timeout, 1, 86400);
  r.seconds(t, p, "command_timeout", c.command_timeout, 1, 3600);
  r.seconds(t, p, "backend_timeout", c.backend_timeout, 1, 3600);
  r.ranges(t, p, "plain_login_hosts", c.plain_login_hosts);
  r.seconds(t, p, "login_delay", c.login_delay, 0, 60);
  r.number(t, p, "login_failures", c.login_failures, 1, 1000);
  r.seconds(t, p, "login_block", c.login_block, 0, 86400);
  r.number(t, p, "max_article_size", c.max_article_size, 1024, 64LL << 20);
  r.boolean(t, p, "utf8_headers", c.utf8_headers);
  r.number(t, p, "overview_cache", c.overview_cache, 0, 100000000);
  r.str(t, p, "log", c.log);
}

void readFidonet(const Reader& r, const toml::table& t, Config& c) {
  const std::string p = "fidonet.";
  r.onlyKeys(t, p, {"address", "origin", "tearline"});
  r.address(t, p, "address", c.address);
  r.str(t, p, "origin", c.origin);
  r.str(t, p, "tearline", c.tearline);
}

bool validSpec(std::string_view spec) {
  std::string_view path = spec;
  if (!path.empty() && (path[0] == '$' || path[0] == '#' || path[0] == '@')) path.remove_prefix(1);
  if (path.empty() || spec.size() > MAX_SPEC) return false;
  return std::none_of(spec.begin(), spec.end(),
                      [](char ch) { return (unsigned char)ch <= ' ' || ch == 0x7f; });
}

AreaConfig readArea(const Reader& r, const toml::table& t, std::size_t i, const Config& c) {
  const std::string p = "area[" + std::to_string(i) + "].";
  r.onlyKeys(t, p, {"group", "spec", "description", "read", "post", "netmail", "address", "origin"});
  AreaConfig a;
  for (std::string_view key : {"group", "spec"})
    if (!t.get(key)) r.fail(t.source(), p + std::string(key), "missing");
  r.str(t, p, "group", a.group);
  if (!validGroupName(a.group))
    r.fail(r.where(t, "group"), p + "group",
           "\"" + a.group + "\" is not a newsgroup name (letters, digits, \".+-_\"; no blanks)");
  r.str(t, p, "spec", a.spec);
  if (!validSpec(a.spec))
    r.fail(r.where(t, "spec"), p + "spec",
           "expected $path (Squish), #path (JAM), @dir (*.MSG echo) or dir (*.MSG netmail), "
           "without blanks");
  r.str(t, p, "description", a.description);
  if (a.description.find_first_of("\r\n") != std::string::npos)
    r.fail(r.where(t, "description"), p + "description", "must be one line");
  // A server with logins is open to more than trusted readers: posting is
  // for the users unless the area says otherwise.
  if (!c.users.empty()) a.post.who = Access::Who::Users;
  r.access(t, p, "read", a.read, false, c);
  r.access(t, p, "post", a.post, true, c);
  a.netmail = a.spec[0] != '$' && a.spec[0] != '#' && a.spec[0] != '@';
  r.boolean(t, p, "netmail", a.netmail);
  if (a.netmail) {
    // Private mail is for logged-in users only.
    for (Access* x : {&a.read, &a.post})
      if (x->who == Access::Who::All) x->who = Access::Who::Users;
  }
  r.address(t, p, "address", a.address);
  r.str(t, p, "origin", a.origin);
  if (a.post.who != Access::Who::Nobody && c.originAddress(a).empty())
    r.fail(r.where(t, "post"), p + "post",
           "posting needs an origin address: set fidonet.address or this area's address");
  return a;
}

UserConfig readUser(const Reader& r, const toml::table& t, std::size_t i) {
  const std::string p = "user[" + std::to_string(i) + "].";
  r.onlyKeys(t, p, {"name", "password", "realnames", "address"});
  UserConfig u;
  for (std::string_view key : {"name", "password"})
    if (!t.get(key)) r.fail(t.source(), p + std::string(key), "missing");
  r.str(t, p, "name", u.name);
  if (u.name.empty() || u.name.size() > 64 ||
      std::any_of(u.name.begin(), u.name.end(), [](char ch) { return (unsigned char)ch <= ' ' || ch == 0x7f; }))
    r.fail(r.where(t, "name"), p + "name", "expected a name of 1 to 64 characters without blanks");
  r.str(t, p, "password", u.password);
  if (std::string why = passwordHashProblem(u.password); !why.empty())
    r.fail(r.where(t, "password"), p + "password", why);
  if (auto names = r.strings(t, p, "realnames")) {
    for (const std::string& n : *names) {
      const std::string cp = utf8ToCp1251(n);
      if (n.empty() || cp.size() > 35 ||
          std::any_of(n.begin(), n.end(), [](char ch) { return (unsigned char)ch < ' ' || ch == 0x7f; }))
        r.fail(r.where(t, "realnames"), p + "realnames",
               "\"" + n + "\": a FidoNet name has 1 to 35 characters, no control characters");
      u.realnames.push_back(n);
    }
  }
  r.address(t, p, "address", u.address);
  return u;
}

void readTls(const Reader& r, const toml::table& t, Config& c) {
  const std::string p = "tls.";
  r.onlyKeys(t, p, {"cert", "key"});
  for (std::string_view key : {"cert", "key"})
    if (!t.get(key)) r.fail(t.source(), p + std::string(key), "missing");
  r.str(t, p, "cert", c.tls_cert);
  r.str(t, p, "key", c.tls_key);
  for (auto [key, v] : {std::pair{"cert", &c.tls_cert}, std::pair{"key", &c.tls_key}})
    if (v->empty()) r.fail(r.where(t, key), p + key, "empty");
}

// The tables of an array of tables `key` ([[key]]), each with its index.
template <class F>
void eachTable(const Reader& r, const toml::table& root, std::string_view key, F&& f) {
  const toml::node* n = root.get(key);
  if (!n) return;
  const toml::array* list = n->as_array();
  if (!list) r.fail(n->source(), std::string(key), "expected [[" + std::string(key) + "]] tables");
  for (std::size_t i = 0; i < list->size(); ++i) {
    const toml::node& e = *list->get(i);
    if (!e.is_table()) r.fail(e.source(), std::string(key), "expected [[" + std::string(key) + "]] tables");
    f(*e.as_table(), i);
  }
}

std::string besideSelf(const std::string& selfPath) {
  auto slash = selfPath.rfind('/');
  return (slash == std::string::npos ? std::string(".") : selfPath.substr(0, slash)) + "/zandrel";
}

std::string machineName() {
  char buf[256] = {};
  if (::gethostname(buf, sizeof buf - 1) != 0 || !buf[0]) return "localhost";
  return buf;
}

}  // namespace

const AreaConfig* Config::find(std::string_view group) const {
  for (const AreaConfig& a : areas)
    if (a.group == group) return &a;
  return nullptr;
}

const UserConfig* Config::findUser(std::string_view name) const {
  for (const UserConfig& u : users)
    if (u.name == name) return &u;
  return nullptr;
}

namespace {
bool inAny(const std::vector<Cidr>& ranges, const IpBytes& peer) {
  return std::any_of(ranges.begin(), ranges.end(), [&](const Cidr& c) { return c.contains(peer); });
}
}  // namespace

bool Config::allowed(const IpBytes& peer) const { return allow.empty() || inAny(allow, peer); }
bool Config::plainLogin(const IpBytes& peer) const { return inAny(plain_login_hosts, peer); }

bool Access::allows(const UserConfig* user) const {
  switch (who) {
    case Who::All: return true;
    case Who::Users: return user != nullptr;
    case Who::Named: return user && std::find(names.begin(), names.end(), user->name) != names.end();
    case Who::Nobody: return false;
  }
  return false;
}

std::optional<std::string> canonicalFtnAddress(std::string_view text) {
  // zone ':' net '/' node [ '.' point ], every part 0..65535
  const char seps[] = {':', '/', '.'};
  unsigned v[4] = {0, 0, 0, 0};
  std::size_t part = 0;
  const char* p = text.data();
  const char* end = p + text.size();
  for (;;) {
    auto [q, ec] = std::from_chars(p, end, v[part]);
    if (ec != std::errc() || v[part] > 65535) return std::nullopt;
    p = q;
    if (p == end) break;
    if (part > 2 || *p != seps[part]) return std::nullopt;
    ++p;
    ++part;
  }
  if (part < 2) return std::nullopt;
  std::string s = std::to_string(v[0]) + ":" + std::to_string(v[1]) + "/" + std::to_string(v[2]);
  if (v[3]) s += "." + std::to_string(v[3]);
  return s;
}

bool validGroupName(std::string_view name) {
  if (name.empty() || name.size() > 256) return false;
  return std::all_of(name.begin(), name.end(), [](char ch) {
    auto c = (unsigned char)ch;
    return c > ' ' && c < 0x7f && std::string_view("*?[]\\!,").find(ch) == std::string_view::npos;
  });
}

Config loadConfig(const std::string& path, const std::string& selfPath) {
  Config c;
  c.file = path;
  toml::table root;
  try {
    root = toml::parse_file(path);
  } catch (const toml::parse_error& e) {
    const auto& b = e.source().begin;
    throw ConfigError(path + ":" + std::to_string(b.line) + ": " + std::string(e.description()));
  }
  Reader r(path);
  r.onlyKeys(root, "", {"server", "fidonet", "tls", "allow", "user", "area"});
  for (const char* range : {"127.0.0.0/8", "::1"}) c.plain_login_hosts.push_back(*parseCidr(range));
  if (const toml::table* t = r.table(root, "server")) readServer(r, *t, c);
  if (const toml::table* t = r.table(root, "fidonet")) readFidonet(r, *t, c);
  if (const toml::table* t = r.table(root, "tls")) readTls(r, *t, c);
  if (!c.tls_listen.empty() && !c.tls())
    r.fail(r.where(*r.table(root, "server"), "tls_listen"), "server.tls_listen",
           "needs a [tls] table with cert and key");
  eachTable(r, root, "allow", [&](const toml::table& t, std::size_t i) {
    const std::string p = "allow[" + std::to_string(i) + "].";
    r.onlyKeys(t, p, {"hosts"});
    std::vector<Cidr> hosts;
    r.ranges(t, p, "hosts", hosts);
    if (hosts.empty()) r.fail(t.source(), p + "hosts", "expected a list of addresses or ranges");
    c.allow.insert(c.allow.end(), hosts.begin(), hosts.end());
  });
  eachTable(r, root, "user", [&](const toml::table& t, std::size_t i) {
    UserConfig u = readUser(r, t, i);
    if (c.findUser(u.name))
      r.fail(r.where(t, "name"), "user[" + std::to_string(i) + "].name",
             "\"" + u.name + "\" is named twice");
    c.users.push_back(std::move(u));
  });

  std::set<std::string> groups;
  eachTable(r, root, "area", [&](const toml::table& t, std::size_t i) {
    AreaConfig a = readArea(r, t, i, c);
    if (!groups.insert(a.group).second)
      r.fail(r.where(t, "group"), "area[" + std::to_string(i) + "].group",
             "\"" + a.group + "\" is named twice");
    c.areas.push_back(std::move(a));
  });
  if (c.areas.empty())
    throw ConfigError(path + ": area: no [[area]] tables: there is nothing to serve");
  if (c.hostname.empty()) c.hostname = machineName();
  if (c.backend.empty()) c.backend = besideSelf(selfPath);
  if (c.origin.empty()) c.origin = c.hostname;
  return c;
}

}  // namespace nntpd
