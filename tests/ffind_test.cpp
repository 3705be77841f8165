// Directory search: which entries a pattern and an attribute wish yield.
#include "ffind.h"

#include <map>
#include <string>

#include <gtest/gtest.h>

#include "fileio.h"
#include "testutil.h"

namespace {

struct Found {
  byte attr;
  sdword size;
  bool operator==(const Found&) const = default;
};
using Listing = std::map<std::string, Found>;

// Everything one search yields, checking that it then stays at its end.
Listing Search(const std::string& spec, word wish) {
  Listing out;
  FFIND* ff = FFindOpen(spec.c_str(), wish);
  if (ff == nullptr) return out;
  do {
    EXPECT_TRUE(out.emplace(ff->name, Found{ff->attr, ff->size}).second)
        << "returned twice: " << ff->name;
  } while (FFindNext(ff) == 0);
  EXPECT_EQ(FFindNext(ff), -1);
  EXPECT_EQ(FFindNext(ff), -1);
  FFindClose(ff);
  return out;
}

class FFindTest : public ::testing::Test {
 protected:
  void SetUp() override {
    zt::WriteFile(tmp_ / "1.msg", std::string(190, 'a'));
    zt::WriteFile(tmp_ / "2.msg", "");
    zt::WriteFile(tmp_ / "3.MSG", "upper case is another name");
    zt::WriteFile(tmp_ / "notes.txt", "x");
    ASSERT_EQ(make_dir((tmp_ / "old.msg").c_str()), 0);
    if (!zt::Lacks(zt::Facility::kFifosAndLinks)) {
      ASSERT_TRUE(zt::MakeFifo(tmp_ / "pipe.msg"));
    }
    ASSERT_EQ(make_dir((tmp_ / "only").c_str()), 0);
    ASSERT_EQ(make_dir((tmp_ / "only/a.d").c_str()), 0);
    ASSERT_EQ(make_dir((tmp_ / "only/b.d").c_str()), 0);
  }
  zt::TempDir tmp_;
};

TEST_F(FFindTest, PatternAndWish) {
  if (const char* why = zt::Lacks(zt::Facility::kExactCaseNames)) GTEST_SKIP() << why;
  const Found file190{0, 190}, empty{0, 0}, fifo{0, 0}, dir{MSDOS_SUBDIR, 0};
  struct Case {
    const char* name;
    std::string spec;
    word wish;
    Listing want;
  };
  const Case cases[] = {
      {"files only, exact case", tmp_ / "*.msg", 0,
       {{"1.msg", file190}, {"2.msg", empty}, {"pipe.msg", fifo}}},
      {"directories when wished", tmp_ / "*.msg", MSDOS_SUBDIR,
       {{"1.msg", file190}, {"2.msg", empty}, {"pipe.msg", fifo}, {"old.msg", dir}}},
      {"only the low 8 bits of the wish count", tmp_ / "*.msg", 0x100,
       {{"1.msg", file190}, {"2.msg", empty}, {"pipe.msg", fifo}}},
      {"other bits do not filter", tmp_ / "*.msg", 0x17,
       {{"1.msg", file190}, {"2.msg", empty}, {"pipe.msg", fifo}, {"old.msg", dir}}},
      {"upper case pattern", tmp_ / "*.MSG", 0, {{"3.MSG", Found{0, 26}}}},
      {"directories only, wish 0", tmp_ / "only/*", 0, {}},
      {"directories only, wish 0x10", tmp_ / "only/*.d", MSDOS_SUBDIR,
       {{"a.d", dir}, {"b.d", dir}}},
      {"no match", tmp_ / "*.jam", MSDOS_SUBDIR, {}},
      {"missing directory", tmp_ / "none/*.msg", 0, {}},
      {"empty name after the directory", tmp_.path() + "/", MSDOS_SUBDIR, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Search(c.spec, c.wish), c.want);
  }
}

// "*" and a literal tail is matched by comparing the tail; it must find
// exactly what the general matcher finds for the same pattern written with
// a bracket, which takes the general path.
TEST(FFindTail, MatchesLikeTheGeneralMatcher) {
  if (const char* why = zt::Lacks(zt::Facility::kExactCaseNames)) GTEST_SKIP() << why;
  zt::TempDir tmp;
  for (const char* name : {"1.msg", ".msg", "msg", "a.msg.bak", "b.msgmsg", "c.MSG", "d.msg.msg",
                           "e\\.msg", "sg"})
    zt::WriteFile(tmp / name, "x");
  const std::pair<std::string, std::string> cases[] = {
      {"*.msg", "*[.]msg"},
      {"*msg", "*[m]sg"},
      {"*.msg.msg", "*[.]msg.msg"},
      {"*\\.msg", "*[\\].msg"},
      {"*", "*?"},
      {"*.MSG", "*[.]MSG"},
  };
  for (const auto& [tail, general] : cases) {
    SCOPED_TRACE(tail);
    const Listing got = Search(tmp / tail, 0);
    EXPECT_FALSE(got.empty());
    EXPECT_EQ(got, Search(tmp / general, 0));
  }
}

TEST_F(FFindTest, FindInfoIsOneFile) {
  FFIND* ff = FindInfo((tmp_ / "1.msg").c_str());
  ASSERT_NE(ff, nullptr);
  EXPECT_STREQ(ff->name, "1.msg");  // no directory part
  EXPECT_EQ(ff->size, 190);
  EXPECT_EQ(ff->attr, 0);
  EXPECT_EQ(FFindNext(ff), -1);
  FFindClose(ff);
  EXPECT_EQ(FindInfo((tmp_ / "old.msg").c_str()), nullptr);  // a directory, wish 0
}

TEST_F(FFindTest, LongestNameFitsTheRecord) {
  // Linux refuses names over 255 bytes, so the longest possible name is the
  // boundary: it must arrive whole and terminated.
  std::string longest(251, 'n');
  longest += ".msg";
  zt::WriteFile(tmp_ / longest, "abc");
  Listing got = Search(tmp_ / "n*.msg", 0);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got.begin()->first, longest);
  EXPECT_EQ(got.begin()->second, (Found{0, 3}));
}

TEST_F(FFindTest, NullRecords) {
  EXPECT_EQ(FFindNext(nullptr), -1);
  FFindClose(nullptr);
  EXPECT_EQ(FFindOpen(nullptr, 0), nullptr);
}

}  // namespace
