#include "config.h"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <climits>
#include <set>

#define TOML_HEADER_ONLY 1
#include <toml++/toml.h>

#include "listen_address.h"

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
             {"listen", "hostname", "backend", "max_connections", "idle_timeout",
              "backend_timeout", "max_article_size", "utf8_headers", "overview_cache", "log"});
  if (const toml::node* n = t.get("listen")) {
    const toml::array* a = n->as_array();
    if (!a || a->empty()) r.fail(n->source(), p + "listen", "expected a list of \"address:port\"");
    c.listen.clear();
    for (const toml::node& e : *a) {
      if (!e.is_string()) r.fail(e.source(), p + "listen", "expected \"address:port\" strings");
      std::string s = e.as_string()->get();
      if (!parseListenAddress(s))
        r.fail(e.source(), p + "listen",
               "\"" + s + "\" is not an IP address and port (\"127.0.0.1:119\", \"[::1]:119\")");
      c.listen.push_back(std::move(s));
    }
  }
  r.str(t, p, "hostname", c.hostname);
  if (t.get("hostname") && (c.hostname.empty() ||
                            c.hostname.find_first_of(" \t\r\n") != std::string::npos))
    r.fail(r.where(t, "hostname"), p + "hostname", "must be one word");
  r.str(t, p, "backend", c.backend);
  if (t.get("backend") && c.backend.empty()) r.fail(r.where(t, "backend"), p + "backend", "empty");
  r.number(t, p, "max_connections", c.max_connections, 1, 100000);
  long long secs = c.idle_timeout.count();
  r.number(t, p, "idle_timeout", secs, 1, 86400);
  c.idle_timeout = std::chrono::seconds(secs);
  secs = c.backend_timeout.count();
  r.number(t, p, "backend_timeout", secs, 1, 3600);
  c.backend_timeout = std::chrono::seconds(secs);
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
  r.onlyKeys(t, p, {"group", "spec", "description", "post", "address", "origin"});
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
  r.boolean(t, p, "post", a.post);
  r.address(t, p, "address", a.address);
  r.str(t, p, "origin", a.origin);
  if (a.post && c.originAddress(a).empty())
    r.fail(r.where(t, "post"), p + "post",
           "posting needs an origin address: set fidonet.address or this area's address");
  return a;
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

bool Config::anyPosting() const {
  return std::any_of(areas.begin(), areas.end(), [](const AreaConfig& a) { return a.post; });
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
  r.onlyKeys(root, "", {"server", "fidonet", "area"});
  if (const toml::table* t = r.table(root, "server")) readServer(r, *t, c);
  if (const toml::table* t = r.table(root, "fidonet")) readFidonet(r, *t, c);

  const toml::node* areas = root.get("area");
  const toml::array* list = areas ? areas->as_array() : nullptr;
  if (!list || list->empty())
    throw ConfigError(path + ": area: no [[area]] tables: there is nothing to serve");
  std::set<std::string> groups;
  for (std::size_t i = 0; i < list->size(); ++i) {
    const toml::node& n = *list->get(i);
    if (!n.is_table()) r.fail(n.source(), "area", "expected [[area]] tables");
    AreaConfig a = readArea(r, *n.as_table(), i, c);
    if (!groups.insert(a.group).second)
      r.fail(r.where(*n.as_table(), "group"), "area[" + std::to_string(i) + "].group",
             "\"" + a.group + "\" is named twice");
    c.areas.push_back(std::move(a));
  }
  if (c.hostname.empty()) c.hostname = machineName();
  if (c.backend.empty()) c.backend = besideSelf(selfPath);
  if (c.origin.empty()) c.origin = c.hostname;
  return c;
}

}  // namespace nntpd
