// FidoNet addresses read from text.
#include "fidotext.h"

#include <cstring>
#include <string_view>

#include "1stchar.h"
#include "atoword.h"

namespace {

bool is_all_word(const char* s) { return *s == 'A' || *s == 'a'; }

// One address part: a number, or with wildcards a word beginning with A
// (ALL), which stands for every value of the part.
word part_value(const char* s, word all) {
  return all && is_all_word(s) ? ADDR_ALL : atoword(s);
}

void set_if_wanted(word* field, word value) {
  if (field) *field = value;
}

// Leading decimal digits; anything else reads as 0.
word leading_number(std::string_view s) {
  dword v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') break;
    v = v * 10 + dword(c - '0');
  }
  return word(v);
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool endsAddress(char c) {
  return c == '\0' || c == '\t' || c == '\n' || c == '\r' || c == ' ' || c == '@';
}

}  // namespace

void ParseNN(const char* netnode, word* zone, word* net, word* node,
             word* point, word all) {
  if (netnode == nullptr) return;
  const char* pos = netnode;
  // The delimiter tests look at the whole text, not just what is left of it.
  const bool has_colon = std::strchr(netnode, ':') != nullptr;
  const bool has_slash = std::strchr(netnode, '/') != nullptr;

  if (all) {
    set_if_wanted(point, ADDR_ALL);
    if (*netnode == 'W' || *netnode == 'w') {  // WORLD
      set_if_wanted(zone, ADDR_ALL);
      set_if_wanted(net, ADDR_ALL);
      set_if_wanted(node, ADDR_ALL);
      return;
    }
  }

  if (has_colon) {
    set_if_wanted(zone, part_value(netnode, all));
    pos = firstchar(netnode, ":", 2);
    if (pos == nullptr) return;
  }

  if (all && !has_slash && is_all_word(pos)) {  // ALL or zone:ALL
    if (!has_colon) set_if_wanted(zone, ADDR_ALL);
    set_if_wanted(net, ADDR_ALL);
    set_if_wanted(node, ADDR_ALL);
    // Past the three letters of ALL, but never past the end of a shorter word.
    for (int i = 0; i < 3 && *pos; ++i) ++pos;
  }

  if (*pos && has_slash) {
    set_if_wanted(net, part_value(pos, all));
    pos = firstchar(pos, "/", 2);
    if (pos == nullptr) return;
  }

  if (*pos && node && *netnode != '.') {
    *node = part_value(pos, all);
    if (all && is_all_word(pos)) set_if_wanted(point, ADDR_ALL);
  }

  while (*pos >= '0' && *pos <= '9') ++pos;
  if (*pos != '.') return;
  ++pos;
  // A dot that ends the text reads as point 0.
  set_if_wanted(point, part_value(pos, all));
}

void Parse_NetNode(const char* netnode, word* zone, word* net, word* node,
                   word* point) {
  ParseNN(netnode, zone, net, node, point, 0);
}

void parseAddr(NETADDR* out, const std::string& text) {
  std::string_view s(text.data(), ::strnlen(text.data(), text.size()));
  s = s.substr(0, s.find('@'));
  *out = NETADDR{};
  if (std::size_t colon = s.find(':'); colon != std::string_view::npos) {
    out->zone = leading_number(s.substr(0, colon));
    s = s.substr(colon + 1);
  }
  if (std::size_t slash = s.find('/'); slash != std::string_view::npos) {
    out->net = leading_number(s.substr(0, slash));
    s = s.substr(slash + 1);
  }
  if (std::size_t dot = s.find('.'); dot != std::string_view::npos) {
    out->node = leading_number(s.substr(0, dot));
    out->point = leading_number(s.substr(dot + 1));
  } else {
    out->node = leading_number(s);
  }
}

int parseFtnAddr(const char* s, NETADDR* a) {
  if (!s || !*s) return 0;
  *a = NETADDR{};
  enum { NONE, ZONE, NET, POINT } last = NONE;  // the last separator met
  bool digits = false;  // digits seen since that separator
  word value = 0;       // wraps: only the low 16 bits of a number are kept
  for (; !endsAddress(*s); ++s) {
    char c = *s;
    if (isDigit(c)) {
      digits = true;
      value = word(value * 10 + (c - '0'));
      continue;
    }
    if (c != ':' && c != '/' && c != '.') return 0;
    if (!digits) return 0;
    if (c == ':') {
      if (last != NONE) return 0;
      a->zone = value;
      last = ZONE;
    } else if (c == '/') {
      if (last == NET || last == POINT) return 0;
      a->net = value;
      last = NET;
    } else {
      if (last == POINT) return 0;
      a->node = value;
      last = POINT;
    }
    digits = false;
    value = 0;
  }
  if (!digits || last == ZONE) return 0;
  if (last == POINT)
    a->point = value;
  else
    a->node = value;
  return 1;
}
