// In-place ascending sort of signed 32-bit integers.
#ifndef ZANDREL_QKSORT_H
#define ZANDREL_QKSORT_H

#include "typedefs.h"

void qksort(sdword* base, unsigned count);
// Sorts the inclusive range [lo, hi].
void iqksort(sdword* lo, sdword* hi);

#endif
