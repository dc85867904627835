// Half-space chains: each level bins one coordinate of a projected vector into equal-width bins,
// every level of a chain halving the previous level's width.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <string_view>
#include <vector>

#include "rng.hpp"

namespace quillon::fsketch {

struct ChainLevel {
  uint64_t dimension = 0;
  double width = 0.0;
  double offset = 0.0;
  double bin_volume_ratio = 0.0;

  static constexpr std::string_view kJsonName = "ChainLevel";
  template <class Self, class Field>
  static void json_fields(Self& self, Field&& field) {
    field("dimension", self.dimension);
    field("width", self.width);
    field("offset", self.offset);
    field("bin_volume_ratio", self.bin_volume_ratio);
  }
  friend bool operator==(const ChainLevel&, const ChainLevel&) = default;
};

// Levels are chain-major: chain c owns levels [c * chain_depth, (c + 1) * chain_depth).
struct ChainLayout {
  std::vector<ChainLevel> levels;
  uint64_t chain_depth = 0;

  static constexpr std::string_view kJsonName = "ChainLayout";
  template <class Self, class Field>
  static void json_fields(Self& self, Field&& field) {
    field("levels", self.levels);
    field("chain_depth", self.chain_depth);
  }
  friend bool operator==(const ChainLayout&, const ChainLayout&) = default;
};

// Draws `chains` chains of `depth` levels over `coordinates` coordinates, two generator words per
// level (dimension, then offset). With `last_is_count_signal`, the last coordinate is the
// feature-count signal, whose level-0 width is 2.0 instead of 4.0.
ChainLayout generate_layout(uint64_t chains, uint64_t depth, uint64_t coordinates,
                            bool last_is_count_signal, Xoshiro256PlusPlus& rng);

// The same layout over only the coordinates it reads: `coordinates` lists them ascending and
// distinct, and each level's dimension becomes its coordinate's position in that list. A vector
// holding just those coordinates, in that order, bins exactly as the full vector does, so the
// projection need not compute the others.
struct CompactLayout {
  std::vector<uint64_t> coordinates;
  ChainLayout layout;
};
CompactLayout compact_layout(const ChainLayout& layout);

// floor((coordinate + offset) / width) as a saturating signed 64-bit bin; NaN lands in bin 0.
// Truncation plus a correction is the floor for every quotient inside the int64 range (above
// 2^52 all doubles are integers), and avoids a library floor on baseline x86-64.
inline int64_t bin_of(const ChainLevel& level, double coordinate) {
  const double t = (coordinate + level.offset) / level.width;
  if (t >= 0x1.0p63) return std::numeric_limits<int64_t>::max();
  if (!(t > -0x1.0p63)) return std::isnan(t) ? 0 : std::numeric_limits<int64_t>::min();
  int64_t bin = static_cast<int64_t>(t);
  if (static_cast<double>(bin) > t) --bin;
  return bin;
}

}  // namespace quillon::fsketch
