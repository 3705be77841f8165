#include "message.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <stdexcept>

#include "recode.h"

namespace {

constexpr long NUMBER_LIMIT = 2147483647;

// No host the protocol was built for could hold a message of 2 GB; a length
// that large comes from a damaged base and is refused like a failed
// allocation instead of being tried.
constexpr dword MAX_BUFFER = 0x7FFFFFFF;

// Shows a fixed-width name or subject field: cut at its last byte, recoded.
template <std::size_t N>
void showField(byte (&field)[N]) {
  field[N - 1] = 0;
  recodeStr(reinterpret_cast<char*>(field));
}

}  // namespace

long readNumber(const char* s) {
  while (isBlank(*s)) ++s;
  long v = 0;
  // Widened for the step: where long has 32 bits, ten times a value near
  // the limit does not fit it.
  for (; *s >= '0' && *s <= '9'; ++s)
    v = long(std::min(std::int64_t(v) * 10 + (*s - '0'), std::int64_t(NUMBER_LIMIT)));
  return v;
}

const char* cutAreaSpec(const char* str, std::string& spec) {
  spec.clear();
  if (std::strlen(str) <= 5) return nullptr;
  const char* space = std::strchr(str + 5, ' ');
  if (space)
    spec.assign(str + 5, space);
  else
    spec.assign(str + 5);
  return space;
}

bool readStored(HAREA area, HMSG msg, StoredMsg& m, const char** why) {
  auto failed = [why](const char* reason) {
    if (why) *why = reason;
    return false;
  };
  _apifuncs& api = *area->api;
  const dword clen = api.GetCtrlLen(msg);
  m.textLen = api.GetTextLen(msg);
  if (clen > MAX_BUFFER || m.textLen > MAX_BUFFER) return failed("message too large");
  try {
    m.ctrl.assign(std::size_t(clen) + 1, '\0');
    // The text buffer keeps its room from message to message; whatever the
    // read does not overwrite is cleared below.
    m.text.resize(std::size_t(m.textLen) + 1);
  } catch (const std::bad_alloc&) {
    return failed("out of memory");
  } catch (const std::length_error&) {
    return failed("out of memory");
  }
  m.hdr = XMSG{};
  dword got = api.ReadMsg(msg, &m.hdr, 0, m.textLen, reinterpret_cast<byte*>(m.text.data()), clen,
                          reinterpret_cast<byte*>(m.ctrl.data()));
  if (got == 0xFFFFFFFFu) return failed(MsgErrorText());
  m.textRead = std::min(got, m.textLen);
  std::fill(m.text.begin() + m.textRead, m.text.end(), '\0');
  m.ctrl[clen] = '\0';
  showField(m.hdr.from);
  showField(m.hdr.to);
  showField(m.hdr.subj);
  return true;
}
