#include "gwfixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace zt {

namespace {

template <std::size_t N>
void copyField(byte (&field)[N], const std::string& s) {
  std::memset(field, 0, N);
  std::memcpy(field, s.data(), std::min(N, s.size()));
}

// Each test process opens the API once, as the gateway does.
void openApi() {
  static bool opened = [] {
    _minf minf{0, 2, 1};
    MsgOpenApi(&minf);
    return true;
  }();
  (void)opened;
}

}  // namespace

XMSG MakeHeader(const std::string& from, const std::string& to, const std::string& subj,
                NETADDR orig, Date written) {
  XMSG x{};
  copyField(x.from, from);
  copyField(x.to, to);
  copyField(x.subj, subj);
  x.orig = orig;
  auto& d = x.date_written.msg_st;
  d.date.yr = word(written.year - 1980);
  d.date.mo = word(written.month);
  d.date.da = word(written.day);
  d.time.hh = word(written.hour);
  d.time.mm = word(written.min);
  d.time.ss = word(written.sec / 2);
  x.date_arrived = x.date_written;
  return x;
}

dword StoreMessage(const std::string& path, word type, const XMSG& hdr, const std::string& ctrl,
                   const std::string& text) {
  openApi();
  HAREA ha = MsgOpenArea(path.c_str(), AOPEN_CREATE_IF_MISSING, type);
  EXPECT_NE(ha, nullptr) << path << " error " << msgapierr;
  return ha ? StoreMessage(ha, hdr, ctrl, text) : 0;
}

dword StoreMessage(HAREA ha, const XMSG& hdr, const std::string& ctrl, const std::string& text) {
  HMSG m = ha->api->OpenMsg(ha, MO_CREATE, 0);
  EXPECT_NE(m, nullptr) << "error " << msgapierr;
  dword num = 0;
  if (m) {
    sword r = ha->api->WriteMsg(m, 0, &hdr, reinterpret_cast<const byte*>(text.data()),
                                dword(text.size()), dword(text.size()), dword(ctrl.size()),
                                reinterpret_cast<const byte*>(ctrl.data()));
    EXPECT_EQ(r, 0) << "error " << msgapierr;
    EXPECT_EQ(ha->api->CloseMsg(m), 0);
    if (r == 0) num = ha->high_msg;
  }
  EXPECT_EQ(ha->api->CloseArea(ha), 0);
  return num;
}

std::string Crlf(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

std::string PostInput(const std::string& spec, const std::string& orig, const std::string& dest,
                      const std::string& reply, const std::string& from, const std::string& to,
                      const std::string& subj, const std::string& text) {
  std::size_t len = text.size();
  for (std::size_t i = 0; i + 1 < text.size(); ++i)
    if (text[i] == '\r' && text[i + 1] == '\n') --len;
  return "POST " + spec + " " + orig + " " + dest + " " + std::to_string(len) + "\n" + reply +
         "\n" + from + "\n" + to + "\n" + subj + "\n" + text;
}

}  // namespace zt
