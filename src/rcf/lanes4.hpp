// Four 32-bit lanes through the compiler's generic vectors: SSE on x86-64, NEON on arm64, plain
// code elsewhere; no instruction set beyond the baseline. A lane-wise operation rounds exactly as
// its scalar form, so results do not depend on the width; sums across lanes stay in the callers,
// in ascending order.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillon::rcf::simd {

typedef float F4 __attribute__((vector_size(16)));
typedef int32_t I4 __attribute__((vector_size(16)));

inline F4 load(const float* p) {
  F4 v;
  __builtin_memcpy(&v, p, sizeof v);
  return v;
}
inline void store(float* p, F4 v) { __builtin_memcpy(p, &v, sizeof v); }

// Whether any lane of a comparison mask is set: one test of the whole mask instead of four lane
// extractions.
inline bool any(I4 mask) {
  uint64_t halves[2];
  __builtin_memcpy(halves, &mask, sizeof halves);
  return (halves[0] | halves[1]) != 0;
}

// Whether min[i] <= x[i] <= max[i] for every i < n; a NaN coordinate is not enclosed.
inline bool encloses(const float* min, const float* max, const float* x, size_t n) {
  size_t i = 0;
  I4 outside = {};
  for (; i + 4 <= n; i += 4) {
    const F4 xv = load(x + i);
    outside |= ~((load(min + i) <= xv) & (xv <= load(max + i)));
  }
  if (any(outside)) return false;
  for (; i < n; ++i) {
    if (!(min[i] <= x[i] && x[i] <= max[i])) return false;
  }
  return true;
}

}  // namespace quillon::rcf::simd
