// JAM areas: creating and opening the four files, the handle, closing,
// locking, validation and removal.
#include <gtest/gtest.h>

#include <ctime>

#include "api_jam.h"
#include "fileio.h"
#include "jam_check.h"
#include "jamtest.h"
#include "locking.h"
#include "structrw_jam.h"
#include "testutil.h"

namespace {

class JamArea : public ::testing::Test {
 protected:
  void SetUp() override { base_ = dir_ / "area"; }
  JamHdrInfo Info() {
    const std::string jhr = zt::ReadFile(base_ + ".jhr");
    JamHdrInfo h{};
    if (jhr.size() >= HDRINFO_SIZE) decode_hdrinfo(reinterpret_cast<const uint8_t*>(jhr.data()), &h);
    return h;
  }
  zt::TempDir dir_;
  std::string base_;
};

TEST_F(JamArea, CreateIfMissingMakesFourFilesAndHeaderInfo) {
  HAREA ha = zt::OpenJam(base_, AOPEN_CREATE_IF_MISSING);
  ASSERT_NE(ha, nullptr);
  EXPECT_EQ(msgapierr, APIERR_OK);
  for (const char* s : {".jhr", ".jdt", ".jdx", ".jlr"}) EXPECT_TRUE(zt::Exists(base_ + s)) << s;
  EXPECT_EQ(zt::FileSize(base_ + ".jhr"), 1024);
  const JamHdrInfo h = Info();
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(h.Signature), 4), std::string("JAM\0", 4));
  EXPECT_EQ(h.ModCounter, 1u);
  EXPECT_EQ(h.ActiveMsgs, 0u);
  EXPECT_EQ(h.PasswordCRC, 0xFFFFFFFFu);
  EXPECT_EQ(h.BaseMsgNum, 1u);
  EXPECT_EQ(h.HighWater, 0u);
  EXPECT_NEAR(double(h.DateCreated), double(jam_local_now()), 5.0);
  EXPECT_EQ(ha->type, AT_JAM);
  EXPECT_EQ(ha->sz_xmsg, 248);
  EXPECT_EQ(ha->num_msg, 0u);
  EXPECT_EQ(ha->high_msg, 0u);
  EXPECT_EQ(ha->cur_msg, 0u);
  EXPECT_EQ(ha->high_water, 0u);
  EXPECT_EQ(ha->locked, 0);
  EXPECT_EQ(ha->len, sizeof(_msgapi));
  EXPECT_EQ(ha->api->CloseArea(ha), 0);
  EXPECT_EQ(zt::CheckJamBase(base_), std::vector<std::string>{});
}

TEST_F(JamArea, OpenFailures) {
  struct Case {
    const char* name;
    void (*prepare)(const std::string& base);
    word mode;
  };
  const Case cases[] = {
      {"missing base", [](const std::string&) {}, AOPEN_EXISTING},
      // Exclusive creation does not repair a base with only some files.
      {"partial base", [](const std::string& b) { zt::WriteFile(b + ".jhr", std::string(1024, '\0')); },
       AOPEN_CREATE_IF_MISSING},
      {"header file shorter than its header info",
       [](const std::string& b) {
         zt::WriteFile(b + ".jhr", std::string("JAM\0", 4) + std::string(1000, '\0'));
         zt::WriteFile(b + ".jdt", "");
         zt::WriteFile(b + ".jdx", "");
       },
       AOPEN_CREATE_IF_MISSING},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    zt::TempDir d;
    const std::string base = d / "a";
    c.prepare(base);
    msgapierr = APIERR_OK;
    EXPECT_EQ(zt::OpenJam(base, c.mode), nullptr);
    EXPECT_EQ(msgapierr, APIERR_FILE_IO);
  }
}

TEST_F(JamArea, NewBaseNeverTakesOverAnotherProgramsText) {
  // Texts without a header file: not a base to repair, and not ours to wipe.
  zt::WriteFile(base_ + ".jdt", "somebody's text\r");
  msgapierr = APIERR_OK;
  EXPECT_EQ(zt::OpenJam(base_, AOPEN_CREATE_IF_MISSING), nullptr);
  EXPECT_EQ(msgapierr, APIERR_FILE_IO);
  EXPECT_EQ(zt::ReadFile(base_ + ".jdt"), "somebody's text\r");
}

TEST_F(JamArea, CreateTruncatesAndMissingLastReadFileIsFine) {
  HAREA ha = zt::OpenJam(base_);
  ASSERT_EQ(zt::PostJam(ha, zt::MakeXmsg(), "x\r"), 0);
  ASSERT_EQ(ha->api->CloseArea(ha), 0);
  EXPECT_EQ(remove_file((base_ + ".jlr").c_str()), 0);
  EXPECT_EQ(JamValidate(base_.c_str()), 1);  // the last-read file is not needed
  ha = zt::OpenJam(base_, AOPEN_EXISTING);
  ASSERT_NE(ha, nullptr);
  EXPECT_EQ(ha->num_msg, 1u);
  ASSERT_EQ(ha->api->CloseArea(ha), 0);

  ha = zt::OpenJam(base_, AOPEN_CREATE);
  ASSERT_NE(ha, nullptr);
  EXPECT_EQ(ha->num_msg, 0u);
  EXPECT_EQ(zt::FileSize(base_ + ".jdx"), 0);
  EXPECT_EQ(zt::FileSize(base_ + ".jdt"), 0);
  ASSERT_EQ(ha->api->CloseArea(ha), 0);
}

TEST_F(JamArea, AreaKindFromTypeBits) {
  const std::pair<word, byte> cases[] = {{AT_JAM, 0}, {AT_JAM | AT_ECHO, 1}, {AT_JAM | AT_LOCAL, 3},
                                         {AT_JAM | AT_ECHO | AT_LOCAL, 3}};
  for (auto [type, isecho] : cases) {
    SCOPED_TRACE(type);
    HAREA ha = zt::OpenJam(base_, AOPEN_CREATE_IF_MISSING, type);
    ASSERT_NE(ha, nullptr);
    EXPECT_EQ(ha->isecho, isecho);
    EXPECT_EQ(ha->api->CloseArea(ha), 0);
  }
}

TEST_F(JamArea, CloseAfterReadingRaisesModCounterAndStoresHighWater) {
  HAREA ha = zt::OpenJam(base_);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(zt::PostJam(ha, zt::MakeXmsg(), "x\r"), 0);
  ASSERT_EQ(ha->api->CloseArea(ha), 0);
  const dword mod = Info().ModCounter;

  ha = zt::OpenJam(base_, AOPEN_EXISTING);
  ASSERT_NE(ha, nullptr);
  EXPECT_EQ(ha->api->SetHighWater(ha, 4), -1);  // above high_msg
  EXPECT_EQ(ha->api->GetHighWater(ha), 0u);
  EXPECT_EQ(ha->api->SetHighWater(ha, 2), 0);
  ASSERT_EQ(ha->api->CloseArea(ha), 0);
  EXPECT_EQ(Info().ModCounter, mod + 1);
  EXPECT_EQ(Info().HighWater, 2u);

  ha = zt::OpenJam(base_, AOPEN_EXISTING);
  EXPECT_EQ(ha->api->GetHighWater(ha), 2u);
  ASSERT_EQ(ha->api->CloseArea(ha), 0);
}

TEST_F(JamArea, CloseRefusedWhileMessagesAreOpen) {
  HAREA ha = zt::OpenJam(base_);
  ASSERT_EQ(zt::PostJam(ha, zt::MakeXmsg(), "x\r"), 0);
  HMSG mh = ha->api->OpenMsg(ha, MO_READ, 1);
  ASSERT_NE(mh, nullptr);
  EXPECT_EQ(ha->api->CloseArea(ha), -1);
  EXPECT_EQ(msgapierr, APIERR_MSGS_OPEN);
  EXPECT_EQ(ha->id, AREA_HANDLE_ID);
  EXPECT_EQ(ha->api->CloseMsg(mh), 0);
  EXPECT_EQ(ha->api->CloseArea(ha), 0);
}

// A handle locked after other handles stored or killed messages numbers
// them all: a writer deciding from it (the gateway's MSGID serial) sees the
// newest message there is.
TEST_F(JamArea, LockTakesInWhatOthersChanged) {
  HAREA a = zt::OpenJam(base_);
  HAREA b = zt::OpenJam(base_);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  for (const char* t : {"one", "two", "three"}) ASSERT_EQ(zt::PostJam(b, zt::MakeXmsg(), t), 0);
  ASSERT_EQ(b->api->KillMsg(b, 1), 0);
  EXPECT_EQ(a->num_msg, 0u);
  ASSERT_EQ(a->api->Lock(a), 0);
  EXPECT_EQ(a->num_msg, 2u);
  EXPECT_EQ(a->high_msg, 3u);
  zt::JamRead r;
  ASSERT_TRUE(zt::ReadJam(a, 2, &r));
  EXPECT_EQ(r.text, "three\r");
  ASSERT_EQ(a->api->Unlock(a), 0);
  EXPECT_EQ(a->api->CloseArea(a), 0);
  EXPECT_EQ(b->api->CloseArea(b), 0);
}

TEST_F(JamArea, LockIsTheFirstByteOfTheHeaderFile) {
  HAREA ha = zt::OpenJam(base_);
  ASSERT_NE(ha, nullptr);
  UniqueFd other(open_file((base_ + ".jhr").c_str(), OF_READWRITE));
  ASSERT_TRUE(other);
  EXPECT_EQ(ha->api->Unlock(ha), -1);  // not locked
  EXPECT_EQ(ha->api->Lock(ha), 0);
  EXPECT_EQ(ha->locked, 1);
  EXPECT_EQ(ha->api->Lock(ha), 0);  // already held
  EXPECT_EQ(lock(other.get(), 0, 1), -1);
  EXPECT_EQ(lock(other.get(), 1, 1), 0);  // only byte 0
  unlock(other.get(), 1, 1);
  EXPECT_EQ(ha->api->Unlock(ha), 0);
  EXPECT_EQ(ha->locked, 0);
  EXPECT_EQ(lock(other.get(), 0, 1), 0);
  EXPECT_EQ(ha->api->Lock(ha), -1);  // held elsewhere: no waiting
  unlock(other.get(), 0, 1);

  // With sharing off nothing is locked, and Lock still succeeds.
  mi.haveshare = 0;
  EXPECT_EQ(ha->api->Lock(ha), 0);
  EXPECT_EQ(ha->locked, 1);
  EXPECT_EQ(lock(other.get(), 0, 1), 0);
  unlock(other.get(), 0, 1);
  EXPECT_EQ(ha->api->Unlock(ha), 0);
  mi.haveshare = 1;
  EXPECT_EQ(ha->api->CloseArea(ha), 0);
}

// The scan of the numbering keeps a mapping of the header file for the next
// command. A lock taken through the area's descriptor must still end when
// that descriptor is closed, as every lock of ours does.
TEST_F(JamArea, ALockEndsWithItsDescriptorWhateverTheScanKeeps) {
  HAREA ha = zt::OpenJam(base_);
  ASSERT_EQ(zt::PostJam(ha, zt::MakeXmsg(), "one\r"), 0);
  ASSERT_EQ(ha->api->CloseArea(ha), 0);
  UniqueFd jhr(open_file((base_ + ".jhr").c_str(), OF_READWRITE));
  UniqueFd jdx(open_file((base_ + ".jdx").c_str(), OF_READWRITE));
  ASSERT_TRUE(jhr && jdx);
  ASSERT_EQ(lock(jhr.get(), 0, 1), 0);
  JamScan scan;
  ASSERT_EQ(read_allidx(jdx.get(), jhr.get(), &scan, (base_ + ".jhr").c_str()), 1);
  EXPECT_EQ(scan.table.size(), 1u);
  jhr.reset();
  UniqueFd other(open_file((base_ + ".jhr").c_str(), OF_READWRITE));
  EXPECT_EQ(lock(other.get(), 0, 1), 0);
  unlock(other.get(), 0, 1);
}

TEST_F(JamArea, ValidateAndDeleteBase) {
  EXPECT_EQ(JamValidate(base_.c_str()), 0);
  HAREA ha = zt::OpenJam(base_);
  ASSERT_EQ(ha->api->CloseArea(ha), 0);
  EXPECT_EQ(MsgValidate(AT_JAM, base_.c_str()), 1);
  EXPECT_EQ(remove_file((base_ + ".jdx").c_str()), 0);
  EXPECT_EQ(JamValidate(base_.c_str()), 0);
  EXPECT_EQ(JamDeleteBase(base_.c_str()), 0);  // one of the four was gone
  EXPECT_EQ(zt::ListDir(dir_.path()), std::vector<std::string>{});

  ha = zt::OpenJam(base_);
  ASSERT_EQ(ha->api->CloseArea(ha), 0);
  EXPECT_EQ(JamDeleteBase(base_.c_str()), 1);
  EXPECT_EQ(zt::ListDir(dir_.path()), std::vector<std::string>{});
}

}  // namespace
