#include "jamtest.h"

#include <vector>

#include "gwfixture.h"

namespace zt {

HAREA OpenJam(const std::string& base, word mode, word type) {
  return MsgOpenArea(base.c_str(), mode, type);
}

XMSG MakeXmsg(const std::string& from, const std::string& to, const std::string& subj) {
  XMSG x = MakeHeader(from, to, subj, {0, 0, 0, 0}, {1997, 1, 12, 10, 20, 30});
  x.attr = MSGLOCAL;
  x.date_arrived = SCOMBO{};  // stored as the time of writing
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
