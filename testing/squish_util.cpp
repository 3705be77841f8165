#include "squish_util.h"

#include <cstring>
#include <vector>

#include "gwfixture.h"
#include "squish_check.h"

namespace zt {

XMSG SquishXmsg(const std::string& to, const std::string& subj, const std::string& from) {
  XMSG x = MakeHeader(from, to, subj, {2, 5020, 52, 0}, {2002, 3, 5, 14, 7, 30});
  x.dest = {2, 5020, 1, 0};
  return x;
}

int PostMsg(HAREA ha, const std::string& text, const std::string& ctrl, const std::string& to,
            dword msgnum) {
  HMSG m = ha->api->OpenMsg(ha, MO_CREATE, msgnum);
  if (!m) return -2;
  XMSG x = SquishXmsg(to);
  int r = ha->api->WriteMsg(m, 0, &x, reinterpret_cast<const byte*>(text.data()), dword(text.size()),
                            dword(text.size()), dword(ctrl.size()),
                            ctrl.empty() ? nullptr : reinterpret_cast<const byte*>(ctrl.data()));
  ha->api->CloseMsg(m);
  return r;
}

ReadBack ReadMsgAll(HAREA ha, dword msgnum) {
  ReadBack rb;
  HMSG m = ha->api->OpenMsg(ha, MO_READ, msgnum);
  if (!m) return rb;
  dword tlen = ha->api->GetTextLen(m), clen = ha->api->GetCtrlLen(m);
  std::vector<byte> text(tlen + 1), ctrl(clen + 1);
  dword got = ha->api->ReadMsg(m, &rb.hdr, 0, tlen, text.data(), clen, ctrl.data());
  ha->api->CloseMsg(m);
  if (got == 0xFFFFFFFFu) return rb;
  rb.ok = true;
  rb.text.assign(reinterpret_cast<char*>(text.data()), got);
  rb.ctrl = reinterpret_cast<char*>(ctrl.data());
  return rb;
}

void SquishTest::Fill(int n) {
  HAREA ha = Open();
  ASSERT_NE(ha, nullptr);
  for (int i = 1; i <= n; ++i) ASSERT_EQ(PostMsg(ha, "text " + std::to_string(i)), 0);
  ASSERT_EQ(ha->api->CloseArea(ha), 0);
}

SQBASE SquishTest::DiskBase() const {
  std::string b = ReadFile(sqd_);
  SQBASE out{};
  if (b.size() < SQBASE_SIZE) {
    ADD_FAILURE() << "data file too short";
    return out;
  }
  out.base_size = U16At(b, 0);
  out.num_msg = U32At(b, 4);
  out.high_msg = U32At(b, 8);
  out.skip_msgs = U32At(b, 12);
  out.high_water = U32At(b, 16);
  out.next_uid = U32At(b, 20);
  std::memcpy(out.base_name, b.data() + 24, sizeof out.base_name);
  out.first_frame = U32At(b, 104);
  out.last_frame = U32At(b, 108);
  out.free_first = U32At(b, 112);
  out.free_last = U32At(b, 116);
  out.end_of_file = U32At(b, 120);
  out.max_msgs = U32At(b, 124);
  out.retention = U16At(b, 128);
  out.frame_hdr_size = U16At(b, 130);
  return out;
}

SQHDR SquishTest::DiskFrame(dword offset) const {
  std::string b = ReadFile(sqd_);
  SQHDR h{};
  if (b.size() < offset + size_t(SQHDR_SIZE)) {
    ADD_FAILURE() << "no frame header at " << offset;
    return h;
  }
  h.id = U32At(b, offset);
  h.next_frame = U32At(b, offset + 4);
  h.prev_frame = U32At(b, offset + 8);
  h.frame_size = U32At(b, offset + 12);
  h.msg_size = U32At(b, offset + 16);
  h.ctrl_size = U32At(b, offset + 20);
  h.frame_type = U16At(b, offset + 24);
  return h;
}

std::vector<SQIDX> SquishTest::DiskIndex() const {
  std::string b = ReadFile(sqi_);
  std::vector<SQIDX> out;
  for (size_t at = 0; at + SQIDX_SIZE <= b.size(); at += SQIDX_SIZE)
    out.push_back({U32At(b, at), U32At(b, at + 4), U32At(b, at + 8)});
  return out;
}

std::vector<dword> SquishTest::Frames() const {
  std::vector<dword> out;
  dword n = DiskBase().num_msg;
  for (const SQIDX& r : DiskIndex())
    if (out.size() < n) out.push_back(r.frame_offset);
  return out;
}

void SquishTest::ExpectConsistent() const {
  auto problems = CheckSquishBase(base_);
  EXPECT_TRUE(problems.empty()) << JoinProblems(problems);
}

}  // namespace zt
