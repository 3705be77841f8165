#include "ctrlinfo.h"

#include <cassert>
#include <cstring>
#include <new>
#include <string_view>

#include "atoword.h"
#include "fidotext.h"

namespace {

constexpr char SOH = '\x01';
constexpr char AREA_TAG[] = "AREA:";
constexpr std::size_t AREA_TAG_LEN = sizeof AREA_TAG - 1;

// _CopyToBuf reports its size as a word, and callers size the block from that
// count, so a block never grows past what a word can describe.
constexpr std::size_t MAX_BLOCK = 0xFFFF;

// Kludge lines in *.MSG text end at CR, LF or the soft return 0x8D.
bool is_line_end(char c) { return c == '\r' || c == '\n' || c == '\x8D'; }

const char* skip_line_ends(const char* p) {
  while (is_line_end(*p)) ++p;
  return p;
}

bool starts_with_area(const char* p) {
  return std::strncmp(p, AREA_TAG, AREA_TAG_LEN) == 0;
}

// The kludge that starts right after an SOH at `p`: its text up to the next
// SOH or the end of the block.
std::string_view kludge_text(const char* p) {
  return std::string_view(p, std::strcspn(p, "\x01"));
}

// What follows the keyword and its space ("INTL 2:5020/52 1:2/3" gives
// "2:5020/52 1:2/3"). A kludge cut short after its keyword has no value.
std::string_view kludge_value(std::string_view kludge) {
  constexpr std::size_t KEYWORD_AND_SPACE = 5;
  return kludge.size() < KEYWORD_AND_SPACE ? std::string_view()
                                           : kludge.substr(KEYWORD_AND_SPACE);
}

// INTL names the destination and then the origin with their zones. It is
// trusted only when it agrees with the header on both nets and nodes.
void apply_intl(const char* ctrl, NETADDR* orig, NETADDR* dest) {
  auto intl = FindCtrlToken(ctrl, "INTL");
  if (!intl) return;
  std::string value;
  try {
    value.assign(kludge_value(*intl));
  } catch (const std::bad_alloc&) {
    return;
  }
  NETADDR new_dest = *dest;
  NETADDR new_orig = *orig;
  Parse_NetNode(value.c_str(), &new_dest.zone, &new_dest.net, &new_dest.node,
                &new_dest.point);
  // An INTL with a single address leaves the origin copy as it was.
  std::size_t space = value.find(' ');
  if (space != std::string::npos)
    Parse_NetNode(value.c_str() + space + 1, &new_orig.zone, &new_orig.net,
                  &new_orig.node, &new_orig.point);
  if (new_dest.net == dest->net && new_dest.node == dest->node &&
      new_orig.net == orig->net && new_orig.node == orig->node) {
    *dest = new_dest;
    *orig = new_orig;
  }
}

// FMPT and TOPT carry the point number of the origin and of the destination.
// A kludge without a number gives point 0.
void apply_point(const char* ctrl, const char* keyword, word* point) {
  auto kludge = FindCtrlToken(ctrl, keyword);
  if (!kludge) return;
  // The value lies inside the NUL-terminated block and the number stops at
  // the SOH of the next kludge, so it can be read in place.
  std::string_view value = kludge_value(*kludge);
  *point = value.empty() ? 0 : atoword(value.data());
}

}  // namespace

word _CopyToBuf(const char* txt, char* out, const char** end) {
  std::size_t count = 1;
  if (out) *out++ = SOH;

  const char* p = skip_line_ends(txt ? txt : "");
  while (*p == SOH || starts_with_area(p)) {
    const char* body = *p == SOH ? p + 1 : p;  // AREA: keeps its first letter
    const char* stop = body;
    while (*stop && !is_line_end(*stop)) ++stop;
    const std::size_t len = std::size_t(stop - body);
    // The kludge, the SOH after it and the final NUL must still fit in a
    // word. One that does not stays in front of the real text, whole,
    // instead of being cut or wrapping the count.
    if (count + len + 2 > MAX_BLOCK) break;
    if (out) {
      std::memcpy(out, body, len);
      out += len;
      *out++ = SOH;
    }
    count += len + 1;
    p = skip_line_ends(stop);
  }

  if (out) {
    // The SOH that would have introduced another kludge becomes a NUL, so a
    // block ends in two NULs.
    if (out[-1] == SOH) out[-1] = '\0';
    *out = '\0';
  }
  ++count;
  if (end) *end = txt ? p : nullptr;
  return word(count);
}

std::string CopyToControlBuf(const char* txt, const char** newtext,
                             dword* length) {
  std::string block(_CopyToBuf(txt, nullptr, nullptr), '\0');
  const char* end = txt;
  const word written = _CopyToBuf(txt, block.data(), &end);
  assert(written == block.size());
  (void)written;
  if (newtext) *newtext = end;
  if (length) {
    // A caller whose count is shorter than the kludge lines ends with no
    // text, not with a count that wrapped round.
    const dword skipped = dword(end - txt);
    *length = *length > skipped ? *length - skipped : 0;
  }
  return block;
}

void ConvertControlInfo(const char* ctrl, NETADDR* orig, NETADDR* dest) {
  if (ctrl == nullptr || orig == nullptr || dest == nullptr) return;
  apply_intl(ctrl, orig, dest);
  apply_point(ctrl, "FMPT", &orig->point);
  apply_point(ctrl, "TOPT", &dest->point);
}

std::string CvtCtrlToKludge(const char* ctrl) {
  std::string lines;
  if (ctrl == nullptr) return lines;
  const char* p = ctrl;
  while (p[0] == SOH && p[1] != '\0') {
    ++p;
    // The echo area line of a *.MSG text is a plain line, not a kludge.
    if (!starts_with_area(p)) lines += SOH;
    std::string_view text = kludge_text(p);
    lines += text;
    lines += '\r';
    p += text.size();
  }
  return lines;
}

word NumKludges(const char* ctrl) {
  if (ctrl == nullptr) return 0;
  dword n = 0;
  for (const char* p = ctrl; *p; ++p)
    if (*p == SOH) ++n;
  // A count that a word cannot hold reads as the largest one, never as a
  // small number that would undersize a buffer.
  return n > 0xFFFF ? word(0xFFFF) : word(n);
}

void RemoveFromCtrl(char* ctrl, const char* what) {
  if (ctrl == nullptr || what == nullptr) return;
  const std::size_t what_len = std::strlen(what);
  // One pass that keeps what it does not drop: deleting the kludges one by
  // one and sliding the tail down each time costs a pass per kludge, which a
  // block full of matching kludges turns into quadratic time.
  char* w = ctrl;
  const char* r = ctrl;
  while (*r) {
    if (*r == SOH && std::strncmp(r + 1, what, what_len) == 0) {
      r += 1 + kludge_text(r + 1).size();
      continue;
    }
    // Keep this byte and the rest of its kludge (or of the text before the
    // first SOH).
    do {
      *w++ = *r++;
    } while (*r && *r != SOH);
  }
  *w = '\0';
}

char* StripNasties(char* s) {
  if (s == nullptr) return s;
  // Compare as unsigned: as a signed char, every byte of 0x80 and above would
  // count as a control character.
  for (char* p = s; *p; ++p)
    if (static_cast<unsigned char>(*p) <= 0x1F) *p = ' ';
  return s;
}
