// Address ranges, the names private netmail is matched by, and the count of
// failed logins.
#include <gtest/gtest.h>

#include "auth.h"
#include "cidr.h"
#include "netmail.h"

namespace nntpd {
namespace {

TEST(Cidr, RangesOfBothFamilies) {
  auto in = [](const char* range, const char* ip) {
    return parseCidr(range)->contains(*parseIp(ip));
  };
  EXPECT_TRUE(in("192.0.2.0/24", "192.0.2.200"));
  EXPECT_FALSE(in("192.0.2.0/24", "192.0.3.1"));
  EXPECT_TRUE(in("127.0.0.0/8", "127.1.2.3"));
  EXPECT_TRUE(in("0.0.0.0/0", "203.0.113.9"));
  EXPECT_FALSE(in("0.0.0.0/0", "2001:db8::1"));  // IPv4 ranges hold IPv4 only
  EXPECT_TRUE(in("::ffff:0:0/96", "10.0.0.1"));
  EXPECT_TRUE(in("2001:db8::/33", "2001:db8:7fff::1"));
  EXPECT_FALSE(in("2001:db8::/33", "2001:db8:8000::1"));
  EXPECT_TRUE(in("::1", "::1"));
  EXPECT_FALSE(in("::1", "127.0.0.1"));
  for (const char* bad : {"192.0.2.1/24", "192.0.2.0/33", "192.0.2.0/", "host.example", "::1/129"})
    EXPECT_FALSE(parseCidr(bad)) << bad;
}

TEST(Netmail, NamesMatchWithoutRegardToCase) {
  EXPECT_EQ(foldName("  Пётр   СИДОРОВ "), foldName("пётр сидоров"));
  EXPECT_EQ(foldName("ЁЛКИН Ivan"), "ёлкин ivan");
  RealNames petr({"Petr Sidorov", "Пётр Сидоров"});
  EXPECT_TRUE(petr.either("Sysop", "ПЁТР СИДОРОВ"));
  EXPECT_FALSE(petr.either("Sysop", "Петр Сидоров"));  // another letter, another name
  EXPECT_FALSE(RealNames().either("", ""));
}

TEST(Logins, AnAddressIsBlockedAfterItsFailuresAndForgivenLater) {
  using namespace std::chrono_literals;
  LoginGuard g;
  g.configure(3, 60s);
  const IpBytes a = *parseIp("192.0.2.1"), b = *parseIp("192.0.2.2");
  const auto t = LoginGuard::Clock::now();
  EXPECT_FALSE(g.failed(a, t));
  EXPECT_FALSE(g.failed(a, t + 1s));
  EXPECT_TRUE(g.failed(a, t + 2s));
  EXPECT_TRUE(g.blocked(a, t + 61s));
  EXPECT_FALSE(g.blocked(b, t + 3s));
  EXPECT_FALSE(g.blocked(a, t + 62s));
  EXPECT_FALSE(g.failed(a, t + 200s));  // counted afresh
  const std::string hash = hashPassword("right");
  EXPECT_TRUE(passwordMatches("right", &hash));
  EXPECT_FALSE(passwordMatches("wrong", &hash));
  EXPECT_FALSE(passwordMatches("right", nullptr));
}

}  // namespace
}  // namespace nntpd
