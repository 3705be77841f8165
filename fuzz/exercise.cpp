#include "exercise.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "container.h"

namespace fz {

namespace {

// Damaged headers may claim billions of messages; a run looks at this many.
constexpr dword MAX_VISITS = 200;

void ReadOne(HAREA ha, HMSG m) {
  const dword text_len = ha->api->GetTextLen(m);
  const dword ctrl_len = ha->api->GetCtrlLen(m);
  // Sized as the gateway sizes them: a length that the files cannot hold
  // shows up as an allocation the fuzzer refuses.
  std::vector<byte> text(std::size_t(text_len) + 1), ctrl(std::size_t(ctrl_len) + 1);
  XMSG x;
  ha->api->ReadMsg(m, &x, 0, text_len, text.data(), ctrl_len, ctrl.data());
  // Pieces: a later offset, a short count, and a read past the end.
  byte piece[17];
  ha->api->ReadMsg(m, nullptr, text_len / 2, 16, piece, 0, nullptr);
  ha->api->ReadMsg(m, nullptr, text_len + 5, 16, piece, 0, nullptr);
  ha->api->ReadMsg(m, nullptr, 0, 0, nullptr, 4, piece);
  ha->api->GetCurPos(m);
}

void ReadAll(HAREA ha) {
  const dword n = std::min(ha->num_msg, MAX_VISITS);
  for (dword i = 1; i <= n; ++i) {
    if (HMSG m = ha->api->OpenMsg(ha, MO_READ, i)) {
      ReadOne(ha, m);
      ha->api->CloseMsg(m);
    }
  }
  // Walk by relative moves from wherever the last open left the position.
  for (dword i = 0; i < MAX_VISITS; ++i) {
    HMSG m = ha->api->OpenMsg(ha, MO_READ, i < MAX_VISITS / 2 ? MSGN_PREVIOUS : MSGN_NEXT);
    if (!m) continue;
    ha->api->CloseMsg(m);
  }
  if (HMSG m = ha->api->OpenMsg(ha, MO_READ, MSGN_CURRENT)) ha->api->CloseMsg(m);
}

void AskNumbers(HAREA ha) {
  for (dword n : {dword(0), dword(1), ha->num_msg, ha->high_msg, ha->num_msg + 1}) {
    UMSGID uid = ha->api->MsgnToUid(ha, n);
    for (word kind : {UIDSEEK_EXACT, UIDSEEK_NEXT, UIDSEEK_PREVIOUS}) {
      ha->api->UidToMsgn(ha, uid, kind);
      ha->api->UidToMsgn(ha, uid + 1, kind);
    }
  }
  ha->api->GetHighWater(ha);
}

void DeleteOne(HAREA ha, unsigned seed) {
  if (ha->api->Lock(ha) != 0) return;
  if (ha->num_msg) ha->api->KillMsg(ha, 1 + seed % std::min(ha->num_msg, MAX_VISITS));
  ha->api->Unlock(ha);
}

void Close(HAREA ha) {
  if (ha->api->CloseArea(ha) != 0) __builtin_trap();  // no message is left open
}

}  // namespace

Posting MakePosting(unsigned seed) {
  static const char* const texts[] = {
      "Hello, All!\r",
      "",
      "\x01PATH: 5020/52\rline one\rline two\r\rSEEN-BY: 5020/52 53\r",
      "no final carriage return",
  };
  static const char* const ctrls[] = {
      "\x01MSGID: 2:5020/52 1a2b3c4d\x01PID: zandrel-1.2",
      "",
      "\x01MSGID: 2:5020/52.1 00000001\x01REPLY: 2:5020/53 deadbeef\x01INTL 2:5020/1 2:5020/52",
  };
  Posting p{};
  std::strcpy(reinterpret_cast<char*>(p.header.from), "Node Keeper");
  std::strcpy(reinterpret_cast<char*>(p.header.to), seed % 2 ? "All" : "Ivan Petrov");
  std::strcpy(reinterpret_cast<char*>(p.header.subj), "fuzz");
  p.header.orig = NETADDR{2, 5020, 52, word(seed % 3)};
  p.header.dest = NETADDR{2, 5020, 1, 0};
  p.header.attr = MSGLOCAL;
  p.header.date_written.msg_st.date.da = 5;
  p.header.date_written.msg_st.date.mo = 3;
  p.header.date_written.msg_st.date.yr = 22;
  p.header.date_written.msg_st.time.hh = 14;
  p.header.date_arrived = p.header.date_written;
  p.ctrl = ctrls[seed % 3];
  p.text = texts[seed % 4];
  return p;
}

int PostOne(HAREA ha, unsigned seed) {
  Posting p = MakePosting(seed);
  HMSG m = ha->api->OpenMsg(ha, MO_CREATE, 0);
  if (!m) return -2;
  const dword len = dword(std::strlen(p.text));
  int r = ha->api->WriteMsg(m, 0, &p.header, reinterpret_cast<const byte*>(p.text), len, len,
                            dword(std::strlen(p.ctrl)) + 1, reinterpret_cast<const byte*>(p.ctrl));
  ha->api->CloseMsg(m);
  return r;
}

void ExerciseArea(const char* name, word type, unsigned seed) {
  HAREA ha = MsgOpenArea(name, AOPEN_EXISTING, type);
  if (!ha) return;
  ReadAll(ha);
  AskNumbers(ha);
  PostOne(ha, seed);
  DeleteOne(ha, seed);
  ha->api->SetHighWater(ha, ha->num_msg);
  Close(ha);

  ha = MsgOpenArea(name, AOPEN_EXISTING, type);
  if (!ha) return;
  ReadAll(ha);
  Close(ha);
}

}  // namespace fz

namespace fz {

void FuzzArea(const unsigned char* data, unsigned long size, const char* dir,
              const char* files_in, const char* area, word type) {
  static bool started = false;
  if (!started) {
    _minf minf{0, 2, 0};
    MsgOpenApi(&minf);
    started = true;
  }
  ClearDir(dir);
  std::string where = std::string(dir) + "/" + files_in;
  if (*files_in) MakeDir(where);
  WriteFiles(where, UnpackFiles(data, size));
  unsigned seed = 0;
  for (unsigned long i = 0; i < size; ++i) seed = seed * 31 + data[i];
  ExerciseArea((std::string(dir) + "/" + area).c_str(), type, seed);
}

}  // namespace fz
