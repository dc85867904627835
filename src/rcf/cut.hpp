// Random axis-aligned cuts: the dimension is chosen with probability proportional to its span in
// the box extended with the point, the value uniformly within that span.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "rng.hpp"

namespace quillon::rcf {

struct Cut {
  uint64_t dim = 0;
  float value = 0.0f;
};

// (x >> 11) * 2^-53 from one draw: the uniform number of cuts and sampling decisions.
inline double draw_uniform(Xoshiro256PlusPlus& rng) { return rng.unit_f64(); }

// The cut of the box [min, max] extended with `point`, for a uniform number `u` drawn beforehand;
// none when the extended box has no extent.
std::optional<Cut> random_cut(double u, std::span<const float> min, std::span<const float> max,
                              std::span<const float> point);

// Whether the cut separates `point` from the (unextended) box [min, max].
bool cut_separates(const Cut& cut, std::span<const float> min, std::span<const float> max,
                   std::span<const float> point);

}  // namespace quillon::rcf
