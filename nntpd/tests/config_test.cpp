// The configuration file: what it fills in by default, and that every
// mistake names the file, the line and the key.
#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>

#include "config.h"

namespace nntpd {
namespace {

class ConfigFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/nntpd-config-XXXXXX";
    int fd = ::mkstemp(tmpl);
    ASSERT_GE(fd, 0);
    ::close(fd);
    path_ = tmpl;
  }
  void TearDown() override { ::unlink(path_.c_str()); }

  Config load(const std::string& text) {
    std::ofstream(path_) << text;
    return loadConfig(path_, "/opt/zandrel/bin/zandrel-nntpd");
  }
  // The error message of loading `text`.
  std::string error(const std::string& text) {
    try {
      load(text);
    } catch (const ConfigError& e) {
      return e.what();
    }
    return "(no error)";
  }

  std::string path_;
};

constexpr const char AREA[] = "[[area]]\ngroup = \"fido.test\"\nspec = \"$/var/fido/test\"\n";

TEST_F(ConfigFile, DefaultsFillTheRest) {
  Config c = load(std::string("[fidonet]\naddress = \"2:5020/52\"\n") + AREA);
  EXPECT_EQ(c.listen, std::vector<std::string>{"127.0.0.1:1119"});
  EXPECT_EQ(c.backend, "/opt/zandrel/bin/zandrel");
  EXPECT_EQ(c.max_connections, 64u);
  EXPECT_EQ(c.idle_timeout.count(), 600);
  EXPECT_EQ(c.tearline, "zandrel-nntpd");
  ASSERT_EQ(c.areas.size(), 1u);
  EXPECT_EQ(c.areas[0].post.who, Access::Who::All);
  EXPECT_FALSE(c.areas[0].netmail);
  EXPECT_EQ(c.command_timeout.count(), 60);
  EXPECT_TRUE(c.plainLogin(*parseIp("127.0.0.1")));
  EXPECT_TRUE(c.plainLogin(*parseIp("::1")));
  EXPECT_FALSE(c.plainLogin(*parseIp("192.0.2.1")));
  EXPECT_TRUE(c.allowed(*parseIp("192.0.2.1")));  // no [[allow]]: everyone
  EXPECT_EQ(c.originAddress(c.areas[0]), "2:5020/52");
  EXPECT_FALSE(c.hostname.empty());
}

TEST_F(ConfigFile, MistakesNameFileLineAndKey) {
  struct Case {
    std::string text, expected;
  } cases[] = {
      {std::string("[server]\nlisten = [\"127.0.0.1:1119\"]\nport = 119\n") + AREA,
       ":3: server.port: unknown key"},
      {std::string("[server]\nmax_connections = \"many\"\n") + AREA,
       ":2: server.max_connections: expected an integer"},
      {std::string("[server]\nidle_timeout = 0\n") + AREA,
       ":2: server.idle_timeout: must be between 1 and 86400"},
      {std::string("[server]\nlisten = [\"localhost:119\"]\n") + AREA,
       ":2: server.listen: \"localhost:119\" is not an IP address and port"},
      {std::string("[fidonet]\naddress = \"2:5020\"\n") + AREA,
       ":2: fidonet.address: expected zone:net/node"},
      {std::string("[fidonet]\naddress = \"2:5020/52\"\n") + AREA + AREA,
       ":7: area[1].group: \"fido.test\" is named twice"},
      {std::string("[fidonet]\naddress = \"2:5020/52\"\n") + AREA + "speck = \"x\"\n",
       ":6: area[0].speck: unknown key"},
      {"[fidonet]\naddress = \"2:5020/52\"\n[[area]]\ngroup = \"fido test\"\nspec = \"$x\"\n",
       ":4: area[0].group: \"fido test\" is not a newsgroup name"},
      {"[fidonet]\naddress = \"2:5020/52\"\n[[area]]\ngroup = \"fido.x\"\nspec = \"$/a b\"\n",
       ":5: area[0].spec: expected $path"},
      {"[[area]]\ngroup = \"fido.x\"\nspec = \"$x\"\n",
       "area[0].post: posting needs an origin address"},
      {"[fidonet]\naddress = \"2:5020/52\"\n", "no [[area]] tables"},
      {std::string("[server]\ntls_listen = [\"127.0.0.1:563\"]\n") + AREA,
       ":2: server.tls_listen: needs a [tls] table"},
      {std::string("[[allow]]\nhosts = [\"192.0.2.1/24\"]\n") + AREA,
       ":2: allow[0].hosts: \"192.0.2.1/24\" is not an address or range"},
      {std::string("[[user]]\nname = \"ivan\"\npassword = \"secret\"\n") + AREA,
       ":3: user[0].password: expected a crypt(3) hash"},
      {std::string("[[user]]\nname = \"ivan\"\npassword = \"$1$abc$iCQ2D3nhptRYi27fDYv2s1\"\n") + AREA,
       ":3: user[0].password: an old hash method"},
      {std::string("[fidonet]\naddress = \"2:5020/52\"\n") + AREA + "read = [\"nobody\"]\n",
       ":6: area[0].read: no [[user]] is named \"nobody\""},
      {std::string("[fidonet]\naddress = \"2:5020/52\"\n") + AREA + "post = \"some\"\n",
       ":6: area[0].post: expected true, false, \"all\""},
      {std::string("[server\n") + AREA, ":1: "},  // TOML syntax
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::string e = error(c.text);
    EXPECT_EQ(e.rfind(path_, 0), 0u) << e;
    EXPECT_NE(e.find(c.expected), std::string::npos) << e;
  }
}

TEST_F(ConfigFile, AddressesAsTheBackEndWritesThem) {
  // Posts are found by the origin address in their MSGID, which the back end
  // writes without leading zeros and without a point 0.
  Config c = load(std::string("[fidonet]\naddress = \"2:05020/52.0\"\n") + AREA +
                  "address = \"2:5020/52.01\"\n");
  EXPECT_EQ(c.address, "2:5020/52");
  EXPECT_EQ(c.areas[0].address, "2:5020/52.1");
}

TEST_F(ConfigFile, ReadOnlyAreasNeedNoAddress) {
  Config c = load(std::string(AREA) + "post = false\n");
  EXPECT_EQ(c.areas[0].post.who, Access::Who::Nobody);
}

TEST_F(ConfigFile, UsersAndWhoMayReadAndPost) {
  Config c = load(
      "[fidonet]\naddress = \"2:5020/52\"\n"
      "[[user]]\nname = \"ivan\"\n"
      "password = \"$6$abcdefgh$ltjgWl6579NluT/Vi1nwEvcil.G5Nbc4NiXZaNGStk8PSwGfQv72N2CKPPrVACtLtip/cZ/1GM/O6IND4WQhG.\"\n"
      "realnames = [\"Ivan Petrov\", \"Иван Петров\"]\naddress = \"2:5020/52.7\"\n"
      "[[user]]\nname = \"petr\"\npassword = \"$y$j9T$x3MPmCLo12EWAqssItF9P1$hXaBFaE2aO6rUXVfUOtc94xLfjsV5aILwMXT3hdbpO2\"\n" +
      std::string(AREA) +  // posting: the users, now that there are some
      "[[area]]\ngroup = \"fido.netmail\"\nspec = \"/var/fido/netmail\"\n"  // private: users only
      "[[area]]\ngroup = \"fido.ivan\"\nspec = \"$/var/fido/ivan\"\nread = [\"ivan\"]\npost = \"none\"\n");
  ASSERT_EQ(c.users.size(), 2u);
  const UserConfig* ivan = c.findUser("ivan");
  const UserConfig* petr = c.findUser("petr");
  ASSERT_TRUE(ivan && petr);
  EXPECT_EQ(ivan->realnames[1], "Иван Петров");
  EXPECT_EQ(ivan->address, "2:5020/52.7");
  const AreaConfig &echo = c.areas[0], &netmail = c.areas[1], &own = c.areas[2];
  EXPECT_TRUE(echo.read.allows(nullptr));
  EXPECT_FALSE(echo.post.allows(nullptr));
  EXPECT_TRUE(echo.post.allows(petr));
  EXPECT_TRUE(netmail.netmail);
  EXPECT_FALSE(netmail.read.allows(nullptr));
  EXPECT_TRUE(netmail.read.loginWouldHelp());
  EXPECT_TRUE(own.read.allows(ivan));
  EXPECT_FALSE(own.read.allows(petr));
  EXPECT_FALSE(own.post.allows(ivan));
}

TEST_F(ConfigFile, ShippedExampleIsValid) {
  Config c = loadConfig(NNTPD_EXAMPLE_CONFIG, "/usr/local/bin/zandrel-nntpd");
  EXPECT_EQ(c.areas.size(), 2u);
  EXPECT_EQ(c.originAddress(c.areas[0]), "2:5020/52.1");
  EXPECT_EQ(c.areas[1].post.who, Access::Who::Nobody);
}

}  // namespace
}  // namespace nntpd
