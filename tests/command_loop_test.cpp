// The command loop and its reply framing, through the real binary.
#include <gtest/gtest.h>

#include <string>

#include "testutil.h"

using zt::RunZandrel;

namespace {

const std::string kNul(1, '\0');

TEST(CommandLoop, EndOfInputExitsZeroSilently) {
  auto r = RunZandrel("");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
}

TEST(CommandLoop, UnknownLinesEmptyLinesAndLowerCaseExitGetOneNulEach) {
  auto r = RunZandrel("BOGUS command\n\nexit\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kNul + kNul + kNul);
}

TEST(CommandLoop, ExitComparesOnlyFourCharactersAndEndsAtOnce) {
  auto r = RunZandrel("BOGUS\nEXITing now\nBOGUS\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kNul);  // the line after EXIT is never read
}

TEST(CommandLoop, FailedCommandsAnswerAsFramed) {
  // STAT and POST answer nothing at all; HEAD and RETR answer a lone NUL.
  auto r = RunZandrel(
      "STAT $/nonexistent/area g\n"
      "STAT\n"
      "HEAD $/nonexistent/area x1 2 3\n"
      "RETR $/nonexistent/area 1\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kNul + kNul);
}

TEST(CommandLoop, CrLfLinesAreCommandsToo) {
  auto r = RunZandrel("BOGUS\r\nEXIT\r\nBOGUS\r\n");
  EXPECT_EQ(r.out, kNul);
}

TEST(CommandLoop, NulInsideALineEndsTheCommandText) {
  // The text after a NUL byte is not part of the command; what is left before
  // it loses its last character like any other line.
  auto r = RunZandrel(std::string("EXITx\0junk\n", 11) + "BOGUS\n");
  EXPECT_EQ(r.out, "");
  r = RunZandrel(std::string("EXIT\0junk\n", 10) + "BOGUS\n");  // "EXI"
  EXPECT_EQ(r.out, kNul + kNul);
  r = RunZandrel(std::string("EX\0IT\n", 6) + std::string("\xff\x01\x80 binary\n"));
  EXPECT_EQ(r.out, kNul + kNul);
}

TEST(CommandLoop, OverlongLinesArriveInPiecesOf8191) {
  // 20,000 characters and a line feed: pieces of 8191, 8191 and 3619, each
  // its own (unrecognised) command.
  auto r = RunZandrel(std::string(20000, 'x') + "\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kNul + kNul + kNul);

  // The second piece starts with EXIT and so ends the process.
  r = RunZandrel(std::string(8191, 'x') + "EXIT" + std::string(100, 'y') + "\nBOGUS\n");
  EXPECT_EQ(r.out, kNul);

  // A line of exactly 8191 characters including its line feed is one piece.
  r = RunZandrel(std::string(8190, 'x') + "\nBOGUS\n");
  EXPECT_EQ(r.out, kNul + kNul);
}

TEST(CommandLoop, FinalLineWithoutLineFeedLosesItsLastCharacter) {
  auto r = RunZandrel("EXIT");  // "EXI": not EXIT
  EXPECT_EQ(r.out, kNul);
  r = RunZandrel("EXITx");
  EXPECT_EQ(r.out, "");
}

TEST(CommandLoop, RepliesArriveAsTheyAreFlushed) {
  zt::Zandrel z;
  z.Send("BOGUS\n");
  EXPECT_EQ(z.ReadReply(), "");
  z.Send("HEAD $/nonexistent x1\n");
  EXPECT_EQ(z.ReadReply(), "");
  std::string rest;
  EXPECT_EQ(z.Finish(&rest), 0);
  EXPECT_EQ(rest, "");
}

}  // namespace
