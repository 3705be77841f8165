// Damaged JAM bases: every offset and length read from disk is checked
// before it is used, so a bad field costs that one message and nothing
// else; truncated files and full disks give clean failures.
#include <gtest/gtest.h>

#include "api_jam.h"
#include "child.h"
#include "fileio.h"
#include "jam_check.h"
#include "jamtest.h"
#include "structrw.h"
#include "structrw_jam.h"
#include "testutil.h"

namespace {

using zt::Le32;

const std::string kTexts[] = {"first\r", "second\rSEEN-BY: 1/1\r", "third\r"};

class JamDamage : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = dir_ / "area";
    HAREA ha = zt::OpenJam(base_);
    ASSERT_NE(ha, nullptr);
    for (const std::string& t : kTexts)
      ASSERT_EQ(zt::PostJam(ha, zt::MakeXmsg(), t, "\x01MSGID: 2:5020/52 1"), 0);
    ASSERT_EQ(ha->api->CloseArea(ha), 0);
    jdx_ = zt::ReadFile(base_ + ".jdx");
  }
  dword HdrOfs(int k) { return zt::U32At(jdx_, std::size_t(k) * 8 + 4); }

  zt::TempDir dir_;
  std::string base_, jdx_;
};

TEST_F(JamDamage, EachBadFieldCostsOnlyItsMessage) {
  struct Case {
    const char* name;
    const char* file;
    int which;  // 0: offset in the index record; 1: offset in the header
    std::uint32_t at;
    std::string bytes;
  };
  const Case cases[] = {
      {"header offset into the header info", ".jdx", 0, 4, Le32(0)},
      {"header offset into another chain", ".jdx", 0, 4, Le32(HDRINFO_SIZE + HDR_SIZE)},
      {"header offset at the file's last bytes", ".jdx", 0, 4, Le32(std::uint32_t(zt::FileSize(base_ + ".jhr")) - 80)},
      {"signature", ".jhr", 1, 0, "XAM"},
      {"SubfieldLen huge", ".jhr", 1, 8, Le32(0xFFFFFFF0u)},
      {"SubfieldLen past the file", ".jhr", 1, 8, Le32(100000)},
      {"TxtOffset past the text file", ".jhr", 1, 60, Le32(1000)},
      {"TxtLen huge", ".jhr", 1, 64, Le32(0x7FFFFFFFu)},
      {"text wrapping 32 bits", ".jhr", 1, 60, Le32(0xFFFFFFF0u) + Le32(0x20)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    zt::TempDir d;
    zt::CopyDir(dir_.path(), d.path());
    const std::string base = d / "area";
    const std::uint32_t at = c.which == 0 ? 8 + c.at : HdrOfs(1) + c.at;
    zt::PatchBytes(base + c.file, at, c.bytes);
    const std::string jhr_before = zt::ReadFile(base + ".jhr");

    HAREA ha = zt::OpenJam(base, AOPEN_EXISTING);
    ASSERT_NE(ha, nullptr);
    ASSERT_EQ(ha->num_msg, 3u);
    msgapierr = APIERR_OK;
    EXPECT_EQ(ha->api->OpenMsg(ha, MO_READ, 2), nullptr);
    EXPECT_EQ(msgapierr, APIERR_NOT_FOUND);
    EXPECT_EQ(ha->api->OpenMsg(ha, MO_CREATE, 2), nullptr);
    zt::JamRead r;
    ASSERT_TRUE(zt::ReadJam(ha, 1, &r));
    EXPECT_EQ(r.text, kTexts[0]);
    ASSERT_TRUE(zt::ReadJam(ha, 3, &r));
    EXPECT_EQ(r.text, kTexts[2]);
    // Killing what is not a header would write a header over foreign bytes.
    if (c.which == 0) {
      EXPECT_EQ(ha->api->KillMsg(ha, 2), -1);
      EXPECT_EQ(msgapierr, APIERR_FILE_IO);
      EXPECT_EQ(zt::ReadFile(base + ".jhr"), jhr_before);
    }
    // The area still takes new messages.
    EXPECT_EQ(zt::PostJam(ha, zt::MakeXmsg(), "after\r"), 0);
    ASSERT_TRUE(zt::ReadJam(ha, 4, &r));
    EXPECT_EQ(r.text, "after\r");
    EXPECT_EQ(ha->api->CloseArea(ha), 0);
  }
}

TEST_F(JamDamage, OverlongSubfieldEndsTheChain) {
  // The receiver subfield of message 2 claims more bytes than its chain has.
  zt::PatchBytes(base_ + ".jhr", HdrOfs(1) + HDR_SIZE + 8 + 11 + 4, Le32(0x7FFFFFFF));
  HAREA ha = zt::OpenJam(base_, AOPEN_EXISTING);
  zt::JamRead r;
  ASSERT_TRUE(zt::ReadJam(ha, 2, &r));
  EXPECT_STREQ(reinterpret_cast<char*>(r.x.from), "Ivan Petrov");  // before it: intact
  EXPECT_STREQ(reinterpret_cast<char*>(r.x.to), "");
  EXPECT_EQ(r.ctrl, "");
  EXPECT_EQ(r.text, "second\r");  // the SEEN-BY subfield came after it
  EXPECT_EQ(ha->api->CloseArea(ha), 0);
}

TEST_F(JamDamage, TornIndexRecordIsOverwritten) {
  zt::WriteFile(base_ + ".jdx", jdx_ + "\x01\x02\x03");
  HAREA ha = zt::OpenJam(base_, AOPEN_EXISTING);
  EXPECT_EQ(ha->num_msg, 3u);
  EXPECT_EQ(ha->high_msg, 3u);
  ASSERT_EQ(zt::PostJam(ha, zt::MakeXmsg(), "fourth\r"), 0);
  EXPECT_EQ(zt::FileSize(base_ + ".jdx"), 32);
  EXPECT_EQ(ha->api->MsgnToUid(ha, 4), 4u);
  zt::JamRead r;
  ASSERT_TRUE(zt::ReadJam(ha, 4, &r));
  EXPECT_EQ(r.text, "fourth\r");
  EXPECT_EQ(ha->api->CloseArea(ha), 0);
  EXPECT_EQ(zt::CheckJamBase(base_), std::vector<std::string>{});
}

TEST_F(JamDamage, TextShortenedAfterOpenIsAnErrorNotGarbage) {
  HAREA ha = zt::OpenJam(base_, AOPEN_EXISTING);
  HMSG mh = ha->api->OpenMsg(ha, MO_READ, 3);
  ASSERT_NE(mh, nullptr);
  zt::TruncateTo(base_ + ".jdt", zt::FileSize(base_ + ".jdt") - 2);
  std::vector<byte> buf(32, 'Z');
  msgapierr = APIERR_OK;
  EXPECT_EQ(ha->api->ReadMsg(mh, nullptr, 0, 6, buf.data(), 0, nullptr), 0xFFFFFFFFu);
  EXPECT_EQ(msgapierr, APIERR_FILE_IO);
  EXPECT_EQ(buf[0], 0);
  EXPECT_EQ(ha->api->CloseMsg(mh), 0);
  EXPECT_EQ(ha->api->CloseArea(ha), 0);
}

TEST_F(JamDamage, TruncationSweeps) {
  for (const char* suffix : {".jhr", ".jdx", ".jdt"}) {
    const std::int64_t size = zt::FileSize(base_ + suffix);
    for (std::int64_t len = 0; len < size; len += (std::string(suffix) == ".jhr" && len < 1000) ? 100 : 1) {
      SCOPED_TRACE(std::string(suffix) + " cut at " + std::to_string(len));
      zt::TempDir d;
      zt::CopyDir(dir_.path(), d.path());
      const std::string base = d / "area";
      zt::TruncateTo(base + suffix, len);
      HAREA ha = zt::OpenJam(base, AOPEN_EXISTING);
      if (!ha) {
        EXPECT_EQ(msgapierr, APIERR_FILE_IO);
        EXPECT_LT(len, std::int64_t(HDRINFO_SIZE));
        continue;
      }
      for (dword n = 1; n <= ha->num_msg; ++n) {
        zt::JamRead r;
        if (!zt::ReadJam(ha, n, &r)) continue;
        // Whatever opens is exactly what was written.
        const UMSGID uid = ha->api->MsgnToUid(ha, n);
        ASSERT_GE(uid, 1u);
        ASSERT_LE(uid, 3u);
        EXPECT_EQ(r.text, kTexts[uid - 1]);
        EXPECT_EQ(r.ctrl, "\x01MSGID: 2:5020/52 1");
      }
      EXPECT_EQ(ha->api->CloseArea(ha), 0);
    }
  }
}

int PostLongText(const std::string& base) {
  HAREA ha = zt::OpenJam(base, AOPEN_EXISTING);
  if (!ha) return 90;
  const sword rc = zt::PostJam(ha, zt::MakeXmsg(), "a text longer than the room left\r");
  const int err = msgapierr;
  const dword n = ha->num_msg;
  ha->api->CloseArea(ha);
  return rc == -1 ? err * 10 + int(n) : 91;
}

TEST_F(JamDamage, FullDiskFailsTheWriteAndLeavesTheBaseSound) {
  if (const char* why = zt::Lacks(zt::Facility::kFileSizeLimit)) GTEST_SKIP() << why;
  const std::uint64_t jdt = std::uint64_t(zt::FileSize(base_ + ".jdt"));
  // The text itself does not fit: a short write of message data.
  auto post = [&](std::string&) { return PostLongText(base_); };
  EXPECT_EQ(zt::RunWithFileSizeLimit(jdt + 5, post).status, APIERR_SHORT_WRITE * 10 + 3);
  EXPECT_EQ(zt::CheckJamBase(base_), std::vector<std::string>{});
  // The text fits but the header does not: nothing points at it.
  EXPECT_EQ(zt::RunWithFileSizeLimit(jdt + 400, post).status, APIERR_FILE_IO * 10 + 3);
  EXPECT_EQ(zt::CheckJamBase(base_), std::vector<std::string>{});
  EXPECT_EQ(zt::FileSize(base_ + ".jdx"), 24);
  HAREA ha = zt::OpenJam(base_, AOPEN_EXISTING);
  EXPECT_EQ(ha->num_msg, 3u);
  EXPECT_EQ(zt::PostJam(ha, zt::MakeXmsg(), "fits now\r"), 0);
  zt::JamRead r;
  ASSERT_TRUE(zt::ReadJam(ha, 4, &r));
  EXPECT_EQ(r.text, "fits now\r");
  EXPECT_EQ(ha->api->CloseArea(ha), 0);
}

struct TouchCtx {
  const FileMap* map;
  std::int64_t at;
  unsigned sum;
};

void TouchMapped(void* p) {
  TouchCtx* c = static_cast<TouchCtx*>(p);
  c->sum += *c->map->at(c->at);
}

TEST(JamMapping, FileShortenedUnderTheMappingIsReportedNotFatal) {
  if (const char* why = zt::Lacks(zt::Facility::kFileMappings)) GTEST_SKIP() << why;
  zt::TempDir d;
  const std::string path = d / "f";
  zt::WriteFile(path, std::string(3 * 65536, 'x'));
  UniqueFd fd(open_file(path.c_str(), OF_READ));
  FileMap map;
  ASSERT_TRUE(map.map(fd.get(), 100, 3 * 65536 - 100));
  TouchCtx ctx{&map, 2 * 65536 + 5, 0};
  EXPECT_TRUE(run_mapped(TouchMapped, &ctx));
  EXPECT_EQ(ctx.sum, unsigned('x'));
  zt::TruncateTo(path, 4096);
  EXPECT_FALSE(run_mapped(TouchMapped, &ctx));
  ctx.at = 200;  // still backed
  EXPECT_TRUE(run_mapped(TouchMapped, &ctx));
}

}  // namespace
