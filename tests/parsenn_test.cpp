// FidoNet address parsing: parts present in the text are filled, the others
// keep what the caller put there; and the word finder beneath it.
#include "fidotext.h"

#include <gtest/gtest.h>

#include "1stchar.h"

namespace {

constexpr word KEEP = 9999;  // a part the text does not name
constexpr word ALL = ADDR_ALL;

TEST(ParseNN, FillsOnlyTheNamedParts) {
  struct {
    const char* text;
    word all, zone, net, node, point;
  } cases[] = {
      {"2:5020/52.1", 0, 2, 5020, 52, 1},
      {"5020/52", 0, KEEP, 5020, 52, KEEP},
      {".3", 0, KEEP, KEEP, KEEP, 3},
      {"52.", 0, KEEP, KEEP, 52, 0},
      {"2:5020/52 1:2/3", 0, 2, 5020, 52, KEEP},  // an INTL value
      {"2:", 0, 2, KEEP, KEEP, KEEP},
      {"", 0, KEEP, KEEP, KEEP, KEEP},
      {"ALL", 0, KEEP, KEEP, 0, KEEP},  // no wildcards: not a number
      // Numbers wrap to 16 bits instead of overflowing.
      {"1:70000/99999999999999999999.-1", 0, 1, 4464, 65535, 65535},
      {"ALL", 1, ALL, ALL, ALL, ALL},
      {"a", 1, ALL, ALL, ALL, ALL},  // shorter than ALL: no step past the end
      {"2:ALL", 1, 2, ALL, ALL, ALL},
      {"WORLD", 1, ALL, ALL, ALL, ALL},
      {"2:5020/ALL", 1, 2, 5020, ALL, ALL},
      {"1:2/3", 1, 1, 2, 3, ALL},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.text) + (c.all ? " (wildcards)" : ""));
    word zone = KEEP, net = KEEP, node = KEEP, point = KEEP;
    ParseNN(c.text, &zone, &net, &node, &point, c.all);
    EXPECT_EQ(zone, c.zone);
    EXPECT_EQ(net, c.net);
    EXPECT_EQ(node, c.node);
    EXPECT_EQ(point, c.point);
  }
  word net = KEEP;  // parts not wanted are not touched
  Parse_NetNode("2:5020/52.1", nullptr, &net, nullptr, nullptr);
  EXPECT_EQ(net, 5020);
}

TEST(FirstChar, FindsTheNthWord) {
  struct {
    const char* str;
    int n, want;  // offset of the word, -1 for none
  } cases[] = {
      {"  ab", 1, 2}, {"a  b c", 2, 3}, {"a  b c", 3, 5}, {"a b  ", 3, -1},
      {"   ", 1, -1}, {"", 1, -1},      {"a b", 0, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("\"") + c.str + "\" word " + std::to_string(c.n));
    const char* got = firstchar(c.str, " ", c.n);
    EXPECT_EQ(got ? int(got - c.str) : -1, c.want);
  }
}

}  // namespace
