// Basic integer types shared by every module. The widths are fixed: they
// describe fields of records that live on disk.
#ifndef ZANDREL_TYPEDEFS_H
#define ZANDREL_TYPEDEFS_H

#include <stdint.h>

typedef uint8_t byte;
typedef uint16_t word;
typedef int16_t sword;
typedef uint32_t dword;
typedef int32_t sdword;

#endif
