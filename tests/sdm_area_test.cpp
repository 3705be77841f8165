// *.MSG areas: opening, scanning, numbering, the high-water mark, removal.
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "sdm_testutil.h"
#include "testutil.h"

namespace {

using sdmt::SdmTest;
using sdmt::WriteMsgFile;
using Nums = std::vector<dword>;

class SdmArea : public SdmTest {
 protected:
  void Fill(std::initializer_list<unsigned> nums) {
    for (unsigned n : nums) WriteMsgFile(area_, n, "text " + std::to_string(n) + "\r");
  }
  // Creates a new message (number 0) and returns its number.
  dword Post(HAREA ha) {
    HMSG m = ha->api->OpenMsg(ha, MO_CREATE, 0);
    if (!m) return 0;
    XMSG x{};
    const byte text[] = "posted\r";
    EXPECT_EQ(ha->api->WriteMsg(m, 0, &x, text, sizeof text - 1, sizeof text - 1, 0, nullptr), 0);
    dword n = ha->cur_msg;
    EXPECT_EQ(ha->api->CloseMsg(m), 0);
    return n;
  }
};

TEST_F(SdmArea, MissingDirectory) {
  std::filesystem::remove(area_);
  EXPECT_EQ(Open(true), nullptr);
  EXPECT_EQ(msgapierr, APIERR_NOT_FOUND);
  EXPECT_EQ(MsgValidate(AT_SDM, area_.c_str()), 0);

  HAREA ha = Open(true, AOPEN_CREATE_IF_MISSING);
  ASSERT_NE(ha, nullptr);
  EXPECT_EQ(msgapierr, APIERR_OK);
  EXPECT_EQ(ha->num_msg, 0u);
  EXPECT_EQ(ha->high_msg, 0u);
  EXPECT_EQ(ha->type, 0);
  EXPECT_EQ(ha->isecho, 1);
  Close(ha);
  EXPECT_EQ(MsgValidate(AT_SDM, area_.c_str()), 1);

  // Creation never empties an existing directory.
  Fill({3});
  ha = Open(false, AOPEN_CREATE);
  ASSERT_NE(ha, nullptr);
  EXPECT_EQ(ha->isecho, 0);
  EXPECT_EQ(sdmt::Numbers(ha), Nums({3}));
  Close(ha);

  // A path that names a file is no area, in any mode.
  zt::WriteFile(tmp_ / "plain", "x");
  EXPECT_EQ(MsgOpenArea((tmp_ / "plain").c_str(), AOPEN_CREATE_IF_MISSING, AT_SDM), nullptr);
  EXPECT_EQ(msgapierr, APIERR_NOT_FOUND);
}

TEST_F(SdmArea, ScanKeepsOnlyNumberedMessageFiles) {
  Fill({1, 2, 10});
  zt::WriteFile(Path(11), std::string(100, 'x'));  // shorter than a header
  zt::WriteFile(Path(12), std::string(189, 'x'));
  WriteMsgFile(area_, 0, "zero is not a message\r");
  zt::WriteFile(area_ + "/readme.msg", std::string(300, 'x'));
  zt::WriteFile(area_ + "/7.MSG", std::string(300, 'x'));  // another name where case counts
  zt::WriteFile(area_ + "/8.txt", std::string(300, 'x'));
  std::filesystem::create_directory(area_ + "/5.msg");
  std::filesystem::create_directory(area_ + "/6.msg");
  zt::WriteFile(area_ + "/6.msg/9.msg", std::string(300, 'x'));

  // A host that matches names without regard to case lists 7.MSG too.
  const bool any_case = zt::Lacks(zt::Facility::kExactCaseNames) != nullptr;
  HAREA ha = Open(true);
  ASSERT_NE(ha, nullptr);
  EXPECT_EQ(ha->num_msg, any_case ? 4u : 3u);
  EXPECT_EQ(ha->high_msg, 10u);
  EXPECT_EQ(sdmt::Numbers(ha), any_case ? Nums({1, 2, 7, 10}) : Nums({1, 2, 10}));
  // Exactly 190 bytes is a message with an empty text.
  Close(ha);
  WriteMsgFile(area_, 4, "");
  ha = Open(true);
  EXPECT_EQ(sdmt::Numbers(ha), any_case ? Nums({1, 2, 4, 7, 10}) : Nums({1, 2, 4, 10}));
  Close(ha);
}

// The number table is sorted by its bytes, low then high: numbers that
// differ in either byte, and a number named twice, come out in order.
TEST_F(SdmArea, ManyNumbersInAnyOrder) {
  std::vector<unsigned> nums = {1, 255, 256, 257, 511, 65280, 65535};
  for (unsigned n = 3; n < 65535; n += 97) nums.push_back(n);
  for (unsigned n : nums) WriteMsgFile(area_, n, "x\r");
  zt::WriteFile(area_ + "/0256.msg", sdmt::Bytes(sdmt::Header()) + "again\r");
  std::sort(nums.begin(), nums.end());
  nums.erase(std::unique(nums.begin(), nums.end()), nums.end());

  HAREA ha = Open(false);
  ASSERT_NE(ha, nullptr);
  EXPECT_EQ(sdmt::Numbers(ha), Nums(nums.begin(), nums.end()));
  EXPECT_EQ(ha->num_msg, nums.size() + 1);  // the second name of 256 counts too
  EXPECT_EQ(ha->high_msg, 65535u);
  Close(ha);
}

TEST_F(SdmArea, ShortFilesAmongMessagesAreNoMessages) {
  // Sizes are looked at when an entry is first used; every way of reaching
  // an entry must see a short file as absent.
  auto Move = [](HAREA ha, dword from, dword rel) {
    ha->cur_msg = from;
    HMSG m = ha->api->OpenMsg(ha, MO_READ, rel);
    if (m) ha->api->CloseMsg(m);
    return ha->cur_msg;
  };
  struct Case {
    const char* name;
    std::function<dword(HAREA)> op;
    dword want;
  } cases[] = {
      {"open by number",
       [](HAREA ha) {
         HMSG m = ha->api->OpenMsg(ha, MO_READ, 5);
         if (m) ha->api->CloseMsg(m);
         return m ? 5u : 0u;
       },
       0},
      {"exact", [](HAREA ha) { return ha->api->UidToMsgn(ha, 5, UIDSEEK_EXACT); }, 0},
      {"next", [](HAREA ha) { return ha->api->UidToMsgn(ha, 4, UIDSEEK_NEXT); }, 9},
      {"previous", [](HAREA ha) { return ha->api->UidToMsgn(ha, 8, UIDSEEK_PREVIOUS); }, 1},
      {"relative next", [&](HAREA ha) { return Move(ha, 1, MSGN_NEXT); }, 9},
      {"relative previous", [&](HAREA ha) { return Move(ha, 9, MSGN_PREVIOUS); }, 1},
      {"kill", [](HAREA ha) { return dword(ha->api->KillMsg(ha, 7) + 1); }, 0},
  };
  Fill({1, 9});
  zt::WriteFile(Path(5), std::string(100, 'x'));
  zt::WriteFile(Path(7), "");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HAREA ha = Open(false);
    ASSERT_NE(ha, nullptr);
    EXPECT_EQ(ha->high_msg, 9u);
    EXPECT_EQ(c.op(ha), c.want);
    if (c.want == 0) {
      EXPECT_EQ(msgapierr, APIERR_NOT_FOUND);
    }
    EXPECT_EQ(sdmt::Numbers(ha), Nums({1, 9}));
    EXPECT_EQ(ha->num_msg, 2u);
    Close(ha);
  }
  EXPECT_TRUE(zt::Exists(Path(7)));
}

TEST_F(SdmArea, NamesWithLeadingZeros) {
  // A message listed only under another name is found under that name:
  // when its size is first checked, opened and killed.
  Fill({3});
  zt::WriteFile(area_ + "/0012.msg", sdmt::Bytes(sdmt::Header()) + "twelve\r");
  zt::WriteFile(area_ + "/015.msg", std::string(100, 'x'));  // too short all the same
  HAREA ha = Open(false);
  ASSERT_NE(ha, nullptr);
  EXPECT_EQ(ha->high_msg, 12u);
  EXPECT_EQ(sdmt::Numbers(ha), Nums({3, 12}));
  HMSG m = ha->api->OpenMsg(ha, MO_READ, 12);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(sdmt::ReadWhole(m).text, "twelve\r");
  ASSERT_EQ(ha->api->CloseMsg(m), 0);
  EXPECT_EQ(ha->api->KillMsg(ha, 12), 0);
  EXPECT_FALSE(zt::Exists(area_ + "/0012.msg"));
  EXPECT_EQ(ha->high_msg, 3u);
  Close(ha);
}

TEST_F(SdmArea, ReusedListingFollowsTheDirectory) {
  // A listing is kept once the directory has been quiet for a while; the
  // areas opened from it must still see what a fresh scan would.
  Fill({1, 2, 3});
  const std::string other = tmp_ / "other";
  std::filesystem::create_directory(other);
  WriteMsgFile(other, 7, "x\r");
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  auto Table = [&](const std::string& dir) {
    HAREA ha = MsgOpenArea(dir.c_str(), AOPEN_EXISTING, AT_SDM);
    EXPECT_NE(ha, nullptr);
    if (!ha) return Nums{};
    Nums t = sdmt::Numbers(ha);
    t.push_back(ha->high_msg);  // last: the highest number
    Close(ha);
    return t;
  };
  EXPECT_EQ(Table(area_), Nums({1, 2, 3, 3}));
  EXPECT_EQ(Table(area_), Nums({1, 2, 3, 3}));
  EXPECT_EQ(Table(other), Nums({7, 7}));

  // Sizes change without touching the directory: checked on use all the same.
  zt::TruncateTo(Path(3), 100);
  EXPECT_EQ(Table(area_), Nums({1, 2, 2}));
  WriteMsgFile(area_, 3, "back\r");
  EXPECT_EQ(Table(area_), Nums({1, 2, 3, 3}));

  std::filesystem::remove(Path(2));
  EXPECT_EQ(Table(area_), Nums({1, 3, 3}));
  Fill({9});
  EXPECT_EQ(Table(area_), Nums({1, 3, 9, 9}));
  std::filesystem::rename(Path(9), Path(8));
  EXPECT_EQ(Table(area_), Nums({1, 3, 8, 8}));
}

TEST_F(SdmArea, UidToMsgnKinds) {
  Fill({1, 2, 10});
  HAREA ha = Open(false);
  ASSERT_NE(ha, nullptr);
  struct Case {
    dword uid;
    word kind;
    dword want;
  } cases[] = {
      {5, UIDSEEK_EXACT, 0},  {5, UIDSEEK_NEXT, 10},     {5, UIDSEEK_PREVIOUS, 2},
      {11, UIDSEEK_NEXT, 0},  {11, UIDSEEK_PREVIOUS, 10}, {2, UIDSEEK_EXACT, 2},
      {0, UIDSEEK_PREVIOUS, 0}, {0, UIDSEEK_NEXT, 1},
      {0x1000A, UIDSEEK_EXACT, 10},  // compared by the low 16 bits
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.uid << " kind " << c.kind);
    EXPECT_EQ(ha->api->UidToMsgn(ha, c.uid, c.kind), c.want);
    EXPECT_EQ(msgapierr, c.want ? APIERR_OK : APIERR_NOT_FOUND);
  }
  EXPECT_EQ(ha->api->MsgnToUid(ha, 10), 10u);
  Close(ha);
}

TEST_F(SdmArea, RelativeOpens) {
  Fill({1, 5, 9});
  HAREA ha = Open(false);
  ASSERT_NE(ha, nullptr);
  // From before the first message, NEXT finds the first one.
  HMSG m = ha->api->OpenMsg(ha, MO_READ, MSGN_NEXT);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(ha->cur_msg, 1u);
  ha->api->CloseMsg(m);

  ha->cur_msg = 5;
  m = ha->api->OpenMsg(ha, MO_READ, MSGN_NEXT);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(ha->cur_msg, 9u);
  EXPECT_EQ(sdmt::ReadWhole(m).text, "text 9\r");
  ha->api->CloseMsg(m);

  EXPECT_EQ(ha->api->OpenMsg(ha, MO_READ, MSGN_NEXT), nullptr);
  EXPECT_EQ(msgapierr, APIERR_NOT_FOUND);
  EXPECT_EQ(ha->cur_msg, 9u);

  m = ha->api->OpenMsg(ha, MO_READ, MSGN_PREVIOUS);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(ha->cur_msg, 5u);
  ha->api->CloseMsg(m);
  m = ha->api->OpenMsg(ha, MO_READ, MSGN_CURRENT);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(sdmt::ReadWhole(m).text, "text 5\r");
  ha->api->CloseMsg(m);

  ha->cur_msg = 1;
  EXPECT_EQ(ha->api->OpenMsg(ha, MO_READ, MSGN_PREVIOUS), nullptr);
  EXPECT_EQ(msgapierr, APIERR_NOT_FOUND);
  EXPECT_EQ(ha->cur_msg, 1u);
  // A failed relative move is no request for a new message.
  EXPECT_EQ(ha->api->OpenMsg(ha, MO_CREATE, MSGN_PREVIOUS), nullptr);
  EXPECT_EQ(zt::ListDir(area_).size(), 3u);

  // Numbers outside the table do not open, whatever the disk holds.
  EXPECT_EQ(ha->api->OpenMsg(ha, MO_READ, 4), nullptr);
  EXPECT_EQ(msgapierr, APIERR_NOT_FOUND);
  Fill({4});
  EXPECT_EQ(ha->api->OpenMsg(ha, MO_READ, 4), nullptr);
  EXPECT_EQ(ha->api->OpenMsg(ha, MO_READ, 0x10005), nullptr);
  Close(ha);
}

TEST_F(SdmArea, NewMessageNumbers) {
  struct Case {
    const char* name;
    bool echo;
    std::vector<unsigned> present;
    dword want;
  } cases[] = {
      {"empty echo area skips the high-water message", true, {}, 2},
      {"empty netmail area starts at 1", false, {}, 1},
      {"echo area with only message 1", true, {1}, 2},
      {"after the highest, gaps stay", false, {2, 7}, 8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(area_);
    std::filesystem::create_directory(area_);
    for (unsigned n : c.present) WriteMsgFile(area_, n, "old\r");
    HAREA ha = Open(c.echo);
    ASSERT_NE(ha, nullptr);
    EXPECT_EQ(Post(ha), c.want);
    EXPECT_EQ(ha->high_msg, c.want);
    EXPECT_EQ(ha->num_msg, c.present.size() + 1);
    Close(ha);
    EXPECT_TRUE(zt::Exists(Path(c.want)));
  }
}

TEST_F(SdmArea, NewMessageStepsPastFilesOfOtherWriters) {
  Fill({1, 2, 7});
  HAREA ha = Open(false);
  ASSERT_NE(ha, nullptr);
  // Another program adds 8.msg in full, and has just created 9.msg and 10.msg
  // without writing them yet.
  Fill({8});
  zt::WriteFile(Path(9), "");
  zt::WriteFile(Path(10), std::string(20, 'x'));
  EXPECT_EQ(Post(ha), 11u);
  EXPECT_EQ(zt::FileSize(Path(9)), 0);
  EXPECT_EQ(zt::FileSize(Path(10)), 20);
  EXPECT_EQ(sdmt::Numbers(ha), Nums({1, 2, 7, 8, 11}));
  Close(ha);
}

TEST_F(SdmArea, NewMessageNeverWrapsPast65535) {
  Fill({3, 65535});
  HAREA ha = Open(false);
  ASSERT_NE(ha, nullptr);
  EXPECT_EQ(ha->api->OpenMsg(ha, MO_CREATE, 0), nullptr);
  EXPECT_EQ(msgapierr, APIERR_NOT_FOUND);
  EXPECT_EQ(ha->api->OpenMsg(ha, MO_CREATE, 65536), nullptr);
  EXPECT_EQ(zt::ListDir(area_).size(), 2u);
  Close(ha);
}

TEST_F(SdmArea, CreateWithNumberWritesTheMessageAnew) {
  Fill({1, 5, 9});
  HAREA ha = Open(false);
  ASSERT_NE(ha, nullptr);
  HMSG m = ha->api->OpenMsg(ha, MO_CREATE, 4);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(sdmt::Numbers(ha), Nums({1, 4, 5, 9}));
  EXPECT_EQ(ha->num_msg, 4u);
  ha->api->CloseMsg(m);

  // The old message stays whole until the new one has been written.
  const std::string old5 = zt::ReadFile(Path(5));
  m = ha->api->OpenMsg(ha, MO_CREATE, 5);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(zt::ReadFile(Path(5)), old5);
  EXPECT_EQ(ha->num_msg, 4u);
  EXPECT_EQ(ha->cur_msg, 5u);
  XMSG x{};
  x.orig.zone = x.dest.zone = 2;  // no zone line
  const byte text[] = "anew\r";
  EXPECT_EQ(ha->api->WriteMsg(m, 0, &x, text, 5, 5, 0, nullptr), 0);
  EXPECT_EQ(zt::ReadFile(Path(5)).substr(OMSG_SIZE), std::string("anew\r", 6));
  ha->api->CloseMsg(m);
  Close(ha);
  EXPECT_EQ(zt::ListDir(area_), std::vector<std::string>({"1.msg", "5.msg", "9.msg"}));
}

TEST_F(SdmArea, Kill) {
  Fill({1, 2, 10});
  HAREA ha = Open(false);
  ASSERT_NE(ha, nullptr);
  EXPECT_EQ(ha->api->KillMsg(ha, 7), -1);
  EXPECT_EQ(msgapierr, APIERR_NOT_FOUND);
  EXPECT_EQ(ha->api->KillMsg(ha, 10), 0);
  EXPECT_EQ(sdmt::Numbers(ha), Nums({1, 2}));
  EXPECT_EQ(ha->num_msg, 2u);
  EXPECT_EQ(ha->high_msg, 2u);
  EXPECT_FALSE(zt::Exists(Path(10)));
  EXPECT_EQ(zt::ListDir(area_).size(), 2u);

  // A file that cannot be deleted keeps its table entry.
  std::filesystem::remove(Path(2));
  std::filesystem::create_directory(Path(2));
  EXPECT_EQ(ha->api->KillMsg(ha, 2), -1);
  EXPECT_EQ(msgapierr, APIERR_NOT_FOUND);
  EXPECT_EQ(sdmt::Numbers(ha), Nums({1, 2}));
  EXPECT_EQ(ha->num_msg, 2u);

  EXPECT_EQ(ha->api->KillMsg(ha, 1), 0);
  std::filesystem::remove(Path(2));
  Close(ha);
}

// The high-water-mark message as another mail program stores it.
std::string HwmMessage(word mark) {
  OMSG h = sdmt::Header("-=|\xa0RarevoRari\xa0|=-", "x", "High wadda' mark");
  h.reply_to = mark;
  return sdmt::Bytes(h) + "NOECHO\r\0";
}

TEST_F(SdmArea, GetHighWater) {
  struct Case {
    const char* name;
    std::string one;  // contents of 1.msg, empty for none
    dword want;
  } cases[] = {
      {"no message 1", "", 0},
      {"message 1 from someone else", sdmt::Bytes(sdmt::Header("Somebody")) + "hi\r", 0},
      {"the sender name with plain spaces",
       sdmt::Bytes(sdmt::Header("-=| RarevoRari |=-")) + "hi\r", 0},
      {"the high-water-mark message", HwmMessage(42), 42},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(Path(1));
    if (!c.one.empty()) zt::WriteFile(Path(1), c.one);
    HAREA ha = Open(true);
    ASSERT_NE(ha, nullptr);
    EXPECT_EQ(ha->api->GetHighWater(ha), c.want);
    Close(ha);
    // Reading the mark never writes it back.
    if (c.one.empty()) EXPECT_FALSE(zt::Exists(Path(1)));
    else EXPECT_EQ(zt::ReadFile(Path(1)), c.one);
  }
}

TEST_F(SdmArea, KillLowersTheMarkAndCloseRewritesIt) {
  zt::WriteFile(Path(1), HwmMessage(10));
  Fill({5, 10, 12});
  HAREA ha = Open(true);
  ASSERT_NE(ha, nullptr);
  EXPECT_EQ(ha->api->KillMsg(ha, 12), 0);
  EXPECT_EQ(ha->api->GetHighWater(ha), 10u);
  Close(ha);
  EXPECT_EQ(zt::ReadFile(Path(1)), HwmMessage(10));  // unchanged: not rewritten

  ha = Open(true);
  ASSERT_NE(ha, nullptr);
  EXPECT_EQ(ha->api->KillMsg(ha, 10), 0);
  EXPECT_EQ(ha->api->GetHighWater(ha), 9u);
  Close(ha);
  std::string one = zt::ReadFile(Path(1));
  ASSERT_EQ(one.size(), OMSG_SIZE + 177);
  EXPECT_EQ(zt::U16At(one, 184), 9);

  ha = Open(true);
  EXPECT_EQ(ha->api->GetHighWater(ha), 9u);
  EXPECT_EQ(sdmt::Numbers(ha), Nums({1, 5}));
  Close(ha);
}

TEST_F(SdmArea, HighWaterMessageBytes) {
  // Setting the value already read changes nothing on disk.
  zt::WriteFile(Path(1), HwmMessage(5));
  HAREA ha = Open(true);
  ASSERT_NE(ha, nullptr);
  EXPECT_EQ(ha->api->GetHighWater(ha), 5u);
  EXPECT_EQ(ha->api->SetHighWater(ha, 5), 0);
  Close(ha);
  EXPECT_EQ(zt::ReadFile(Path(1)), HwmMessage(5));

  ha = Open(true);
  ASSERT_NE(ha, nullptr);
  EXPECT_EQ(ha->api->SetHighWater(ha, 0x10042), 0);
  Close(ha);

  std::string b = zt::ReadFile(Path(1));
  ASSERT_EQ(b.size(), 190u + 177u);
  const std::string from("-=|\xa0RarevoRari\xa0|=-\0", 19);
  EXPECT_EQ(b.substr(0, 19), from);
  EXPECT_EQ(b.substr(36, 19), from);
  EXPECT_EQ(b.substr(72, 17), std::string("High wadda' mark\0", 17));
  // Everything after each name is NUL padding.
  EXPECT_EQ(b.substr(19, 17), std::string(17, '\0'));
  EXPECT_EQ(b.substr(89, 55), std::string(55, '\0'));
  // The date string spells the stamp it sits beside.
  SCOMBO written;
  written.dos_st.date = zt::U16At(b, 176);
  written.dos_st.time = zt::U16At(b, 178);
  EXPECT_EQ(b.substr(144 + 3, 3), std::string("JanFebMarAprMayJunJulAugSepOctNovDec")
                                      .substr(3 * (written.msg_st.date.mo - 1), 3));
  EXPECT_EQ(b[163], '\0');
  EXPECT_EQ(zt::U32At(b, 176), zt::U32At(b, 180));  // written and arrived alike
  EXPECT_EQ(b.substr(164, 12), std::string(12, '\0'));  // no points, nets, nodes
  EXPECT_EQ(zt::U16At(b, 184), 0x42);                     // the mark's low 16 bits
  EXPECT_EQ(zt::U16At(b, 186), 0x010D);
  EXPECT_EQ(zt::U16At(b, 188), 0);
  const std::string body =
      "NOECHO\r\rPlease ignore.  This message is only used by the RarevoRari system to "
      "store\rthe high water mark for each conference area." +
      std::string(27, '\r') + "(Qwarl was here!)\r\r\r" + std::string(1, '\0');
  EXPECT_EQ(b.substr(190), body);
}

TEST_F(SdmArea, CloseRefusedWhileMessagesOpen) {
  Fill({2});
  HAREA ha = Open(true);
  ASSERT_NE(ha, nullptr);
  ha->api->SetHighWater(ha, 2);
  HMSG m = ha->api->OpenMsg(ha, MO_READ, 2);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(ha->api->CloseArea(ha), -1);
  EXPECT_EQ(msgapierr, APIERR_MSGS_OPEN);
  EXPECT_EQ(ha->id, AREA_HANDLE_ID);
  std::filesystem::remove(Path(1));
  ASSERT_EQ(ha->api->CloseMsg(m), 0);
  Close(ha);
  // The mark is still changed, so the second close wrote it again.
  EXPECT_EQ(zt::U16At(zt::ReadFile(Path(1)), 184), 2);
}

TEST_F(SdmArea, BadHandles) {
  Fill({2});
  HAREA ha = Open(false);
  ASSERT_NE(ha, nullptr);
  const _apifuncs* api = ha->api;
  _msgapi fake{};  // never opened: its id is 0
  struct Case {
    const char* name;
    std::function<bool()> fails;
  } cases[] = {
      {"CloseArea", [&] { return api->CloseArea(&fake) == -1; }},
      {"OpenMsg", [&] { return api->OpenMsg(nullptr, MO_READ, 2) == nullptr; }},
      {"CloseMsg", [&] { return api->CloseMsg(nullptr) == -1; }},
      {"ReadMsg",
       [&] { return api->ReadMsg(nullptr, nullptr, 0, 0, nullptr, 0, nullptr) == 0xFFFFFFFFu; }},
      {"WriteMsg",
       [&] { return api->WriteMsg(nullptr, 0, nullptr, nullptr, 0, 0, 0, nullptr) == -1; }},
      {"KillMsg", [&] { return api->KillMsg(&fake, 2) == -1; }},
      {"Lock", [&] { return api->Lock(&fake) == -1; }},
      {"Unlock", [&] { return api->Unlock(nullptr) == -1; }},
      {"SetCurPos", [&] { return api->SetCurPos(nullptr, 0) == -1; }},
      {"GetCurPos", [&] { return api->GetCurPos(nullptr) == 0xFFFFFFFFu; }},
      {"MsgnToUid", [&] { return api->MsgnToUid(&fake, 2) == 0xFFFFFFFFu; }},
      {"UidToMsgn", [&] { return api->UidToMsgn(nullptr, 2, 0) == 0xFFFFFFFFu; }},
      {"GetHighWater", [&] { return api->GetHighWater(&fake) == 0xFFFFFFFFu; }},
      {"SetHighWater", [&] { return api->SetHighWater(nullptr, 1) == -1; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    msgapierr = APIERR_OK;
    EXPECT_TRUE(c.fails());
    EXPECT_EQ(msgapierr, APIERR_BAD_HANDLE);
  }
  EXPECT_EQ(api->Lock(ha), 0);
  EXPECT_EQ(ha->locked, 1);
  EXPECT_EQ(api->Unlock(ha), 0);
  Close(ha);
  EXPECT_TRUE(zt::Exists(Path(2)));
}

TEST_F(SdmArea, LockIsHeldOnAFileOfItsOwn) {
  Fill({2});
  HAREA a = Open(true), b = Open(true);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(Post(b), 3u);  // stored after `a` listed the directory

  ASSERT_EQ(a->api->Lock(a), 0);
  EXPECT_EQ(a->api->Lock(a), 0);  // already held
  EXPECT_EQ(b->api->Lock(b), -1);
  EXPECT_EQ(msgapierr, APIERR_FILE_IO);
  EXPECT_EQ(b->locked, 0);
  // The locked handle shows what others stored before: a post continues
  // after it.
  EXPECT_EQ(a->high_msg, 3u);
  EXPECT_EQ(sdmt::Numbers(a), Nums({2, 3}));
  EXPECT_EQ(Post(a), 4u);
  EXPECT_EQ(zt::ListDir(area_), (std::vector<std::string>{"2.msg", "3.msg", "4.msg", "zandrel.lck"}));

  EXPECT_EQ(a->api->Unlock(a), 0);
  EXPECT_EQ(a->locked, 0);
  EXPECT_EQ(b->api->Lock(b), 0);
  Close(b);  // closing drops the lock
  EXPECT_EQ(a->api->Lock(a), 0);
  Close(a);

  // A lock file that cannot be made (here a directory in its place) is a
  // failed Lock; no message file is locked instead.
  const std::string other = tmp_ / "other";
  std::filesystem::create_directories(other + "/zandrel.lck");
  HAREA c = MsgOpenArea(other.c_str(), AOPEN_EXISTING, AT_SDM);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->api->Lock(c), -1);
  EXPECT_EQ(c->locked, 0);
  EXPECT_EQ(c->api->CloseArea(c), 0);
}

}  // namespace
