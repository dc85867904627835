#include "featuresketch/chain.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>

namespace quillon::fsketch {
namespace {

TEST(ChainLayout, DrawsDimensionThenOffsetPerLevel) {
  const uint64_t chains = 3, depth = 5, coordinates = 7;
  auto rng = Xoshiro256PlusPlus::from_seed(42);
  auto replay = rng;
  const ChainLayout layout = generate_layout(chains, depth, coordinates, false, rng);
  ASSERT_EQ(layout.levels.size(), chains * depth);
  EXPECT_EQ(layout.chain_depth, depth);
  for (uint64_t c = 0; c < chains; ++c) {
    for (uint64_t l = 0; l < depth; ++l) {
      const ChainLevel& level = layout.levels[c * depth + l];
      const double width = 4.0 / std::pow(2.0, static_cast<double>(l));
      EXPECT_EQ(level.dimension, replay.next_u64() % coordinates);
      EXPECT_EQ(level.width, width);
      // Range float: 52 fraction bits in [1, 2), minus one, times the width.
      const uint64_t bits = (replay.next_u64() >> 12) | (uint64_t{0x3ff} << 52);
      EXPECT_EQ(level.offset, (std::bit_cast<double>(bits) - 1.0) * width + 0.0);
      EXPECT_EQ(level.bin_volume_ratio, std::ldexp(1.0, -static_cast<int>(l)));
      EXPECT_GE(level.offset, 0.0);
      EXPECT_LT(level.offset, level.width);
    }
  }
  EXPECT_EQ(rng, replay);  // exactly two words per level
}

TEST(ChainLayout, CountSignalHasHalfTheBaseWidth) {
  // Two coordinates: the last is the feature-count signal, so both bases appear.
  auto rng = Xoshiro256PlusPlus::from_seed(5);
  const ChainLayout layout = generate_layout(40, 3, 2, true, rng);
  bool saw[2] = {false, false};
  for (size_t i = 0; i < layout.levels.size(); ++i) {
    const ChainLevel& level = layout.levels[i];
    const double base = level.dimension == 1 ? 2.0 : 4.0;
    saw[level.dimension] = true;
    EXPECT_EQ(level.width, base / std::pow(2.0, static_cast<double>(i % 3)));
    EXPECT_EQ(level.bin_volume_ratio, level.width / base);
  }
  EXPECT_TRUE(saw[0] && saw[1]);
  // Without the flag the last coordinate is an ordinary one.
  auto plain_rng = Xoshiro256PlusPlus::from_seed(5);
  const ChainLayout plain = generate_layout(40, 3, 2, false, plain_rng);
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(plain.levels[i].width, 4.0 / std::pow(2.0, i));
}

TEST(ChainLayout, DeepestAllowedChainKeepsPositiveWidths) {
  auto rng = Xoshiro256PlusPlus::from_seed(1);
  const ChainLayout layout = generate_layout(1, 1024, 1, true, rng);
  const ChainLevel& last = layout.levels.back();
  EXPECT_GT(last.width, 0.0);
  EXPECT_TRUE(std::isnormal(last.width));
  EXPECT_EQ(last.width, 0x1.0p-1022);  // the only coordinate is the count signal: 2 / 2^1023
}

TEST(ChainLayout, BinIsTheFloorWithSaturation) {
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  struct Case {
    double coordinate, offset, width;
    int64_t bin;
  };
  const Case cases[] = {
      {0.0, 0.0, 4.0, 0},
      {3.999, 0.0, 4.0, 0},
      {4.0, 0.0, 4.0, 1},    // a lower edge belongs to its own bin
      {-4.0, 0.0, 4.0, -1},  // shifted value / width = -1.0
      {-2.0, 0.0, 4.0, -1},  // -0.5
      {-1.0, 0.5, 1.0, -1},  // -0.5 after the offset
      {-0.0, 0.0, 1.0, 0},
      {1.5, 0.5, 1.0, 2},
      {-8.5, 0.5, 2.0, -4},
      {1e300, 0.0, 1e-300, kMax},
      {-1e300, 0.0, 1e-300, kMin},
      {0x1.0p63, 0.0, 1.0, kMax},
      {-0x1.0p63, 0.0, 1.0, kMin},
      {0x1.0p62, 0.0, 1.0, int64_t{1} << 62},
      {std::numeric_limits<double>::infinity(), 0.0, 1.0, kMax},
      {-std::numeric_limits<double>::infinity(), 0.0, 1.0, kMin},
      {std::numeric_limits<double>::quiet_NaN(), 0.0, 1.0, 0},
  };
  for (const auto& c : cases) {
    const ChainLevel level{0, c.width, c.offset, 1.0};
    EXPECT_EQ(bin_of(level, c.coordinate), c.bin) << c.coordinate << " " << c.offset;
  }
}

TEST(ChainLayout, BinMatchesSaturatingFloorEverywhere) {
  auto reference = [](double t) -> int64_t {
    const double f = std::floor(t);
    if (std::isnan(f)) return 0;
    if (f >= 0x1.0p63) return std::numeric_limits<int64_t>::max();
    if (f < -0x1.0p63) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(f);
  };
  auto g = Xoshiro256PlusPlus::from_seed(17);
  for (int k = 0; k < 200000; ++k) {
    // Magnitudes from 2^-60 to 2^70, both signs, plus exact integers and their neighbours.
    const double magnitude = std::ldexp(1.0, static_cast<int>(g.bounded_index(130)) - 60);
    double t = g.range_f64(-magnitude, magnitude);
    if (k % 3 == 0) t = std::nearbyint(t);
    if (k % 5 == 0) t = std::nextafter(t, g.bounded_index(2) ? 1e300 : -1e300);
    const ChainLevel level{0, 1.0, 0.0, 1.0};
    ASSERT_EQ(bin_of(level, t), reference(t)) << t;
  }
}

}  // namespace
}  // namespace quillon::fsketch
