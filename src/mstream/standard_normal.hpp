// Standard normal samples by the 256-layer ziggurat method. The random planes of the record sketch
// are drawn with it, so its tables and the order of its draws are part of the saved format.
#pragma once

#include <array>

#include "rng.hpp"

namespace quillon::mstream {

struct ZigguratTables {
  static constexpr double kTailStart = 3.654152885361009;  // x[1], where the tail begins
  static constexpr double kLayerArea = 0.00492867323399;
  std::array<double, 257> x{};  // layer edges, x[0] the base strip's pseudo-edge, x[256] = 0
  std::array<double, 257> f{};  // exp(-x^2/2) at each edge
};

// Built once per process from the equal-area recurrence with the C library's log, exp and sqrt.
const ZigguratTables& ziggurat_tables();

double standard_normal(Xoshiro256PlusPlus& rng);

}  // namespace quillon::mstream
