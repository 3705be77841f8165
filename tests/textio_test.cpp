// The text-mode stream layer: CR LF in becomes LF, LF out becomes CR LF.
#include "textio.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "fileio.h"
#include "testutil.h"

namespace {

// Feeds `bytes` to a TextIn through a pipe.
struct PipeIn {
  explicit PipeIn(const std::string& bytes) {
    EXPECT_TRUE(zt::MakePipe(fds));
    EXPECT_EQ(::write(fds[1], bytes.data(), bytes.size()), ssize_t(bytes.size()));
    ::close(fds[1]);
  }
  ~PipeIn() { ::close(fds[0]); }
  int fds[2];
};

std::string Drain(int fd) {
  std::string s;
  char buf[4096];
  ssize_t r;
  while ((r = ::read(fd, buf, sizeof buf)) > 0) s.append(buf, std::size_t(r));
  return s;
}

TEST(TextIn, TranslatesCrLfAndKeepsLoneCrAndNul) {
  PipeIn p(std::string("a\r\nb\rc\0d\n\r\r\nlast\r", 17));
  TextIn in(p.fds[0]);
  std::string line;
  ASSERT_TRUE(in.getline(line, 100));
  EXPECT_EQ(line, "a\n");
  ASSERT_TRUE(in.getline(line, 100));
  EXPECT_EQ(line, std::string("b\rc\0d\n", 6));
  ASSERT_TRUE(in.getline(line, 100));
  EXPECT_EQ(line, "\r\n");  // CR then CR LF
  ASSERT_TRUE(in.getline(line, 100));
  EXPECT_EQ(line, "last\r");  // a CR at end of input stays
  EXPECT_FALSE(in.getline(line, 100));
  EXPECT_EQ(in.getc(), -1);
}

TEST(TextIn, LineLimitCountsTranslatedCharacters) {
  PipeIn p("ab\r\ncd\r\n");
  TextIn in(p.fds[0]);
  std::string line;
  ASSERT_TRUE(in.getline(line, 3));
  EXPECT_EQ(line, "ab\n");  // CR LF counts as one
  ASSERT_TRUE(in.getline(line, 1));
  EXPECT_EQ(line, "c");
  EXPECT_EQ(in.getc(), 'd');
  EXPECT_EQ(in.getc(), '\n');
  EXPECT_EQ(in.getc(), -1);
}

TEST(TextOut, WritesLfAsCrLfAndEverythingElseUnchanged) {
  int fds[2];
  ASSERT_TRUE(zt::MakePipe(fds));
  {
    TextOut out(fds[1]);
    out.printf("%s %d y\n", "group", 57);
    out.put('\0');
    out.write("a\rb\n\n", 5);
    out.puts("\x80\xff");
  }  // the destructor flushes
  ::close(fds[1]);
  EXPECT_EQ(Drain(fds[0]), std::string("group 57 y\r\n") + '\0' + "a\rb\r\n\r\n\x80\xff");
  ::close(fds[0]);
}

TEST(TextOut, LongFormattedOutputIsNotCut) {
  int fds[2];
  ASSERT_TRUE(zt::MakePipe(fds));
  std::string big(3000, 'z');
  {
    TextOut out(fds[1]);
    out.printf("<%s>", big.c_str());
  }
  ::close(fds[1]);
  EXPECT_EQ(Drain(fds[0]), "<" + big + ">");
  ::close(fds[0]);
}

// Output larger than the buffer, written in pieces of every size, with line
// feeds at the ends and starts of runs and on the buffer's edges: every LF
// and only the LFs gain a CR, and no byte is lost or doubled.
TEST(TextOut, LongWritesTranslateAcrossTheBuffer) {
  std::string text;
  for (int i = 0; text.size() < 300000; ++i) {
    text += std::string(std::size_t(i * 37 % 9000), char('a' + i % 26));
    text += i % 5 ? "\n" : "\n\n\r";
  }
  std::string want;
  for (char c : text) {
    if (c == '\n') want += '\r';
    want += c;
  }
  zt::TempDir dir;
  const std::string path = dir / "out";
  int fd = open_file(path.c_str(), OF_WRITE | OF_CREATE | OF_TRUNCATE);
  ASSERT_GE(fd, 0);
  {
    TextOut out(fd);
    std::size_t at = 0;
    for (std::size_t piece = 1; at < text.size(); piece = piece * 3 % 70001 + 1) {
      const std::size_t n = std::min(piece, text.size() - at);
      out.write(text.data() + at, n);
      at += n;
    }
  }
  close_file(fd);
  EXPECT_TRUE(zt::ReadFile(path) == want);
}

}  // namespace
