// Wildmats as readers send them to LIST, NEWGROUPS and NEWNEWS: patterns
// separated by commas, each possibly negated with '!', the last pattern that
// matches deciding. A pattern knows '*', '?', character classes "[a-z]",
// "[^x]" and '\' to take the next character literally.
#ifndef NNTPD_WILDMAT_H
#define NNTPD_WILDMAT_H

#include <string_view>

namespace nntpd {

bool wildmatMatch(std::string_view wildmat, std::string_view text);

}  // namespace nntpd

#endif
