#include "rcf/cut.hpp"

#include <cmath>
#include <limits>

#include "rcf/bounding_box.hpp"

namespace quillon::rcf {

namespace {

// The largest 32-bit float strictly below v; -inf and NaN stay as they are.
float next_below(float v) {
  if (v != v || v == -std::numeric_limits<float>::infinity()) return v;
  return std::nextafter(v, -std::numeric_limits<float>::infinity());
}

}  // namespace

std::optional<Cut> random_cut(double u, std::span<const float> min, std::span<const float> max,
                              std::span<const float> point) {
  const size_t dims = point.size();
  double total = 0.0;
  for (size_t i = 0; i < dims; ++i) {
    const float hi = bound_max(max[i], point[i]);
    const float lo = bound_min(min[i], point[i]);
    total += static_cast<double>(hi - lo);
  }
  if (total == 0.0) return std::nullopt;

  double r = u * total;
  uint64_t chosen = 0;
  bool found = false;
  uint64_t last_positive = 0;
  double last_positive_span = 0.0;
  for (size_t i = 0; i < dims; ++i) {
    const double span =
        static_cast<double>(bound_max(max[i], point[i]) - bound_min(min[i], point[i]));
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

  const float hi = bound_max(max[chosen], point[chosen]);
  const float lo = bound_min(min[chosen], point[chosen]);
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
