// POST: one article from the front end stored as a new FidoNet message with
// its own PID and MSGID kludges.
//
// Once the command line has yielded a text length, the four lines and the
// announced text are always read, before the area is touched: whatever goes
// wrong afterwards, the next command is read where the front end wrote it.
// When input ends before all of it arrives, nothing is stored.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <string>

#include "address.h"
#include "dates.h"
#include "message.h"
#include "recode.h"
#include "textio.h"
#include "zandrel.h"

namespace {

constexpr const char PID_KLUDGE[] = "\x01PID: zandrel-1.2";
// The control block is built as it always was, in 8192 bytes with its NUL.
constexpr std::size_t MAX_CTRL = 8191;
// Room set aside for a text before any of it arrives; an announced length
// alone must not claim memory.
constexpr std::size_t TEXT_RESERVE = 1 << 20;

struct Posting {
  std::string reply, from, to, subj;
  std::string text;  // CR-ended lines, still in the front end's code page
};

// One line with its trailing CRs and LFs removed; a NUL ends it as it would
// end a C string. False at end of input.
bool readLine(std::string& s) {
  if (!gwIn().getline(s, MAX_LINE)) return false;
  chomp(s.data());
  s.resize(std::strlen(s.c_str()));
  return true;
}

// Reads exactly `len` characters, each LF stored as CR. All of them are
// consumed even when they cannot be kept; false then, or when input ends.
bool readText(std::size_t len, std::string& text) {
  bool kept = true;
  try {
    text.reserve(std::min(len, TEXT_RESERVE));
  } catch (const std::bad_alloc&) {
    kept = false;
  }
  for (std::size_t i = 0; i < len; ++i) {
    int c = gwIn().getc();
    if (c < 0) return false;
    if (!kept) continue;
    try {
      text.push_back(c == '\n' ? '\r' : char(c));
    } catch (const std::bad_alloc&) {
      kept = false;
      std::string().swap(text);
    }
  }
  return kept;
}

bool readPosting(std::size_t len, Posting& p) {
  // Every part is read even after a failure, to stay in step with the input.
  bool ok = readLine(p.reply);
  ok = readLine(p.from) && ok;
  ok = readLine(p.to) && ok;
  ok = readLine(p.subj) && ok;
  return readText(len, p.text) && ok;
}

// Copies a line into a fixed-width field: NUL-padded, and a value as long as
// the field or longer fills it without a NUL.
template <std::size_t N>
void copyField(byte (&field)[N], std::string s) {
  recodeStrBack(s.data());
  std::memset(field, 0, N);
  std::memcpy(field, s.data(), std::min(N, s.size()));
}

void stampPostingTime(XMSG& x, const std::tm& lt) {
  auto& d = x.date_written.msg_st;
  d.date.da = word(lt.tm_mday);
  d.date.mo = word(lt.tm_mon + 1);
  d.date.yr = word(lt.tm_year - 80);
  d.time.hh = word(lt.tm_hour);
  d.time.mm = word(lt.tm_min);
  d.time.ss = word(lt.tm_sec / 2);
  x.date_arrived = x.date_written;
  TmDate_to_FtscDate(&lt, reinterpret_cast<char*>(x.__ftsc_date));
}

// PID, then MSGID from the origin address and the posting time; REPLY only
// for a reply, cut so that the block stays within MAX_CTRL.
std::string controlInfo(const NETADDR& orig, std::time_t now, const std::string& reply) {
  char serial[16];
  std::snprintf(serial, sizeof serial, " %08lx", static_cast<unsigned long>(dword(now)));
  std::string ctrl = PID_KLUDGE;
  ctrl += "\x01MSGID: ";
  ctrl += ftnAddrStr(orig);
  ctrl += serial;
  if (!reply.empty()) {
    ctrl += "\x01REPLY: ";
    ctrl += reply;
    if (ctrl.size() > MAX_CTRL) ctrl.resize(MAX_CTRL);
  }
  return ctrl;
}

}  // namespace

void postArticle(const char* str) {
  std::string spec;
  const char* space = cutAreaSpec(str, spec);
  if (!space) return;
  // Addresses that do not parse are stored as far as they went, zero
  // otherwise.
  NETADDR orig{}, dest{};
  const char* origText = space + 1;
  parseFtnAddr(origText, &orig);
  const char* destSpace = std::strchr(origText, ' ');
  if (!destSpace) return;
  parseFtnAddr(destSpace + 1, &dest);
  const char* lenSpace = std::strchr(destSpace + 1, ' ');
  if (!lenSpace) return;
  const std::size_t len = std::size_t(readNumber(lenSpace));

  Posting post;
  if (!readPosting(len, post)) return;

  AreaPtr area(openArea(spec.c_str(), 1));
  if (!area) return;
  MsgPtr msg = openMsg(area.get(), MO_CREATE, 0);
  if (!msg) return;

  XMSG x{};
  copyField(x.from, post.from);
  copyField(x.to, post.to);
  copyField(x.subj, post.subj);
  x.orig = orig;
  x.dest = dest;
  x.attr = MSGLOCAL;
  const std::time_t now = std::time(nullptr);
  if (const std::tm* lt = std::localtime(&now)) stampPostingTime(x, *lt);

  // The conversion stops at a NUL in the text; the bytes after it are
  // stored as they came.
  recodeStrBack(post.text.data());
  const std::string ctrl = controlInfo(orig, now, post.reply);
  const auto* text = reinterpret_cast<const byte*>(post.text.data());
  // There is no reply to carry a failure: a write that fails leaves the
  // message missing, as a front end would find out by listing the area.
  area->api->WriteMsg(msg.get(), 0, &x, text, dword(len), dword(len), dword(ctrl.size()),
                      reinterpret_cast<const byte*>(ctrl.data()));
}
