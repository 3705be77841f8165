// A JAM echo area written by a third-party tosser, read message by message
// and compared with what was sent to it (tests/data/foreign/README.md says
// what the tosser changed on the way in).
#include <gtest/gtest.h>

#include <set>
#include <sstream>

#include "jam_check.h"
#include "jamtest.h"
#include "jsonl.h"
#include "testutil.h"

namespace {

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

  const std::vector<zt::JsonObject> expected =
      zt::ReadJsonLines(zt::ForeignFixtures() + "/expected_echo.jsonl");
  ASSERT_EQ(expected.size(), 40u);

  HAREA ha = zt::OpenJam(base, AOPEN_EXISTING, zt::JAM_ECHO_AREA);
  ASSERT_NE(ha, nullptr);
  ASSERT_EQ(ha->num_msg, 40u);
  for (dword n = 1; n <= 40; ++n) {
    const zt::JsonObject& e = expected[n - 1];
    auto str = [&](const char* key) { return e.at(key).str; };
    SCOPED_TRACE("message " + std::to_string(n));
    zt::JamRead r;
    ASSERT_TRUE(zt::ReadJam(ha, n, &r));
    EXPECT_EQ(reinterpret_cast<char*>(r.x.from), str("from"));
    EXPECT_EQ(reinterpret_cast<char*>(r.x.to), str("to"));
    EXPECT_EQ(reinterpret_cast<char*>(r.x.subj), str("subj"));
    // A stamp keeps seconds in steps of two.
    std::string date = str("date");
    date.back() = char('0' + (date.back() - '0') / 2 * 2);
    EXPECT_EQ(reinterpret_cast<char*>(r.x.__ftsc_date), date);
    char addr[40];
    std::snprintf(addr, sizeof addr, r.x.orig.point ? "%u:%u/%u.%u" : "%u:%u/%u", r.x.orig.zone,
                  r.x.orig.net, r.x.orig.node, r.x.orig.point);
    EXPECT_EQ(addr, str("frm_addr"));

    // Kludges, in the order the tosser stored them.
    const std::vector<std::string>& kludges = e.at("kludges").list;
    ASSERT_FALSE(r.ctrl.empty());
    EXPECT_EQ(r.ctrl[0], '\x01');
    std::vector<std::string> got = Split(r.ctrl.substr(1), '\x01');
    EXPECT_EQ(got, kludges);

    // Body, then the trailer the subfields give back.
    const std::string body = str("body");
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
    std::set<std::string> want = SeenByNodes(e.at("seenby").list);
    want.insert("5020/52");  // the tosser's own entry
    EXPECT_EQ(SeenByNodes(seenby), want);
    EXPECT_EQ(trailer.back(), "\x01" + e.at("path").list.at(0) + " 52");
  }
  EXPECT_EQ(ha->api->CloseArea(ha), 0);
  // Closing stores the count this area really has.
  EXPECT_EQ(zt::CheckJamBase(base), std::vector<std::string>{});
}

}  // namespace
