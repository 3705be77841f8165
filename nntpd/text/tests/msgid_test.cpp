#include "msgid.h"

#include <gtest/gtest.h>

namespace nntpd {
namespace {

TEST(Msgid, NotAMappingGivesNothing) { EXPECT_FALSE(ftnMsgid("<a@b>")); }

}  // namespace
}  // namespace nntpd
