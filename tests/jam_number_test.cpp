// JAM numbering: kill and renumbering, identifiers, relative numbers, and the
// active-message table against a full scan of the files.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <utility>

#include "jam_int.h"
#include "jam_check.h"
#include "jamtest.h"
#include "locking.h"
#include "structrw.h"
#include "testutil.h"

namespace {

class JamNumber : public ::testing::Test {
 protected:
  void SetUp() override { base_ = dir_ / "area"; }
  void TearDown() override { EXPECT_EQ(zt::CheckJamBase(base_), std::vector<std::string>{}); }

  HAREA OpenWith(int n) {
    HAREA ha = zt::OpenJam(base_);
    EXPECT_NE(ha, nullptr);
    for (int i = 1; i <= n; ++i) EXPECT_EQ(zt::PostJam(ha, zt::MakeXmsg(), "msg " + std::to_string(i) + "\r"), 0);
    return ha;
  }
  std::string TextOf(HAREA ha, dword msgn) {
    zt::JamRead r;
    return zt::ReadJam(ha, msgn, &r) ? r.text : "<none>";
  }
  // The table this area holds, as the independent scan lists messages.
  static std::vector<zt::JamLive> TableOf(HAREA ha) {
    std::vector<zt::JamLive> v;
    for (const JamActive& e : jam_area(ha).scan.table) v.push_back({e.idx_pos, e.hdr_ofs});
    return v;
  }
  // A fresh rebuild, both ways the library can scan.
  void ExpectTableIsFullRebuild(HAREA ha) {
    const std::vector<zt::JamLive> full = zt::JamLiveMessages(base_);
    EXPECT_EQ(TableOf(ha), full);
    EXPECT_EQ(ha->num_msg, full.size());
    JamBase* b = &jam_area(ha);
    JamScan mapped, plain;
    ASSERT_EQ(read_allidx(b->jdx.get(), b->jhr.get(), &mapped), 1);
    ASSERT_EQ(read_allidx_plain(b->jdx.get(), b->jhr.get(), &plain), 1);
    ASSERT_EQ(mapped.table.size(), full.size());
    ASSERT_EQ(plain.table.size(), full.size());
    for (std::size_t i = 0; i < full.size(); ++i) {
      EXPECT_EQ(mapped.table[i].idx_pos, full[i].idx_pos);
      EXPECT_EQ(mapped.table[i].hdr_ofs, full[i].hdr_ofs);
      EXPECT_EQ(plain.table[i].hdr_ofs, full[i].hdr_ofs);
    }
  }

  zt::TempDir dir_;
  std::string base_;
};

TEST_F(JamNumber, KillRenumbersAndKeepsIdentifiers) {
  HAREA ha = OpenWith(3);
  ASSERT_EQ(ha->api->KillMsg(ha, 2), 0);
  EXPECT_EQ(ha->num_msg, 2u);
  EXPECT_EQ(ha->high_msg, 3u);
  EXPECT_EQ(TextOf(ha, 2), "msg 3\r");
  EXPECT_EQ(ha->api->MsgnToUid(ha, 2), 3u);
  EXPECT_EQ(ha->api->UidToMsgn(ha, 2, UIDSEEK_EXACT), 0u);
  EXPECT_EQ(ha->api->UidToMsgn(ha, 2, UIDSEEK_NEXT), 2u);
  EXPECT_EQ(ha->api->UidToMsgn(ha, 2, UIDSEEK_PREVIOUS), 1u);
  const std::string jdx = zt::ReadFile(base_ + ".jdx");
  EXPECT_EQ(zt::U32At(jdx, 8), 0xFFFFFFFFu);
  EXPECT_EQ(zt::U32At(jdx, 12), 0xFFFFFFFFu);
  EXPECT_EQ(zt::U32At(zt::ReadFile(base_ + ".jhr"), 12), 2u);  // ActiveMsgs
  // The same number twice kills two different messages.
  ASSERT_EQ(ha->api->KillMsg(ha, 2), 0);
  EXPECT_EQ(ha->num_msg, 1u);
  EXPECT_EQ(TextOf(ha, 1), "msg 1\r");
  EXPECT_EQ(ha->api->CloseArea(ha), 0);

  ha = zt::OpenJam(base_, AOPEN_EXISTING);
  EXPECT_EQ(ha->num_msg, 1u);
  EXPECT_EQ(ha->high_msg, 3u);
  EXPECT_EQ(ha->api->CloseArea(ha), 0);
}

TEST_F(JamNumber, KillRefusals) {
  HAREA ha = OpenWith(2);
  msgapierr = APIERR_OK;
  EXPECT_EQ(ha->api->KillMsg(ha, 0), -1);
  EXPECT_EQ(msgapierr, APIERR_NOT_FOUND);
  EXPECT_EQ(ha->api->KillMsg(ha, 3), -1);
  EXPECT_EQ(msgapierr, APIERR_NOT_FOUND);
  // The kill takes the area lock itself and would drop a caller's lock.
  ASSERT_EQ(ha->api->Lock(ha), 0);
  EXPECT_EQ(ha->api->KillMsg(ha, 1), -1);
  ASSERT_EQ(ha->api->Unlock(ha), 0);
  // Another holder of the lock: the kill does not wait.
  UniqueFd other(open_file((base_ + ".jhr").c_str(), OF_READWRITE));
  ASSERT_EQ(lock(other.get(), 0, 1), 0);
  EXPECT_EQ(ha->api->KillMsg(ha, 1), -1);
  unlock(other.get(), 0, 1);
  EXPECT_EQ(ha->num_msg, 2u);
  EXPECT_EQ(ha->locked, 0);
  EXPECT_EQ(ha->api->CloseArea(ha), 0);
}

TEST_F(JamNumber, IdentifierSearchKinds) {
  HAREA ha = OpenWith(5);
  ASSERT_EQ(ha->api->KillMsg(ha, 1), 0);  // identifiers 2..5 remain as 1..4
  ASSERT_EQ(ha->api->KillMsg(ha, 2), 0);  // identifier 3 goes: 2, 4, 5
  struct Case {
    UMSGID uid;
    word kind;
    dword msgn;
  };
  const Case cases[] = {
      {0, UIDSEEK_EXACT, 0},    {0, UIDSEEK_NEXT, 0},     {1, UIDSEEK_EXACT, 0},
      {1, UIDSEEK_NEXT, 1},     {1, UIDSEEK_PREVIOUS, 0}, {2, UIDSEEK_EXACT, 1},
      {3, UIDSEEK_EXACT, 0},    {3, UIDSEEK_NEXT, 2},     {3, UIDSEEK_PREVIOUS, 1},
      {5, UIDSEEK_EXACT, 3},    {9, UIDSEEK_NEXT, 3},     {9, UIDSEEK_PREVIOUS, 3},
      {9, UIDSEEK_EXACT, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.uid) + " kind " + std::to_string(c.kind));
    EXPECT_EQ(ha->api->UidToMsgn(ha, c.uid, c.kind), c.msgn);
  }
  msgapierr = APIERR_NOT_FOUND;
  EXPECT_EQ(ha->api->MsgnToUid(ha, 4), 0xFFFFFFFFu);
  EXPECT_EQ(msgapierr, APIERR_OK);
  EXPECT_EQ(ha->api->MsgnToUid(ha, 0), 0u);
  EXPECT_EQ(ha->api->MsgnToUid(ha, 3), 5u);
  EXPECT_EQ(ha->api->CloseArea(ha), 0);
}

TEST_F(JamNumber, BaseMsgNumShiftsIdentifiers) {
  HAREA ha = OpenWith(2);
  ASSERT_EQ(ha->api->CloseArea(ha), 0);
  zt::PatchBytes(base_ + ".jhr", 20, std::string("\x64\0\0\0", 4));  // BaseMsgNum 100
  ha = zt::OpenJam(base_, AOPEN_EXISTING);
  EXPECT_EQ(ha->api->UidToMsgn(ha, 100, UIDSEEK_EXACT), 1u);
  EXPECT_EQ(ha->api->MsgnToUid(ha, 1), 100u);
  EXPECT_EQ(ha->api->MsgnToUid(ha, 2), 101u);
  ASSERT_EQ(zt::PostJam(ha, zt::MakeXmsg(), "x\r"), 0);
  EXPECT_EQ(ha->api->MsgnToUid(ha, 3), 102u);
  EXPECT_EQ(ha->api->CloseArea(ha), 0);
  JamHdr h;
  const std::string jhr = zt::ReadFile(base_ + ".jhr");
  decode_hdr(reinterpret_cast<const uint8_t*>(jhr.data()) + zt::U32At(zt::ReadFile(base_ + ".jdx"), 20), &h);
  EXPECT_EQ(h.MsgNum, 102u);
}

TEST_F(JamNumber, RelativeNumbersWalkTheArea) {
  HAREA ha = OpenWith(3);
  for (dword n = 1; n <= 3; ++n) {
    HMSG mh = ha->api->OpenMsg(ha, MO_READ, MSGN_NEXT);
    ASSERT_NE(mh, nullptr);
    EXPECT_EQ(ha->cur_msg, n);
    ha->api->CloseMsg(mh);
  }
  msgapierr = APIERR_OK;
  EXPECT_EQ(ha->api->OpenMsg(ha, MO_READ, MSGN_NEXT), nullptr);
  EXPECT_EQ(msgapierr, APIERR_NOT_FOUND);
  EXPECT_EQ(ha->cur_msg, 3u);
  HMSG mh = ha->api->OpenMsg(ha, MO_READ, MSGN_CURRENT);
  ASSERT_NE(mh, nullptr);
  ha->api->CloseMsg(mh);
  mh = ha->api->OpenMsg(ha, MO_READ, MSGN_PREVIOUS);
  ASSERT_NE(mh, nullptr);
  EXPECT_EQ(ha->cur_msg, 2u);
  ha->api->CloseMsg(mh);
  ha->cur_msg = 1;
  EXPECT_EQ(ha->api->OpenMsg(ha, MO_READ, MSGN_PREVIOUS), nullptr);
  EXPECT_EQ(ha->cur_msg, 1u);
  ha->cur_msg = 0;  // before the first message: no current or previous one
  EXPECT_EQ(ha->api->OpenMsg(ha, MO_READ, MSGN_CURRENT), nullptr);
  EXPECT_EQ(ha->api->OpenMsg(ha, MO_READ, MSGN_PREVIOUS), nullptr);
  EXPECT_EQ(ha->cur_msg, 0u);
  EXPECT_EQ(ha->api->OpenMsg(ha, MO_READ, 4), nullptr);
  EXPECT_EQ(ha->api->OpenMsg(ha, MO_READ, 0), nullptr);
  EXPECT_EQ(ha->api->OpenMsg(ha, MO_CREATE, 4), nullptr);
  EXPECT_EQ(ha->api->OpenMsg(ha, MO_CREATE, MSGN_NEXT), nullptr);
  EXPECT_EQ(msgapierr, APIERR_NOT_FOUND);
  EXPECT_EQ(ha->api->CloseArea(ha), 0);
}

TEST_F(JamNumber, TableAfterOwnChangesEqualsFullRebuild) {
  HAREA ha = OpenWith(6);
  ExpectTableIsFullRebuild(ha);
  ASSERT_EQ(ha->api->KillMsg(ha, 2), 0);
  ExpectTableIsFullRebuild(ha);
  HMSG mh = ha->api->OpenMsg(ha, MO_CREATE, 3);  // replace
  XMSG x = zt::MakeXmsg();
  ASSERT_EQ(ha->api->WriteMsg(mh, 0, &x, reinterpret_cast<const byte*>("r\r"), 2, 2, 0, nullptr), 0);
  ha->api->CloseMsg(mh);
  ExpectTableIsFullRebuild(ha);
  mh = ha->api->OpenMsg(ha, MO_WRITE, 1);  // rewrite with a longer chain
  x = zt::MakeXmsg("Someone with a long name", "All", "and a long subject too");
  ASSERT_EQ(ha->api->WriteMsg(mh, 0, &x, nullptr, 0, 0, 0, nullptr), 0);
  ha->api->CloseMsg(mh);
  ExpectTableIsFullRebuild(ha);
  ASSERT_EQ(zt::PostJam(ha, zt::MakeXmsg(), "late\r"), 0);
  ASSERT_EQ(ha->api->KillMsg(ha, ha->num_msg), 0);
  ExpectTableIsFullRebuild(ha);
  EXPECT_EQ(ha->api->CloseArea(ha), 0);
}

TEST_F(JamNumber, TableAfterOtherWritersEqualsFullRebuild) {
  HAREA ha = OpenWith(4);
  struct Change {
    const char* name;
    void (*apply)(const std::string& base);
  };
  const Change changes[] = {
      {"another writer posts and kills",
       [](const std::string& base) {
         HAREA other = zt::OpenJam(base, AOPEN_EXISTING);
         ASSERT_EQ(zt::PostJam(other, zt::MakeXmsg(), "theirs\r"), 0);
         ASSERT_EQ(other->api->KillMsg(other, 1), 0);
         ASSERT_EQ(other->api->CloseArea(other), 0);
       }},
      {"a kill that changes no file length",
       [](const std::string& base) {
         HAREA other = zt::OpenJam(base, AOPEN_EXISTING);
         ASSERT_EQ(other->api->KillMsg(other, 2), 0);
         ASSERT_EQ(other->api->CloseArea(other), 0);
       }},
      {"an append that leaves ModCounter alone",
       [](const std::string& base) {
         const std::string saved = zt::ReadFile(base + ".jhr").substr(0, 1024);
         HAREA other = zt::OpenJam(base, AOPEN_EXISTING);
         ASSERT_EQ(zt::PostJam(other, zt::MakeXmsg(), "quiet\r"), 0);
         ASSERT_EQ(other->api->CloseArea(other), 0);
         zt::PatchBytes(base + ".jhr", 0, saved);
       }},
      {"a deleted bit set by another program",
       [](const std::string& base) {
         const dword ofs = zt::U32At(zt::ReadFile(base + ".jdx"), 4 * 8 + 4);  // 5th record
         zt::PatchByte(base + ".jhr", ofs + 55, 0x80);
         std::string mod(4, '\0');
         uint8_t* p = reinterpret_cast<uint8_t*>(mod.data());
         put_u32(p, zt::U32At(zt::ReadFile(base + ".jhr"), 8) + 1);
         zt::PatchBytes(base + ".jhr", 8, mod);
       }},
  };
  for (const Change& c : changes) {
    SCOPED_TRACE(c.name);
    c.apply(base_);
    ASSERT_EQ(zt::PostJam(ha, zt::MakeXmsg(), "mine\r"), 0);
    ExpectTableIsFullRebuild(ha);
  }
  // A kill from a stale table still names the message it saw, and the
  // count stays exact.
  HAREA other = zt::OpenJam(base_, AOPEN_EXISTING);
  ASSERT_EQ(other->api->KillMsg(other, 1), 0);
  ASSERT_EQ(other->api->CloseArea(other), 0);
  ASSERT_EQ(ha->api->KillMsg(ha, 2), 0);
  ExpectTableIsFullRebuild(ha);
  EXPECT_EQ(ha->api->CloseArea(ha), 0);
}

// The numbering of a header file of up to a few megabytes is learnt
// through a mapping kept from one opening to the next: each opening must
// see the base as it is now, whatever became of the file meanwhile.
TEST_F(JamNumber, EachOpeningNumbersTheBaseAsItIsNow) {
  HAREA ha = OpenWith(6);
  ASSERT_EQ(ha->api->CloseArea(ha), 0);
  const std::string six_hdr = zt::ReadFile(base_ + ".jhr"), six_idx = zt::ReadFile(base_ + ".jdx"),
                    six_txt = zt::ReadFile(base_ + ".jdt");
  zt::TempDir other_dir;
  const std::string other = other_dir / "area";
  ha = zt::OpenJam(other);
  ASSERT_EQ(zt::PostJam(ha, zt::MakeXmsg(), "only one\r"), 0);
  ASSERT_EQ(zt::PostJam(ha, zt::MakeXmsg(), "killed\r"), 0);
  ASSERT_EQ(ha->api->KillMsg(ha, 2), 0);
  ASSERT_EQ(ha->api->CloseArea(ha), 0);
  auto reopened = [this](dword count, const char* first) {
    HAREA a = zt::OpenJam(base_, AOPEN_EXISTING);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->num_msg, count);
    EXPECT_EQ(TextOf(a, 1), first);
    ExpectTableIsFullRebuild(a);
    EXPECT_EQ(a->api->CloseArea(a), 0);
  };
  reopened(6, "msg 1\r");
  // Replaced by another file of the same length under the same name, with
  // the first message deleted.
  const dword first_hdr = zt::U32At(six_idx, 4);
  std::string deleted_hdr = six_hdr;
  deleted_hdr[first_hdr + 55] = char(0x80);
  for (const auto& [suffix, bytes] : {std::pair{".jhr", deleted_hdr}, {".jdx", six_idx}, {".jdt", six_txt}}) {
    zt::WriteFile(base_ + suffix + ".new", bytes);
    ASSERT_EQ(move_replace((base_ + suffix + ".new").c_str(), (base_ + suffix).c_str()), 0);
  }
  reopened(5, "msg 2\r");
  // Rewritten in place, shorter, then longer again: the same file.
  for (const char* suffix : {".jhr", ".jdx", ".jdt"}) zt::WriteFile(base_ + suffix, zt::ReadFile(other + suffix));
  reopened(1, "only one\r");
  zt::WriteFile(base_ + ".jhr", six_hdr);
  zt::WriteFile(base_ + ".jdx", six_idx);
  zt::WriteFile(base_ + ".jdt", six_txt);
  reopened(6, "msg 1\r");
  // A deleted bit set by another program, and a header added past the end.
  zt::PatchByte(base_ + ".jhr", first_hdr + 55, 0x80);
  HAREA writer = zt::OpenJam(base_, AOPEN_EXISTING);
  ASSERT_EQ(zt::PostJam(writer, zt::MakeXmsg(), "late\r"), 0);
  ASSERT_EQ(writer->api->CloseArea(writer), 0);
  reopened(6, "msg 2\r");
  // A base removed while open: closing it lets go of the file, so its space
  // is freed.
  if (zt::Lacks(zt::Facility::kFileMappings) || !zt::Exists("/proc/self/maps")) return;
  ha = zt::OpenJam(base_, AOPEN_EXISTING);
  ASSERT_NE(ha, nullptr);
  for (const char* suffix : {".jhr", ".jdx", ".jdt", ".jlr"}) std::remove((base_ + suffix).c_str());
  ASSERT_EQ(ha->api->CloseArea(ha), 0);
  EXPECT_EQ(zt::ReadFile("/proc/self/maps").find(base_ + ".jhr"), std::string::npos);
  zt::WriteFile(base_ + ".jhr", six_hdr);  // for the checker in TearDown
  zt::WriteFile(base_ + ".jdx", six_idx);
  zt::WriteFile(base_ + ".jdt", six_txt);
}

TEST_F(JamNumber, HeaderWrittenOverADanglingIndexRecord) {
  HAREA ha = OpenWith(1);
  ASSERT_EQ(ha->api->CloseArea(ha), 0);
  // An index record pointing just past the end of the header file, as a
  // writer that stopped half-way may leave: not live until a header lands
  // there, which the next new message does.
  const std::uint32_t end = std::uint32_t(zt::FileSize(base_ + ".jhr"));
  std::string rec(8, '\0');
  uint8_t* p = reinterpret_cast<uint8_t*>(rec.data());
  put_u32(p, 0);
  put_u32(p, end);
  zt::WriteFile(base_ + ".jdx", zt::ReadFile(base_ + ".jdx") + rec);
  ha = zt::OpenJam(base_, AOPEN_EXISTING);
  EXPECT_EQ(ha->num_msg, 1u);
  EXPECT_EQ(ha->high_msg, 2u);
  ASSERT_EQ(zt::PostJam(ha, zt::MakeXmsg(), "lands on it\r"), 0);
  ExpectTableIsFullRebuild(ha);
  EXPECT_EQ(ha->num_msg, 3u);
  EXPECT_EQ(ha->api->CloseArea(ha), 0);
}

}  // namespace
