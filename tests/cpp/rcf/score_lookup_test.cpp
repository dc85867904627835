// The looked-up log2(m + 1) of the scoring rules must carry the library's bits for every argument:
// whole masses on both sides of the table's end, fractions, negatives, zeros and non-finite values.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "rcf/tree/traversal.hpp"

namespace quillon::rcf {
namespace {

TEST(Log2PlusOne, SameBitsAsTheLibraryCall) {
  std::vector<double> args;
  for (uint64_t m = 0; m < 2100; ++m) args.push_back(static_cast<double>(m));
  const double inf = std::numeric_limits<double>::infinity();
  for (const double v : {-0.0, 0.5, 1023.5, 1023.9999999999999, 1024.0, 0x1.0p53, 1e300, -0.5,
                         -1.0, -3.0, inf, -inf, std::numeric_limits<double>::quiet_NaN()}) {
    args.push_back(v);
  }
  for (const double m : args) {
    const double want = std::log2(m + 1.0);
    const double got = log2_plus_one(m);
    EXPECT_EQ(std::bit_cast<uint64_t>(got), std::bit_cast<uint64_t>(want)) << m;
  }
}

TEST(Log2PlusOne, RulesUseIt) {
  for (const double mass : {1.0, 3.0, 256.0, 5000.0}) {
    EXPECT_EQ(std::bit_cast<uint64_t>(AnomalyRule::normalise(mass, 0.75)),
              std::bit_cast<uint64_t>(std::log2(mass + 1.0) * 0.75));
    const double leaf = mass > 1.0 ? mass - 1.0 : 1.0;
    const double want = 1.0 / (4.0 + std::log2(leaf + 1.0)) * AnomalyRule::damping(leaf, mass);
    EXPECT_EQ(std::bit_cast<uint64_t>(AnomalyRule::at_leaf(true, 4.0, leaf, mass)),
              std::bit_cast<uint64_t>(want));
  }
}

}  // namespace
}  // namespace quillon::rcf
