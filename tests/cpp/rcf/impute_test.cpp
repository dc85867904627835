// Imputation and extrapolation: check order, the median's total order, the seed taken from the
// forest generator without moving it, and the block-by-block extrapolation.
#include "rcf/forest/impute.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "query_fixtures.hpp"

namespace quillon::rcf {
namespace {

using testing::ForestShape;
using testing::HandTree;
using testing::make_forest;

std::string error_text(const Result<std::vector<float>>& r) {
  return r.has_value() ? "ok" : r.error().text();
}

TEST(Impute, ChecksInOrder) {
  Forest f = make_forest({.input_dim = 2, .shingle_size = 2, .num_trees = 3});
  const std::vector<float> ok(4, 1.0f);
  const std::vector<float> short_point(3, 1.0f);
  struct Case {
    std::vector<float> values;
    std::vector<uint64_t> missing;
    std::string expected;
  };
  const Case cases[] = {
      {short_point, {}, "invalid argument: missing list is empty"},
      {short_point, {9}, "dimension mismatch: expected 4, got 3"},
      {ok, {1, 4, 7}, "index out of bounds: 4"},
      {ok, {1, 3}, "forest not ready: insufficient data"},  // every tree is empty
  };
  for (const auto& c : cases) {
    EXPECT_EQ(error_text(impute(f, c.values, c.missing, 1.0)), c.expected);
  }
  EXPECT_EQ(impute(f, ok, std::vector<uint64_t>{}, 1.0).error().python_message(),
            "missing list is empty");
}

TEST(Impute, SinglePointAnswersEveryMissingCoordinate) {
  Forest f = make_forest({.input_dim = 3, .num_trees = 5});
  testing::feed(f, {{1.5f, -2.0f, 7.0f}});
  for (double c : {1.0, 0.5, 0.0, -1.0, std::nan("")}) {
    auto r = impute(f, std::vector<float>{9, 9, 9}, std::vector<uint64_t>{0, 2}, c);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(*r, (std::vector<float>{1.5f, 9, 7.0f})) << c;
  }
}

TEST(CoordinateMedian, TotalOrderAndEvenCounts) {
  Forest f = make_forest({.input_dim = 1, .capacity = 16});
  const auto row = [&](float v) {
    auto r = f.point_store.add(std::vector<float>{v});
    f.point_store.retain(*r);
    return *r;
  };
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  struct Case {
    std::vector<float> values;
    float expected;
  };
  const Case cases[] = {
      {{1.0f, 2.0f}, 1.5f},
      {{1.0f, 5.0f, 2.0f}, 2.0f},
      {{3.0f}, 3.0f},
      {{0.0f, -0.0f, 0.0f}, 0.0f},  // -0.0 sorts first, the middle is +0.0
      {{-0.0f, 0.0f, -0.0f}, -0.0f},
      {{nan, 1.0f, 2.0f}, 2.0f},   // positive NaN sorts last
      {{-nan, 1.0f, 2.0f}, 1.0f},  // negative NaN sorts first
      {{-inf, 4.0f, inf, 6.0f}, 5.0f},
      {{3e38f, 3e38f}, 3e38f},  // (a + b) overflows in 32 bits before halving
  };
  for (const auto& c : cases) {
    std::vector<uint64_t> rows;
    for (float v : c.values) rows.push_back(row(v));
    const float got = coordinate_median(f.point_store, rows, 0);
    if (c.values.size() == 2 && c.values[0] == 3e38f) {
      EXPECT_TRUE(std::isinf(got));
    } else {
      EXPECT_EQ(std::signbit(got), std::signbit(c.expected));
      EXPECT_EQ(got, c.expected);
    }
    for (uint64_t r : rows) f.point_store.release(r);
  }
}

class ImputeOnData : public ::testing::Test {
 protected:
  void SetUp() override {
    forest_ = make_forest({.input_dim = 4,
                           .num_trees = 9,
                           .capacity = 32,
                           .initial_accept_fraction = 0.125,
                           .seed = 5});
    testing::feed(forest_, testing::random_stream(6, 300, 4));
  }
  Forest forest_;
};

TEST_F(ImputeOnData, KnownCoordinatesStayAndMissingOnesComeFromStoredPoints) {
  for (const auto& p : testing::random_stream(7, 30, 4)) {
    for (const std::vector<uint64_t>& missing :
         {std::vector<uint64_t>{0}, {3, 1}, {0, 1, 2, 3}, {2, 2}}) {
      for (double c : {1.0, 0.3}) {
        auto r = impute(forest_, p, missing, c);
        ASSERT_TRUE(r.has_value());
        ASSERT_EQ(r->size(), 4u);
        for (uint64_t i = 0; i < 4; ++i) {
          if (std::find(missing.begin(), missing.end(), i) == missing.end()) {
            EXPECT_EQ((*r)[i], p[i]);
          }
        }
      }
    }
  }
  // Repeating an index changes nothing.
  const std::vector<float> p{1, 2, 3, 4};
  EXPECT_EQ(*impute(forest_, p, std::vector<uint64_t>{0, 0}, 1.0),
            *impute(forest_, p, std::vector<uint64_t>{0}, 1.0));
}

TEST_F(ImputeOnData, SeedIsTheForestGeneratorsNextWordAndNothingMoves) {
  const std::string before = forest_.to_json();
  const std::vector<float> p{10, 11, 9, 10};
  const std::vector<uint64_t> missing{1, 2};
  for (double c : {1.0, 0.7, 0.0}) {
    auto first = impute(forest_, p, missing, c);
    auto second = impute(forest_, p, missing, c);
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(*first, *second) << c;
    // The same result from the search seeded with the peeked word.
    Xoshiro256PlusPlus peek = forest_.rng;
    const std::vector<uint8_t> mask{0, 1, 1, 0};
    const auto rows = conditional_search(forest_, p, mask, peek.next_u64(), c);
    ASSERT_EQ(rows.size(), 9u);
    std::vector<float> expected = p;
    for (uint64_t i : missing) expected[i] = coordinate_median(forest_.point_store, rows, i);
    EXPECT_EQ(*first, expected) << c;
  }
  EXPECT_EQ(forest_.to_json(), before);

  // Below centrality 1 a different forest generator can change the picks.
  bool differs = false;
  for (uint64_t s = 0; s < 20 && !differs; ++s) {
    Forest other = forest_;
    other.rng = Xoshiro256PlusPlus::from_seed(s);
    differs = *impute(other, p, missing, 0.5) != *impute(forest_, p, missing, 0.5);
    EXPECT_EQ(*impute(other, p, missing, 1.0), *impute(forest_, p, missing, 1.0));
  }
  EXPECT_TRUE(differs);
}

TEST_F(ImputeOnData, EmptyTreesConsumeAWordEach) {
  // Tree generators come from the query generator by tree position, whether or not earlier trees
  // are empty.
  Forest f = forest_;
  const std::vector<float> p{0, 0, 0, 0};
  const std::vector<uint8_t> mask{1, 1, 0, 0};
  const auto all = conditional_search(f, p, mask, 99, 0.4);
  f.trees[0] = RcfTree::create(4, 32, Xoshiro256PlusPlus::from_seed(0));
  const auto rest = conditional_search(f, p, mask, 99, 0.4);
  ASSERT_EQ(rest.size(), all.size() - 1);
  EXPECT_TRUE(std::equal(rest.begin(), rest.end(), all.begin() + 1));
}

// The search of one tree as the rules read: recursion, left before right on unknown cuts.
struct RefBest {
  bool found = false;
  uint64_t row = 0;
  double distance = 0.0;
};

void ref_search(const Forest& f, const RcfTree& t, uint64_t slot, std::span<const float> x,
                const std::vector<uint8_t>& mask, double c, Xoshiro256PlusPlus& g, RefBest& best) {
  const Node& n = t.arena.get(slot);
  if (n.is_internal()) {
    if (mask[n.cut_dim] != 0) {
      ref_search(f, t, n.left, x, mask, c, g, best);
      ref_search(f, t, n.right, x, mask, c, g, best);
    } else {
      ref_search(f, t, n.child_for(x), x, mask, c, g, best);
    }
    return;
  }
  const auto p = f.point_store.point(n.point_idx());
  double d = 0.0;
  for (size_t i = 0; i < x.size(); ++i) {
    if (mask[i] == 0) d += static_cast<double>(std::fabs(x[i] - p[i]));
  }
  bool replace = !best.found;
  if (best.found && c >= 1.0) replace = d < best.distance;
  if (best.found && !(c >= 1.0)) {
    const double u = g.unit_f64();
    replace = d < best.distance || u < 1.0 - c;
  }
  if (replace) best = {true, n.point_idx(), d};
}

TEST_F(ImputeOnData, SearchAgreesWithThePlainRecursion) {
  // Masks of every size, centralities on both sides of 1 and NaN, known coordinates that are
  // NaN or infinite; the forest has more trees than one and an emptied one in the middle.
  Forest f = forest_;
  f.trees[4] = RcfTree::create(4, 32, Xoshiro256PlusPlus::from_seed(4));
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  auto queries = testing::random_stream(21, 12, 4);
  queries.push_back({nan, 1, 2, 3});
  queries.push_back({1, inf, -inf, 3});
  Xoshiro256PlusPlus masks = Xoshiro256PlusPlus::from_seed(22);
  for (const auto& x : queries) {
    for (int m = 0; m < 6; ++m) {
      std::vector<uint8_t> mask(4, 0);
      for (auto& bit : mask) bit = masks.bounded_index(2) != 0;
      for (double c : {1.0, 1.5, 0.8, 0.2, 0.0, -1.0, std::nan("")}) {
        const uint64_t seed = masks.next_u64();
        std::vector<uint64_t> expected;
        Xoshiro256PlusPlus q = Xoshiro256PlusPlus::from_seed(seed);
        for (const RcfTree& t : f.trees) {
          Xoshiro256PlusPlus g = Xoshiro256PlusPlus::from_seed(q.next_u64());
          if (t.is_empty() || t.tree_mass == 0) continue;
          RefBest best;
          ref_search(f, t, t.root, x, mask, c, g, best);
          expected.push_back(best.row);
        }
        EXPECT_EQ(conditional_search(f, x, mask, seed, c), expected) << c;
      }
    }
  }
}

TEST(Extrapolate, ChecksInOrder) {
  struct Case {
    ForestShape shape;
    uint64_t look_ahead;
    std::string expected;
  };
  const Case cases[] = {
      {{.input_dim = 1, .shingle_size = 3, .internal_shingling = false},
       1,
       "invalid argument: extrapolation requires internal_shingling = true"},
      {{.input_dim = 1, .shingle_size = 1, .internal_shingling = false},
       0,
       "invalid argument: extrapolation requires internal_shingling = true"},
      {{.input_dim = 2, .shingle_size = 1},
       0,
       "invalid argument: extrapolation requires shingle_size > 1"},
      {{.input_dim = 2, .shingle_size = 3},
       4,
       "invalid argument: extrapolation requires look_ahead <= shingle_size (got 4, "
       "shingle_size=3)"},
      {{.input_dim = 2, .shingle_size = 3}, 2, "forest not ready: insufficient data"},
  };
  for (const auto& c : cases) {
    const Forest f = make_forest(c.shape);
    EXPECT_EQ(error_text(extrapolate(f, c.look_ahead)), c.expected);
  }
  const Forest f = make_forest({.input_dim = 2, .shingle_size = 3});
  auto none = extrapolate(f, 0);
  ASSERT_TRUE(none.has_value());
  EXPECT_TRUE(none->empty());
}

TEST(Extrapolate, FillsTheNewestBlocksFromTheRest) {
  Forest f = make_forest({.input_dim = 1,
                          .shingle_size = 3,
                          .num_trees = 7,
                          .capacity = 32,
                          .initial_accept_fraction = 0.125});
  std::vector<std::vector<float>> stream;
  for (int i = 0; i < 200; ++i) stream.push_back({static_cast<float>(std::sin(i * 0.3) * 5.0)});
  testing::feed(f, stream);
  const std::string before = f.to_json();
  auto got = extrapolate(f, 2);
  ASSERT_TRUE(got.has_value());
  ASSERT_EQ(got->size(), 2u);
  EXPECT_EQ(f.to_json(), before);

  // By hand: [a, b, c] -> c' from a, b known; then b' from a, c' known.
  std::vector<float> w = f.point_store.shingle_buf;
  auto rows = conditional_search(f, w, std::vector<uint8_t>{0, 0, 1}, 12345, 1.0);
  const float c1 = coordinate_median(f.point_store, rows, 2);
  w[2] = c1;
  rows = conditional_search(f, w, std::vector<uint8_t>{0, 1, 0}, 777, 1.0);
  const float b1 = coordinate_median(f.point_store, rows, 1);
  EXPECT_EQ(*got, (std::vector<float>{c1, b1}));
  // Full look-ahead, multi-dimensional blocks.
  Forest g = make_forest({.input_dim = 2, .shingle_size = 3, .num_trees = 5, .capacity = 32});
  testing::feed(g, testing::random_stream(3, 100, 2));
  auto full = extrapolate(g, 3);
  ASSERT_TRUE(full.has_value());
  EXPECT_EQ(full->size(), 6u);
  EXPECT_EQ(std::vector<float>(full->begin(), full->begin() + 2), *extrapolate(g, 1));
}

}  // namespace
}  // namespace quillon::rcf
