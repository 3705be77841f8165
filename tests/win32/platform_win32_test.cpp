// What the Windows half of the platform layer does its own way: directory
// search without regard to case, directories named with a trailing
// separator, output in the runtime's text mode, locks that the holder may
// take again, and byte-range locks that make other programs' reads fail
// until they are waited out.
#include <gtest/gtest.h>

#include <chrono>
#include <iostream>
#include <map>
#include <string>

#include "child.h"
#include "fexist.h"
#include "ffind.h"
#include "fileio.h"
#include "gwfixture.h"
#include "host_process.h"
#include "locking.h"
#include "testutil.h"
#include "winlock.h"

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

std::map<std::string, std::pair<int, sdword>> Search(FFIND* (*open)(const char*, word),
                                                     const std::string& spec, word wish) {
  std::map<std::string, std::pair<int, sdword>> got;
  FFIND* ff = open(spec.c_str(), wish);
  if (!ff) return got;
  do got[ff->name] = {ff->attr, ff->size};
  while (FFindNext(ff) == 0);
  EXPECT_EQ(FFindNext(ff), -1);
  FFindClose(ff);
  return got;
}

TEST(HostDirectorySearch, NamesMatchWithoutCaseButNotThroughTheirShortAliases) {
  zt::TempDir tmp;
  zt::WriteFile(tmp / "1.msg", std::string(190, 'a'));
  zt::WriteFile(tmp / "2.MSG", "");
  zt::WriteFile(tmp / "3.Msg", "abc");
  // Their 8.3 aliases end in ".MSG", which the host's own matching accepts.
  zt::WriteFile(tmp / "4.msgx", "x");
  zt::WriteFile(tmp / "5.msg.bak", "x");
  zt::WriteFile(tmp / "notes.txt", "x");
  ASSERT_EQ(make_dir((tmp / "old.msg").c_str()), 0);
  const std::map<std::string, std::pair<int, sdword>> files = {
      {"1.msg", {0, 190}}, {"2.MSG", {0, 0}}, {"3.Msg", {0, 3}}};
  auto with_dir = files;
  with_dir["old.msg"] = {MSDOS_SUBDIR, 0};
  for (auto open : {FFindOpen, FFindOpenNoSize}) {
    EXPECT_EQ(Search(open, tmp / "*.msg", 0), files);
    EXPECT_EQ(Search(open, tmp.path() + "\\*.MSG", MSDOS_SUBDIR), with_dir);
  }
  EXPECT_EQ(Search(FFindOpen, tmp / "*.*", 0).size(), 6u);
}

TEST(HostFiles, DirectoriesNamedWithATrailingSeparatorExist) {
  zt::TempDir tmp;
  const std::string dir = tmp.path() + "\\echo";
  ASSERT_EQ(make_dir(dir.c_str()), 0);
  zt::WriteFile(dir + "\\file", "12345");
  EXPECT_EQ(fexist((dir + "\\file").c_str()), 1);
  EXPECT_EQ(fsize((dir + "\\file").c_str()), 5);
  EXPECT_EQ(direxist((dir + "\\file").c_str()), 0);
  EXPECT_EQ(fsize((dir + "\\missing").c_str()), -1);
  for (const std::string& name : {dir, dir + "\\", dir + "/", dir + "\\\\"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(direxist(name.c_str()), 1);
    EXPECT_EQ(fexist(name.c_str()), 0);
  }
  EXPECT_EQ(direxist("C:\\"), 1);
  EXPECT_EQ(direxist((dir + "\\missing\\").c_str()), 0);

  // A *.MSG area named that way opens, and its messages are numbered files.
  const std::string spec = "@" + dir + "\\";
  const auto r = zt::RunZandrel(
      zt::PostInput(spec, "2:5020/52", "2:5020/1", "", "Ivan", "All", "Hello", "text\r\n") +
      "STAT " + spec + " g\r\n");
  EXPECT_EQ(r.out, "g 2 1 y\r\n");
  EXPECT_TRUE(zt::Exists(dir + "\\2.msg"));
}

// The options print through the runtime's text mode, as replies do.
TEST(HostStreams, OptionsPrintLinesEndingInCrLf) {
  for (const char* option : {"--version", "--help"}) {
    SCOPED_TRACE(option);
    zt::HostProcess p;
    ASSERT_TRUE(p.Start(ZANDREL_BIN, {option}));
    std::string out;
    char buf[4096];
    for (long n; (n = p.Read(buf, sizeof buf, 20000)) > 0;) out.append(buf, std::size_t(n));
    EXPECT_EQ(p.Wait(20000), 0);
    if (option[2] == 'v') {
      EXPECT_EQ(out, "zandrel 1.2\r\n");
    } else {
      EXPECT_EQ(out.rfind("Usage: zandrel", 0), 0u) << out;
      EXPECT_EQ(out.find('\n'), out.find("\r\n") + 1);
    }
  }
}

TEST(HostLocks, TheHolderMayTakeItsRangeAgain) {
  zt::TempDir tmp;
  zt::WriteFile(tmp / "base.sqd", std::string(64, 'x'));
  UniqueFd a, b;
  ASSERT_TRUE(a.open((tmp / "base.sqd").c_str(), OF_READWRITE));
  ASSERT_TRUE(b.open((tmp / "base.sqd").c_str(), OF_READWRITE));
  EXPECT_EQ(lock(a.get(), 0, 4), 0);
  EXPECT_EQ(lock(a.get(), 0, 4), 0);
  EXPECT_EQ(lock(a.get(), 1, 2), 0);  // inside what it holds
  EXPECT_EQ(lock(b.get(), 2, 1), -1);
  EXPECT_EQ(unlock(a.get(), 0, 4), 0);  // one unlock lets go
  EXPECT_EQ(lock(b.get(), 2, 1), 0);
  // A descriptor closed and its number reused holds nothing.
  const int old = a.get();
  a.reset();
  ASSERT_TRUE(a.open((tmp / "base.sqd").c_str(), OF_READWRITE));
  ASSERT_EQ(a.get(), old);
  EXPECT_EQ(lock(a.get(), 0, 4), -1);
}

TEST(HostLocks, OnlyRefusalsByALockAreWaitedFor) {
  int calls = 0;
  auto t0 = Clock::now();
  EXPECT_TRUE(winlock::retry([&] {
    if (++calls == 4) return true;
    SetLastError(ERROR_LOCK_VIOLATION);
    return false;
  }));
  EXPECT_EQ(calls, 4);
  EXPECT_LT(SecondsSince(t0), 0.5);  // a writer's moment, not seconds
  calls = 0;
  EXPECT_FALSE(winlock::retry([&] {
    ++calls;
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }));
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
}

// True when a read of byte 0 through a handle of our own is refused while
// another process holds it: Windows enforces its locks, Wine does not.
bool ReadsAreRefusedUnderALock(const std::string& path) {
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  char c;
  DWORD got = 0;
  const bool refused = !ReadFile(h, &c, 1, &got, nullptr) && GetLastError() == ERROR_LOCK_VIOLATION;
  CloseHandle(h);
  return refused;
}

// A tosser writing the base holds byte 0 of the Squish data file or of the
// JAM header file, where opening an area reads the base header or the
// header info. The open waits for the holder instead of taking the base
// for damaged.
TEST(HostLocks, AreasOpenWhileAnotherProgramWritesThem) {
  struct Kind {
    char prefix;
    word type;
    const char* locked;
  };
  for (const Kind& k : {Kind{'$', AT_SQUISH | AT_ECHO, ".sqd"}, Kind{'#', AT_JAM | AT_ECHO, ".jhr"}}) {
    SCOPED_TRACE(k.locked);
    zt::TempDir tmp;
    const std::string base = tmp / "area";
    ASSERT_EQ(zt::StoreMessage(base, k.type,
                               zt::MakeHeader("Ivan", "All", "Hi", {2, 5020, 52, 0}, {2026, 1, 2, 3, 4, 6}),
                               "", "text\r"),
              1u);
    auto holder = zt::HoldLock(base + k.locked, 0, 1, 1500);
    ASSERT_NE(holder, nullptr);
    const bool enforced = ReadsAreRefusedUnderALock(base + k.locked);
    if (!enforced) std::cout << "note: this host does not refuse reads under a lock\n";
    auto t0 = Clock::now();
    const auto r = zt::RunZandrel(std::string("STAT ") + k.prefix + base + " g\r\n");
    EXPECT_EQ(r.out, "g 1 1 y\r\n");
    if (enforced) {
      EXPECT_GE(SecondsSince(t0), 1.0);
    }
    EXPECT_EQ(holder->Wait(), 0);
  }
}

}  // namespace
