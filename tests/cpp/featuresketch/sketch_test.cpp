#include "featuresketch/sketch.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace quillon::fsketch {
namespace {

constexpr double kMaxLevelScore = 27.631021115928547;

struct Ensemble {
  ChainLayout layout;
  EnsembleSketch sketch;
};

Ensemble make_ensemble(uint64_t chains, uint64_t depth, uint64_t coordinates, uint64_t rows,
                       uint64_t buckets, uint64_t seed) {
  auto rng = Xoshiro256PlusPlus::from_seed(seed);
  Ensemble e;
  e.layout = generate_layout(chains, depth, coordinates, true, rng);
  e.sketch = generate_sketch(rows, buckets, chains * depth, rng);
  return e;
}

std::vector<double> random_vector(Xoshiro256PlusPlus& g, size_t n, double spread) {
  std::vector<double> x(n);
  for (auto& v : x) v = g.range_f64(-spread, spread);
  return x;
}

TEST(LevelSketch, GenerationDrawsFourWordsPerRowAndZeroCounters) {
  auto rng = Xoshiro256PlusPlus::from_seed(8);
  auto replay = rng;
  const EnsembleSketch s = generate_sketch(3, 5, 4, rng);
  ASSERT_EQ(s.levels.size(), 4u);
  ASSERT_EQ(s.reference_masses.size(), 4u);
  ASSERT_EQ(s.cells.size(), 4u * 15);
  for (size_t i = 0; i < s.levels.size(); ++i) {
    const LevelSketch& level = s.levels[i];
    EXPECT_EQ(level.first_cell, i * 15);
    EXPECT_EQ(level.cell_count, 15u);
    EXPECT_EQ(level.rows, 3u);
    EXPECT_EQ(level.buckets, 5u);
    ASSERT_EQ(level.row_hash_seeds.seeds.size(), 3u);
    for (const Seed4& seed : level.row_hash_seeds.seeds) {
      for (uint64_t word : seed) EXPECT_EQ(word, replay.next_u64());
    }
  }
  EXPECT_EQ(std::vector<DecayedValue>(s.cells.begin(), s.cells.end()),
            std::vector<DecayedValue>(60));
  EXPECT_EQ(s.reference_masses, std::vector<DecayedValue>(4));
  EXPECT_EQ(rng, replay);
}

TEST(Decay, CountsHalveEveryHalfLifeAndReadingDoesNotRewrite) {
  const DecayedValue v{8.0, 10};
  EXPECT_EQ(decayed(v, 10, 4), 8.0);
  EXPECT_EQ(decayed(v, 5, 4), 8.0);  // a counter ahead of the clock is not decayed
  EXPECT_EQ(decayed(v, 14, 4), 4.0);
  EXPECT_EQ(decayed(v, 18, 4), 2.0);
  EXPECT_EQ(decayed(v, 12, 4), 8.0 * std::exp2(-0.5));
  EXPECT_EQ(v.value, 8.0);
  EXPECT_EQ(v.epoch, 10u);
}

TEST(LevelScore, ClampsToTheUnitInterval) {
  struct Case {
    double mass, reference, ratio, expected;
  };
  const Case cases[] = {
      {0.0, 0.0, 1.0, kMaxLevelScore},  // empty sketch
      {1.0, 1.0, 1.0, 0.0},             // the bin holds all the mass
      {1.0, 1.0, 0.125, 0.0},           // q = 8 clamps to 1
      {1.0, 4.0, 1.0, -std::log(0.25)},
      {1.0, 4.0, 0.5, -std::log(0.5)},    // divided by the reference, then by the ratio
      {1e-30, 1.0, 1.0, kMaxLevelScore},  // clamps at 1e-12
      {1.0, 0.0, 1.0, 0.0},               // reference floor 1e-12
      {2.0, 1e12, 0.0, 0.0},              // ratio floor 1e-12
      {std::nan(""), 1.0, 1.0, kMaxLevelScore},
  };
  for (const auto& c : cases) {
    EXPECT_DOUBLE_EQ(level_score(c.mass, c.reference, c.ratio), c.expected)
        << c.mass << " " << c.reference << " " << c.ratio;
  }
  EXPECT_EQ(-std::log(1e-12), kMaxLevelScore);
}

TEST(EnsembleScore, FreshSketchScoresTheMaximumAndARecordedEventZero) {
  Ensemble e = make_ensemble(16, 8, 33, 2, 2048, 1);
  auto g = Xoshiro256PlusPlus::from_seed(2);
  const auto x = random_vector(g, 33, 5.0);
  EXPECT_EQ(score(e.sketch, e.layout, x, 0, 2048), kMaxLevelScore);
  record(e.sketch, e.layout, x, 1, 2048);
  EXPECT_EQ(score(e.sketch, e.layout, x, 1, 2048), 0.0);
  for (const DecayedValue& mass : e.sketch.reference_masses) {
    EXPECT_EQ(mass, (DecayedValue{1.0, 1}));
  }
  // One cell per row and level was touched.
  for (size_t i = 0; i < e.sketch.levels.size(); ++i) {
    double total = 0.0;
    for (const DecayedValue& cell : e.sketch.level_cells(i)) total += cell.value;
    EXPECT_EQ(total, 2.0);
  }
}

TEST(EnsembleScore, DecayLowersTheBinShareOnlyRelativeToOtherEvents) {
  Ensemble e = make_ensemble(4, 3, 5, 2, 64, 3);
  const std::vector<double> a = {0.1, 0.2, 0.3, 0.4, 0.5};
  const std::vector<double> far = {100.0, -100.0, 100.0, -100.0, 100.0};
  record(e.sketch, e.layout, a, 1, 4);
  // Only `a` was seen: its share stays whole however old it is.
  EXPECT_EQ(score(e.sketch, e.layout, a, 50, 4), 0.0);
  for (uint64_t t = 2; t <= 9; ++t) record(e.sketch, e.layout, far, t, 4);
  const double soon = score(e.sketch, e.layout, a, 9, 4);
  EXPECT_GT(soon, 0.0);
  EXPECT_LE(soon, kMaxLevelScore);
  // Reading at a later epoch decays cells and reference masses alike: the ratio is unchanged.
  EXPECT_NEAR(score(e.sketch, e.layout, a, 29, 4), soon, 1e-9);
}

TEST(EnsembleScore, CountMinTakesTheSmallestRow) {
  Ensemble e = make_ensemble(1, 1, 1, 3, 2, 4);
  const std::vector<double> x = {0.0};
  record(e.sketch, e.layout, x, 1, 1000);
  // Inflate two rows of x's bin; the third row's count keeps the estimate at 1.
  LevelSketch& level = e.sketch.levels[0];
  const int64_t bin = bin_of(e.layout.levels[0], x[0]);
  for (uint64_t j = 0; j < 2; ++j) {
    const uint64_t b = bucket_of(level.row_hash_seeds.seeds[j], j, bin, level.buckets);
    e.sketch.level_cells(0)[j * level.buckets + b].value = 50.0;
  }
  e.sketch.reference_masses[0].value = 4.0;
  EXPECT_EQ(score(e.sketch, e.layout, x, 1, 1000), -std::log(0.25));
}

TEST(EnsembleScore, BucketsStayInRangeForAnyBucketCount) {
  for (uint64_t buckets : {2u, 3u, 7u, 64u, 1000u}) {
    Ensemble e = make_ensemble(3, 4, 6, 3, buckets, buckets);
    auto g = Xoshiro256PlusPlus::from_seed(buckets);
    for (uint64_t t = 1; t <= 30; ++t) {
      record(e.sketch, e.layout, random_vector(g, 6, 1e6), t, 10);
    }
    for (size_t i = 0; i < e.sketch.levels.size(); ++i) {
      double total = 0.0;
      for (const DecayedValue& cell : e.sketch.level_cells(i)) total += cell.epoch > 0 ? 1.0 : 0.0;
      EXPECT_GE(total, 3.0);  // every row was written
      EXPECT_EQ(e.sketch.level_cells(i).size(), 3 * buckets);
    }
    for (int64_t bin : {int64_t{0}, int64_t{-1}, INT64_MAX, INT64_MIN}) {
      EXPECT_EQ(bucket_of({1, 2, 3, 4}, 1, bin, buckets), [&] {
        SeededHasher h(Seed4{1, 2, 3, 4});
        h.add_u64(1);
        h.add_u64(static_cast<uint64_t>(bin));
        return h.finish() % buckets;
      }());
    }
  }
}

// The score exactly as described: every level's -ln, NaN-ignoring maxima, no shortcuts.
double naive_score(const Ensemble& e, const std::vector<double>& x, uint64_t now,
                   uint64_t half_life) {
  const uint64_t depth = e.layout.chain_depth;
  const size_t chains = e.layout.levels.size() / depth;
  double total = 0.0;
  for (size_t c = 0; c < chains; ++c) {
    double chain = 0.0;
    for (uint64_t l = 0; l < depth; ++l) {
      const size_t i = c * depth + l;
      const ChainLevel& cl = e.layout.levels[i];
      const LevelSketch& ls = e.sketch.levels[i];
      const int64_t bin = bin_of(cl, x[cl.dimension]);
      double m = std::numeric_limits<double>::infinity();
      for (uint64_t j = 0; j < ls.rows; ++j) {
        const uint64_t b = bucket_of(ls.row_hash_seeds.seeds[j], j, bin, ls.buckets);
        m = std::fmin(m, decayed(e.sketch.level_cells(i)[j * ls.buckets + b], now, half_life));
      }
      const double r = decayed(e.sketch.reference_masses[i], now, half_life);
      double q = m / std::fmax(r, 1e-12) / std::fmax(cl.bin_volume_ratio, 1e-12);
      q = std::fmin(1.0, std::fmax(1e-12, q));
      volatile double vq = q;  // the library log, never a folded constant
      chain = std::fmax(chain, -std::log(vq));
    }
    total += chain;
  }
  return total / static_cast<double>(chains);
}

TEST(EnsembleScore, MatchesTheDirectComputation) {
  // Deep chains over few coordinates and few buckets: many levels share masses, so the chain
  // maxima compare many close and equal level scores.
  for (uint64_t seed = 0; seed < 4; ++seed) {
    Ensemble e = make_ensemble(6, 12, 3, 2, 8 + seed, seed);
    auto g = Xoshiro256PlusPlus::from_seed(seed + 50);
    for (uint64_t t = 1; t <= 400; ++t) {
      const auto x = random_vector(g, 3, t % 4 == 0 ? 30.0 : 1.5);
      ASSERT_EQ(score(e.sketch, e.layout, x, t - 1, 25), naive_score(e, x, t - 1, 25)) << t;
      record(e.sketch, e.layout, x, t, 25);
    }
  }
}

TEST(EnsembleScore, FusedPassEqualsScoreThenRecord) {
  // Many events in a few bins and epochs that jump: the fused pass must match the two separate
  // passes bit for bit.
  for (uint64_t seed = 0; seed < 6; ++seed) {
    Ensemble fused = make_ensemble(5, 4, 4, 2, seed % 2 ? 16 : 13, seed);
    Ensemble twin = fused;
    auto g = Xoshiro256PlusPlus::from_seed(seed + 100);
    uint64_t now = 0;
    for (int step = 0; step < 300; ++step) {
      const auto x = random_vector(g, 4, step % 3 == 0 ? 50.0 : 2.0);
      const double expected = score(twin.sketch, twin.layout, x, now, 7);
      record(twin.sketch, twin.layout, x, now + 1, 7);
      const double got = score_then_record(fused.sketch, fused.layout, x, now, 7);
      ASSERT_EQ(got, expected) << seed << " " << step;
      now += 1 + g.bounded_index(3) * g.bounded_index(20);
    }
    EXPECT_EQ(fused.sketch, twin.sketch);
  }
}

TEST(EnsembleScore, FusedPassAndScoreHandleCountersAheadOfTheClock) {
  // A loaded state may hold counters written at or after the current epoch, up to the last
  // epoch; they are read undecayed, and the fused pass must still match score, then record.
  for (uint64_t now : {uint64_t{0}, uint64_t{1000}, UINT64_MAX - 2, UINT64_MAX - 1}) {
    Ensemble fused = make_ensemble(4, 6, 3, 2, 5, now % 97);
    auto g = Xoshiro256PlusPlus::from_seed(now + 7);
    const uint64_t epochs[] = {0, now > 0 ? now - 1 : 0, now, now + 1, UINT64_MAX};
    const double values[] = {0.0, 1.0, 3.5, 1e300, -2.0};
    for (DecayedValue& cell : fused.sketch.cells) {
      cell = {values[g.bounded_index(5)], epochs[g.bounded_index(5)]};
    }
    for (DecayedValue& mass : fused.sketch.reference_masses) {
      mass = {values[g.bounded_index(5)], epochs[g.bounded_index(5)]};
    }
    Ensemble twin = fused;
    for (int step = 0; step < 20; ++step) {
      const auto x = random_vector(g, 3, 3.0);
      const double expected = score(twin.sketch, twin.layout, x, now, 3);
      ASSERT_EQ(expected, naive_score(twin, x, now, 3)) << now << " " << step;
      record(twin.sketch, twin.layout, x, now + 1, 3);
      ASSERT_EQ(score_then_record(fused.sketch, fused.layout, x, now, 3), expected)
          << now << " " << step;
    }
    EXPECT_EQ(fused.sketch, twin.sketch);
  }
}

}  // namespace
}  // namespace quillon::fsketch
