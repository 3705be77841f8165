// The directory search that leaves regular files' sizes unasked.
#include "ffind.h"

#include <map>
#include <string>

#include <gtest/gtest.h>

#include "fileio.h"
#include "testutil.h"

namespace {

TEST(FFindNoSize, OnlyRegularFilesGoUnasked) {
  if (const char* why = zt::Lacks(zt::Facility::kFifosAndLinks)) GTEST_SKIP() << why;
  zt::TempDir tmp;
  zt::WriteFile(tmp / "1.msg", std::string(300, 'a'));
  zt::WriteFile(tmp / "2.msg", "");
  zt::WriteFile(tmp / "3.MSG", "another name");
  ASSERT_EQ(make_dir((tmp / "4.msg").c_str()), 0);
  ASSERT_TRUE(zt::MakeFifo(tmp / "5.msg"));
  ASSERT_TRUE(zt::MakeSymlink("1.msg", tmp / "6.msg"));
  ASSERT_TRUE(zt::MakeSymlink("4.msg", tmp / "7.msg"));
  const std::map<std::string, std::pair<int, sdword>> want = {
      {"1.msg", {0, -1}},              // regular: the listing says so
      {"2.msg", {0, -1}},
      {"4.msg", {MSDOS_SUBDIR, 0}},    // directories as ever
      {"5.msg", {0, 0}},               // anything else is asked
      {"6.msg", {0, 300}},             // a link is followed
      {"7.msg", {MSDOS_SUBDIR, 0}},
  };
  for (word wish : {word(0), word(MSDOS_SUBDIR)}) {
    SCOPED_TRACE(wish);
    std::map<std::string, std::pair<int, sdword>> got;
    FFIND* ff = FFindOpenNoSize((tmp / "*.msg").c_str(), wish);
    ASSERT_NE(ff, nullptr);
    do got[ff->name] = {ff->attr, ff->size};
    while (FFindNext(ff) == 0);
    FFindClose(ff);
    auto expect = want;
    if (!wish) expect.erase("4.msg"), expect.erase("7.msg");
    EXPECT_EQ(got, expect);
  }
}

}  // namespace
