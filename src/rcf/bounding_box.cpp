#include "rcf/bounding_box.hpp"

#include "detector_error.hpp"

namespace quillon::rcf {

double range_sum_of(std::span<const float> min, std::span<const float> max) {
  QUILLON_INVARIANT(max.size() >= min.size(), "index out of range in bounding box");
  double sum = 0.0;
  for (size_t i = 0; i < min.size(); ++i) sum += static_cast<double>(max[i] - min[i]);
  return sum;
}

double extend_with_point(std::span<float> min, std::span<float> max, std::span<const float> point) {
  QUILLON_INVARIANT(max.size() == min.size() && point.size() >= min.size(),
                    "index out of range in bounding box");
  double sum = 0.0;
  for (size_t i = 0; i < min.size(); ++i) {
    min[i] = bound_min(min[i], point[i]);
    max[i] = bound_max(max[i], point[i]);
    sum += static_cast<double>(max[i] - min[i]);
  }
  return sum;
}

double extend_with_box(std::span<float> min, std::span<float> max, std::span<const float> other_min,
                       std::span<const float> other_max) {
  QUILLON_INVARIANT(
      max.size() == min.size() && other_min.size() >= min.size() && other_max.size() >= min.size(),
      "index out of range in bounding box");
  double sum = 0.0;
  for (size_t i = 0; i < min.size(); ++i) {
    min[i] = bound_min(min[i], other_min[i]);
    max[i] = bound_max(max[i], other_max[i]);
    sum += static_cast<double>(max[i] - min[i]);
  }
  return sum;
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
  const double dd = static_cast<double>(d);
  return dd / (range_sum + dd);
}

}  // namespace quillon::rcf
