// File tests, path trailers and the integer sort.
#include <algorithm>
#include <climits>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fexist.h"
#include "fileio.h"
#include "qksort.h"
#include "testutil.h"
#include "trail.h"

namespace {

TEST(FileTests, KindsOfEntries) {
  if (const char* why = zt::Lacks(zt::Facility::kFifosAndLinks)) GTEST_SKIP() << why;
  zt::TempDir tmp;
  zt::WriteFile(tmp / "file", "12345");
  zt::WriteFile(tmp / "empty", "");
  ASSERT_EQ(make_dir((tmp / "dir").c_str()), 0);
  ASSERT_TRUE(zt::MakeFifo(tmp / "fifo"));
  ASSERT_TRUE(zt::MakeSymlink(tmp / "file", tmp / "link"));
  ASSERT_TRUE(zt::MakeSymlink(tmp / "gone", tmp / "dangling"));

  struct Case {
    const char* name;
    int file, dir;
    sdword size;  // -1 when the query fails; unchecked (-2) for directories
  };
  const Case cases[] = {
      {"file", 1, 0, 5},     {"empty", 1, 0, 0},     {"dir", 0, 1, -2},
      {"fifo", 0, 0, 0},     {"link", 1, 0, 5},      {"dangling", 0, 0, -1},
      {"missing", 0, 0, -1}, {"file/x", 0, 0, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = tmp / c.name;
    EXPECT_EQ(fexist(path.c_str()) != 0, c.file != 0);
    EXPECT_EQ(direxist(path.c_str()) != 0, c.dir != 0);
    if (c.size != -2) {
      EXPECT_EQ(fsize(path.c_str()), c.size);
    }
  }
  EXPECT_EQ(fexist(nullptr), 0);
  EXPECT_EQ(direxist(nullptr), 0);
  EXPECT_EQ(fsize(nullptr), -1);
}

TEST(Trail, AddAndStrip) {
  struct Case {
    const char* name;
    bool add;
    char ch;
    const char* in;
    const char* out;
  };
  const Case cases[] = {
      {"add appends", true, '/', "/base/area", "/base/area/"},
      {"add twice is once", true, '/', "/base/area/", "/base/area/"},
      {"add to empty", true, '/', "", ""},
      {"add other char", true, 'x', "a/", "a/x"},
      {"strip removes one", false, '/', "/base/area/", "/base/area"},
      {"strip keeps the second of two", false, '/', "/base//", "/base/"},
      {"strip without trailer", false, '/', "/base", "/base"},
      {"strip empty", false, '/', "", ""},
      {"strip the only char", false, '/', "/", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    char buf[32];
    std::memset(buf, '#', sizeof buf);
    std::strcpy(buf, c.in);
    char* r = c.add ? Add_Trailing(buf, c.ch) : Strip_Trailing(buf, c.ch);
    EXPECT_EQ(r, buf);
    EXPECT_STREQ(buf, c.out);
    // Nothing is written past the one character and its terminator.
    std::size_t used = std::strlen(c.in) + 2;
    for (std::size_t i = used; i < sizeof buf; ++i) ASSERT_EQ(buf[i], '#') << i;
  }
  EXPECT_EQ(Add_Trailing(nullptr, '/'), nullptr);
  EXPECT_EQ(Strip_Trailing(nullptr, '/'), nullptr);
}

std::vector<sdword> Sorted(std::vector<sdword> v) {
  qksort(v.data(), unsigned(v.size()));
  return v;
}

TEST(Qksort, SmallCases) {
  EXPECT_EQ(Sorted({5, 3, 9, 1}), (std::vector<sdword>{1, 3, 5, 9}));
  EXPECT_EQ(Sorted({2, -1}), (std::vector<sdword>{-1, 2}));  // signed order
  EXPECT_EQ(Sorted({INT_MAX, INT_MIN, 0, -1}),
            (std::vector<sdword>{INT_MIN, -1, 0, INT_MAX}));
  EXPECT_EQ(Sorted({4, 4, 1, 4, 1}), (std::vector<sdword>{1, 1, 4, 4, 4}));

  // Counts of 0 and 1 touch nothing, not even the element past the count.
  sdword a[2] = {7, 3};
  qksort(a, 0);
  qksort(a, 1);
  EXPECT_EQ(a[0], 7);
  EXPECT_EQ(a[1], 3);
  qksort(nullptr, 0);

  // iqksort works on an inclusive range and leaves its neighbours alone.
  sdword b[6] = {9, 5, 4, 3, 2, 0};
  iqksort(b + 1, b + 4);
  EXPECT_EQ(std::vector<sdword>(b, b + 6), (std::vector<sdword>{9, 2, 3, 4, 5, 0}));
  iqksort(b + 3, b + 3);  // a single element
  iqksort(b + 4, b + 3);  // an empty range
  EXPECT_EQ(std::vector<sdword>(b, b + 6), (std::vector<sdword>{9, 2, 3, 4, 5, 0}));
}

TEST(Qksort, AgreesWithStdSortOnHardShapes) {
  std::mt19937 rng(2026);
  const int n = 3000;
  std::vector<std::pair<const char*, std::vector<sdword>>> inputs;
  std::vector<sdword> v(n);
  for (int i = 0; i < n; ++i) v[i] = i;
  inputs.emplace_back("ascending", v);
  std::reverse(v.begin(), v.end());
  inputs.emplace_back("descending", v);
  inputs.emplace_back("all equal", std::vector<sdword>(n, 42));
  for (int i = 0; i < n; ++i) v[i] = i < n / 2 ? i : n - i;
  inputs.emplace_back("organ pipe", v);
  for (auto& x : v) x = sdword(rng());
  inputs.emplace_back("random", v);
  for (auto& x : v) x = sdword(rng() % 4) - 2;
  inputs.emplace_back("few distinct", v);
  for (auto& [name, in] : inputs) {
    SCOPED_TRACE(name);
    std::vector<sdword> want = in;
    std::sort(want.begin(), want.end());
    EXPECT_EQ(Sorted(in), want);
  }
}

}  // namespace
