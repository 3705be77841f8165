// Several gateway processes posting into one area at once, the way several
// readers behind front ends post into one echo: each post is stored once,
// whole, and the base stays sound. The area does not exist before the first
// posts, which all race to create it. The posts arrive with CR LF line ends
// and are read back through the gateway, so the line-end translation of the
// standard streams is part of what is checked.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base_check.h"
#include "gwfixture.h"
#include "testutil.h"

namespace {

constexpr int kGateways = 4;
constexpr int kPostsEach = 50;

struct Format {
  const char* name;
  char prefix;
  zt::BaseCheck (*check)(const std::string& path);
};

void PrintTo(const Format& f, std::ostream* os) { *os << f.name; }

class GatewayConcurrency : public ::testing::TestWithParam<Format> {};

std::string Body(int g, int i) { return "gateway " + std::to_string(g) + " post " + std::to_string(i); }

TEST_P(GatewayConcurrency, FourGatewaysPostingFiftyEachLoseNothing) {
  const Format f = GetParam();
  zt::TempDir tmp;
  const std::string path = tmp / "area";
  const std::string spec = f.prefix + path;

  std::vector<std::unique_ptr<zt::Zandrel>> gateways;
  for (int g = 0; g < kGateways; ++g) gateways.push_back(std::make_unique<zt::Zandrel>());
  for (int g = 0; g < kGateways; ++g) {
    std::string input;
    for (int i = 0; i < kPostsEach; ++i)
      input += zt::PostInput(spec, "2:5020/52", "2:5020/1", "", "Gateway " + std::to_string(g),
                             "All", "Subject", Body(g, i) + "\r\nsecond line\r\n");
    gateways[g]->Send(input);
  }
  for (auto& gw : gateways) EXPECT_EQ(gw->Finish(), 0);

  const zt::BaseCheck check = f.check(path);
  EXPECT_EQ(check.damage, std::vector<std::string>{});
  EXPECT_EQ(check.leftovers, std::vector<std::string>{});

  // Every post once, read back through the gateway.
  zt::Zandrel reader;
  std::map<std::string, int> seen;
  for (int n = 1; n <= kGateways * kPostsEach + 1; ++n) {
    reader.Send("RETR " + spec + " " + std::to_string(n) + "\r\n");
    const std::string article = reader.ReadReply();
    const std::size_t body = article.find("\r\n\r\n");
    if (article.empty()) continue;  // the high-water mark of a *.MSG echo
    ASSERT_NE(body, std::string::npos) << article;
    // The body's first line names the post; the second came through too.
    const std::size_t eol = article.find("\r\n", body + 4);
    ASSERT_EQ(article.compare(eol, 15, "\r\nsecond line\r\n"), 0) << article;
    ++seen[article.substr(body + 4, eol - body - 4)];
  }
  EXPECT_EQ(reader.Finish(), 0);
  for (int g = 0; g < kGateways; ++g)
    for (int i = 0; i < kPostsEach; ++i) {
      SCOPED_TRACE(Body(g, i));
      EXPECT_EQ(seen[Body(g, i)], 1);
    }
  EXPECT_EQ(seen.size(), std::size_t(kGateways * kPostsEach));
}

INSTANTIATE_TEST_SUITE_P(
    Formats, GatewayConcurrency,
    ::testing::Values(Format{"Squish", '$', zt::CheckSquishBaseDetailed},
                      Format{"Jam", '#', zt::CheckJamBaseDetailed},
                      Format{"Sdm", '@',
                             [](const std::string& dir) { return zt::CheckSdmAreaDetailed(dir, true); }}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
