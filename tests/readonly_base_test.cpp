// A base that belongs to another user and that we may read but not write:
// it lists and reads as usual, and everything that would write fails with
// APIERR_FILE_IO without changing a byte.
#include <gtest/gtest.h>

#include <string>

#include "basekind.h"
#include "child.h"
#include "gwfixture.h"
#include "squish_util.h"
#include "testutil.h"

namespace {

using zt::BaseKind;

class ReadOnlyBase : public ::testing::TestWithParam<BaseKind> {
 protected:
  void SetUp() override {
    if (const char* why = zt::Lacks(zt::Facility::kOtherUsers)) GTEST_SKIP() << why;
    _minf minf{0, 2, 1};
    MsgOpenApi(&minf);
    HAREA ha = MsgOpenArea(base_.c_str(), AOPEN_CREATE_IF_MISSING, GetParam().type);
    ASSERT_NE(ha, nullptr);
    ASSERT_EQ(zt::PostMsg(ha, "text one\r"), 0);
    ASSERT_EQ(zt::PostMsg(ha, "text two\r"), 0);
    ASSERT_EQ(ha->api->CloseArea(ha), 0);
    zt::OpenToAll(dir_.path());  // world-readable, writable by its owner only
  }

  zt::TempDir dir_;
  std::string base_ = dir_ / "area";
};

TEST_P(ReadOnlyBase, GatewayListsAndReadsButStoresNothing) {
  const auto before = zt::Snapshot(dir_.path());
  const std::string spec = GetParam().prefix + base_;
  const std::string stat = "STAT " + spec + " fido.test\n";
  zt::RunResult r = zt::RunZandrelUnprivileged(
      stat + "HEAD " + spec + " x1 2\nRETR " + spec + " 2\n" +
      zt::PostInput(spec, "2:5020/52", "2:5020/1", "", "Ivan", "All", "Hi", "posted\n") + stat);
  EXPECT_EQ(r.status, 0);
  const std::string active = "fido.test 2 1 y\r\n";
  EXPECT_EQ(r.out.compare(0, active.size(), active), 0) << r.out;
  EXPECT_EQ(r.out.substr(r.out.size() - active.size()), active) << r.out;
  EXPECT_NE(r.out.find("\r\n2\t"), std::string::npos) << r.out;  // the second overview line
  EXPECT_NE(r.out.find("text two\r\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.err, "zandrel: POST " + spec + ": not writable: permission denied\r\n");
  EXPECT_EQ(zt::Snapshot(dir_.path()), before);
}

TEST_P(ReadOnlyBase, WritesFailWithTheApiError) {
  const auto before = zt::Snapshot(dir_.path());
  const word type = GetParam().type;
  zt::ChildResult c = zt::RunUnprivileged([&](std::string& out) {
    auto check = [&](bool ok, const char* what) {
      if (!ok) out += std::string(what) + " (error " + std::to_string(msgapierr) + ")\n";
    };
    auto refused = [&](int result, const char* what) {
      check(result == -1 && msgapierr == APIERR_FILE_IO, what);
      msgapierr = APIERR_OK;
    };
    HAREA ha = MsgOpenArea(base_.c_str(), AOPEN_EXISTING, type);
    if (!ha) return out = "open failed", 1;
    check(ha->num_msg == 2 && zt::ReadMsgAll(ha, 2).text == "text two\r", "reading");
    refused(zt::PostMsg(ha, "new\r"), "new message");
    refused(zt::PostMsg(ha, "again\r", "", "All", 1), "replacement");
    HMSG m = ha->api->OpenMsg(ha, MO_READWRITE, 1);
    XMSG x = zt::SquishXmsg("Someone else");
    refused(m ? ha->api->WriteMsg(m, 0, &x, nullptr, 0, 0, 0, nullptr) : 0, "rewrite");
    if (m) ha->api->CloseMsg(m);
    refused(ha->api->KillMsg(ha, 1), "kill");
    refused(ha->api->SetHighWater(ha, 1), "high-water mark");
    check(ha->api->Lock(ha) == 0 && ha->api->Unlock(ha) == 0, "lock for reading");
    check(ha->api->CloseArea(ha) == 0, "close after reading");
    // POST opens this way; an area that exists is not made anew.
    ha = MsgOpenArea(base_.c_str(), AOPEN_CREATE_IF_MISSING, type);
    check(ha && ha->num_msg == 2, "open to post");
    if (ha) check(ha->api->CloseArea(ha) == 0, "close after opening to post");
    check(MsgOpenArea(base_.c_str(), AOPEN_CREATE, type) == nullptr, "open to empty");
    return 0;
  });
  EXPECT_EQ(c.status, 0);
  EXPECT_EQ(c.out, "");
  EXPECT_EQ(zt::Snapshot(dir_.path()), before);
}

INSTANTIATE_TEST_SUITE_P(Formats, ReadOnlyBase, ::testing::Values(zt::kSquishKind, zt::kJamKind),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
