// POST: one article from the front end stored as a new FidoNet message with
// its own PID and MSGID kludges.
//
// Once the command line has yielded a text length, the four lines and the
// announced text are always read, before the area is touched: whatever goes
// wrong afterwards, the next command is read where the front end wrote it.
// When input ends before all of it arrives, nothing is stored.
//
// The MSGID serial is decided under the area's lock together with the write:
// two posts from one address never share a serial, within one process or
// across processes, or tossers' duplicate checks would drop the second.
#include "commands.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "address.h"
#include "fidotext.h"
#include "locking.h"
#include "message.h"
#include "recode.h"
#include "textio.h"

namespace {

constexpr const char PID_KLUDGE[] = "\x01PID: zandrel-" ZANDREL_VERSION;
// Longest control block stored, without its NUL: a REPLY value is cut to fit.
constexpr std::size_t MAX_CTRL = 8191;
// Room set aside for a text before any of it arrives; an announced length
// alone must not claim memory.
constexpr std::size_t TEXT_RESERVE = 1 << 20;

// The area lock is waited for as writers wait for it: a holder keeps it for
// milliseconds, so poll briefly, then try once a second, ten attempts in all.
constexpr int LOCK_POLLS = 200;
constexpr unsigned LOCK_POLL_PAUSE_MS = 2;
constexpr int LOCK_ATTEMPTS = 10;
constexpr unsigned LOCK_PAUSE_MS = 1000;
// Standard error's reason when that wait gave up.
constexpr const char LOCK_GAVE_UP[] = MSGERR_LOCKED " for 10 s";
static_assert(LOCK_ATTEMPTS == 10 && LOCK_PAUSE_MS == 1000, "LOCK_GAVE_UP names the wait");

// Looking for the serial an address used last: messages read, newest first,
// and message numbers tried on the way (numbers may have gaps, and a JAM
// area's highest numbers may be killed ones).
constexpr int SERIAL_SCAN_MSGS = 128;
constexpr dword SERIAL_SCAN_NUMBERS = 0x10000;
// Control information read per message; the MSGID comes first in practice.
constexpr dword SERIAL_SCAN_CTRL = 0x10000;
// A MSGID serial is at most eight hexadecimal digits; the largest one has
// no successor.
constexpr std::size_t SERIAL_DIGITS = 8;
constexpr dword LAST_SERIAL = 0xFFFFFFFFu;

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

constexpr const char INPUT_ENDED[] = "input ended before the whole article";
constexpr const char NO_MEMORY[] = "out of memory";

// Reads exactly `len` characters, each LF stored as CR. All of them are
// consumed even when they cannot be kept. False when input ended first or
// there was no memory for the text; `why` says which.
bool readText(std::size_t len, std::string& text, const char** why) {
  bool kept = true;
  try {
    text.reserve(std::min(len, TEXT_RESERVE));
  } catch (const std::bad_alloc&) {
    kept = false;
  }
  for (std::size_t i = 0; i < len; ++i) {
    int c = gwIn().getc();
    if (c < 0) {
      *why = INPUT_ENDED;
      return false;
    }
    if (!kept) continue;
    try {
      text.push_back(c == '\n' ? '\r' : char(c));
    } catch (const std::bad_alloc&) {
      kept = false;
      std::string().swap(text);
    }
  }
  if (!kept) *why = NO_MEMORY;
  return kept;
}

// Reads the four lines and the text; false, with `why`, when any of it is
// missing or cannot be kept.
bool readPosting(std::size_t len, Posting& p, const char** why) {
  // Every part is read even after a failure, to stay in step with the input.
  bool lines = readLine(p.reply);
  lines = readLine(p.from) && lines;
  lines = readLine(p.to) && lines;
  lines = readLine(p.subj) && lines;
  const bool text = readText(len, p.text, why);
  if (!lines) *why = INPUT_ENDED;
  return lines && text;
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

// Takes the area's lock; false when it cannot be had.
bool lockArea(HAREA area) {
  for (int i = 0; i < LOCK_POLLS; ++i) {
    if (area->api->Lock(area) == 0) return true;
    pause_ms(LOCK_POLL_PAUSE_MS);
  }
  for (int attempt = 1;; ++attempt) {
    if (area->api->Lock(area) == 0) return true;
    if (attempt == LOCK_ATTEMPTS) return false;
    pause_ms(LOCK_PAUSE_MS);
  }
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The serial of a MSGID value "address serial" (one to eight hexadecimal
// digits) whose address is `orig`.
std::optional<dword> serialFrom(std::string_view id, const NETADDR& orig) {
  const std::size_t space = id.find(' ');
  NETADDR a;
  // The address ends at the space at the latest: parsed where it lies.
  if (space == std::string_view::npos || !parseFtnAddr(id.data(), &a)) return std::nullopt;
  if (a.zone != orig.zone || a.net != orig.net || a.node != orig.node || a.point != orig.point)
    return std::nullopt;
  dword v = 0;
  std::size_t n = 0;
  for (std::size_t i = space + 1; i < id.size() && n < SERIAL_DIGITS && hexDigit(id[i]) >= 0;
       ++i, ++n)
    v = v << 4 | dword(hexDigit(id[i]));
  if (n == 0) return std::nullopt;
  return v;
}

// The serial for a post from `orig` at time `now`: `now`, or one above the
// serial of the newest message from that address when that is not below
// `now`. Serials of one address rise with every post, so the newest holds
// the highest; a burst of posts runs them ahead of the clock, and each one
// continues from the last. `area` must be locked and show every message
// stored so far.
dword nextSerial(HAREA area, const NETADDR& orig, dword now) {
  _apifuncs& api = *area->api;
  std::vector<byte> ctrl;
  int read = 0;
  dword tried = 0;
  for (dword n = area->high_msg; n >= 1 && read < SERIAL_SCAN_MSGS && tried < SERIAL_SCAN_NUMBERS;
       --n, ++tried) {
    MsgPtr msg = openMsg(area, MO_READ, n);
    if (!msg) continue;
    ++read;
    const dword clen = std::min(api.GetCtrlLen(msg.get()), SERIAL_SCAN_CTRL);
    ctrl.assign(std::size_t(clen) + 1, 0);
    if (api.ReadMsg(msg.get(), nullptr, 0, 0, nullptr, clen, ctrl.data()) == READ_FAILED) continue;
    ctrl[clen] = 0;
    auto id = findKludge(reinterpret_cast<const char*>(ctrl.data()), "MSGID: ");
    if (!id) continue;
    std::optional<dword> last = serialFrom(*id, orig);
    if (!last) continue;
    // LAST_SERIAL is none of ours: the clock is decades from reaching it.
    return *last >= now && *last != LAST_SERIAL ? *last + 1 : now;
  }
  return now;
}

// PID, then MSGID from the origin address and the serial; REPLY only for a
// reply, cut so that the block stays within MAX_CTRL.
std::string controlInfo(const NETADDR& orig, dword serialNo, const std::string& reply) {
  char serial[16];
  std::snprintf(serial, sizeof serial, " %08lx", static_cast<unsigned long>(serialNo));
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
  const CommandLine cmd("POST", str);
  if (!cmd.args()) return cmd.failed(BAD_LINE);
  // Addresses that do not parse are stored as far as they went, zero
  // otherwise.
  NETADDR orig{}, dest{};
  const char* origText = cmd.args();
  parseFtnAddr(origText, &orig);
  const char* destSpace = std::strchr(origText, ' ');
  if (!destSpace) return cmd.failed(BAD_LINE);
  parseFtnAddr(destSpace + 1, &dest);
  const char* lenSpace = std::strchr(destSpace + 1, ' ');
  if (!lenSpace) return cmd.failed(BAD_LINE);
  const std::size_t len = std::size_t(readNumber(lenSpace));

  Posting post;
  const char* why = nullptr;
  if (!readPosting(len, post, &why)) return cmd.failed(why);

  // Every format's lock brings the handle up to date with what other
  // programs stored since it was opened.
  AreaPtr area = cmd.open(AREA_WRITE);
  if (!area) return;
  // Without the lock nothing is stored: the serial could not be decided.
  if (!lockArea(area.get())) {
    // The lock was tried for as long as writers wait for it.
    const bool held = std::strcmp(MsgErrorText(), MSGERR_LOCKED) == 0;
    return cmd.failed(held ? LOCK_GAVE_UP : MsgErrorText());
  }
  const std::time_t now = std::time(nullptr);
  const dword serial = nextSerial(area.get(), orig, dword(now));
  MsgPtr msg = openMsg(area.get(), MO_CREATE, 0);
  if (!msg) return cmd.failed(MsgErrorText());

  XMSG x{};
  copyField(x.from, post.from);
  copyField(x.to, post.to);
  copyField(x.subj, post.subj);
  x.orig = orig;
  x.dest = dest;
  x.attr = MSGLOCAL;
  if (const std::tm* lt = std::localtime(&now)) stampPostingTime(x, *lt);

  // The conversion stops at a NUL in the text; the bytes after it are
  // stored as they came.
  recodeStrBack(post.text.data());
  const std::string ctrl = controlInfo(orig, serial, post.reply);
  const auto* text = reinterpret_cast<const byte*>(post.text.data());
  // There is no reply to carry a failure: a write that fails leaves the
  // message missing, as a front end would find out by listing the area, and
  // standard error says why. A locked Squish area stores its index and
  // header only when it is unlocked: that can fail the post too.
  std::string writeFailed;
  if (area->api->WriteMsg(msg.get(), 0, &x, text, dword(len), dword(len), dword(ctrl.size()),
                          reinterpret_cast<const byte*>(ctrl.data())) != 0)
    writeFailed = MsgErrorText();
  msg.reset();
  if (area->api->Unlock(area.get()) != 0 && writeFailed.empty()) writeFailed = MsgErrorText();
  if (!writeFailed.empty()) cmd.failed(writeFailed.c_str());
}
