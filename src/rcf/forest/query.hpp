// The read-only scoring queries of the forest: anomaly score, displacement score, density,
// attribution and near neighbours. Each forms the query point, walks every tree once and combines
// the per-tree values in tree order. None changes the forest or advances a generator, and none
// keeps state outside the call, so any number may run on one forest at once.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "detector_error.hpp"
#include "rcf/forest/mod.hpp"
#include "rcf/tree/traversal.hpp"

namespace quillon::rcf {

// Attribution of one coordinate: the part credited for lying above cuts ("below") and below or
// on them ("above").
struct AttributionPair {
  double below = 0.0;
  double above = 0.0;
  friend bool operator==(const AttributionPair&, const AttributionPair&) = default;
};

// One merged neighbour: its score, a copy of the stored point and its L1 distance to the query.
struct Neighbor {
  double score = 0.0;
  std::vector<float> point;
  double distance = 0.0;
};

// `values`: input_dim values completed from the shingle (internal shingling) or dim values;
// otherwise DimensionMismatch with expected dim.
Result<double> score(const Forest& forest, std::span<const float> values);
Result<double> displacement_score(const Forest& forest, std::span<const float> values);
Result<double> density(const Forest& forest, std::span<const float> values);
// The anomaly score's terms: for trees [first, last), the contribution of each tree to the query
// point `query` (what score() sums in tree order and divides by the number of trees), in the same
// positions of `out` (one entry per tree of the forest). Walks use `scratch`, so that two threads
// may fill disjoint ranges at once.
void score_contributions(const Forest& forest, const float* query, size_t first, size_t last,
                         std::span<double> out, MixScratch& scratch);

// dim pairs, element i for coordinate i of the (shingled) point.
Result<std::vector<AttributionPair>> attribution(const Forest& forest,
                                                 std::span<const float> values);
// At most top_k neighbours in ascending distance. Checks percentile <= 100 ("percentile must be
// in [0, 100]") before the query point.
Result<std::vector<Neighbor>> near_neighbors(const Forest& forest, std::span<const float> values,
                                             uint64_t top_k, uint64_t percentile);

}  // namespace quillon::rcf
