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
  EXPECT_TRUE(c.areas[0].post);
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
  EXPECT_FALSE(c.anyPosting());
}

TEST_F(ConfigFile, ShippedExampleIsValid) {
  Config c = loadConfig(NNTPD_EXAMPLE_CONFIG, "/usr/local/bin/zandrel-nntpd");
  EXPECT_EQ(c.areas.size(), 2u);
  EXPECT_EQ(c.originAddress(c.areas[0]), "2:5020/52.1");
  EXPECT_FALSE(c.areas[1].post);
}

}  // namespace
}  // namespace nntpd
