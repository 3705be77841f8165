#include "qksort.h"

#include <cstddef>
#include <utility>

namespace {

// Sorts a[lo..hi] inclusive. Indices rather than pointers, so that "one
// before the boundary" never forms a pointer in front of the array.
void sort_range(sdword* a, std::ptrdiff_t lo, std::ptrdiff_t hi) {
  while (hi - lo >= 1) {
    // The middle element is the pivot; it waits at lo while the rest is
    // partitioned into "less than the pivot" and "the rest".
    std::swap(a[lo], a[lo + (hi - lo) / 2]);
    std::ptrdiff_t boundary = lo;
    for (std::ptrdiff_t i = lo + 1; i <= hi; ++i) {
      if (a[lo] > a[i]) std::swap(a[++boundary], a[i]);
    }
    std::swap(a[lo], a[boundary]);

    // Recurse into the smaller side and loop on the larger one, so the stack
    // stays logarithmic even on input that defeats the pivot choice.
    std::ptrdiff_t left = boundary - lo;   // elements before the pivot
    std::ptrdiff_t right = hi - boundary;  // elements after it
    if (left < right) {
      if (left >= 2) sort_range(a, lo, boundary - 1);
      lo = boundary + 1;
    } else {
      if (right >= 2) sort_range(a, boundary + 1, hi);
      hi = boundary - 1;
    }
  }
}

}  // namespace

void qksort(sdword* base, unsigned count) {
  if (base == nullptr || count < 2) return;
  sort_range(base, 0, std::ptrdiff_t(count) - 1);
}

void iqksort(sdword* lo, sdword* hi) {
  if (lo == nullptr || hi == nullptr || hi <= lo) return;
  sort_range(lo, 0, hi - lo);
}
