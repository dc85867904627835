#include "mstream/standard_normal.hpp"

#include <bit>
#include <cmath>
#include <cstdint>

namespace quillon::mstream {
namespace {

double gaussian_density(double x) { return std::exp(-x * x / 2.0); }

ZigguratTables build_tables() {
  constexpr double r0 = ZigguratTables::kTailStart;
  constexpr double v = ZigguratTables::kLayerArea;
  ZigguratTables t;
  t.x[0] = v / gaussian_density(r0);
  t.x[1] = r0;
  for (size_t i = 1; i < 255; ++i) {
    t.x[i + 1] = std::sqrt(-2.0 * std::log(v / t.x[i] + gaussian_density(t.x[i])));
  }
  t.x[256] = 0.0;
  for (size_t i = 0; i < 257; ++i) t.f[i] = gaussian_density(t.x[i]);
  return t;
}

// The top 52 bits of `word` as the fraction of a double with the given exponent bits.
double with_fraction(uint64_t word, uint64_t exponent_bits) {
  return std::bit_cast<double>((word >> 12) | (exponent_bits << 52));
}

// Uniform in the open interval (0, 1).
double open_unit(Xoshiro256PlusPlus& rng) {
  return with_fraction(rng.next_u64(), 0x3ff) - (1.0 - 0x1.0p-53);
}

double tail_sample(Xoshiro256PlusPlus& rng, bool negative) {
  constexpr double r0 = ZigguratTables::kTailStart;
  double a = 0.0;
  double b = 0.0;
  do {
    a = std::log(open_unit(rng)) / r0;
    b = std::log(open_unit(rng));
  } while (a * a > -2.0 * b);
  return negative ? a - r0 : r0 - a;
}

}  // namespace

const ZigguratTables& ziggurat_tables() {
  static const ZigguratTables tables = build_tables();
  return tables;
}

double standard_normal(Xoshiro256PlusPlus& rng) {
  const ZigguratTables& t = ziggurat_tables();
  while (true) {
    const uint64_t word = rng.next_u64();
    const size_t i = static_cast<size_t>(word & 0xff);
    // Exponent bits 0x400 give [2, 4); minus 3 is a symmetric uniform in [-1, 1).
    const double s = with_fraction(word, 0x400) - 3.0;
    const double x = s * t.x[i];
    if (std::abs(x) < t.x[i + 1]) return x;
    if (i == 0) return tail_sample(rng, s < 0.0);
    const double w = rng.unit_f64();
    if (t.f[i + 1] + (t.f[i] - t.f[i + 1]) * w < gaussian_density(x)) return x;
  }
}

}  // namespace quillon::mstream
