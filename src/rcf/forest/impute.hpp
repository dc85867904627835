// Imputation of missing coordinates and extrapolation of the shingle: every tree proposes the
// stored point nearest to the query on the known coordinates, searching both sides of every cut
// on an unknown one, and each unknown coordinate becomes the median of the proposals. Read-only:
// the random choices of centrality < 1 come from generators seeded with the word the forest's own
// generator would produce next, so the forest generator does not move.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "detector_error.hpp"
#include "rcf/forest/mod.hpp"

namespace quillon::rcf {

// Row indices proposed by the trees that hold points, in tree order. `x` has dim values; mask
// entries 1 mark unknown coordinates. The seed expands into one generator word per tree (empty
// trees included), which seeds that tree's generator.
std::vector<uint64_t> conditional_search(const Forest& forest, std::span<const float> x,
                                         std::span<const uint8_t> mask, uint64_t seed,
                                         double centrality);

// Median of coordinate k over the proposed rows, in the total order of 32-bit floats; for an even
// count the mean of the two middle values in 32-bit arithmetic. `rows` must not be empty.
float coordinate_median(const PointStore& store, std::span<const uint64_t> rows, uint64_t k);

// Checks, in order: "missing list is empty", DimensionMismatch (dim values), IndexOutOfBounds for
// the first index >= dim, NotReady when no tree holds a point. Returns the dim values with every
// missing position filled.
Result<std::vector<float>> impute(const Forest& forest, std::span<const float> values,
                                  std::span<const uint64_t> missing, double centrality);

// Re-estimates the newest look_ahead observations of the shingle, newest first, each from the rest
// of the (progressively filled) shingle: look_ahead * input_dim values.
Result<std::vector<float>> extrapolate(const Forest& forest, uint64_t look_ahead);

}  // namespace quillon::rcf
