// The core of the message API: start-up record, handle checks, dispatch.
#include "msgapi.h"

#include <gtest/gtest.h>

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

}  // namespace
