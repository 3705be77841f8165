// A JAM echo area written by a third-party tosser, read message by message
// and compared with what was sent to it (tests/data/foreign/README.md says
// what the tosser changed on the way in).
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sstream>
#include <variant>

#include "jam_check.h"
#include "jamtest.h"
#include "testutil.h"

namespace {

// Just enough JSON for the expectation files: objects, arrays, strings,
// numbers, null. Strings come back as bytes: each code point is one byte,
// since the files hold raw bytes read as Latin-1.
struct Json;
using JsonObject = std::map<std::string, Json>;
using JsonArray = std::vector<Json>;
struct Json {
  std::variant<std::nullptr_t, double, std::string, JsonArray, JsonObject> v;
  const std::string& str() const { return std::get<std::string>(v); }
  const JsonArray& arr() const { return std::get<JsonArray>(v); }
  const Json& operator[](const std::string& k) const { return std::get<JsonObject>(v).at(k); }
  bool is_null() const { return std::holds_alternative<std::nullptr_t>(v); }
};

class JsonParser {
 public:
  explicit JsonParser(const std::string& s) : s_(s) {}
  Json Parse() {
    Skip();
    const char c = s_.at(p_);
    if (c == '{') return Object();
    if (c == '[') return Array();
    if (c == '"') return Json{String()};
    if (s_.compare(p_, 4, "null") == 0) {
      p_ += 4;
      return Json{nullptr};
    }
    std::size_t used = 0;
    const double d = std::stod(s_.substr(p_), &used);
    p_ += used;
    return Json{d};
  }

 private:
  void Skip() {
    while (p_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[p_]))) ++p_;
  }
  Json Object() {
    JsonObject o;
    ++p_;
    for (Skip(); s_.at(p_) != '}'; Skip()) {
      std::string k = String();
      Skip();
      ++p_;  // ':'
      o[k] = Parse();
      Skip();
      if (s_.at(p_) == ',') ++p_;
    }
    ++p_;
    return Json{std::move(o)};
  }
  Json Array() {
    JsonArray a;
    ++p_;
    for (Skip(); s_.at(p_) != ']'; Skip()) {
      a.push_back(Parse());
      Skip();
      if (s_.at(p_) == ',') ++p_;
    }
    ++p_;
    return Json{std::move(a)};
  }
  unsigned Utf8() {
    const unsigned char c = static_cast<unsigned char>(s_.at(p_++));
    if (c < 0x80) return c;
    const int more = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : 1;
    unsigned cp = c & (0x3F >> more);
    for (int i = 0; i < more; ++i) cp = cp << 6 | (static_cast<unsigned char>(s_.at(p_++)) & 0x3F);
    return cp;
  }
  std::string String() {
    std::string out;
    ++p_;
    while (s_.at(p_) != '"') {
      unsigned cp;
      if (s_[p_] == '\\') {
        const char e = s_.at(p_ + 1);
        p_ += 2;
        switch (e) {
          case 'n': cp = '\n'; break;
          case 'r': cp = '\r'; break;
          case 't': cp = '\t'; break;
          case 'b': cp = '\b'; break;
          case 'f': cp = '\f'; break;
          case 'u': cp = unsigned(std::stoul(s_.substr(p_, 4), nullptr, 16)); p_ += 4; break;
          default: cp = static_cast<unsigned char>(e); break;
        }
      } else {
        cp = Utf8();
      }
      out.push_back(char(cp));  // every code point in these files is below 256
    }
    ++p_;
    return out;
  }
  const std::string& s_;
  std::size_t p_ = 0;
};

std::vector<std::string> Split(const std::string& s, char sep) {
  std::vector<std::string> out;
  std::string cur;
  for (char c : s) {
    if (c == sep) {
      out.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  out.push_back(cur);
  return out;
}

// The nodes a set of SEEN-BY lines names, with 2D shorthand expanded.
std::set<std::string> SeenByNodes(const std::vector<std::string>& lines) {
  std::set<std::string> nodes;
  for (const std::string& line : lines) {
    std::istringstream in(line.substr(9));  // after "SEEN-BY: "
    std::string tok, net;
    while (in >> tok) {
      const std::size_t slash = tok.find('/');
      if (slash != std::string::npos) {
        net = tok.substr(0, slash);
        tok = tok.substr(slash + 1);
      }
      nodes.insert(net + "/" + tok);
    }
  }
  return nodes;
}

TEST(JamForeign, EchoAreaReadsAsSent) {
  zt::TempDir dir;
  zt::CopyDir(zt::ForeignFixtures() + "/jam", dir.path());
  const std::string base = dir / "jamtest";
  zt::JamCheckOptions opt;
  opt.check_active_count = false;  // the tosser left a stale count
  EXPECT_EQ(zt::CheckJamBase(base, opt), std::vector<std::string>{});

  std::vector<Json> expected;
  std::istringstream lines(zt::ReadFile(zt::ForeignFixtures() + "/expected_echo.jsonl"));
  for (std::string line; std::getline(lines, line);)
    if (!line.empty()) expected.push_back(JsonParser(line).Parse());
  ASSERT_EQ(expected.size(), 40u);

  HAREA ha = zt::OpenJam(base, AOPEN_EXISTING, zt::JAM_ECHO_AREA);
  ASSERT_NE(ha, nullptr);
  ASSERT_EQ(ha->num_msg, 40u);
  for (dword n = 1; n <= 40; ++n) {
    const Json& e = expected[n - 1];
    SCOPED_TRACE("message " + std::to_string(n));
    zt::JamRead r;
    ASSERT_TRUE(zt::ReadJam(ha, n, &r));
    EXPECT_EQ(reinterpret_cast<char*>(r.x.from), e["from"].str());
    EXPECT_EQ(reinterpret_cast<char*>(r.x.to), e["to"].str());
    EXPECT_EQ(reinterpret_cast<char*>(r.x.subj), e["subj"].str());
    // A stamp keeps seconds in steps of two.
    std::string date = e["date"].str();
    date.back() = char('0' + (date.back() - '0') / 2 * 2);
    EXPECT_EQ(reinterpret_cast<char*>(r.x.__ftsc_date), date);
    char addr[40];
    std::snprintf(addr, sizeof addr, r.x.orig.point ? "%u:%u/%u.%u" : "%u:%u/%u", r.x.orig.zone,
                  r.x.orig.net, r.x.orig.node, r.x.orig.point);
    EXPECT_EQ(addr, e["frm_addr"].str());

    // Kludges, in the order the tosser stored them.
    std::vector<std::string> kludges;
    for (const Json& k : e["kludges"].arr()) kludges.push_back(k.str());
    ASSERT_FALSE(r.ctrl.empty());
    EXPECT_EQ(r.ctrl[0], '\x01');
    std::vector<std::string> got = Split(r.ctrl.substr(1), '\x01');
    EXPECT_EQ(got, kludges);

    // Body, then the trailer the subfields give back.
    const std::string& body = e["body"].str();
    ASSERT_GE(r.text.size(), body.size());
    EXPECT_EQ(r.text.substr(0, body.size()), body);
    std::vector<std::string> seenby, trailer = Split(r.text.substr(body.size()), '\r');
    ASSERT_EQ(trailer.back(), "");  // every trailer line ends with CR
    trailer.pop_back();
    ASSERT_GE(trailer.size(), 2u);
    for (std::size_t i = 0; i + 1 < trailer.size(); ++i) {
      ASSERT_EQ(trailer[i].rfind("SEEN-BY: ", 0), 0u) << trailer[i];
      seenby.push_back(trailer[i]);
    }
    std::vector<std::string> sent;
    for (const Json& s : e["seenby"].arr()) sent.push_back(s.str());
    std::set<std::string> want = SeenByNodes(sent);
    want.insert("5020/52");  // the tosser's own entry
    EXPECT_EQ(SeenByNodes(seenby), want);
    EXPECT_EQ(trailer.back(), "\x01" + e["path"].arr()[0].str() + " 52");
  }
  EXPECT_EQ(ha->api->CloseArea(ha), 0);
  // Closing stores the count this area really has.
  EXPECT_EQ(zt::CheckJamBase(base), std::vector<std::string>{});
}

}  // namespace
