// Single-tree walks: the separation kernel against the box definition, visiting orders, pruning,
// the conditional search's tie and draw rules, and refusal of broken trees.
#include "rcf/tree/traversal.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "query_fixtures.hpp"
#include "rcf/bounding_box.hpp"

namespace quillon::rcf {
namespace {

using testing::HandTree;
using testing::make_forest;

// The raw mixing value of tree 0 of a one-tree forest.
template <class Rule>
double walk_one(const Forest& f, const std::vector<float>& x) {
  std::vector<double> values(f.trees.size());
  MixScratch scratch;
  mixing_walks<Rule>(f.trees, f.point_store, x.data(), values, scratch);
  return values[0];
}

constexpr float kInf = std::numeric_limits<float>::infinity();

TEST(SeparationKernel, MatchesTheBoxDefinition) {
  struct Case {
    std::vector<float> min, max, x;
    double expected;
  };
  // Box (1, 2)-(3, 5), range sum 5.
  const Case cases[] = {
      {{1, 2}, {3, 5}, {0, 10}, 6.0 / 11.0},
      {{1, 2}, {3, 5}, {2, 3}, 0.0},  // inside
      {{1, 2}, {3, 5}, {3, 2}, 0.0},  // on the boundary
      {{4, 4}, {4, 4}, {4, 5}, 1.0},  // single-point box
      {{4, 4}, {4, 4}, {4, 4}, 0.0},
      {{1, 2}, {3, 5}, {std::nanf(""), 6}, 1.0 / 6.0},  // NaN coordinates add nothing
      {{1, 2}, {3, 5}, {-kInf, 3}, std::nan("")},       // inf / inf
  };
  for (const auto& c : cases) {
    const double range_sum = range_sum_of(c.min, c.max);
    const double got =
        separation_probability_at(c.min.data(), c.max.data(), range_sum, c.x.data(), c.x.size());
    const double reference = separation_probability(c.min, c.max, range_sum, c.x);
    if (std::isnan(c.expected)) {
      EXPECT_TRUE(std::isnan(got));
    } else {
      EXPECT_EQ(got, c.expected);
    }
    EXPECT_EQ(std::isnan(got), std::isnan(reference));
    if (!std::isnan(got)) {
      EXPECT_EQ(got, reference);
    }
  }
  // Random boxes: the kernel and the box operation agree bit for bit.
  Xoshiro256PlusPlus g = Xoshiro256PlusPlus::from_seed(3);
  for (int i = 0; i < 2000; ++i) {
    const size_t dim = 1 + g.bounded_index(20);
    std::vector<float> mn(dim), mx(dim), x(dim);
    for (size_t k = 0; k < dim; ++k) {
      const float a = static_cast<float>(g.range_f64(-5, 5));
      const float b = static_cast<float>(g.range_f64(-5, 5));
      mn[k] = std::min(a, b);
      mx[k] = std::max(a, b);
      x[k] = static_cast<float>(g.range_f64(-8, 8));
    }
    const double rs = range_sum_of(mn, mx);
    EXPECT_EQ(separation_probability_at(mn.data(), mx.data(), rs, x.data(), dim),
              separation_probability(mn, mx, rs, x));
  }
}

TEST(ScoreWalk, WorksUpFromTheLeaf) {
  // Chain: root cuts at 5 (box [0, 20]), its right child cuts at 15 (box [10, 20]).
  Forest f = make_forest({.input_dim = 1});
  HandTree hand{f, 0};
  const uint64_t right = hand.internal(hand.leaf({10}), hand.leaf({20}), 0, 15.0f);
  hand.set_root(hand.internal(hand.leaf({0}), right, 0, 5.0f));
  const std::vector<float> q{30};
  // p(root) = 10 / 30, p(child) = 10 / 20; leaf 20 at depth 2 is absent: 1/3.
  double v = 1.0 / 3.0;
  v = v * (1.0 - 0.5) + (1.0 / 2.0) * 0.5;
  v = v * (1.0 - 10.0 / 30.0) + 1.0 * (10.0 / 30.0);
  EXPECT_EQ(walk_one<AnomalyRule>(f, q), v);
  // Displacement: absent value is the mass.
  double dv = 1.0;
  dv = dv * (1.0 - 0.5) + 2.0 * 0.5;
  dv = dv * (1.0 - 10.0 / 30.0) + 3.0 * (10.0 / 30.0);
  EXPECT_EQ(walk_one<DisplacementRule>(f, q), dv);
  // Density: 0 at the leaf that does not hold the query, masses above.
  double density = 0.0;
  density = density * (1.0 - 0.5) + 2.0 * 0.5;
  density = density * (1.0 - 10.0 / 30.0) + 3.0 * (10.0 / 30.0);
  EXPECT_EQ(walk_one<DensityRule>(f, q), density);
  // A stored point with mass 2 in a tree of mass 4.
  Forest g = make_forest({.input_dim = 1});
  HandTree h2{g, 0};
  h2.set_root(
      h2.internal(h2.leaf({0}), h2.internal(h2.leaf({10}, 2), h2.leaf({20}), 0, 15.0f), 0, 5.0f));
  const std::vector<float> ten{10};
  EXPECT_EQ(walk_one<AnomalyRule>(g, ten), 1.0 / (2.0 + std::log2(3.0)) * (1.0 - 2.0 / 8.0));
  EXPECT_EQ(walk_one<DisplacementRule>(g, ten), 1.0 / 3.0 * (1.0 - 2.0 / 8.0));
  EXPECT_EQ(walk_one<DensityRule>(g, ten), 2.0);
}

TEST(NeighborWalk, PruningAndOrder) {
  // Root [0, 30] cut at 15: left leaf 0 ... right subtree [20, 30] cut at 25 over leaves 20, 30.
  Forest f = make_forest({.input_dim = 1});
  HandTree hand{f, 0};
  const uint64_t a = hand.leaf({0});
  const uint64_t b = hand.leaf({20});
  const uint64_t c = hand.leaf({30});
  const uint64_t right = hand.internal(b, c, 0, 25.0f);
  hand.set_root(hand.internal(a, right, 0, 15.0f));
  const auto rows_of = [&](float q, double threshold) {
    std::vector<NeighborCandidate> out;
    std::vector<PendingNode> stack;
    const std::vector<float> x{q};
    neighbor_walk(f.trees[0], f.point_store, x.data(), threshold, out, stack);
    std::vector<std::pair<uint64_t, uint64_t>> rows;  // (row, depth via score)
    for (const auto& cand : out) {
      const double depth = std::log2(4.0) / cand.score - 1.0;
      rows.emplace_back(cand.row, static_cast<uint64_t>(std::lround(depth)));
      EXPECT_EQ(cand.distance, std::fabs(q - f.point_store.point(cand.row)[0]));
    }
    return rows;
  };
  using Rows = std::vector<std::pair<uint64_t, uint64_t>>;
  // 10 is inside the root box: near side only; the right subtree would need p > t to be entered,
  // but only the near leaf is taken.
  EXPECT_EQ(rows_of(10.0f, 0.5), (Rows{{0, 1}}));
  // 100: p(root) = 70/100 > 0.5, near is the right subtree with p = 70/80 > t -> both its leaves
  // (its own p > 0.5), then the far leaf 0.
  EXPECT_EQ(rows_of(100.0f, 0.5), (Rows{{2, 2}, {1, 2}, {0, 1}}));
  // With t = 0.9 the right subtree (p = 0.875) is pruned; the root is never pruned and its far
  // leaf is still visited.
  EXPECT_EQ(rows_of(100.0f, 0.9), (Rows{{0, 1}}));
  // 22: inside the root box and the right box: one leaf each way down.
  EXPECT_EQ(rows_of(22.0f, 0.0), Rows{});  // the right subtree has p = 0, not above t = 0
  EXPECT_EQ(rows_of(-1.0f, 0.0), (Rows{{0, 1}}));
}

TEST(ConditionalWalk, MaskedCutsSearchBothSidesLeftFirst) {
  // Two dimensions; root cuts dimension 0, both children cut dimension 1.
  Forest f = make_forest({.input_dim = 2});
  HandTree hand{f, 0};
  const uint64_t l = hand.internal(hand.leaf({0, 0}), hand.leaf({0, 10}), 1, 5.0f);
  const uint64_t r = hand.internal(hand.leaf({10, 0}), hand.leaf({10, 10}), 1, 5.0f);
  hand.set_root(hand.internal(l, r, 0, 5.0f));
  const auto row_of = [&](std::vector<float> p) {
    for (uint64_t row = 0; row < 4; ++row) {
      if (f.point_store.equals(row, p)) return row;
    }
    return kNoIndex;
  };
  std::vector<uint64_t> stack;
  Xoshiro256PlusPlus g = Xoshiro256PlusPlus::from_seed(1);
  const auto search = [&](std::vector<float> x, std::vector<uint8_t> mask, double c) {
    return conditional_walk(f.trees[0], f.point_store, x.data(), mask.data(), c, g, stack);
  };
  // Nothing masked: one root-to-leaf walk.
  EXPECT_EQ(search({9, 1}, {0, 0}, 1.0), row_of({10, 0}));
  // Dimension 0 unknown: both sides of the root, nearest on dimension 1 wins; on the tie between
  // (0, 10) and (10, 10) the left one, found first, stays.
  EXPECT_EQ(search({99, 9}, {1, 0}, 1.0), row_of({0, 10}));
  // Dimension 1 unknown: descend by dimension 0, then both leaves, tie -> left.
  EXPECT_EQ(search({9, 99}, {0, 1}, 1.0), row_of({10, 0}));
  // Everything unknown: every distance is 0; the first leaf wins with c = 1 ...
  EXPECT_EQ(search({0, 0}, {1, 1}, 1.0), row_of({0, 0}));
  // ... and with c <= 0 the last leaf met always wins.
  EXPECT_EQ(search({0, 0}, {1, 1}, 0.0), row_of({10, 10}));
  EXPECT_EQ(search({0, 0}, {1, 1}, -3.0), row_of({10, 10}));
}

TEST(ConditionalWalk, OneDrawPerContestedLeafBelowCentralityOne) {
  Forest f = make_forest({.input_dim = 1});
  HandTree hand{f, 0};
  std::vector<uint64_t> leaves;
  for (float v : {0.0f, 1.0f, 2.0f, 3.0f}) leaves.push_back(hand.leaf({v}));  // rows 0 to 3
  hand.set_root(hand.internal(hand.internal(leaves[0], leaves[1], 0, 0.5f),
                              hand.internal(leaves[2], leaves[3], 0, 2.5f), 0, 1.5f));
  const std::vector<float> x{7};
  const std::vector<uint8_t> mask{1};
  std::vector<uint64_t> stack;
  for (double c : {1.0, 2.0, 0.999, 0.5, 0.0, std::nan("")}) {
    Xoshiro256PlusPlus g = Xoshiro256PlusPlus::from_seed(11);
    const Xoshiro256PlusPlus start = g;
    conditional_walk(f.trees[0], f.point_store, x.data(), mask.data(), c, g, stack);
    Xoshiro256PlusPlus expect = start;
    if (!(c >= 1.0)) {
      for (int i = 0; i < 3; ++i) expect.next_u64();  // four leaves, the first is uncontested
    }
    EXPECT_EQ(g, expect) << c;
  }
  // Replacement by chance: with u < 1 - c a later leaf wins although it is not closer.
  Xoshiro256PlusPlus g = Xoshiro256PlusPlus::from_seed(11);
  Xoshiro256PlusPlus probe = g;
  std::vector<double> u;
  for (int i = 0; i < 3; ++i) u.push_back(probe.unit_f64());
  const double c = 0.5;
  uint64_t expected = 0;  // all distances are 0 (the only coordinate is masked)
  for (int i = 0; i < 3; ++i) {
    if (u[i] < 1.0 - c) expected = static_cast<uint64_t>(i + 1);
  }
  EXPECT_EQ(conditional_walk(f.trees[0], f.point_store, x.data(), mask.data(), c, g, stack),
            expected);
}

TEST(Walks, RefuseBrokenTrees) {
  // A broken state whose internal node points back at itself must not loop or read wild memory.
  Forest f = make_forest({.input_dim = 1});
  HandTree hand{f, 0};
  const uint64_t a = hand.leaf({0});
  const uint64_t root = hand.internal(a, hand.leaf({10}), 0, 5.0f);
  hand.set_root(root);
  f.trees[0].arena.nodes[root].right = root;
  const std::vector<float> q{7};
  const std::vector<uint8_t> mask{1};
  std::vector<NeighborCandidate> out;
  std::vector<PendingNode> pending;
  std::vector<uint64_t> stack;
  Xoshiro256PlusPlus g;
  EXPECT_THROW(walk_one<AnomalyRule>(f, q), InternalFailure);
  const std::vector<float> outside{30};  // not pruned: p > 0 at every visit
  EXPECT_THROW(neighbor_walk(f.trees[0], f.point_store, outside.data(), 0.0, out, pending),
               InternalFailure);
  EXPECT_THROW(conditional_walk(f.trees[0], f.point_store, q.data(), mask.data(), 1.0, g, stack),
               InternalFailure);
  // A child index past the arena.
  f.trees[0].arena.nodes[root].right = 999;
  EXPECT_THROW(walk_one<DensityRule>(f, q), InternalFailure);
  // A cut on a dimension the points do not have, and a leaf naming a row past the store.
  f.trees[0].arena.nodes[root].right = a;
  f.trees[0].arena.nodes[root].cut_dim = 1;
  EXPECT_THROW(walk_one<AnomalyRule>(f, q), InternalFailure);
  EXPECT_THROW(conditional_walk(f.trees[0], f.point_store, q.data(), mask.data(), 1.0, g, stack),
               InternalFailure);
  f.trees[0].arena.nodes[root].cut_dim = 0;
  f.trees[0].arena.nodes[a].left = 1u << 30;
  EXPECT_THROW(walk_one<DisplacementRule>(f, std::vector<float>{-1}), InternalFailure);
  EXPECT_THROW(neighbor_walk(f.trees[0], f.point_store, q.data(), 0.0, out, pending),
               InternalFailure);
}

}  // namespace
}  // namespace quillon::rcf
