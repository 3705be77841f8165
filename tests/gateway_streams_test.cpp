// The standard streams end to end: the gateway's input arrives with CR LF
// pairs joined and every other byte as sent, Ctrl-Z (0x1A) included, which a
// text-mode runtime would take for the end of input.
#include <gtest/gtest.h>

#include <string>

#include "gwfixture.h"
#include "testutil.h"

namespace {

TEST(GatewayStreams, ControlZInAPostIsTextNotTheEndOfInput) {
  zt::TempDir tmp;
  const std::string spec = std::string(1, '$') + tmp.path() + "/area";
  const std::string text = "one\x1atwo\r\n\x1a\r\nlast";
  const auto r = zt::RunZandrel(
      zt::PostInput(spec, "2:5020/52", "2:5020/1", "", "Ivan", "All", "Ctrl-Z", text) +
      "STAT " + spec + " g\r\nRETR " + spec + " 1\r\n");
  EXPECT_EQ(r.status, 0);
  ASSERT_EQ(r.out.rfind("g 1 1 y\r\n", 0), 0u) << r.out;
  EXPECT_EQ(r.out.substr(r.out.find("\r\n\r\n") + 4), std::string("one\x1atwo\r\n\x1a\r\nlast\0", 17));
}

}  // namespace
