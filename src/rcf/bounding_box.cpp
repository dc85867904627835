#include "rcf/bounding_box.hpp"

#include <limits>

#include "detector_error.hpp"
#include "rcf/lanes4.hpp"

namespace quillon::rcf {

double range_sum_of(std::span<const float> min, std::span<const float> max) {
  QUILLON_INVARIANT(max.size() >= min.size(), "index out of range in bounding box");
  double sum = 0.0;
  for (size_t i = 0; i < min.size(); ++i) sum += static_cast<double>(max[i] - min[i]);
  return sum;
}

using simd::F4;

double union_into(float* min, float* max, const float* a_min, const float* a_max,
                  const float* b_min, const float* b_max, size_t n) {
  double sum = 0.0;
  size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const F4 cur_min = simd::load(a_min + i);
    const F4 cur_max = simd::load(a_max + i);
    const F4 lo4 = simd::load(b_min + i);
    const F4 hi4 = simd::load(b_max + i);
    const F4 new_min = ((cur_min != cur_min) | (lo4 < cur_min)) ? lo4 : cur_min;
    const F4 new_max = ((cur_max != cur_max) | (hi4 > cur_max)) ? hi4 : cur_max;
    simd::store(min + i, new_min);
    simd::store(max + i, new_max);
    const F4 width = new_max - new_min;
    sum += static_cast<double>(width[0]);
    sum += static_cast<double>(width[1]);
    sum += static_cast<double>(width[2]);
    sum += static_cast<double>(width[3]);
  }
  for (; i < n; ++i) {
    min[i] = bound_min(a_min[i], b_min[i]);
    max[i] = bound_max(a_max[i], b_max[i]);
    sum += static_cast<double>(max[i] - min[i]);
  }
  return sum;
}

namespace {

double widen(float* min, float* max, const float* lo, const float* hi, size_t n) {
  return union_into(min, max, min, max, lo, hi, n);
}

}  // namespace

double extend_with_point(std::span<float> min, std::span<float> max, std::span<const float> point) {
  QUILLON_INVARIANT(max.size() == min.size() && point.size() >= min.size(),
                    "index out of range in bounding box");
  return widen(min.data(), max.data(), point.data(), point.data(), min.size());
}

double extend_with_box(std::span<float> min, std::span<float> max, std::span<const float> other_min,
                       std::span<const float> other_max) {
  QUILLON_INVARIANT(
      max.size() == min.size() && other_min.size() >= min.size() && other_max.size() >= min.size(),
      "index out of range in bounding box");
  return widen(min.data(), max.data(), other_min.data(), other_max.data(), min.size());
}

float outside_distance(std::span<const float> min, std::span<const float> max,
                       std::span<const float> point) {
  QUILLON_INVARIANT(min.size() >= point.size() && max.size() >= point.size(),
                    "index out of range in bounding box");
  float d = 0.0f;
  for (size_t i = 0; i < point.size(); ++i) {
    const float x = point[i];
    if (x < min[i]) {
      d += min[i] - x;
    } else if (x > max[i]) {
      d += x - max[i];
    }
  }
  return d;
}

double separation_probability(std::span<const float> min, std::span<const float> max,
                              double range_sum, std::span<const float> point) {
  const float d = outside_distance(min, max, point);
  if (d == 0.0f) return 0.0;
  if (range_sum == 0.0) return 1.0;
  double dd = static_cast<double>(d);
  if (dd == std::numeric_limits<double>::infinity()) {
    dd = outside_distance_wide(min.data(), max.data(), point.data(), point.size());
  }
  return dd / (range_sum + dd);
}

}  // namespace quillon::rcf
