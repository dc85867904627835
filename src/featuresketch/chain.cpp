#include "featuresketch/chain.hpp"

#include <algorithm>

namespace quillon::fsketch {

ChainLayout generate_layout(uint64_t chains, uint64_t depth, uint64_t coordinates,
                            bool last_is_count_signal, Xoshiro256PlusPlus& rng) {
  ChainLayout layout;
  layout.chain_depth = depth;
  layout.levels.reserve(chains * depth);
  for (uint64_t c = 0; c < chains; ++c) {
    for (uint64_t l = 0; l < depth; ++l) {
      ChainLevel level;
      level.dimension = rng.bounded_index(coordinates);
      const bool count_signal = last_is_count_signal && level.dimension == coordinates - 1;
      const double base = count_signal ? 2.0 : 4.0;
      level.width = base / std::pow(2.0, static_cast<double>(l));
      level.offset = rng.range_f64(0.0, level.width);
      level.bin_volume_ratio = level.width / base;
      layout.levels.push_back(level);
    }
  }
  return layout;
}

CompactLayout compact_layout(const ChainLayout& layout) {
  CompactLayout compact;
  compact.layout = layout;
  compact.coordinates.reserve(layout.levels.size());
  for (const ChainLevel& level : layout.levels) compact.coordinates.push_back(level.dimension);
  std::sort(compact.coordinates.begin(), compact.coordinates.end());
  compact.coordinates.erase(std::unique(compact.coordinates.begin(), compact.coordinates.end()),
                            compact.coordinates.end());
  for (ChainLevel& level : compact.layout.levels) {
    level.dimension = static_cast<uint64_t>(
        std::lower_bound(compact.coordinates.begin(), compact.coordinates.end(), level.dimension) -
        compact.coordinates.begin());
  }
  compact.coordinates.shrink_to_fit();
  return compact;
}

}  // namespace quillon::fsketch
