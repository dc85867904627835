// Axis-aligned boxes of 32-bit coordinates with their cached side-length sum, and the probability
// that a random cut separates a point from a box. Internal nodes keep their boxes inside the node
// arena (see node_arena.hpp); the functions here work on (min, max) spans so that queries and
// mutations share one definition.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "json_codec.hpp"

namespace quillon::rcf {

// The smaller / larger of two coordinates; a NaN operand yields the other one, and on a tie the
// first operand (the box's current bound) stays.
inline float bound_min(float current, float value) {
  if (current != current) return value;
  return value < current ? value : current;
}
inline float bound_max(float current, float value) {
  if (current != current) return value;
  return value > current ? value : current;
}

// min = bound_min(a_min, b_min) and max = bound_max(a_max, b_max) per coordinate (a first, widened
// by b), returning the range sum of the result. The outputs may be a's own arrays, not b's.
double union_into(float* min, float* max, const float* a_min, const float* a_max,
                  const float* b_min, const float* b_max, size_t n);

// Sum over dimensions of (max - min): each difference in 32-bit floats, summed in 64 bits.
double range_sum_of(std::span<const float> min, std::span<const float> max);

// Widens [min, max] to contain `point`; returns the new range sum.
double extend_with_point(std::span<float> min, std::span<float> max, std::span<const float> point);
// Widens [min, max] to contain [other_min, other_max]; returns the new range sum.
double extend_with_box(std::span<float> min, std::span<float> max, std::span<const float> other_min,
                       std::span<const float> other_max);

// How far `point` lies outside the box, summed over dimensions in 32-bit floats.
float outside_distance(std::span<const float> min, std::span<const float> max,
                       std::span<const float> point);

// The outside distance of `x` from [mn, mx] in 64-bit arithmetic: for a query far enough out that
// the 32-bit sum overflows, although every coordinate is finite.
inline double outside_distance_wide(const float* mn, const float* mx, const float* x, size_t dim) {
  double d = 0.0;
  for (size_t i = 0; i < dim; ++i) {
    const double xi = x[i];
    if (xi < mn[i]) {
      d += static_cast<double>(mn[i]) - xi;
    } else if (xi > mx[i]) {
      d += xi - static_cast<double>(mx[i]);
    }
  }
  return d;
}

// Probability that a random cut of the box extended with `point` separates the point from the
// box: 0.0 inside, 1.0 against a single-point box, else d / (range_sum + d).
double separation_probability(std::span<const float> min, std::span<const float> max,
                              double range_sum, std::span<const float> point);

// An owning box: the saved form of an internal node's box, and a convenient value for tests.
struct BoundingBox {
  std::vector<float> min;
  std::vector<float> max;
  double range_sum = 0.0;

  static BoundingBox of_point(std::span<const float> point) {
    return {{point.begin(), point.end()}, {point.begin(), point.end()}, 0.0};
  }
  void extend(std::span<const float> point) { range_sum = extend_with_point(min, max, point); }
  void extend(const BoundingBox& other) {
    range_sum = extend_with_box(min, max, other.min, other.max);
  }
  float outside_distance(std::span<const float> point) const {
    return rcf::outside_distance(min, max, point);
  }
  double separation_probability(std::span<const float> point) const {
    return rcf::separation_probability(min, max, range_sum, point);
  }

  static constexpr std::string_view kJsonName = "BoundingBox";
  template <class Self, class Field>
  static void json_fields(Self& self, Field&& field) {
    field("min", self.min);
    field("max", self.max);
    field("range_sum", json::null_as_infinity(self.range_sum));
  }
};

}  // namespace quillon::rcf
