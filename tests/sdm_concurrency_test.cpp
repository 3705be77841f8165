// Several processes posting into one *.MSG area at once, as a tosser and
// gateways do: every message must survive under a number of its own.
#include <cstdio>
#include <cstring>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "child.h"
#include "msgapi.h"
#include "sdm_testutil.h"
#include "testutil.h"

namespace {

constexpr int kWriters = 4;
constexpr int kPosts = 200;

std::string Text(int writer, int post) {
  // Long enough that a second writer truncating the file would show.
  return "writer " + std::to_string(writer) + " post " + std::to_string(post) + "\r" +
         std::string(300, char('a' + writer)) + "\r";
}

// Runs in the child: posts kPosts messages, opening the area each time as
// the gateway does. Arguments: the directory, the writer's number.
int Writer(const std::vector<std::string>& args) {
  const std::string& dir = args.at(0);
  const int w = std::stoi(args.at(1));
  zt::ChildAwaitRelease();  // all start together
  _minf m{};
  m.def_zone = 2;
  MsgOpenApi(&m);
  for (int i = 0; i < kPosts; ++i) {
    HAREA ha = MsgOpenArea(dir.c_str(), AOPEN_CREATE_IF_MISSING, AT_SDM | AT_ECHO);
    if (!ha) return 10;
    HMSG msg = ha->api->OpenMsg(ha, MO_CREATE, 0);
    if (!msg) return 11;
    XMSG x{};
    std::snprintf(reinterpret_cast<char*>(x.from), sizeof x.from, "writer %d", w);
    std::snprintf(reinterpret_cast<char*>(x.subj), sizeof x.subj, "post %d", i);
    std::string text = Text(w, i);
    if (ha->api->WriteMsg(msg, 0, &x, reinterpret_cast<const byte*>(text.data()),
                          dword(text.size()), dword(text.size()), 0, nullptr) != 0)
      return 12;
    if (ha->api->CloseMsg(msg) != 0 || ha->api->CloseArea(ha) != 0) return 13;
  }
  return 0;
}

const zt::ChildFunction sdm_writer("sdm-writer", Writer);

TEST(SdmConcurrency, ForkedWritersKeepEveryMessage) {
  zt::TempDir tmp;
  const std::string dir = tmp / "echo";
  std::vector<std::vector<std::string>> args;
  for (int w = 0; w < kWriters; ++w) args.push_back({dir, std::to_string(w)});
  EXPECT_EQ(zt::RunTogether("sdm-writer", args), std::vector<int>(kWriters, 0));

  std::vector<std::string> names = zt::ListDir(dir);
  EXPECT_EQ(names.size(), std::size_t(kWriters * kPosts));
  EXPECT_FALSE(zt::Exists(dir + "/1.msg"));  // reserved for the high-water mark
  std::set<std::pair<int, int>> seen;
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    std::string b = zt::ReadFile(dir + "/" + name);
    ASSERT_GE(b.size(), OMSG_SIZE);
    int w = -1, i = -1;
    ASSERT_EQ(std::sscanf(b.c_str(), "writer %d", &w), 1);
    ASSERT_EQ(std::sscanf(b.c_str() + 72, "post %d", &i), 1);
    EXPECT_EQ(b.substr(OMSG_SIZE), Text(w, i) + std::string(1, '\0'));
    EXPECT_TRUE(seen.insert({w, i}).second) << "stored twice";
  }
  EXPECT_EQ(seen.size(), std::size_t(kWriters * kPosts));
}

}  // namespace
