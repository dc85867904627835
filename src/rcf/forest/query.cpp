#include "rcf/forest/query.hpp"

#include <algorithm>
#include <bit>
#include <limits>

#include "rcf/tree/traversal.hpp"

namespace quillon::rcf {

namespace {

bool has_points(const RcfTree& tree) { return !tree.is_empty() && tree.tree_mass > 0; }

// Room for the ancestors of a typical leaf; deeper trees grow the buffer once per call.
constexpr size_t kPathReserve = 64;

struct ValueScratch {
  ValueScratch() { mix.grow(kPathReserve); }
  std::vector<float> query;
  std::vector<double> raw;
  MixScratch mix;
};

// Sum of the per-tree contributions in tree order, over all trees (empty ones contribute 0.0).
template <class Rule>
Result<double> forest_value(const Forest& forest, std::span<const float> values) {
  // The buffers live on with the calling thread: a score per observation would otherwise pay a
  // dozen allocations, and each thread scoring at the same time keeps its own.
  thread_local ValueScratch buffers;
  auto query = forest.query_point(values, buffers.query);
  if (!query) return fail(std::move(query.error()));
  std::vector<double>& raw = buffers.raw;
  raw.assign(forest.trees.size(), 0.0);
  mixing_walks<Rule>(forest.trees, forest.point_store, query->data(), raw, buffers.mix);
  double sum = 0.0;
  for (size_t i = 0; i < forest.trees.size(); ++i) {
    const RcfTree& tree = forest.trees[i];
    double contribution = 0.0;
    if (has_points(tree)) {
      contribution = Rule::normalise(static_cast<double>(tree.tree_mass), raw[i]);
    }
    sum += contribution;
  }
  return sum / static_cast<double>(forest.trees.size());
}

// Orders doubles by the IEEE total order (-0.0 before +0.0) through their bit patterns.
int64_t total_order_key(double v) {
  const int64_t bits = std::bit_cast<int64_t>(v);
  return bits ^ static_cast<int64_t>(static_cast<uint64_t>(bits >> 63) >> 1);
}

struct MergedNeighbor {
  uint64_t row = 0;
  double score = 0.0;
  double distance = 0.0;
};

}  // namespace

void score_contributions(const Forest& forest, const float* query, size_t first, size_t last,
                         std::span<double> out, MixScratch& scratch) {
  const auto trees = std::span<const RcfTree>(forest.trees).subspan(first, last - first);
  const auto values = out.subspan(first, last - first);
  mixing_walks<AnomalyRule>(trees, forest.point_store, query, values, scratch);
  for (size_t i = 0; i < trees.size(); ++i) {
    values[i] = has_points(trees[i])
                    ? AnomalyRule::normalise(static_cast<double>(trees[i].tree_mass), values[i])
                    : 0.0;
  }
}

Result<double> score(const Forest& forest, std::span<const float> values) {
  return forest_value<AnomalyRule>(forest, values);
}

Result<double> displacement_score(const Forest& forest, std::span<const float> values) {
  return forest_value<DisplacementRule>(forest, values);
}

Result<double> density(const Forest& forest, std::span<const float> values) {
  return forest_value<DensityRule>(forest, values);
}

Result<std::vector<AttributionPair>> attribution(const Forest& forest,
                                                 std::span<const float> values) {
  std::vector<float> scratch;
  auto query = forest.query_point(values, scratch);
  if (!query) return fail(std::move(query.error()));
  const size_t dim = query->size();
  std::vector<double> below(dim, 0.0);
  std::vector<double> above(dim, 0.0);
  for (const RcfTree& tree : forest.trees) {
    if (has_points(tree)) attribution_walk(tree, query->data(), dim, below.data(), above.data());
  }
  const double scale = 1.0 / static_cast<double>(forest.trees.size());
  std::vector<AttributionPair> pairs(dim);
  for (size_t i = 0; i < dim; ++i) pairs[i] = {below[i] * scale, above[i] * scale};
  return pairs;
}

Result<std::vector<Neighbor>> near_neighbors(const Forest& forest, std::span<const float> values,
                                             uint64_t top_k, uint64_t percentile) {
  if (percentile > 100)
    return fail(DetectorError::invalid_argument("percentile must be in [0, 100]"));
  std::vector<float> scratch;
  auto query = forest.query_point(values, scratch);
  if (!query) return fail(std::move(query.error()));
  // Nothing can be returned; the search would not change that.
  if (top_k == 0) return std::vector<Neighbor>{};

  const double threshold = static_cast<double>(percentile) / 100.0;
  std::vector<NeighborCandidate> candidates;
  std::vector<PendingNode> stack;
  for (const RcfTree& tree : forest.trees) {
    if (has_points(tree)) {
      neighbor_walk(tree, forest.point_store, query->data(), threshold, candidates, stack);
    }
  }

  // Merge by row in ascending row order; within a row the scores are summed in visiting order.
  std::vector<uint64_t> order(candidates.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&](uint64_t a, uint64_t b) {
    if (candidates[a].row != candidates[b].row) return candidates[a].row < candidates[b].row;
    return a < b;
  });
  const double num_trees = static_cast<double>(forest.trees.size());
  std::vector<MergedNeighbor> merged;
  for (size_t i = 0; i < order.size();) {
    const uint64_t row = candidates[order[i]].row;
    double score_sum = 0.0;
    double distance = std::numeric_limits<double>::max();
    for (; i < order.size() && candidates[order[i]].row == row; ++i) {
      const NeighborCandidate& c = candidates[order[i]];
      score_sum += c.score;
      if (c.distance < distance) distance = c.distance;  // a NaN never replaces a number
    }
    merged.push_back({row, score_sum / num_trees, distance});
  }

  const size_t k = static_cast<size_t>(std::min<uint64_t>(top_k, merged.size()));
  // Equal distances keep ascending row order (the order the records were formed in), so the
  // result does not depend on how the selection and the sort permute ties.
  const auto closer = [](const MergedNeighbor& a, const MergedNeighbor& b) {
    const int64_t ka = total_order_key(a.distance);
    const int64_t kb = total_order_key(b.distance);
    return ka != kb ? ka < kb : a.row < b.row;
  };
  if (merged.size() > k) {
    std::nth_element(merged.begin(), merged.begin() + static_cast<ptrdiff_t>(k), merged.end(),
                     closer);
    merged.resize(k);
  }
  std::sort(merged.begin(), merged.end(), closer);

  std::vector<Neighbor> result;
  result.reserve(k);
  for (const MergedNeighbor& m : merged) {
    const std::span<const float> point = forest.point_store.point(m.row);
    result.push_back({m.score, std::vector<float>(point.begin(), point.end()), m.distance});
  }
  return result;
}

}  // namespace quillon::rcf
