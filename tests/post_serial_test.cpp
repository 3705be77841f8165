// MSGID serials of posts: several gateway processes posting from one
// address at the same moment never hand out the same MSGID.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "gwfixture.h"
#include "squish_util.h"
#include "testutil.h"

namespace {

struct Format {
  const char* name;
  const char* prefix;
  word type;
};

void PrintTo(const Format& f, std::ostream* os) { *os << f.name; }

class PostSerial : public ::testing::TestWithParam<Format> {
 protected:
  void SetUp() override {
    _minf m{};
    m.def_zone = 2;
    MsgOpenApi(&m);
  }
  zt::TempDir dir_;
};

TEST_P(PostSerial, ConcurrentPostsFromOneAddressGetDistinctSerials) {
  constexpr int kProcs = 4, kPosts = 50;
  const Format f = GetParam();
  const std::string path = dir_ / "area", spec = f.prefix + path;
  const std::time_t start = std::time(nullptr);
  {
    std::vector<std::unique_ptr<zt::Zandrel>> procs;
    for (int p = 0; p < kProcs; ++p) procs.push_back(std::make_unique<zt::Zandrel>());
    for (int i = 0; i < kPosts; ++i)
      for (int p = 0; p < kProcs; ++p)
        procs[p]->Send(zt::PostInput(spec, "2:5020/52.1", "2:5020/1", "", "Ann", "All",
                                     std::to_string(p), std::to_string(i) + "\n"));
    for (auto& z : procs) EXPECT_EQ(z->Finish(), 0);
  }

  HAREA ha = MsgOpenArea(path.c_str(), AOPEN_EXISTING, word(f.type | AT_ECHO));
  ASSERT_NE(ha, nullptr);
  std::set<std::string> ids;
  int stored = 0;
  for (dword n = 1; n <= ha->high_msg; ++n) {
    zt::ReadBack m = zt::ReadMsgAll(ha, n);
    if (!m.ok) continue;
    ++stored;
    SCOPED_TRACE(m.ctrl);
    const std::string head = "\x01PID: zandrel-1.2\x01MSGID: 2:5020/52.1 ";
    ASSERT_EQ(m.ctrl.size(), head.size() + 8);
    ASSERT_EQ(m.ctrl.substr(0, head.size()), head);
    const std::string serial = m.ctrl.substr(head.size());
    EXPECT_EQ(serial.find_first_not_of("0123456789abcdef"), std::string::npos);
    ids.insert(serial);
    // At or above the posting time, which the stamp holds to two seconds.
    const std::time_t t = std::time_t(std::strtoul(serial.c_str(), nullptr, 16));
    EXPECT_GE(t, start);
    const auto& d = m.hdr.date_written.msg_st;
    std::tm lt{};
    lt.tm_year = d.date.yr + 80;
    lt.tm_mon = d.date.mo - 1;
    lt.tm_mday = d.date.da;
    lt.tm_hour = d.time.hh;
    lt.tm_min = d.time.mm;
    lt.tm_sec = d.time.ss * 2;
    lt.tm_isdst = -1;
    EXPECT_GE(t, std::mktime(&lt));
  }
  EXPECT_EQ(ha->api->CloseArea(ha), 0);
  EXPECT_EQ(stored, kProcs * kPosts);
  EXPECT_EQ(ids.size(), std::size_t(kProcs * kPosts));
}

INSTANTIATE_TEST_SUITE_P(Formats, PostSerial,
                         ::testing::Values(Format{"Squish", "$", AT_SQUISH},
                                           Format{"Jam", "#", AT_JAM},
                                           Format{"Sdm", "@", AT_SDM}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
