// xoshiro256++ with SplitMix64 seed expansion, the only source of randomness of every detector.
#pragma once

#include <array>
#include <bit>
#include <cstdint>

#include "detector_error.hpp"

namespace quillon {

struct Xoshiro256PlusPlus {
  std::array<uint64_t, 4> s{};

  static constexpr uint64_t splitmix_mix(uint64_t z) {
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }

  static constexpr Xoshiro256PlusPlus from_seed(uint64_t seed) {
    constexpr uint64_t kGolden = 0x9e3779b97f4a7c15ULL;
    Xoshiro256PlusPlus g;
    for (uint64_t i = 0; i < 4; ++i) g.s[i] = splitmix_mix(seed + (i + 1) * kGolden);
    return g;
  }

  // 32 bytes of operating-system entropy; raises InternalFailure("unexpected failure from SysRng").
  static Xoshiro256PlusPlus from_entropy();

  constexpr uint64_t next_u64() {
    const uint64_t result = std::rotl(s[0] + s[3], 23) + s[0];
    const uint64_t t = s[1] << 17;
    s[2] ^= s[0];
    s[3] ^= s[1];
    s[1] ^= s[2];
    s[0] ^= s[3];
    s[2] ^= t;
    s[3] = std::rotl(s[3], 45);
    return result;
  }

  // Top 53 bits scaled by 2^-53: a multiple of 2^-53 in [0, 1).
  constexpr double unit_f64() {
    return static_cast<double>(next_u64() >> 11) * 0x1.0p-53;
  }

  // Uniform in [low, high): 52 random fraction bits of a double in [1, 2), minus one, scaled.
  double range_f64(double low, double high) {
    QUILLON_INVARIANT(low < high, "cannot sample empty range");
    const double scale = high - low;
    QUILLON_INVARIANT(scale - scale == 0.0, "NonFinite");
    const uint64_t bits = (next_u64() >> 12) | (uint64_t{0x3ff} << 52);
    const double u = std::bit_cast<double>(bits) - 1.0;
    return u * scale + low;
  }

  // next word modulo n: no rejection, so the tiny bias towards small indices is part of the format.
  uint64_t bounded_index(uint64_t n) {
    QUILLON_INVARIANT(n != 0, "EmptyRange");
    return next_u64() % n;
  }

  friend constexpr bool operator==(const Xoshiro256PlusPlus&, const Xoshiro256PlusPlus&) = default;
};

// The seed a constructor works from: the given one, or the first word of an entropy generator.
inline uint64_t resolve_seed(const uint64_t* seed) {
  if (seed != nullptr) return *seed;
  return Xoshiro256PlusPlus::from_entropy().next_u64();
}

}  // namespace quillon
