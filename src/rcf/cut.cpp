#include "rcf/cut.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include "rcf/bounding_box.hpp"
#include "rcf/lanes4.hpp"

namespace quillon::rcf {

namespace {

// The largest 32-bit float strictly below v; -inf and NaN stay as they are.
float next_below(float v) {
  if (v != v || v == -std::numeric_limits<float>::infinity()) return v;
  if (v == 0.0f) return -std::numeric_limits<float>::denorm_min();
  const uint32_t bits = std::bit_cast<uint32_t>(v);
  return std::bit_cast<float>(v > 0.0f ? bits - 1 : bits + 1);
}

using simd::F4;

// Spans of the extended box for up to this many dimensions are kept on the stack between the two
// passes; wider points recompute them.
constexpr size_t kSpanBuffer = 64;

}  // namespace

std::optional<Cut> random_cut(double u, std::span<const float> min, std::span<const float> max,
                              std::span<const float> point) {
  const size_t dims = point.size();
  const float* mn = min.data();
  const float* mx = max.data();
  const float* p = point.data();
  auto span_of = [&](size_t i) {
    return static_cast<double>(bound_max(mx[i], p[i]) - bound_min(mn[i], p[i]));
  };
  double spans[kSpanBuffer];
  const bool buffered = dims <= kSpanBuffer;
  double total = 0.0;
  size_t i = 0;
  if (buffered) {
    // Four extended bounds at a time, chosen by the same comparisons as bound_min / bound_max;
    // each span is still widened and added in ascending order.
    for (; i + 4 <= dims; i += 4) {
      const F4 lo = simd::load(mn + i);
      const F4 hi = simd::load(mx + i);
      const F4 x = simd::load(p + i);
      const F4 top = ((hi != hi) | (x > hi)) ? x : hi;
      const F4 bottom = ((lo != lo) | (x < lo)) ? x : lo;
      const F4 width = top - bottom;
      for (size_t k = 0; k < 4; ++k) {
        const double s = static_cast<double>(width[k]);
        spans[i + k] = s;
        total += s;
      }
    }
  }
  for (; i < dims; ++i) {
    const double s = span_of(i);
    if (buffered) spans[i] = s;
    total += s;
  }
  if (total == 0.0) return std::nullopt;

  double r = u * total;
  uint64_t chosen = 0;
  bool found = false;
  uint64_t last_positive = 0;
  double last_positive_span = 0.0;
  for (size_t i = 0; i < dims; ++i) {
    const double span = buffered ? spans[i] : span_of(i);
    if (r < span) {
      chosen = i;
      found = true;
      break;
    }
    if (span > 0.0) {
      last_positive = i;
      last_positive_span = span;
    }
    r -= span;
  }
  if (!found) {
    // Rounding pushed r past the last span: fall back to the last dimension with extent.
    chosen = last_positive;
    r = last_positive_span;
  }

  const float hi = bound_max(mx[chosen], p[chosen]);
  const float lo = bound_min(mn[chosen], p[chosen]);
  const float upper = bound_max(next_below(hi), lo);
  float value = lo + static_cast<float>(r);
  if (value < lo) value = lo;
  if (value > upper) value = upper;
  return Cut{chosen, value};
}

bool cut_separates(const Cut& cut, std::span<const float> min, std::span<const float> max,
                   std::span<const float> point) {
  const uint64_t d = cut.dim;
  return (point[d] <= cut.value && cut.value < min[d]) ||
         (max[d] <= cut.value && cut.value < point[d]);
}

}  // namespace quillon::rcf
