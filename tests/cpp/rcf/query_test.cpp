// Forest queries: worked values, the query point rule, neighbour merging and ordering, read-only
// behaviour, concurrency, and bit-for-bit agreement with a plain recursive evaluation.
#include "rcf/forest/query.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <set>
#include <thread>
#include <vector>

#include "query_fixtures.hpp"
#include "rcf/forest/impute.hpp"

namespace quillon::rcf {
namespace {

using testing::ForestShape;
using testing::HandTree;
using testing::make_forest;

double value_of(const Result<double>& r) {
  EXPECT_TRUE(r.has_value());
  return r.value_or(std::nan(""));
}

TEST(ForestQueries, EmptyForestGivesZeros) {
  const Forest f = make_forest({.input_dim = 3, .num_trees = 5});
  const std::vector<float> q{1, 2, 3};
  EXPECT_EQ(value_of(score(f, q)), 0.0);
  EXPECT_EQ(value_of(displacement_score(f, q)), 0.0);
  EXPECT_EQ(value_of(density(f, q)), 0.0);
  auto attr = attribution(f, q);
  ASSERT_TRUE(attr.has_value());
  EXPECT_EQ(*attr, std::vector<AttributionPair>(3));
  auto nn = near_neighbors(f, q, 10, 50);
  ASSERT_TRUE(nn.has_value());
  EXPECT_TRUE(nn->empty());
}

TEST(ForestQueries, SinglePointTree) {
  // One tree holding q: the leaf is the root (depth 0, mass 1, tree mass 1).
  Forest f = make_forest({.input_dim = 2});
  testing::feed(f, {{1, 2}});
  const std::vector<float> q{1, 2};
  const std::vector<float> x{5, -1};
  struct Case {
    const char* name;
    Result<double> (*query)(const Forest&, std::span<const float>);
    double at_q;
    double at_x;
  };
  const Case cases[] = {
      {"score", score, 0.5, 1.0},
      {"displacement_score", displacement_score, 0.125, 0.5},
      {"density", density, 1.0, 0.0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(value_of(c.query(f, q)), c.at_q) << c.name;
    EXPECT_EQ(value_of(c.query(f, x)), c.at_x) << c.name;
  }
  EXPECT_EQ(*attribution(f, x), std::vector<AttributionPair>(2));

  // The same tree inside a forest of 50 whose other trees are empty: one fiftieth of each.
  Forest wide = make_forest({.input_dim = 2, .num_trees = 50});
  HandTree hand{wide, 7};
  hand.set_root(hand.leaf({1, 2}));
  for (const auto& c : cases) {
    EXPECT_EQ(value_of(c.query(wide, q)), c.at_q / 50.0) << c.name;
    EXPECT_EQ(value_of(c.query(wide, x)), c.at_x / 50.0) << c.name;
  }
}

TEST(ForestQueries, TwoPointTreeWorkedExample) {
  // Points 0 and 10 under one root; the query 20 goes right to 10 at depth 1, p(root) = 0.5.
  Forest f = make_forest({.input_dim = 1});
  testing::feed(f, {{0}, {10}});
  const Node& root = f.trees[0].arena.get(f.trees[0].root);
  ASSERT_TRUE(root.is_internal());
  ASSERT_EQ(root.range_sum, 10.0);
  const std::vector<float> q{20};
  EXPECT_EQ(value_of(score(f, q)), 1.188721875540867);
  EXPECT_EQ(value_of(displacement_score(f, q)), 0.5);
  EXPECT_EQ(value_of(density(f, q)), 1.0);
  auto attr = attribution(f, q);
  ASSERT_TRUE(attr.has_value());
  ASSERT_EQ(attr->size(), 1u);
  EXPECT_EQ((*attr)[0].below, 0.792481250360578);
  EXPECT_EQ((*attr)[0].above, 0.0);
  // Below the data the credit goes to "above".
  const std::vector<float> low{-10};
  EXPECT_EQ((*attribution(f, low))[0].above, 0.792481250360578);
  EXPECT_EQ((*attribution(f, low))[0].below, 0.0);
}

TEST(ForestQueries, QueryInsideEveryBoxIsTheLeafValueAlone) {
  Forest f = make_forest({.input_dim = 1});
  testing::feed(f, {{0}, {10}, {4}});
  // 4 is stored: inside every box on its path, so no mixing; leaf mass 1, tree mass 3.
  const std::vector<float> q{4};
  uint64_t depth = 0;
  for (uint64_t slot = f.trees[0].root; f.trees[0].arena.get(slot).is_internal(); ++depth) {
    slot = f.trees[0].arena.get(slot).child_for(q);
  }
  const double expected =
      1.0 / (static_cast<double>(depth) + 1.0) * (1.0 - 1.0 / 6.0) * std::log2(4.0);
  EXPECT_EQ(value_of(score(f, q)), expected);
  EXPECT_EQ(value_of(density(f, q)), 1.0);
}

TEST(ForestQueries, QueryPointRule) {
  // input_dim 2, shingle 3, internal shingling: 2 values complete the shingle, 6 are used as they
  // are, anything else is refused with expected 6.
  Forest f = make_forest({.input_dim = 2, .shingle_size = 3, .num_trees = 3});
  testing::feed(f, testing::random_stream(5, 40, 2));
  const std::vector<float> obs{0.5f, 1.5f};
  std::vector<float> full(f.point_store.shingle_buf.begin(), f.point_store.shingle_buf.end());
  full[4] = obs[0];
  full[5] = obs[1];
  EXPECT_EQ(value_of(score(f, obs)), value_of(score(f, full)));
  EXPECT_EQ(value_of(density(f, obs)), value_of(density(f, full)));
  EXPECT_EQ(attribution(f, obs)->size(), 6u);
  for (size_t len : {0, 1, 3, 5, 7, 12}) {
    const std::vector<float> bad(len, 1.0f);
    for (auto r : {score(f, bad), displacement_score(f, bad), density(f, bad)}) {
      ASSERT_FALSE(r.has_value()) << len;
      EXPECT_EQ(r.error().text(), "dimension mismatch: expected 6, got " + std::to_string(len));
    }
    EXPECT_FALSE(attribution(f, bad).has_value());
    EXPECT_EQ(near_neighbors(f, bad, 5, 50).error().text(),
              "dimension mismatch: expected 6, got " + std::to_string(len));
  }
  // Without internal shingling only the full length is accepted.
  Forest plain = make_forest({.input_dim = 2, .shingle_size = 3, .internal_shingling = false});
  EXPECT_EQ(score(plain, obs).error().text(), "dimension mismatch: expected 6, got 2");
}

TEST(ForestQueries, ScoreOfTheJustStoredPoint) {
  // Right after update(x), score(x) evaluates the point the update stored, which every tree holds.
  Forest f = make_forest({.input_dim = 1, .shingle_size = 4, .num_trees = 4});
  testing::feed(f, {{1}, {2}, {3}, {4}, {5}});
  const std::vector<float> x{6};
  testing::feed(f, {x});
  std::vector<float> scratch;
  const auto q = *f.query_point(x, scratch);
  EXPECT_EQ(std::vector<float>(q.begin(), q.end()), (std::vector<float>{3, 4, 5, 6}));
  for (const RcfTree& t : f.trees) {
    const Node& leaf = t.arena.get(t.leaf_for(q));
    EXPECT_TRUE(f.point_store.equals(leaf.point_idx(), q));
  }
  EXPECT_GT(value_of(density(f, x)), 0.0);
}

TEST(ForestQueries, AgreeBitForBitWithRecursiveEvaluation) {
  // Random forests of several shapes; queries stored, near and far from the data.
  const ForestShape shapes[] = {
      {.input_dim = 1,
       .shingle_size = 4,
       .num_trees = 7,
       .capacity = 32,
       .initial_accept_fraction = 0.125,
       .seed = 1},
      {.input_dim = 3, .num_trees = 5, .capacity = 64, .seed = 2},
      {.input_dim = 2,
       .shingle_size = 2,
       .num_trees = 4,
       .capacity = 16,
       .internal_shingling = false,
       .seed = 3},
      // More trees than the walks run side by side, some of them emptied below.
      {.input_dim = 5,
       .num_trees = 23,
       .capacity = 16,
       .initial_accept_fraction = 0.125,
       .seed = 4},
  };
  for (const auto& shape : shapes) {
    Forest f = make_forest(shape);
    const size_t in_len =
        shape.internal_shingling ? shape.input_dim : shape.input_dim * shape.shingle_size;
    const auto stream = testing::random_stream(shape.seed + 10, 300, in_len);
    testing::feed(f, stream);
    auto queries = testing::random_stream(shape.seed + 20, 40, f.dim());
    for (uint64_t row = 0; row < 10; ++row) {
      const auto p = f.point_store.point(f.samplers[1].point_indices[row]);
      queries.emplace_back(p.begin(), p.end());
    }
    if (shape.num_trees > 20) {
      for (uint64_t i : {0u, 8u, 9u, 17u, 22u}) {
        f.trees[i] = RcfTree::create(f.dim(), shape.capacity, Xoshiro256PlusPlus::from_seed(i));
      }
    }
    for (const auto& q : queries) {
      EXPECT_EQ(value_of(score(f, q)), testing::ref_forest_value(f, q, testing::kRefScore));
      EXPECT_EQ(value_of(displacement_score(f, q)),
                testing::ref_forest_value(f, q, testing::kRefDisplacement));
      EXPECT_EQ(value_of(density(f, q)), testing::ref_density(f, q));
      EXPECT_EQ(*attribution(f, q), testing::ref_attribution(f, q));
      for (uint64_t percentile : {0u, 30u, 50u, 90u, 100u}) {
        const auto expected = testing::ref_neighbors(f, q, percentile);
        auto got = near_neighbors(f, q, 1000, percentile);
        ASSERT_TRUE(got.has_value());
        ASSERT_EQ(got->size(), expected.size());
        for (const Neighbor& n : *got) {
          // Rows are identified by their point; stored points are distinct in these streams.
          bool found = false;
          for (const auto& [row, v] : expected) {
            const auto p = f.point_store.point(row);
            if (std::equal(p.begin(), p.end(), n.point.begin(), n.point.end())) {
              EXPECT_EQ(n.score, v.first);
              EXPECT_EQ(n.distance, v.second);
              found = true;
            }
          }
          EXPECT_TRUE(found);
        }
      }
    }
  }
}

// Same bits, so that NaN results are compared too.
bool same_bits(double a, double b) { return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b); }

TEST(ForestQueries, ExtremeQueriesAgreeBitForBitWithRecursiveEvaluation) {
  // The largest finite coordinates in every position of the four-wide groups and of the tail, over
  // data reaching the ends of the range an update accepts (box sides as wide as a float allows),
  // with more trees than the walks run side by side and some of them empty.
  constexpr float kWidest = 0x1.fffffep126f;  // the largest coordinate below 2^127
  for (const size_t dim : {1u, 3u, 4u, 5u, 9u}) {
    Forest f = make_forest({.input_dim = dim,
                            .num_trees = 11,
                            .capacity = 24,
                            .initial_accept_fraction = 0.125,
                            .seed = 40 + dim});
    auto stream = testing::random_stream(50 + dim, 200, dim);
    for (size_t k = 0; k < 10; ++k) {
      stream[190 + k][0] = k % 2 == 0 ? kWidest : -kWidest;
      stream[190 + k][dim - 1] = k % 3 == 0 ? -kWidest : kWidest;
    }
    testing::feed(f, stream);
    size_t widest_roots = 0;
    for (const RcfTree& t : f.trees) {
      widest_roots += !t.is_empty() && t.arena.get(t.root).range_sum >= 3e38;
    }
    EXPECT_GT(widest_roots, 0u) << dim;
    f.trees[3] = RcfTree::create(f.dim(), 24, Xoshiro256PlusPlus::from_seed(3));
    f.trees[10] = RcfTree::create(f.dim(), 24, Xoshiro256PlusPlus::from_seed(10));
    std::vector<std::vector<float>> queries;
    const auto bases = testing::random_stream(60 + dim, 6, dim);
    for (const auto& base : bases) {
      for (const float special : {kWidest, -kWidest, 1e30f, -1e30f}) {
        for (size_t i = 0; i < dim; ++i) {
          auto q = base;
          q[i] = special;
          queries.push_back(q);
        }
        queries.push_back(std::vector<float>(dim, special));
      }
    }
    auto stored = f.point_store.point(f.samplers[0].point_indices[0]);
    queries.emplace_back(stored.begin(), stored.end());
    queries.back()[0] = -kWidest;  // a stored point with one coordinate far outside every box
    for (const auto& q : queries) {
      EXPECT_TRUE(same_bits(value_of(score(f, q)),
                            testing::ref_forest_value(f, q, testing::kRefScore)));
      EXPECT_TRUE(same_bits(value_of(displacement_score(f, q)),
                            testing::ref_forest_value(f, q, testing::kRefDisplacement)));
      EXPECT_TRUE(same_bits(value_of(density(f, q)), testing::ref_density(f, q)));
      const auto got = *attribution(f, q);
      const auto expected = testing::ref_attribution(f, q);
      ASSERT_EQ(got.size(), expected.size());
      for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_TRUE(same_bits(got[i].below, expected[i].below));
        EXPECT_TRUE(same_bits(got[i].above, expected[i].above));
      }
      for (uint64_t percentile : {0u, 50u, 100u}) {
        const auto merged = testing::ref_neighbors(f, q, percentile);
        const auto nn = *near_neighbors(f, q, 1000, percentile);
        ASSERT_EQ(nn.size(), merged.size());
        // Extreme points are stored in several rows, so records are matched by content, each
        // expected record used once.
        std::vector<bool> used(merged.size(), false);
        for (const Neighbor& n : nn) {
          EXPECT_FALSE(std::isnan(n.distance));  // a NaN distance never replaces the start value
          bool found = false;
          size_t k = 0;
          for (auto it = merged.begin(); it != merged.end() && !found; ++it, ++k) {
            const auto p = f.point_store.point(it->first);
            if (!used[k] && std::equal(p.begin(), p.end(), n.point.begin(), n.point.end()) &&
                same_bits(n.score, it->second.first) && same_bits(n.distance, it->second.second)) {
              used[k] = found = true;
            }
          }
          EXPECT_TRUE(found);
        }
      }
    }
  }
}

TEST(ForestQueries, AttributionAccountsForTheSeparatedPartOfTheScore) {
  // The attribution credits the separation part of the score: its total never exceeds the score,
  // and far from the data, where almost every walk is cut off at the root, it is nearly all of it.
  Forest f = make_forest(
      {.input_dim = 3, .num_trees = 10, .capacity = 64, .initial_accept_fraction = 0.125});
  testing::feed(f, testing::random_stream(77, 500, 3));
  for (const auto& q : testing::random_stream(78, 30, 3)) {
    double total = 0.0;
    const auto attr = *attribution(f, q);
    for (const auto& pair : attr) {
      EXPECT_GE(pair.below, 0.0);
      EXPECT_GE(pair.above, 0.0);
      total += pair.below + pair.above;
    }
    EXPECT_LE(total, value_of(score(f, q)) * (1 + 1e-12));
  }
  const std::vector<float> far{1e6f, 0.0f, 0.0f};
  double total = 0.0;
  const auto far_attr = *attribution(f, far);
  for (const auto& pair : far_attr) total += pair.below + pair.above;
  EXPECT_NEAR(total, value_of(score(f, far)), 1e-3 * total);
  // Far above in dimension 0: the credit sits in dimension 0's "below".
  EXPECT_GT(far_attr[0].below, 0.99 * total);
}

TEST(NearNeighbors, ArgumentChecksAndEmptyResults) {
  Forest f = make_forest({.input_dim = 2, .num_trees = 3});
  const std::vector<float> q{1, 2};
  // The percentile is checked before the length.
  EXPECT_EQ(near_neighbors(f, std::vector<float>{1}, 10, 101).error().python_message(),
            "percentile must be in [0, 100]");
  EXPECT_TRUE(near_neighbors(f, q, 10, 100).has_value());
  EXPECT_TRUE(near_neighbors(f, q, 10, 0)->empty());  // empty forest
  testing::feed(f, {{1, 2}, {3, 4}});
  EXPECT_TRUE(near_neighbors(f, q, 0, 50)->empty());
  EXPECT_EQ(near_neighbors(f, q, 1, 50)->size(), 1u);
}

TEST(NearNeighbors, SinglePointEverywhere) {
  // Every tree's root is the leaf of a: one record, score log2(2) / 1 = 1, the L1 distance.
  Forest f = make_forest({.input_dim = 3, .num_trees = 6});
  testing::feed(f, {{1, 2, 3}});
  for (uint64_t percentile : {0u, 50u, 100u}) {
    auto nn = *near_neighbors(f, std::vector<float>{2, 0, 3.5f}, 10, percentile);
    ASSERT_EQ(nn.size(), 1u);
    EXPECT_EQ(nn[0].score, 1.0);
    EXPECT_EQ(nn[0].point, (std::vector<float>{1, 2, 3}));
    EXPECT_EQ(nn[0].distance, 3.5);
  }
}

TEST(NearNeighbors, FarSideOnlyWhenTheRootSeparatesMoreThanHalf) {
  // Points 0 and 10 in one tree of a forest of 4 (the others empty).
  Forest f = make_forest({.input_dim = 1, .num_trees = 4});
  HandTree hand{f, 2};
  hand.set_root(hand.internal(hand.leaf({0}), hand.leaf({10}), 0, 5.0f));
  const double leaf_score = std::log2(3.0) / 2.0 / 4.0;
  struct Case {
    float query;
    std::vector<float> points;  // in ascending distance
  };
  const Case cases[] = {
      {3.0f, {0}},                      // inside the box: p = 0, only its own side
      {7.0f, {10}},      {-9.0f, {0}},  // p = 9/19 <= 0.5
      {-10.0f, {0}},                    // p = 10/20 = 0.5, not above
      {-11.0f, {0, 10}},                // p = 11/21 > 0.5
      {25.0f, {10, 0}},
  };
  for (const auto& c : cases) {
    auto nn = *near_neighbors(f, std::vector<float>{c.query}, 10, 50);
    ASSERT_EQ(nn.size(), c.points.size()) << c.query;
    for (size_t i = 0; i < nn.size(); ++i) {
      EXPECT_EQ(nn[i].point, std::vector<float>{c.points[i]}) << c.query;
      EXPECT_EQ(nn[i].score, leaf_score) << c.query;
      EXPECT_EQ(nn[i].distance, std::fabs(c.query - c.points[i])) << c.query;
    }
  }
}

TEST(NearNeighbors, MergesRowsAcrossTreesAndSortsByDistance) {
  Forest f = make_forest(
      {.input_dim = 2, .num_trees = 8, .capacity = 32, .initial_accept_fraction = 0.125});
  testing::feed(f, testing::random_stream(9, 400, 2));
  for (const auto& q : testing::random_stream(10, 20, 2)) {
    for (uint64_t top_k : {1u, 3u, 10u, 1000u}) {
      auto nn = *near_neighbors(f, q, top_k, 20);
      EXPECT_LE(nn.size(), top_k);
      std::set<std::vector<float>> seen;
      for (size_t i = 0; i < nn.size(); ++i) {
        EXPECT_TRUE(seen.insert(nn[i].point).second) << "row returned twice";
        if (i > 0) {
          EXPECT_LE(nn[i - 1].distance, nn[i].distance);
        }
        EXPECT_GT(nn[i].score, 0.0);
        EXPECT_LE(nn[i].score, std::log2(33.0));  // found at most at depth 0 in every tree
      }
      // The kept records are the closest ones of the full list.
      auto all = *near_neighbors(f, q, 1000, 20);
      ASSERT_GE(all.size(), nn.size());
      for (size_t i = 0; i < nn.size(); ++i) EXPECT_EQ(nn[i].distance, all[i].distance);
    }
  }
}

TEST(NearNeighbors, EqualDistancesComeInRowOrder) {
  // 30 points on the line x + y = 20, all at L1 distance 220 from (-100, -100), which lies far
  // outside every box, so every leaf is reached. Ties keep ascending row order, also across the
  // selection of the closest top_k.
  Forest f = make_forest({.input_dim = 2, .num_trees = 3, .capacity = 64});
  std::vector<std::vector<float>> points;
  for (int k = 0; k < 30; ++k) {
    const float x = static_cast<float>((k * 7) % 30) * 0.5f;
    points.push_back({x, 20.0f - x});
  }
  testing::feed(f, points);
  const std::vector<float> q{-100, -100};
  for (uint64_t top_k : {1000u, 30u, 29u, 10u, 1u}) {
    const auto nn = *near_neighbors(f, q, top_k, 50);
    ASSERT_EQ(nn.size(), std::min<uint64_t>(top_k, 30)) << top_k;
    for (size_t i = 0; i < nn.size(); ++i) {
      EXPECT_EQ(nn[i].distance, 220.0);
      EXPECT_EQ(nn[i].point, points[i]) << top_k << " " << i;  // row i holds points[i]
    }
  }
}

TEST(ForestQueries, NonFiniteQueriesAreRefusedLikeUpdates) {
  Forest f = make_forest({.input_dim = 2, .num_trees = 3});
  testing::feed(f, {{1, 2}, {3, 4}, {5, 1}});
  const std::string message = "point values must be finite";
  for (const float bad : {std::nanf(""), std::numeric_limits<float>::infinity(),
                          -std::numeric_limits<float>::infinity()}) {
    const std::vector<float> q{bad, 1.0f};
    EXPECT_EQ(score(f, q).error().message, message);
    EXPECT_EQ(displacement_score(f, q).error().message, message);
    EXPECT_EQ(density(f, q).error().message, message);
    EXPECT_EQ(attribution(f, q).error().message, message);
    EXPECT_EQ(near_neighbors(f, q, 10, 0).error().message, message);
    EXPECT_EQ(impute(f, q, std::vector<uint64_t>{1}, 1.0).error().message, message);
    EXPECT_TRUE(impute(f, q, std::vector<uint64_t>{0}, 1.0).has_value());  // missing: not read
  }
}

// One number that changes with any neighbour's score, distance or position in the result.
double neighbor_digest(const Forest& f, const std::vector<float>& q) {
  double digest = 0.0;
  double weight = 1.0;
  const auto nn = near_neighbors(f, q, 5, 30);
  for (const Neighbor& n : *nn) {
    digest += weight * (n.score + n.distance + n.point[0]);
    weight *= 1.5;
  }
  return digest;
}

TEST(ForestQueries, ReadOnlyAndSafeFromManyThreads) {
  Forest f = make_forest(
      {.input_dim = 4, .num_trees = 12, .capacity = 64, .initial_accept_fraction = 0.125});
  testing::feed(f, testing::random_stream(31, 600, 4));
  const std::string before = f.to_json();
  const auto queries = testing::random_stream(32, 50, 4);
  std::vector<double> expected;
  for (const auto& q : queries) {
    expected.push_back(value_of(score(f, q)));
    expected.push_back(value_of(displacement_score(f, q)));
    expected.push_back(value_of(density(f, q)));
    expected.push_back(neighbor_digest(f, q));
  }
  std::vector<std::thread> threads;
  std::vector<int> mismatches(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 5; ++round) {
        size_t k = 0;
        for (const auto& q : queries) {
          mismatches[t] += *score(f, q) != expected[k++];
          mismatches[t] += *displacement_score(f, q) != expected[k++];
          mismatches[t] += *density(f, q) != expected[k++];
          mismatches[t] += neighbor_digest(f, q) != expected[k++];
          (void)attribution(f, q);
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(mismatches, std::vector<int>(4, 0));
  EXPECT_EQ(f.to_json(), before);
}

}  // namespace
}  // namespace quillon::rcf
