// New *.MSG messages appear whole under a number nobody else holds: written
// into a temporary file first, published without replacing, and nothing
// published when a write fails.
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base_check.h"
#include "child.h"
#include "sdm_testutil.h"
#include "testutil.h"

namespace {

using sdmt::SdmTest;
using sdmt::WriteMsgFile;
using Names = std::vector<std::string>;

class SdmPublish : public SdmTest {
 protected:
  static sword Write(HAREA ha, HMSG m, const std::string& text) {
    XMSG x{};
    std::strcpy(reinterpret_cast<char*>(x.from), "Gateway");
    return ha->api->WriteMsg(m, 0, &x, reinterpret_cast<const byte*>(text.data()),
                             dword(text.size()), dword(text.size()), 0, nullptr);
  }
  // Posts one message through the API; its number, or 0.
  dword Post(const std::string& text) {
    HAREA ha = Open(true);
    if (!ha) return 0;
    HMSG m = ha->api->OpenMsg(ha, MO_CREATE, 0);
    dword n = m && Write(ha, m, text) == 0 ? ha->high_msg : 0;
    if (m) ha->api->CloseMsg(m);
    ha->api->CloseArea(ha);
    return n;
  }
};

TEST_F(SdmPublish, AnotherProgramsMessageAtOurNumberStaysWhole) {
  // A tosser scanned before us and creates its files with truncation: it
  // takes 4.msg while we write, and has just created 5.msg empty.
  WriteMsgFile(area_, 2, "two\r");
  WriteMsgFile(area_, 3, "three\r");
  HAREA ha = Open(true);
  ASSERT_NE(ha, nullptr);
  HMSG m = ha->api->OpenMsg(ha, MO_CREATE, 0);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(ha->cur_msg, 4u);

  // Our message is written aside, under a name that no mail program, on any
  // host, takes for a message.
  Names during = zt::ListDir(area_);
  ASSERT_EQ(during.size(), 3u);
  std::string temp = during.back();
  for (char& c : temp) c = char(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_NE(temp.substr(temp.size() - 4), ".msg") << temp;

  const std::string tossed = sdmt::Bytes(sdmt::Header("Tosser")) + "tossed\r" + '\0';
  zt::WriteFile(Path(4), tossed);
  zt::WriteFile(Path(5), "");
  ASSERT_EQ(Write(ha, m, std::string(3000, 'g')), 0);
  EXPECT_EQ(ha->cur_msg, 6u);
  EXPECT_EQ(ha->high_msg, 6u);
  EXPECT_EQ(ha->api->CloseMsg(m), 0);
  Close(ha);

  EXPECT_EQ(zt::ReadFile(Path(4)), tossed);
  EXPECT_EQ(zt::FileSize(Path(5)), 0);
  EXPECT_EQ(zt::FileSize(Path(6)), std::int64_t(OMSG_SIZE + 3001));
  EXPECT_EQ(zt::ListDir(area_), Names({"2.msg", "3.msg", "4.msg", "5.msg", "6.msg"}));
}

TEST_F(SdmPublish, TemporaryFilesNeverStay) {
  namespace fs = std::filesystem;
  // Left by killed writers, two hours ago and just now; and files of others.
  const auto two_hours_ago = fs::file_time_type::clock::now() - std::chrono::hours(2);
  for (const char* name : {"zandrel-7-0.tmp", "zandrel-7-1.tmp", "zandrel-x.tmp", "notes.tmp"}) {
    zt::WriteFile(area_ + "/" + name, "partial");
    if (std::strcmp(name, "zandrel-7-1.tmp") != 0) fs::last_write_time(area_ + "/" + name, two_hours_ago);
  }
  const Names others({"notes.tmp", "zandrel-7-1.tmp", "zandrel-x.tmp"});

  // Reading leaves the old temporary file alone.
  HAREA ha = Open(true);
  ASSERT_NE(ha, nullptr);
  Close(ha);
  EXPECT_TRUE(zt::Exists(area_ + "/zandrel-7-0.tmp"));

  // The next new message removes it; a handle that creates and writes
  // nothing leaves nothing of its own.
  ha = Open(true);
  ASSERT_NE(ha, nullptr);
  HMSG m = ha->api->OpenMsg(ha, MO_CREATE, 0);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(ha->api->CloseMsg(m), 0);
  Close(ha);
  EXPECT_EQ(zt::ListDir(area_), others);

  EXPECT_EQ(Post("posted\r"), 2u);
  Names left = others;
  left.insert(left.begin(), "2.msg");
  EXPECT_EQ(zt::ListDir(area_), left);
}

TEST_F(SdmPublish, FailedWritesPublishNothing) {
  if (const char* why = zt::Lacks(zt::Facility::kFileSizeLimit)) GTEST_SKIP() << why;
  ASSERT_EQ(Post("two\r"), 2u);
  ASSERT_EQ(Post("three\r"), 3u);
  HAREA ha = Open(true);
  ASSERT_NE(ha, nullptr);
  ha->api->SetHighWater(ha, 2);
  Close(ha);
  std::vector<std::string> before;
  for (unsigned n : {1, 2, 3}) before.push_back(zt::ReadFile(Path(n)));

  // 300 bytes hold a short message, not a long one nor the 367 bytes of the
  // high-water-mark message.
  int step = zt::RunWithFileSizeLimit(300, [&](std::string&) {
    HAREA a = Open(true);
    if (!a) return 1;
    HMSG m = a->api->OpenMsg(a, MO_CREATE, 0);
    if (!m || Write(a, m, std::string(500, 'x')) != -1 || msgapierr != APIERR_SHORT_WRITE)
      return 2;
    if (Write(a, m, "retry\r") != -1 || msgapierr != APIERR_FILE_IO) return 3;  // spent
    a->api->CloseMsg(m);
    m = a->api->OpenMsg(a, MO_CREATE, 0);
    if (!m || Write(a, m, "short\r") != 0 || a->cur_msg != 4) return 4;
    a->api->CloseMsg(m);
    a->api->SetHighWater(a, 4);
    if (a->api->CloseArea(a) != -1 || msgapierr != APIERR_FILE_IO) return 5;
    return 0;
  }).status;
  EXPECT_EQ(step, 0) << "the first expectation that failed in the child";

  EXPECT_EQ(zt::ListDir(area_), Names({"1.msg", "2.msg", "3.msg", "4.msg"}));
  for (unsigned n : {1, 2, 3}) EXPECT_EQ(zt::ReadFile(Path(n)), before[n - 1]) << n;
  zt::BaseCheck c = zt::CheckSdmAreaDetailed(area_, true);
  EXPECT_TRUE(c.damage.empty() && c.leftovers.empty());
  EXPECT_EQ(Post("five\r"), 5u);
}

}  // namespace
