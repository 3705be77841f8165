#include "squish_util.h"

#include <cstring>
#include <utility>
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
  // The fields at their offsets in the file, read here without msglib.
  static constexpr std::pair<dword SQBASE::*, std::size_t> kDwords[] = {
      {&SQBASE::num_msg, 4},      {&SQBASE::high_msg, 8},    {&SQBASE::skip_msgs, 12},
      {&SQBASE::high_water, 16},  {&SQBASE::next_uid, 20},   {&SQBASE::first_frame, 104},
      {&SQBASE::last_frame, 108}, {&SQBASE::free_first, 112}, {&SQBASE::free_last, 116},
      {&SQBASE::end_of_file, 120}, {&SQBASE::max_msgs, 124},
  };
  static constexpr std::pair<word SQBASE::*, std::size_t> kWords[] = {
      {&SQBASE::base_size, 0}, {&SQBASE::retention, 128}, {&SQBASE::frame_hdr_size, 130}};
  for (const auto& [field, at] : kDwords) out.*field = U32At(b, at);
  for (const auto& [field, at] : kWords) out.*field = U16At(b, at);
  std::memcpy(out.base_name, b.data() + 24, sizeof out.base_name);
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
