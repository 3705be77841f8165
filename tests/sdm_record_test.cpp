// The 190-byte *.MSG header record.
#include "structrw_sdm.h"

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "fileio.h"
#include "sdm_testutil.h"
#include "testutil.h"

namespace {

OMSG Known() {
  OMSG h = sdmt::Header("Ann", "Bob", "Hi");
  h.times_read = 0x0102;
  h.dest_node = 0x0304;
  h.orig_node = 0x0506;
  h.cost = 0x0708;
  h.orig_net = 0x090A;
  h.dest_net = 0x0B0C;
  h.date_written.ldate = 0;
  h.date_written.msg_st.date.da = 12;  // 12 Jan 1997 10:20:30
  h.date_written.msg_st.date.mo = 1;
  h.date_written.msg_st.date.yr = 17;
  h.date_written.msg_st.time.hh = 10;
  h.date_written.msg_st.time.mm = 20;
  h.date_written.msg_st.time.ss = 15;
  h.date_arrived.ldate = 0;
  h.date_arrived.msg_st.date.da = 1;
  h.date_arrived.msg_st.date.mo = 2;
  h.date_arrived.msg_st.date.yr = 3;
  h.reply_to = 0x1122;
  h.attr = 0x3344;
  h.next_reply = 0x5566;
  return h;
}

TEST(SdmRecord, GoldenBytes) {
  std::string want;
  auto field = [&](const char* s, std::size_t width) {
    std::string f(s);
    f.resize(width, '\0');
    want += f;
  };
  field("Ann", 36);
  field("Bob", 36);
  field("Hi", 72);
  field("12 Jan 97  10:20:30", 20);
  want += std::string("\x02\x01\x04\x03\x06\x05\x08\x07\x0A\x09\x0C\x0B", 12);
  // 12 Jan 1997: 12 | 1 << 5 | 17 << 9 = 0x222C; 10:20:30: 15 | 20 << 5 | 10 << 11 = 0x528F.
  want += std::string("\x2C\x22\x8F\x52", 4);
  want += std::string("\x41\x06\x00\x00", 4);  // 1 Feb 1983, midnight
  want += std::string("\x22\x11\x44\x33\x66\x55", 6);
  ASSERT_EQ(want.size(), OMSG_SIZE);

  EXPECT_EQ(sdmt::Bytes(Known()), want);

  uint8_t buf[OMSG_SIZE];
  std::memcpy(buf, want.data(), OMSG_SIZE);
  EXPECT_EQ(sdmt::Bytes(decode_omsg(buf)), want);
}

TEST(SdmRecord, ShortFileReadsNothing) {
  zt::TempDir tmp;
  std::string path = tmp / "1.msg";
  zt::WriteFile(path, sdmt::Bytes(Known()).substr(0, OMSG_SIZE - 1));
  UniqueFd fd;
  ASSERT_TRUE(fd.open(path.c_str(), OF_READ));
  OMSG out = sdmt::Header("untouched");
  EXPECT_EQ(read_omsg(fd.get(), &out), 0);
  EXPECT_STREQ(reinterpret_cast<char*>(out.from), "untouched");

  ASSERT_TRUE(fd.open(path.c_str(), OF_READWRITE | OF_TRUNCATE));
  OMSG in = Known();
  EXPECT_EQ(write_omsg(fd.get(), &in), 1);
  EXPECT_EQ(zt::ReadFile(path), sdmt::Bytes(Known()));
  ASSERT_EQ(seek_file(fd.get(), 0, SEEK_FROM_START), 0);
  EXPECT_EQ(read_omsg(fd.get(), &out), 1);
  EXPECT_EQ(out.next_reply, 0x5566);
}

}  // namespace
