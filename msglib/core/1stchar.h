// Word finder for address parsing.
#ifndef ZANDREL_1STCHAR_H
#define ZANDREL_1STCHAR_H

// The first character of word `n` (1-based) of `str`, words being maximal
// runs of characters not in `delim`; null when there is no such word.
const char* firstchar(const char* str, const char* delim, int n);

#endif
