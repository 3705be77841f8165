// The core of the message API: start-up record, handle checks, dispatch.
#include "msgapi.h"

#include <gtest/gtest.h>

#include "formats.h"
#include "testutil.h"

namespace {

TEST(MsgApi, OpenApiKeepsZoneAndAlwaysSharing) {
  _minf m{};
  m.req_version = 7;
  m.def_zone = 2;
  m.haveshare = 0;
  EXPECT_EQ(MsgOpenApi(&m), 0);
  EXPECT_EQ(mi.req_version, 7);
  EXPECT_EQ(mi.def_zone, 2);
  EXPECT_EQ(mi.haveshare, 1);
  EXPECT_EQ(MsgCloseApi(), 0);
}

TEST(MsgApi, HandleChecks) {
  _msgapi area{};
  _msgh msg{};
  msgapierr = APIERR_OK;
  EXPECT_EQ(InvalidMh(nullptr), 1);
  EXPECT_EQ(msgapierr, APIERR_BAD_HANDLE);
  msgapierr = APIERR_OK;
  EXPECT_EQ(InvalidMh(&area), 1);
  EXPECT_EQ(msgapierr, APIERR_BAD_HANDLE);

  area.id = AREA_HANDLE_ID;
  msgapierr = APIERR_OK;
  EXPECT_EQ(InvalidMh(&area), 0);
  EXPECT_EQ(msgapierr, APIERR_OK);

  msg.sq = &area;
  EXPECT_EQ(InvalidMsgh(&msg), 1);  // no id yet
  msg.id = MSG_HANDLE_ID;
  msgapierr = APIERR_OK;
  EXPECT_EQ(InvalidMsgh(&msg), 0);
  area.id = 0;  // a closed area makes its messages invalid too
  EXPECT_EQ(InvalidMsgh(&msg), 1);
  EXPECT_EQ(msgapierr, APIERR_BAD_HANDLE);
  EXPECT_EQ(InvalidMsgh(nullptr), 1);
}

TEST(MsgApi, HandleIdsSpellTheirBytes) {
  // "MA" 01 02 and "MH" 02 03 in little-endian memory order.
  EXPECT_EQ(AREA_HANDLE_ID & 0xFF, 'M');
  EXPECT_EQ((AREA_HANDLE_ID >> 8) & 0xFF, 'A');
  EXPECT_EQ((MSG_HANDLE_ID >> 8) & 0xFF, 'H');
}

TEST(MsgApi, MissingAreasDoNotOpen) {
  for (word type : {word(AT_SQUISH | AT_ECHO), word(AT_JAM | AT_ECHO), word(AT_SDM),
                    word(AT_SDM | AT_ECHO)}) {
    SCOPED_TRACE(type);
    msgapierr = APIERR_OK;
    EXPECT_EQ(MsgOpenArea("/nonexistent/zandrel/area", AOPEN_EXISTING, type), nullptr);
    EXPECT_NE(msgapierr, APIERR_OK);
    EXPECT_EQ(MsgValidate(type, "/nonexistent/zandrel/area"), 0);
  }
}

// Each format is one row of the table: its prefix, its type bit, an open that
// makes an area of that format and a validate that knows it, and only it.
TEST(MsgApi, EachFormatIsOneRowOfTheTable) {
  struct Row {
    char prefix;
    word type;
    word handle_type;
  };
  const Row rows[] = {{'$', AT_SQUISH, AT_SQUISH}, {'#', AT_JAM, AT_JAM}, {'@', AT_SDM, 0}};
  zt::TempDir dir;
  for (const Row& r : rows) {
    SCOPED_TRACE(r.prefix);
    const MsgFormat* f = MsgFormatByPrefix(r.prefix);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->type, r.type);
    const std::string path = dir / std::string(1, char('a' + (&r - rows)));
    HAREA ha = MsgOpenArea(path.c_str(), AOPEN_CREATE, word(f->type | AT_ECHO));
    ASSERT_NE(ha, nullptr);
    EXPECT_EQ(ha->type, r.handle_type);
    EXPECT_EQ(ha->api->CloseArea(ha), 0);
    for (const Row& other : rows)
      EXPECT_EQ(MsgValidate(other.type, path.c_str()), &other == &r ? 1 : 0) << other.prefix;
  }
  EXPECT_EQ(MsgFormatByPrefix('/'), nullptr);
  EXPECT_EQ(MsgFormatByPrefix('\0'), nullptr);
  // A type without a format's bit is a *.MSG area; with several, the first
  // row decides.
  EXPECT_EQ(MsgFormatOf(0).type, AT_SDM);
  EXPECT_EQ(MsgFormatOf(AT_ECHO).type, AT_SDM);
  EXPECT_EQ(MsgFormatOf(AT_JAM | AT_SDM).type, AT_JAM);
  EXPECT_EQ(MsgFormatOf(AT_SQUISH | AT_JAM).type, AT_SQUISH);
}

}  // namespace
