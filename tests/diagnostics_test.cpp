// Why a command failed: one line on standard error for each command that
// fails, naming the command, the area spec and the reason; nothing there for
// commands that succeed or for lines that are no command. And the two
// options, which print and end the program.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>

#include "child.h"
#include "gwfixture.h"
#include "testutil.h"

namespace {

// The line that says why a command failed, as the front end's side sees it.
std::string Why(const std::string& command, const std::string& spec, const std::string& reason) {
  std::string line = "zandrel: ";
  line += command;
  line += ' ';
  line += spec;
  line += ": ";
  line += reason;
  return line += "\r\n";
}

TEST(Diagnostics, OneLinePerFailedCommand) {
  zt::TempDir dir;
  const std::string jam = '#' + (dir / "jam"), missing = '$' + (dir / "missing");
  const std::string junk = '#' + (dir / "junk"), squish = '$' + (dir / "sq");
  // All three files of a JAM base, but a header file too short for its
  // header info.
  zt::WriteFile(dir / "junk.jhr", std::string("JAM\0", 4));
  zt::WriteFile(dir / "junk.jdt", "");
  zt::WriteFile(dir / "junk.jdx", "");
  const std::string post =
      zt::PostInput(jam, "2:5020/52", "2:5020/1", "", "Ivan", "All", "Hi", "text\n");
  zt::RunResult r = zt::RunZandrel(
      post + "STAT " + jam + " g\nHEAD " + jam + " x1 2 3\nRETR " + jam + " 1\n" +
      "RETR " + jam + " 12\nSTAT " + missing + " g\nHEAD " + junk + " x1\nNOOP\n" +
      "RETR " + jam + "\nPOST " + squish + " 2:5020/52 2:5020/1 100\n\nIvan\nAll\nHi\ncut short");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, Why("RETR", jam, "message 12 not found") +
                       Why("STAT", missing, "no such file or directory") +
                       Why("HEAD", junk, "not a JAM base: short header file") +
                       Why("RETR", jam, "bad command line") +
                       Why("POST", squish, "input ended before the whole article"));
  EXPECT_FALSE(zt::Exists(dir / "sq.sqd"));
}

// A base and a *.MSG directory of another user that we may not read: a
// directory that cannot be listed is no empty area.
TEST(Diagnostics, PermissionRefused) {
  if (const char* why = zt::Lacks(zt::Facility::kOtherUsers)) GTEST_SKIP() << why;
  zt::TempDir dir;
  const std::string jam = dir / "jam", net = dir / "net";
  const XMSG hdr = zt::MakeHeader("Ivan", "All", "Hi", {2, 5020, 52, 0}, {2024, 1, 2, 3, 4, 5});
  ASSERT_EQ(zt::StoreMessage(jam, AT_JAM | AT_ECHO, hdr, "", "text\r"), 1u);
  ASSERT_NE(zt::StoreMessage(net, AT_SDM, hdr, "", "text\r"), 0u);
  zt::OpenToAll(dir.path());
  ASSERT_EQ(::chmod((jam + ".jhr").c_str(), 0600), 0);
  ASSERT_EQ(::chmod(net.c_str(), 0700), 0);
  zt::RunResult r = zt::RunZandrelUnprivileged("STAT #" + jam + " g\nSTAT " + net + " g\n");
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, Why("STAT", '#' + jam, "permission denied") +
                       Why("STAT", net, "cannot list the directory: permission denied"));
}

TEST(Diagnostics, VersionAndHelpPrintAndEnd) {
  if (const char* why = zt::Lacks(zt::Facility::kPosixShell)) GTEST_SKIP() << why;
  using zt::Shell;
  const std::string bin = ZANDREL_BIN;
  EXPECT_EQ(Shell(bin + " --version </dev/null 2>&1"),
            std::make_pair(std::string("zandrel 1.2\r\n"), 0));
  auto [help, status] = Shell(bin + " --help </dev/null 2>&1");
  EXPECT_EQ(status, 0);
  EXPECT_EQ(help.rfind("Usage: zandrel", 0), 0u) << help;
  EXPECT_NE(help.find("RETR area number"), std::string::npos) << help;
  // Any other argument is ignored: commands are read as ever.
  EXPECT_EQ(Shell("printf 'NOOP\\n' | " + bin + " --verbose 2>&1"),
            std::make_pair(std::string(1, '\0'), 0));
}

}  // namespace
