#ifndef ZANDREL_STROCPY_H
#define ZANDREL_STROCPY_H

// Copies the string `s` with its NUL to `d`; the two may overlap.
char* strocpy(char* d, const char* s);

#endif
