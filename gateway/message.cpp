#include "message.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <stdexcept>

#include "formats.h"
#include "recode.h"
#include "textio.h"

namespace {

constexpr long NUMBER_LIMIT = 2147483647;

// Where the area spec begins: after the four letters of the verb and one
// character, normally a space, that is not looked at.
constexpr std::size_t SPEC_START = 5;

// A length of 2 GB or more comes from a damaged base: it is refused like a
// failed allocation instead of being tried.
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

void chomp(char* s) {
  std::size_t n = std::strlen(s);
  while (n > 0 && (s[n - 1] == '\r' || s[n - 1] == '\n')) s[--n] = '\0';
}

HAREA openArea(const char* p, int write) {
  word type = AT_SDM;  // no prefix: a netmail directory, the whole text is the path
  if (const MsgFormat* f = MsgFormatByPrefix(*p)) {
    type = f->type | AT_ECHO;  // a prefix marks an echo area of its format
    ++p;
  }
  return MsgOpenArea(p, write ? AOPEN_CREATE_IF_MISSING : AOPEN_EXISTING, type);
}

CommandLine::CommandLine(const char* verb, const char* str) : verb_(verb) {
  if (std::strlen(str) <= SPEC_START) return;
  const char* start = str + SPEC_START;
  const char* space = std::strchr(start, ' ');
  if (!space) {
    spec_.assign(start);
    return;
  }
  spec_.assign(start, space);
  args_ = space + 1;
}

void CommandLine::failed(const char* reason) const {
  std::string line = "zandrel: ";
  line += verb_;
  if (!spec_.empty()) {
    line += ' ';
    for (char c : spec_) line += static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? '?' : c;
  }
  line += ": ";
  line += reason;
  line += '\n';
  TextOut& err = gwErr();
  err.write(line.data(), line.size());
  err.flush();  // whole lines, each in one write: processes may share the stream
}

AreaPtr CommandLine::open(int write) const {
  AreaPtr area(openArea(spec_.c_str(), write));
  if (!area) failed(MsgErrorText());
  return area;
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
  if (got == READ_FAILED) return failed(MsgErrorText());
  m.textRead = std::min(got, m.textLen);
  std::fill(m.text.begin() + m.textRead, m.text.end(), '\0');
  m.ctrl[clen] = '\0';
  showField(m.hdr.from);
  showField(m.hdr.to);
  showField(m.hdr.subj);
  return true;
}
