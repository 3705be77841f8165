#include "parsenn.h"

#include <cstring>

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
