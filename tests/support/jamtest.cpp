#include "jamtest.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace zt {

HAREA OpenJam(const std::string& base, word mode, word type) {
  return MsgOpenArea(base.c_str(), mode, type);
}

XMSG MakeXmsg(const std::string& from, const std::string& to, const std::string& subj) {
  XMSG x;
  std::memset(&x, 0, sizeof x);
  // A full-width value fills its field without a NUL, as stored fields may.
  std::memcpy(x.from, from.data(), std::min(from.size(), sizeof x.from));
  std::memcpy(x.to, to.data(), std::min(to.size(), sizeof x.to));
  std::memcpy(x.subj, subj.data(), std::min(subj.size(), sizeof x.subj));
  x.attr = MSGLOCAL;
  x.date_written.msg_st.date.da = 12;
  x.date_written.msg_st.date.mo = 1;
  x.date_written.msg_st.date.yr = 17;
  x.date_written.msg_st.time.hh = 10;
  x.date_written.msg_st.time.mm = 20;
  x.date_written.msg_st.time.ss = 15;
  return x;
}

sword PostJam(HAREA ha, const XMSG& x, const std::string& text, const std::string& ctrl) {
  HMSG mh = ha->api->OpenMsg(ha, MO_CREATE, 0);
  if (!mh) return -1;
  sword rc = ha->api->WriteMsg(mh, 0, &x, reinterpret_cast<const byte*>(text.c_str()),
                               dword(text.size()), dword(text.size()), dword(ctrl.size()),
                               reinterpret_cast<const byte*>(ctrl.c_str()));
  ha->api->CloseMsg(mh);
  return rc;
}

bool ReadJam(HAREA ha, dword msgn, JamRead* out) {
  HMSG mh = ha->api->OpenMsg(ha, MO_READ, msgn);
  if (!mh) return false;
  const dword tlen = ha->api->GetTextLen(mh), clen = ha->api->GetCtrlLen(mh);
  std::vector<byte> text(tlen + 1), ctrl(clen + 1);
  dword got = ha->api->ReadMsg(mh, &out->x, 0, tlen, text.data(), clen, ctrl.data());
  ha->api->CloseMsg(mh);
  if (got == 0xFFFFFFFFu) return false;
  out->text.assign(reinterpret_cast<const char*>(text.data()), got);
  out->ctrl = reinterpret_cast<const char*>(ctrl.data());
  return true;
}

}  // namespace zt
