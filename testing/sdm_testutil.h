// Helpers for the *.MSG tests: message files built by hand, areas opened
// through the message API, and the number table read back through it.
#ifndef ZANDREL_SDM_TESTUTIL_H
#define ZANDREL_SDM_TESTUTIL_H

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "msgapi.h"
#include "structrw_sdm.h"
#include "testutil.h"

namespace sdmt {

inline OMSG Header(const char* from = "Sender", const char* to = "All",
                   const char* subj = "Subject") {
  OMSG h;
  std::memset(&h, 0, sizeof h);
  std::strncpy(reinterpret_cast<char*>(h.from), from, sizeof h.from - 1);
  std::strncpy(reinterpret_cast<char*>(h.to), to, sizeof h.to - 1);
  std::strncpy(reinterpret_cast<char*>(h.subj), subj, sizeof h.subj - 1);
  std::strcpy(reinterpret_cast<char*>(h.date), "12 Jan 97  10:20:30");
  return h;
}

inline std::string Bytes(const OMSG& h) {
  uint8_t buf[OMSG_SIZE];
  encode_omsg(h, buf);
  return std::string(reinterpret_cast<char*>(buf), sizeof buf);
}

// Writes "<dir>/<n>.msg": the header, then `text` exactly as given.
inline void WriteMsgFile(const std::string& dir, unsigned n, const std::string& text,
                         const OMSG& h = Header()) {
  zt::WriteFile(dir + "/" + std::to_string(n) + ".msg", Bytes(h) + text);
}

// Every message number of the area, ascending, as UidToMsgn finds them.
inline std::vector<dword> Numbers(HAREA ha) {
  std::vector<dword> out;
  for (dword n = ha->api->UidToMsgn(ha, 1, UIDSEEK_NEXT); n != 0;
       n = n < 0xFFFF ? ha->api->UidToMsgn(ha, n + 1, UIDSEEK_NEXT) : 0)
    out.push_back(n);
  return out;
}

// A whole message as the gateway reads it: sizes first, then one read.
struct Read {
  XMSG x;
  std::string ctrl;  // up to the block's first NUL
  std::string text;  // exactly the bytes ReadMsg reported
  dword textlen = 0, ctrllen = 0, got = 0;
};

inline Read ReadWhole(HMSG msg) {
  Read r;
  HAREA ha = msg->sq;
  r.ctrllen = ha->api->GetCtrlLen(msg);
  r.textlen = ha->api->GetTextLen(msg);
  std::string ctrl(r.ctrllen + 1, '\x7f'), text(r.textlen + 1, '\x7f');
  r.got = ha->api->ReadMsg(msg, &r.x, 0, r.textlen, reinterpret_cast<byte*>(text.data()),
                           r.ctrllen, reinterpret_cast<byte*>(ctrl.data()));
  if (r.got != 0xFFFFFFFFu && r.got <= r.textlen) r.text = text.substr(0, r.got);
  r.ctrl = ctrl.c_str();
  return r;
}

inline std::string Str(const byte* field) { return reinterpret_cast<const char*>(field); }

// The message API with the gateway's default zone, and a scratch area.
class SdmTest : public ::testing::Test {
 protected:
  void SetUp() override {
    _minf m{};
    m.def_zone = 2;
    MsgOpenApi(&m);
    area_ = tmp_ / "area";
    std::filesystem::create_directory(area_);
  }

  HAREA Open(bool echo, word mode = AOPEN_EXISTING) {
    return MsgOpenArea(area_.c_str(), mode, word(AT_SDM | (echo ? AT_ECHO : 0)));
  }
  void Close(HAREA ha) { ASSERT_EQ(ha->api->CloseArea(ha), 0) << msgapierr; }
  std::string Path(unsigned n) const { return area_ + "/" + std::to_string(n) + ".msg"; }

  zt::TempDir tmp_;
  std::string area_;
};

}  // namespace sdmt

#endif
