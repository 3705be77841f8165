// What zandrel creates is as open as the umask allows: a tosser running
// under another account of the same group must read and toss into it.
#include <sys/stat.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "gwfixture.h"
#include "msgapi.h"
#include "testutil.h"

namespace {

unsigned ModeOf(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return 0;
  return unsigned(st.st_mode & 07777);
}

// Sets the umask for one test and puts the old one back.
class Umask {
 public:
  explicit Umask(mode_t m) : old_(::umask(m)) {}
  ~Umask() { ::umask(old_); }

 private:
  mode_t old_;
};

TEST(FileModes, NewAreasAndMessagesFollowTheUmask) {
  if (const char* why = zt::Lacks(zt::Facility::kFileModes)) GTEST_SKIP() << why;
  zt::TempDir tmp;
  Umask group_writable(002);
  const XMSG x = zt::MakeHeader("Sysop", "All", "modes", {2, 5020, 52, 0}, {2026, 1, 2, 3, 4, 6});
  struct Case {
    const char* name;
    std::string path;
    word type;
    std::vector<std::string> files;
  } cases[] = {
      {"Squish", tmp / "sq", AT_SQUISH | AT_ECHO, {tmp / "sq.sqd", tmp / "sq.sqi"}},
      {"JAM",
       tmp / "jam",
       AT_JAM | AT_ECHO,
       {tmp / "jam.jhr", tmp / "jam.jdt", tmp / "jam.jdx", tmp / "jam.jlr"}},
      {"*.MSG echo", tmp / "echo", AT_SDM | AT_ECHO, {tmp / "echo/2.msg", tmp / "echo/3.msg"}},
      {"*.MSG netmail", tmp / "net", AT_SDM, {tmp / "net/1.msg", tmp / "net/2.msg"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_NE(zt::StoreMessage(c.path, c.type, x, "", "first\r"), 0u);
    ASSERT_NE(zt::StoreMessage(c.path, c.type, x, "", "second\r"), 0u);
    if (!(c.type & (AT_SQUISH | AT_JAM))) {
      EXPECT_EQ(ModeOf(c.path), 0775u);
    }
    for (const std::string& f : c.files) EXPECT_EQ(ModeOf(f), 0664u) << f;
  }
}

}  // namespace
