// Read-only walks of one random cut tree for the forest queries: the scoring traversal with its two
// rules, density, attribution, the branch-and-prune walk of the neighbour search and the
// conditional search of imputation.
//
// Every walk is iterative (a legal tree can be as deep as the sampler capacity and the queries run
// on Python threads with small stacks) and writes only into caller-owned buffers, so several
// queries may walk one tree at the same time. The functions expect a tree that is not empty and
// whose structure was validated (forest construction, updates or a checked load); a walk longer
// than the arena is reported as an internal failure instead of looping.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "rcf/bounding_box.hpp"
#include "rcf/lanes4.hpp"
#include "rcf/node_arena.hpp"
#include "rcf/point_store.hpp"
#include "rcf/tree/mod.hpp"
#include "rng.hpp"

namespace quillon::rcf {

// Separation probability of `x` against the box [mn, mx] with cached `range_sum`, on raw
// pointers: the inner kernel of every query. The outside distance is summed in 32-bit floats in
// ascending dimension order. The per-dimension terms are formed four at a time; a dimension the
// point lies inside contributes +0.0, which leaves the non-negative sum unchanged, so a group of
// four inside dimensions is skipped and the other terms are added one by one in order, exactly as
// a scalar loop would.
inline double separation_probability_at(const float* mn, const float* mx, double range_sum,
                                        const float* x, size_t dim) {
  float d = 0.0f;
  size_t i = 0;
  for (; i + 4 <= dim; i += 4) {
    const simd::F4 xv = simd::load(x + i);
    const simd::F4 lo = simd::load(mn + i);
    const simd::F4 hi = simd::load(mx + i);
    const simd::I4 below = xv < lo;
    const simd::I4 above = xv > hi;
    if (!simd::any(below | above)) continue;
    const simd::F4 term = below ? lo - xv : (above ? xv - hi : simd::F4{});
    d += term[0];
    d += term[1];
    d += term[2];
    d += term[3];
  }
  for (; i < dim; ++i) {
    const float xi = x[i];
    if (xi < mn[i]) {
      d += mn[i] - xi;
    } else if (xi > mx[i]) {
      d += xi - mx[i];
    }
  }
  if (d == 0.0f) return 0.0;
  if (range_sum == 0.0) return 1.0;
  double dd = static_cast<double>(d);
  if (dd == std::numeric_limits<double>::infinity()) dd = outside_distance_wide(mn, mx, x, dim);
  return dd / (range_sum + dd);
}

// Numeric equality of a stored row and the query (+0.0 == -0.0, NaN equals nothing).
inline bool row_equals(const float* row, const float* x, size_t dim) {
  for (size_t i = 0; i < dim; ++i) {
    if (!(row[i] == x[i])) return false;
  }
  return true;
}

// |a - b| in 32-bit floats, widened. Two finite coordinates can lie further apart than the largest
// float; their distance is taken in 64 bits instead of overflowing.
inline double coordinate_distance(float a, float b) {
  const float d = std::fabs(a - b);
  if (d != std::numeric_limits<float>::infinity()) return static_cast<double>(d);
  return std::fabs(static_cast<double>(a) - static_cast<double>(b));
}

// L1 distance: the coordinate distances summed in 64 bits in ascending order.
inline double l1_distance(const float* a, const float* b, size_t dim) {
  double sum = 0.0;
  for (size_t i = 0; i < dim; ++i) sum += coordinate_distance(a[i], b[i]);
  return sum;
}

// The same over the coordinates whose mask entry is 0.
inline double masked_l1_distance(const float* a, const float* b, const uint8_t* mask, size_t dim) {
  double sum = 0.0;
  for (size_t i = 0; i < dim; ++i) {
    if (mask[i] == 0) sum += coordinate_distance(a[i], b[i]);
  }
  return sum;
}

// log2(m + 1.0). Every score takes it of each tree's mass, so the values for small whole m are
// computed once, by the same library call on the same argument, and looked up.
inline double log2_plus_one(double m) {
  constexpr size_t kTabled = 1024;
  struct Table {
    double v[kTabled];
    Table() {
      for (size_t i = 0; i < kTabled; ++i) v[i] = std::log2(static_cast<double>(i) + 1.0);
    }
  };
  static const Table table;
  if (m >= 0.0 && m < static_cast<double>(kTabled)) {
    const auto i = static_cast<size_t>(m);
    if (static_cast<double>(i) == m) return table.v[i];
  }
  return std::log2(m + 1.0);
}

// A scoring rule for the mixing walks: the value of the leaf reached, the value of leaving the tree
// at an internal node without meeting the query, and how a tree's raw value becomes its
// contribution.
//
// The anomaly score rule: isolation high in the tree scores high, a stored copy scores low.
struct AnomalyRule {
  static double absent(double depth, double /*mass*/) { return 1.0 / (depth + 1.0); }
  static double at_leaf(bool holds_query, double depth, double leaf_mass, double tree_mass) {
    if (!holds_query) return absent(depth, leaf_mass);
    return 1.0 / (depth + log2_plus_one(leaf_mass)) * damping(leaf_mass, tree_mass);
  }
  static double normalise(double tree_mass, double value) {
    return log2_plus_one(tree_mass) * value;
  }
  // A query equal to a leaf with many copies is damped more.
  static double damping(double leaf_mass, double tree_mass) {
    if (tree_mass == 0.0) return 1.0;
    return 1.0 - leaf_mass / (2.0 * tree_mass);
  }
};

// The displacement rule: the mass a cut would displace.
struct DisplacementRule {
  static double absent(double /*depth*/, double mass) { return mass; }
  static double at_leaf(bool holds_query, double depth, double leaf_mass, double tree_mass) {
    if (!holds_query) return absent(depth, leaf_mass);
    return 1.0 / (leaf_mass + 1.0) * AnomalyRule::damping(leaf_mass, tree_mass);
  }
  static double normalise(double tree_mass, double value) { return value / (tree_mass + 1.0); }
};

// Density: the stored mass close around the query; the root value is the contribution.
struct DensityRule {
  static double absent(double /*depth*/, double mass) { return mass; }
  static double at_leaf(bool holds_query, double /*depth*/, double leaf_mass, double) {
    return holds_query ? leaf_mass : 0.0;
  }
  static double normalise(double /*tree_mass*/, double value) { return value; }
};

// Trees walked at once by the mixing walks. A walk is a chain of dependent loads (node record,
// then the child's record, and on the way back the boxes), so each lane requests its next load
// and yields to the other lanes while it arrives; a round of a lane is short, so it takes many
// lanes to cover one miss.
inline constexpr size_t kWalkLanes = 16;

// Per-call buffers of the mixing walks: one ancestor list per lane, root first.
struct MixScratch {
  std::vector<const Node*> paths[kWalkLanes];
  size_t path_length = 0;  // of every path
  void grow(size_t length) {
    for (auto& path : paths) path.resize(length);
    path_length = length;
  }
};

// The raw value of the mixing traversal with `Rule` (before the normaliser) of every tree that
// holds points, in values[i] (values.size() == trees.size()); other trees get 0.0. At a leaf of
// mass m: Rule::at_leaf. At an internal node, with v the value of the child the query descends to
// and p the separation probability: v when p is 0, else v * (1 - p) + Rule::absent(depth, mass) *
// p.
template <class Rule>
void mixing_walks(std::span<const RcfTree> trees, const PointStore& store, const float* x,
                  std::span<double> values, MixScratch& scratch);

// Adds the tree's attribution (before the division by the number of trees) to below/above, dim
// entries each.
void attribution_walk(const RcfTree& tree, const float* x, size_t dim, double* below,
                      double* above);

// One leaf reached by the neighbour search.
struct NeighborCandidate {
  double score = 0.0;
  uint64_t row = 0;
  double distance = 0.0;
};
struct PendingNode {
  uint64_t node = 0;
  uint64_t depth = 0;
};
// Appends one candidate per leaf reached, in visiting order. `threshold` is percentile / 100.
void neighbor_walk(const RcfTree& tree, const PointStore& store, const float* x, double threshold,
                   std::vector<NeighborCandidate>& out, std::vector<PendingNode>& stack);

// The stored row that one tree proposes for the masked coordinates of `x` (mask entries 1 are
// unknown). With centrality >= 1 the nearest leaf on the known coordinates (first found among
// equals, left before right); below that a later leaf wins with probability 1 - centrality, one
// draw from `gen` per contested leaf.
uint64_t conditional_walk(const RcfTree& tree, const PointStore& store, const float* x,
                          const uint8_t* mask, double centrality, Xoshiro256PlusPlus& gen,
                          std::vector<uint64_t>& stack);

}  // namespace quillon::rcf
