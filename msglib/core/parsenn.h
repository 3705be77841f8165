// FidoNet address parsing for kludge text (zone:net/node.point).
#ifndef ZANDREL_PARSENN_H
#define ZANDREL_PARSENN_H

#include "typedefs.h"

// Stored in a field by the wildcard form to mean "all".
constexpr word ADDR_ALL = 0xDD6D;

// Fills only the parts the text contains; a null pointer means that part is
// not wanted. `all` non-zero enables the wildcard words ALL and WORLD.
void ParseNN(const char* netnode, word* zone, word* net, word* node,
             word* point, word all);
// ParseNN without wildcards.
void Parse_NetNode(const char* netnode, word* zone, word* net, word* node,
                   word* point);

#endif
