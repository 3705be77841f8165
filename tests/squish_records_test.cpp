// Byte layouts of the Squish records, checked against bytes written out by
// hand: a round trip alone would pass with a byte-order bug on both sides.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "fileio.h"
#include "structrw_sq.h"
#include "testutil.h"

namespace {

std::string Hex(const std::string& s) {
  static const char* d = "0123456789abcdef";
  std::string out;
  for (unsigned char c : s) {
    out += d[c >> 4];
    out += d[c & 15];
  }
  return out;
}

class SquishRecords : public ::testing::Test {
 protected:
  zt::TempDir dir_;
  std::string path_ = dir_ / "rec.bin";
  UniqueFd Open(unsigned flags) {
    UniqueFd fd;
    EXPECT_TRUE(fd.open(path_.c_str(), flags));
    return fd;
  }
  UniqueFd Create() { return Open(OF_READWRITE | OF_CREATE | OF_TRUNCATE); }
};

TEST_F(SquishRecords, FrameHeaderGoldenBytes) {
  SQHDR h{SQHDRID, 0x11223344, 0x55667788, 0x99AABBCC, 0x01020304, 0x0A0B0C0D, FRAME_FREE, 0xBEEF};
  {
    UniqueFd fd = Create();
    ASSERT_EQ(write_sqhdr(fd.get(), &h), 1);
  }
  EXPECT_EQ(Hex(zt::ReadFile(path_)),
            "5344aeaf" "44332211" "88776655" "ccbbaa99" "04030201" "0d0c0b0a" "0100" "efbe");
  UniqueFd fd = Open(OF_READ);
  SQHDR back{};
  ASSERT_EQ(read_sqhdr(fd.get(), &back), 1);
  EXPECT_EQ(back.id, SQHDRID);
  EXPECT_EQ(back.next_frame, 0x11223344u);
  EXPECT_EQ(back.ctrl_size, 0x0A0B0C0Du);
  EXPECT_EQ(back.frame_type, FRAME_FREE);
  EXPECT_EQ(back.reserved, 0xBEEF);
}

TEST_F(SquishRecords, ShortFrameHeaderLeavesTargetUntouched) {
  zt::WriteFile(path_, std::string(27, '\x53'));  // ends inside the header
  UniqueFd fd = Open(OF_READ);
  SQHDR h{};
  h.msg_size = 42;
  EXPECT_EQ(read_sqhdr(fd.get(), &h), 0);
  EXPECT_EQ(h.msg_size, 42u);
}

TEST_F(SquishRecords, BaseHeaderGoldenBytes) {
  SQBASE b{};
  b.base_size = 256;
  b.reserved1 = 0x0102;
  b.num_msg = 3;
  b.high_msg = 4;
  b.skip_msgs = 5;
  b.high_water = 0x01000006;
  b.next_uid = 7;
  std::memcpy(b.base_name, "/a/b", 4);
  b.first_frame = 0x100;
  b.last_frame = 0x200;
  b.free_first = 0x300;
  b.free_last = 0x400;
  b.end_of_file = 0x500;
  b.max_msgs = 9;
  b.retention = 0x0A0B;
  b.frame_hdr_size = 28;
  b.reserved2[0] = 0xEE;
  b.reserved2[123] = 0xFF;
  {
    UniqueFd fd = Create();
    ASSERT_EQ(write_sqbase(fd.get(), &b), 1);
  }
  std::string bytes = zt::ReadFile(path_);
  ASSERT_EQ(bytes.size(), 256u);
  EXPECT_EQ(Hex(bytes.substr(0, 28)),
            "0001" "0201" "03000000" "04000000" "05000000" "06000001" "07000000" "2f612f62");
  EXPECT_EQ(bytes.substr(28, 76), std::string(76, '\0'));  // rest of base_name
  EXPECT_EQ(Hex(bytes.substr(104, 28)),
            "00010000" "00020000" "00030000" "00040000" "00050000" "09000000" "0b0a" "1c00");
  EXPECT_EQ(uint8_t(bytes[132]), 0xEE);
  EXPECT_EQ(uint8_t(bytes[255]), 0xFF);

  UniqueFd fd = Open(OF_READ);
  SQBASE back{};
  ASSERT_EQ(read_sqbase(fd.get(), &back), 1);
  EXPECT_EQ(std::memcmp(&back, &b, sizeof b), 0);
}

TEST_F(SquishRecords, MessageHeaderGoldenBytes) {
  XMSG x{};
  x.attr = 0x40040104;
  std::memset(x.from, 'F', sizeof x.from);
  std::memset(x.to, 'T', sizeof x.to);
  std::memset(x.subj, 'S', sizeof x.subj);
  x.orig = {1, 2, 3, 4};
  x.dest = {0x0102, 0x0304, 0x0506, 0x0708};
  // 5 March 2002, 14:07:30 and 31 December 2107, 23:59:58.
  x.date_written.msg_st.date = {5, 3, 22};
  x.date_written.msg_st.time = {15, 7, 14};
  x.date_arrived.msg_st.date = {31, 12, 127};
  x.date_arrived.msg_st.time = {29, 59, 23};
  x.utc_ofs = -120;
  x.replyto = 0xA1A2A3A4;
  for (int i = 0; i < 10; ++i) x.replies[i] = dword(i + 1);
  std::memcpy(x.__ftsc_date, "05 Mar 02  14:07:30", 20);
  {
    UniqueFd fd = Create();
    ASSERT_EQ(write_xmsg(fd.get(), &x), 1);
  }
  std::string bytes = zt::ReadFile(path_);
  ASSERT_EQ(bytes.size(), 238u);
  EXPECT_EQ(Hex(bytes.substr(0, 4)), "04010440");
  EXPECT_EQ(bytes.substr(4, 36), std::string(36, 'F'));
  EXPECT_EQ(bytes.substr(40, 36), std::string(36, 'T'));
  EXPECT_EQ(bytes.substr(76, 72), std::string(72, 'S'));
  EXPECT_EQ(Hex(bytes.substr(148, 16)), "0100020003000400" "0201040306050807");
  // Date word da | mo << 5 | yr << 9, time word ss | mm << 5 | hh << 11.
  EXPECT_EQ(Hex(bytes.substr(164, 8)), "652c" "ef70" "9fff" "7dbf");
  EXPECT_EQ(Hex(bytes.substr(172, 6)), "88ff" "a4a3a2a1");
  EXPECT_EQ(Hex(bytes.substr(178, 8)), "01000000" "02000000");
  EXPECT_EQ(Hex(bytes.substr(214, 4)), "0a000000");
  EXPECT_EQ(bytes.substr(218, 20), std::string("05 Mar 02  14:07:30\0", 20));

  UniqueFd fd = Open(OF_READ);
  XMSG back{};
  ASSERT_EQ(read_xmsg(fd.get(), &back), 1);
  EXPECT_EQ(back.attr, x.attr);
  EXPECT_EQ(back.dest.point, 0x0708);
  EXPECT_EQ(back.date_written.msg_st.date.da, 5);
  EXPECT_EQ(back.date_written.msg_st.time.ss, 15);
  EXPECT_EQ(back.date_arrived.msg_st.date.yr, 127);
  EXPECT_EQ(back.date_arrived.msg_st.time.hh, 23);
  EXPECT_EQ(back.utc_ofs, -120);
  EXPECT_EQ(back.replies[9], 10u);
  EXPECT_EQ(std::memcmp(back.__ftsc_date, x.__ftsc_date, 20), 0);
}

TEST_F(SquishRecords, IndexRecordGoldenBytesAndChunkedTransfer) {
  // 3000 records take two transfers (2730 + 270); 0 and 1 take none or one.
  for (dword count : {0u, 1u, 2u, 2730u, 3000u}) {
    SCOPED_TRACE(count);
    std::vector<SQIDX> idx(count);
    for (dword i = 0; i < count; ++i) idx[i] = {0x100 + i, i + 1, 0x80000000u | i};
    {
      UniqueFd fd = Create();
      ASSERT_EQ(write_sqidx(fd.get(), idx.data(), count), 1);
    }
    std::string bytes = zt::ReadFile(path_);
    ASSERT_EQ(bytes.size(), size_t(count) * 12);
    if (count > 1) {
      EXPECT_EQ(Hex(bytes.substr(12, 12)), "01010000" "02000000" "01000080");
    }
    UniqueFd fd = Open(OF_READ);
    std::vector<SQIDX> back(count);
    ASSERT_EQ(read_sqidx(fd.get(), back.data(), count), 1);
    for (dword i = 0; i < count; ++i) {
      ASSERT_EQ(back[i].frame_offset, idx[i].frame_offset) << i;
      ASSERT_EQ(back[i].umsgid, idx[i].umsgid) << i;
      ASSERT_EQ(back[i].hash, idx[i].hash) << i;
    }
  }
}

TEST_F(SquishRecords, IndexReadPastEndFails) {
  std::vector<SQIDX> idx(3000, SQIDX{1, 2, 3});
  {
    UniqueFd fd = Create();
    ASSERT_EQ(write_sqidx(fd.get(), idx.data(), 3000), 1);
  }
  zt::TruncateTo(path_, 2999 * 12 + 5);
  UniqueFd fd = Open(OF_READ);
  std::vector<SQIDX> back(3000);
  EXPECT_EQ(read_sqidx(fd.get(), back.data(), 3000), 0);
}

}  // namespace
