#include "address.h"

#include <algorithm>
#include <array>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "strfmt.h"

namespace {

// Message-IDs and kludge values fit the 256-byte buffers front ends were
// written against.
constexpr std::size_t MAX_VALUE = 255;
// Names come from the 36-byte `from` field: at most 35 characters.
constexpr std::size_t MAX_NAME = 35;
// A Message-ID takes no further character once it is longer than this, so
// that one more "$xx" and the suffix still fit in MAX_VALUE.
constexpr std::size_t MSGID_BODY_LIMIT = 239;
constexpr const char MSGID_SUFFIX[] = "@zandrel.exe>";

constexpr bool isDigit(char c) { return c >= '0' && c <= '9'; }

constexpr bool isAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// Russian letters in Latin by the transliteration of ICAO Doc 9303 (the
// machine-readable travel documents: Nikolai, Zhukov, Shchukin), which needs
// nothing but letters, so every result is a valid address. Capitals in the
// order А-Я; Ь is left out.
constexpr const char* CYRILLIC_LATIN[32] = {
    "A", "B", "V",  "G",  "D",  "E",  "ZH",   "Z",  "I", "I", "K", "L", "M",  "N",  "O",  "P",
    "R", "S", "T",  "U",  "F",  "KH", "TS",   "CH", "SH", "SHCH", "IE", "Y", "", "E", "IU", "IA"};
constexpr int CYR_YO = 5;  // Ё is written as Е is

// Names reach addrStr recoded for output (alt2win): А-Я at 0xC0-0xDF, а-я at
// 0xE0-0xFF, ё at 0xB8, and 866's Ё at 0xB0, where alt2win puts it (1251's
// own Ё, 0xA8, never comes from there but means the same). -1 for any
// other byte.
int cyrillicIndex(byte b) {
  if (b >= 0xC0) return (b - 0xC0) % 32;
  return b == 0xA8 || b == 0xB0 || b == 0xB8 ? CYR_YO : -1;
}

bool cyrillicUpper(byte b) { return (b >= 0xC0 && b <= 0xDF) || b == 0xA8 || b == 0xB0; }

// An address needs a local part: this stands in when nothing of the name is
// left.
constexpr const char NAMELESS[] = "unknown";
// Longest local part a mail address may have.
constexpr std::size_t MAX_LOCAL = 64;

// Writes at `out` what a mail address can carry unquoted of `from`: ASCII
// letters, '_', '-' and '.', a space as a dot; with `transliterate`, Russian
// letters in Latin too, and no dot at the start or next to another. At most
// CLEANED_ROOM characters; the end of what was written.
constexpr std::size_t CLEANED_ROOM = MAX_NAME * 4;  // "SHCH" for one letter
char* putCleaned(char* out, const char* from, bool transliterate) {
  char* const start = out;
  std::size_t kept = 0;
  for (const char* p = from; *p && kept < MAX_NAME; ++p) {
    const char c = *p == ' ' ? '.' : *p;
    if (isAsciiLetter(c) || c == '_' || c == '-' || c == '.') {
      if (!(transliterate && c == '.' && (out == start || out[-1] == '.'))) *out++ = c;
      ++kept;
      continue;
    }
    const int k = transliterate ? cyrillicIndex(byte(c)) : -1;
    if (k < 0) continue;
    ++kept;
    // A capital stays one capital before small letters (Zhukov) and is all
    // capitals among capitals (ZHUKOV).
    const byte next = byte(p[1]);
    const bool upper = cyrillicUpper(byte(c));
    const bool allUpper = upper && ((next >= 'A' && next <= 'Z') || cyrillicUpper(next));
    for (const char* l = CYRILLIC_LATIN[k]; *l; ++l)
      *out++ = allUpper || (upper && l == CYRILLIC_LATIN[k]) ? *l : char(*l - 'A' + 'a');
  }
  return out;
}

// A dot-atom: not empty, no dot at either end or next to another.
bool isDotAtom(std::string_view s) {
  return !s.empty() && s.front() != '.' && s.back() != '.' && s.find("..") == std::string_view::npos;
}

// Writes the local part of the From address for `from`. A name whose plain
// cleaning is a valid dot-atom keeps it, as addresses always were; any
// other is transliterated and made one. At most CLEANED_ROOM characters.
char* putLocalPart(char* out, const char* from) {
  char* end = putCleaned(out, from, false);
  if (isDotAtom(std::string_view(out, std::size_t(end - out)))) return end;
  end = putCleaned(out, from, true);
  if (end - out > std::ptrdiff_t(MAX_LOCAL)) end = out + MAX_LOCAL;
  while (end > out && end[-1] == '.') --end;
  if (end == out) end = putText(out, NAMELESS);
  return end;
}

// One label of a From domain: the letter, the number, a dot.
char* putLabel(char* out, char letter, word v) {
  *out++ = letter;
  out = putNum(out, v);
  *out++ = '.';
  return out;
}

}  // namespace

std::string ftnAddrStr(const NETADDR& a) {
  char buf[4 * 6 + 4];
  char* p = putNum(buf, a.zone);
  *p++ = ':';
  p = putNum(p, a.net);
  *p++ = '/';
  p = putNum(p, a.node);
  if (a.point) {
    *p++ = '.';
    p = putNum(p, a.point);
  }
  return std::string(buf, p);
}

// The longest a From value grows before it is cut to MAX_VALUE: the name,
// " <", the local part, '@', four labels, the domain and '>'.
static_assert(MAX_VALUE + 2 + CLEANED_ROOM + 1 + 4 * 7 + sizeof GATE_DOMAIN + 1 <= FROM_ROOM);

char* putAddr(char* out, const char* from, const NETADDR& a) {
  char* const start = out;
  // Whatever of the name lies past MAX_VALUE is cut off below anyway.
  out = putText(out, std::string_view(from, strnlen(from, MAX_VALUE)));
  *out++ = ' ';
  *out++ = '<';
  out = putLocalPart(out, from);
  *out++ = '@';
  if (a.point) out = putLabel(out, 'p', a.point);
  out = putLabel(out, 'f', a.node);
  out = putLabel(out, 'n', a.net);
  out = putLabel(out, 'z', a.zone);
  out = putText(out, GATE_DOMAIN);
  *out++ = '>';
  return std::min(out, start + MAX_VALUE);
}

void appendAddr(std::string& out, const char* from, const NETADDR& a) {
  char buf[FROM_ROOM];
  out.append(buf, putAddr(buf, from, a));
}

std::string addrStr(const char* from, const NETADDR& a) {
  std::string out;
  appendAddr(out, from, a);
  return out;
}

char* putMsgid(char* out, std::optional<std::string_view> msgid) {
  if (!msgid) return out;
  // The body stops growing past MSGID_BODY_LIMIT, so one more "$xx" and
  // the suffix still fit in MAX_VALUE.
  static constexpr auto KEPT = [] {
    std::array<bool, 256> t{};
    for (int c = 0; c < 256; ++c) t[std::size_t(c)] = isAsciiLetter(char(c)) || isDigit(char(c));
    return t;
  }();
  char* const start = out;
  *out++ = '<';
  for (char c : *msgid) {
    if (std::size_t(out - start) > MSGID_BODY_LIMIT) break;
    if (KEPT[byte(c)]) {
      *out++ = c;
    } else {
      constexpr char HEX[] = "0123456789abcdef";
      *out++ = '$';
      *out++ = HEX[byte(c) >> 4];
      *out++ = HEX[byte(c) & 0xF];
    }
  }
  return putText(out, MSGID_SUFFIX);
}

void appendMsgid(std::string& out, std::optional<std::string_view> msgid) {
  char buf[MSGID_ROOM];
  out.append(buf, putMsgid(buf, msgid));
}

std::string msgidStr(const char* msgid) {
  std::string out;
  if (msgid) appendMsgid(out, std::string_view(msgid));
  return out;
}

std::string dateZone(const char* ctl) {
  // No zone lies further than 14 hours from UTC.
  constexpr unsigned MAX_OFFSET = 1400;
  std::string zone = "+0000";
  auto v = findKludge(ctl, "TZUTC:");
  if (!v) return zone;
  std::string_view t = *v;
  auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!t.empty() && blank(t.front())) t.remove_prefix(1);
  while (!t.empty() && blank(t.back())) t.remove_suffix(1);
  char sign = '+';
  if (!t.empty() && (t.front() == '+' || t.front() == '-')) {
    sign = t.front();
    t.remove_prefix(1);
  }
  if (t.size() < 3 || t.size() > 4 || !std::all_of(t.begin(), t.end(), isDigit)) return zone;
  unsigned hhmm = 0;
  for (char c : t) hhmm = hhmm * 10 + unsigned(c - '0');
  if (hhmm % 100 >= 60 || hhmm > MAX_OFFSET) return zone;
  if (hhmm == 0) return zone;  // UTC itself is "+0000" whatever the sign
  zone[0] = sign;
  for (int i = 4; i >= 1; --i, hhmm /= 10) zone[std::size_t(i)] = char('0' + hhmm % 10);
  return zone;
}

void appendFrom(std::string& out, const char* ctl, const XMSG& msg, const char* txt) {
  appendFrom(out, findKludge(ctl, "MSGID: "), msg, txt);
}

char* putFrom(char* out, std::optional<std::string_view> msgid, const XMSG& msg, const char* txt) {
  const char* raw = reinterpret_cast<const char*>(msg.from);
  char from[MAX_NAME + 1];
  const std::size_t flen = strnlen(raw, MAX_NAME);
  std::memcpy(from, raw, flen);
  from[flen] = '\0';
  NETADDR addr;

  // A MSGID is "address serial"; one without the serial is not trusted. The
  // address ends at the space at the latest, so it is parsed where it lies.
  if (msgid) {
    if (msgid->find(' ') != std::string_view::npos && parseFtnAddr(msgid->data(), &addr))
      return putAddr(out, from, addr);
  }

  // Only the first " * Origin:" counts, and only at the start of a line; the
  // address is in the last parenthesis from there on.
  if (const char* origin = std::strstr(txt, " * Origin:");
      origin && (origin == txt || origin[-1] == '\r')) {
    if (const char* paren = std::strrchr(origin, '(')) {
      ++paren;
      // The closing parenthesis ends the address too; stopping at the first
      // terminator as well keeps the copy short.
      const std::string inside(paren, std::strcspn(paren, ")\t\n\r @"));
      if (parseFtnAddr(inside.c_str(), &addr)) return putAddr(out, from, addr);
    }
  }

  return putAddr(out, from, msg.orig);
}

void appendFrom(std::string& out, std::optional<std::string_view> msgid, const XMSG& msg,
                const char* txt) {
  char buf[FROM_ROOM];
  out.append(buf, putFrom(buf, msgid, msg, txt));
}

std::string getFrom(const char* ctl, const XMSG& msg, const char* txt) {
  std::string out;
  appendFrom(out, ctl, msg, txt);
  return out;
}

int countLines(const char* txt) { return countLines(txt, std::strlen(txt)); }

int countLines(const char* txt, std::size_t size) {
  // HEAD counts through every text of an area: one pass that looks for the
  // NUL and counts carriage returns 64 bytes at a time (one test for a NUL
  // among them: the least of the four blocks is zero), the counts kept in
  // byte lanes for up to 63 steps at once; then 16 bytes at a time. A block
  // that holds the NUL, and the tail, are counted one byte at a time.
  const auto* p = reinterpret_cast<const unsigned char*>(txt);
  std::size_t i = 0;
  int n = 0;
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128(), cr = _mm_set1_epi8('\r');
  auto load = [p](std::size_t at) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + at)); };
  bool nul = false;
  while (!nul && i + 64 <= size) {
    __m128i tally = zero;
    for (int k = 0; k < 63 && i + 64 <= size; ++k, i += 64) {
      const __m128i a = load(i), b = load(i + 16), c = load(i + 32), d = load(i + 48);
      const __m128i least = _mm_min_epu8(_mm_min_epu8(a, b), _mm_min_epu8(c, d));
      if (_mm_movemask_epi8(_mm_cmpeq_epi8(least, zero))) {
        nul = true;
        break;
      }
      tally = _mm_sub_epi8(tally, _mm_cmpeq_epi8(a, cr));
      tally = _mm_sub_epi8(tally, _mm_cmpeq_epi8(b, cr));
      tally = _mm_sub_epi8(tally, _mm_cmpeq_epi8(c, cr));
      tally = _mm_sub_epi8(tally, _mm_cmpeq_epi8(d, cr));
    }
    const __m128i sums = _mm_sad_epu8(tally, zero);
    n += _mm_cvtsi128_si32(sums) + _mm_extract_epi16(sums, 4);
  }
  // The rest 16 bytes at a time, up to the block with the NUL.
  for (; !nul && i + 16 <= size; i += 16) {
    const __m128i v = load(i);
    if (_mm_movemask_epi8(_mm_cmpeq_epi8(v, zero))) break;
    n += __builtin_popcount(unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(v, cr))));
  }
#endif
  for (; i < size && p[i]; ++i) n += p[i] == '\r';
  return n;
}
