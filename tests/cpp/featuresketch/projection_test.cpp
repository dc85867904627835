#include "featuresketch/projection.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "featuresketch/chain.hpp"
#include "rng.hpp"

namespace quillon::fsketch {
namespace {

using Pairs = std::vector<FeaturePair>;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

ProjectionSeeds seeds_from(uint64_t seed) {
  auto g = Xoshiro256PlusPlus::from_seed(seed);
  ProjectionSeeds s;
  for (Seed4* k : {&s.value, &s.presence, &s.feature_lo, &s.feature_hi}) {
    for (auto& w : *k) w = g.next_u64();
  }
  return s;
}

// The C library's log1p, as the projection calls it; the compiler's constant folding rounds
// differently for some arguments.
double runtime_log1p(double x) {
  volatile double v = x;
  return std::log1p(v);
}

ProjectedEvent project_pairs(const Pairs& pairs, uint64_t v = 32, uint64_t p = 32,
                             uint64_t seed = 7) {
  auto combined = combine(pairs);
  EXPECT_TRUE(combined.has_value());
  return project(*combined, v, p, seeds_from(seed));
}

TEST(Combine, SumsRepeatedNamesAndOrdersByBytes) {
  struct Case {
    const char* label;
    Pairs input;
    std::vector<std::pair<std::string, double>> expected;
  };
  const Case cases[] = {
      {"empty", {}, {}},
      {"repeats summed in input order",
       {{"b", 1.0}, {"a", 2.0}, {"b", 0.5}},
       {{"a", 2.0}, {"b", 1.5}}},
      // 1e16 + 1 + 1 loses both ones one at a time; summing (1 + 1) first would keep them.
      {"left-to-right accumulation", {{"x", 1e16}, {"x", 1.0}, {"x", 1.0}}, {{"x", 1e16}}},
      {"prefix before longer name, empty name first",
       {{"ab", 1.0}, {"a", 2.0}, {"", 3.0}},
       {{"", 3.0}, {"a", 2.0}, {"ab", 1.0}}},
      {"bytes compare unsigned",
       {{"\xc3\xa9", 1.0}, {"z", 2.0}, {"A", 3.0}},
       {{"A", 3.0}, {"z", 2.0}, {"\xc3\xa9", 1.0}}},
      {"case matters", {{"a", 1.0}, {"A", 2.0}}, {{"A", 2.0}, {"a", 1.0}}},
      {"already sorted", {{"a", 1.0}, {"b", 2.0}}, {{"a", 1.0}, {"b", 2.0}}},
  };
  for (const auto& c : cases) {
    auto got = combine(c.input);
    ASSERT_TRUE(got.has_value()) << c.label;
    ASSERT_EQ(got->entries.size(), c.expected.size()) << c.label;
    for (size_t i = 0; i < c.expected.size(); ++i) {
      EXPECT_EQ(got->entries[i].first, c.expected[i].first) << c.label;
      EXPECT_EQ(got->entries[i].second, c.expected[i].second) << c.label;
    }
  }
}

TEST(Combine, NegativeZeroStartsFromPositiveZero) {
  for (const Pairs& input : {Pairs{{"a", -0.0}}, Pairs{{"b", 1.0}, {"a", -0.0}}}) {
    auto got = combine(input);
    ASSERT_TRUE(got.has_value());
    EXPECT_FALSE(std::signbit(got->entries[0].second));
  }
}

TEST(Combine, FirstOffendingPairInInputOrderNamesTheError) {
  const std::string kValue = "feature values must be finite";
  const std::string kSum = "combined feature values must be finite";
  struct Case {
    Pairs input;
    std::string message;
  };
  const Case cases[] = {
      {{{"a", kNaN}}, kValue},
      {{{"a", kInf}}, kValue},
      {{{"a", -kInf}}, kValue},
      {{{"a", 1e308}, {"a", 1e308}}, kSum},
      {{{"a", -1e308}, {"a", -1e308}}, kSum},
      // The overflowing sum comes first even though the NaN sorts before it by name.
      {{{"b", 1e308}, {"b", 1e308}, {"a", kNaN}}, kSum},
      {{{"b", 1e308}, {"a", kNaN}, {"b", 1e308}}, kValue},
      // After a sum has failed, later values of the same name do not matter.
      {{{"c", 1e308}, {"c", 1e308}, {"c", kNaN}}, kSum},
      {{{"z", kInf}, {"a", 1e308}, {"a", 1e308}}, kValue},
      // Sorted unique input (a mapping) still reports non-finite values.
      {{{"a", 1.0}, {"b", kNaN}}, kValue},
  };
  for (const auto& c : cases) {
    auto got = combine(c.input);
    ASSERT_FALSE(got.has_value());
    EXPECT_EQ(got.error().kind, DetectorError::Kind::InvalidArgument);
    EXPECT_EQ(got.error().message, c.message);
  }
}

TEST(Combine, MatchesOrderedMapReference) {
  auto g = Xoshiro256PlusPlus::from_seed(99);
  const std::vector<std::string> names = {"", "a", "A", "ab", "b", "\xff", "\xc3\xa9", "abc"};
  for (int trial = 0; trial < 200; ++trial) {
    Pairs input;
    std::map<std::string, double> reference;
    const uint64_t n = g.bounded_index(12);
    for (uint64_t k = 0; k < n; ++k) {
      const std::string& name = names[g.bounded_index(names.size())];
      const double value = g.range_f64(-10.0, 10.0);
      input.emplace_back(name, value);
      auto [it, fresh] = reference.try_emplace(name, 0.0);
      it->second = it->second + value;
    }
    auto got = combine(input);
    ASSERT_TRUE(got.has_value());
    ASSERT_EQ(got->entries.size(), reference.size());
    size_t i = 0;
    for (const auto& [name, sum] : reference) {
      EXPECT_EQ(got->entries[i].first, name);
      EXPECT_EQ(got->entries[i].second, sum);
      ++i;
    }
  }
}

TEST(Project, EmptyEventIsAllZero) {
  const auto e = project_pairs({}, 5, 4);
  EXPECT_EQ(e.value, std::vector<double>(5, 0.0));
  EXPECT_EQ(e.presence, std::vector<double>(5, 0.0));
}

TEST(Project, RepeatedNamesProjectLikeTheirSum) {
  const auto split = project_pairs({{"a", 1.0}, {"b", -4.0}, {"a", 2.0}});
  const auto joined = project_pairs({{"b", -4.0}, {"a", 3.0}});
  EXPECT_EQ(split.value, joined.value);
  EXPECT_EQ(split.presence, joined.presence);
}

TEST(Project, NameOrderDoesNotMatter) {
  const Pairs a = {{"x", 1.5}, {"y", -2.0}, {"z", 100.0}, {"", 0.25}};
  const Pairs b = {{"z", 100.0}, {"", 0.25}, {"y", -2.0}, {"x", 1.5}};
  const auto pa = project_pairs(a);
  const auto pb = project_pairs(b);
  EXPECT_EQ(pa.value, pb.value);
  EXPECT_EQ(pa.presence, pb.presence);
}

TEST(Project, PresenceDependsOnlyOnTheSetOfNames) {
  const auto zero = project_pairs({{"a", 0.0}, {"b", 0.0}});
  const auto big = project_pairs({{"a", 1e300}, {"b", -7.0}});
  EXPECT_EQ(zero.value, std::vector<double>(32, 0.0));
  EXPECT_EQ(zero.presence, big.presence);
  EXPECT_NE(zero.value, big.value);
  EXPECT_EQ(zero.presence.back(), runtime_log1p(2.0));
}

TEST(Project, ValuesAreScaledByAsinh) {
  // Each value coordinate is coefficient * asinh(value) with coefficient in {0, +-sqrt(3)}.
  for (double v : {1e-3, 1.0, 3.0, 1e6, -42.0}) {
    const auto e = project_pairs({{"only", v}});
    for (double x : e.value) {
      const double c = x / std::asinh(v);
      EXPECT_TRUE(x == 0.0 || c == 1.7320508075688772 || c == -1.7320508075688772) << x;
    }
  }
}

TEST(Project, CoefficientsFollowTheSparseDistribution) {
  // Over many names the presence coefficients are +sqrt(3), -sqrt(3), 0 with odds 1:1:4.
  const ProjectionSeeds seeds = seeds_from(3);
  size_t counts[3] = {0, 0, 0};
  const int kNames = 3000;
  for (int n = 0; n < kNames; ++n) {
    const Pairs pairs = {{std::string("feature-").append(std::to_string(n)), 1.0}};
    const auto e = project(*combine(pairs), 1, 4, seeds);
    for (size_t i = 0; i < 4; ++i) {
      const double c = e.presence[i];
      ++counts[c > 0 ? 0 : c < 0 ? 1 : 2];
    }
  }
  const double total = 4.0 * kNames;
  EXPECT_NEAR(counts[0] / total, 1.0 / 6.0, 0.02);
  EXPECT_NEAR(counts[1] / total, 1.0 / 6.0, 0.02);
  EXPECT_NEAR(counts[2] / total, 2.0 / 3.0, 0.02);
}

TEST(Project, NamesAreDistinctFeaturesAtEveryHashPath) {
  // Empty, one byte, non-ASCII, exactly 16 bytes (one block) and 17 bytes (tail plus block).
  const std::vector<std::string> names = {"",
                                          "a",
                                          "A",
                                          "\xc3\xa9t\xc3\xa9",
                                          "0123456789abcdef",
                                          "0123456789abcdefg",
                                          "0123456789abcdeg",
                                          std::string(1, '\0'),
                                          std::string(200, 'q')};
  const ProjectionSeeds seeds = seeds_from(11);
  std::vector<std::vector<double>> seen;
  for (const auto& name : names) {
    const Pairs pairs = {{name, 1.0}};
    const auto e = project(*combine(pairs), 64, 64, seeds);
    std::vector<double> both = e.value;
    both.insert(both.end(), e.presence.begin(), e.presence.end());
    for (const auto& other : seen) EXPECT_NE(both, other) << name;
    seen.push_back(both);
    EXPECT_EQ(name_hash(name, seeds.feature_lo), name_hash(name, seeds.feature_lo));
    EXPECT_NE(name_hash(name, seeds.feature_lo), name_hash(name, seeds.feature_hi));
  }
}

TEST(Project, NameHashAppendsTheMarkerAfterTheBytes) {
  const Seed4 key = {1, 2, 3, 4};
  SeededHasher h(key);
  h.add_bytes("name");
  const uint64_t without_marker = h.finish();
  h.add_u64(0xff);
  EXPECT_EQ(name_hash("name", key), h.finish());
  EXPECT_NE(name_hash("name", key), without_marker);
  // The key's last two words enter through the byte string.
  EXPECT_NE(name_hash("name", key), name_hash("name", Seed4{1, 2, 3, 5}));
}

TEST(Project, CountSignalIsLog1pOfDistinctNames) {
  for (int n : {0, 1, 2, 7, 100}) {
    Pairs pairs;
    for (int k = 0; k < n; ++k) pairs.emplace_back(std::string("f").append(std::to_string(k)), 1.0);
    for (int k = 0; k < n; ++k)
      pairs.emplace_back(std::string("f").append(std::to_string(k)), 1.0);  // repeats
    const auto e = project_pairs(pairs, 2, 3);
    ASSERT_EQ(e.presence.size(), 4u);
    EXPECT_EQ(e.presence[3], runtime_log1p(static_cast<double>(n)));
  }
}

TEST(Project, PlannedCoordinatesMatchTheFullProjectionBitForBit) {
  // Random layouts over few or many coordinates, events with repeats, many names or none: every
  // level must read from the compact vector exactly the bits the full vector holds at its own
  // dimension, the count signal included, and keep its width, offset and volume ratio.
  auto same_bits = [](double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; };
  auto g = Xoshiro256PlusPlus::from_seed(5);
  for (int trial = 0; trial < 60; ++trial) {
    const uint64_t v = 1 + g.bounded_index(trial % 3 == 0 ? 3 : 200);
    const uint64_t p = 1 + g.bounded_index(trial % 4 == 0 ? 2 : 150);
    const uint64_t chains = 1 + g.bounded_index(6);
    const uint64_t depth = 1 + g.bounded_index(5);
    const ChainLayout value_layout = generate_layout(chains, depth, v, false, g);
    const ChainLayout presence_layout = generate_layout(chains, depth, p + 1, true, g);
    const CompactLayout values = compact_layout(value_layout);
    const CompactLayout presence = compact_layout(presence_layout);

    Pairs pairs;
    const uint64_t n = trial % 5 == 0 ? 0 : g.bounded_index(trial % 2 ? 6 : 120);
    for (uint64_t k = 0; k < n; ++k) {
      pairs.emplace_back(std::string("n").append(std::to_string(g.bounded_index(n + 1))),
                         g.range_f64(-1e3, 1e3));
    }
    const auto combined = combine(pairs);
    ASSERT_TRUE(combined.has_value());
    const ProjectionSeeds seeds = seeds_from(trial);
    const ProjectedEvent full = project(*combined, v, p, seeds);
    ProjectedEvent planned;
    project_into(*combined, {values.coordinates, presence.coordinates, p}, seeds, planned);

    const struct {
      const ChainLayout& original;
      const CompactLayout& compact;
      const std::vector<double>& full;
      const std::vector<double>& planned;
    } sides[] = {{value_layout, values, full.value, planned.value},
                 {presence_layout, presence, full.presence, planned.presence}};
    for (const auto& side : sides) {
      const std::vector<uint64_t>& coords = side.compact.coordinates;
      EXPECT_TRUE(std::is_sorted(coords.begin(), coords.end()));
      EXPECT_EQ(std::adjacent_find(coords.begin(), coords.end()), coords.end());
      ASSERT_EQ(side.planned.size(), coords.size());
      ASSERT_EQ(side.compact.layout.levels.size(), side.original.levels.size());
      EXPECT_EQ(side.compact.layout.chain_depth, side.original.chain_depth);
      std::vector<bool> used(coords.size(), false);
      for (size_t i = 0; i < side.original.levels.size(); ++i) {
        ChainLevel expected = side.original.levels[i];
        const ChainLevel& level = side.compact.layout.levels[i];
        ASSERT_LT(level.dimension, coords.size());
        EXPECT_EQ(coords[level.dimension], expected.dimension);
        EXPECT_TRUE(same_bits(side.planned[level.dimension], side.full[expected.dimension]))
            << trial;
        used[level.dimension] = true;
        expected.dimension = level.dimension;
        EXPECT_EQ(level, expected);
      }
      EXPECT_EQ(std::count(used.begin(), used.end(), false), 0);  // no coordinate computed idly
    }
  }
}

}  // namespace
}  // namespace quillon::fsketch
