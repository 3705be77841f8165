// The text-mode stream layer: CR LF in becomes LF, LF out becomes CR LF.
#include "textio.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

namespace {

// Feeds `bytes` to a TextIn through a pipe.
struct PipeIn {
  explicit PipeIn(const std::string& bytes) {
    EXPECT_EQ(::pipe(fds), 0);
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
  ASSERT_EQ(::pipe(fds), 0);
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
  ASSERT_EQ(::pipe(fds), 0);
  std::string big(3000, 'z');
  {
    TextOut out(fds[1]);
    out.printf("<%s>", big.c_str());
  }
  ::close(fds[1]);
  EXPECT_EQ(Drain(fds[0]), "<" + big + ">");
  ::close(fds[0]);
}

}  // namespace
