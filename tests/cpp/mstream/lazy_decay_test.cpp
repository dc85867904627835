#include "mstream/lazy_decay.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

#include "rng.hpp"

namespace quillon::mstream {
namespace {

uint64_t bits(double x) { return std::bit_cast<uint64_t>(x); }

// Counts of every magnitude, from large through tiny normals to subnormals and zero.
double random_count(Xoshiro256PlusPlus& rng) {
  const uint64_t r = rng.next_u64();
  switch (r % 4) {
    case 0: return std::bit_cast<double>(rng.next_u64() >> 12);  // subnormal (or 0)
    case 1:
      return std::ldexp(1.0 + static_cast<double>(rng.next_u64() >> 11) * 0x1p-53,
                        -1022 - static_cast<int>(rng.next_u64() % 3));
    case 2:
      return std::ldexp(static_cast<double>(rng.next_u64() >> 11) * 0x1p-53,
                        -static_cast<int>(rng.next_u64() % 1100));
    default: return static_cast<double>(rng.next_u64() % 1000) + 1.0;
  }
}

double random_factor(Xoshiro256PlusPlus& rng) {
  switch (rng.next_u64() % 3) {
    case 0: return std::pow(0.8, static_cast<double>(rng.next_u64() % 5000));
    case 1: return static_cast<double>(rng.next_u64() >> 11) * 0x1p-53;  // in [0, 1)
    default: return std::bit_cast<double>(rng.next_u64() >> 12);         // subnormal factor
  }
}

TEST(ExactProduct, MatchesTheHardwareProductBitForBit) {
  auto rng = Xoshiro256PlusPlus::from_seed(11);
  for (int i = 0; i < 2'000'000; ++i) {
    const double a = random_count(rng);
    const double b = random_factor(rng);
    ASSERT_EQ(bits(exact_product(a, b)), bits(a * b)) << a << " * " << b;
    ASSERT_EQ(bits(decay_step(a, b)), bits(a * b)) << a << " * " << b;
  }
}

TEST(ExactProduct, RoundsHalfwayCasesToEven) {
  const double tiny = std::bit_cast<double>(uint64_t{3});       // 3 * 2^-1074
  EXPECT_EQ(bits(exact_product(tiny, 0.5)), bits(tiny * 0.5));  // 1.5 -> 2
  const double five = std::bit_cast<double>(uint64_t{5});
  EXPECT_EQ(bits(exact_product(five, 0.5)), bits(five * 0.5));  // 2.5 -> 2
  EXPECT_EQ(bits(exact_product(0x1p-1022, 0.5)), bits(0x1p-1023));
}

// The same counts kept twice: decayed eagerly, cell by cell at every factor, and through a
// LazyDecay; every touch and the final flush must find them bit-identical.
struct EagerAndLazy {
  std::vector<double> eager, lazy_cells;
  LazyDecay lazy;

  explicit EagerAndLazy(std::vector<double> counts) : eager(std::move(counts)), lazy_cells(eager) {
    lazy.add_segment(lazy_cells);
  }
  EagerAndLazy(const EagerAndLazy&) = delete;
  EagerAndLazy& operator=(const EagerAndLazy&) = delete;

  void advance(double f) {
    for (double& c : eager) c *= f;
    lazy.advance(f);
  }
  // Brings cell k up to date, compares it, then counts one more record there.
  void touch(size_t k) {
    lazy.touch(0, k);
    ASSERT_EQ(bits(lazy_cells[k]), bits(eager[k]));
    eager[k] += 1.0;
    lazy_cells[k] += 1.0;
  }
  void flush_and_compare() {
    lazy.flush();
    for (size_t k = 0; k < eager.size(); ++k) ASSERT_EQ(bits(lazy_cells[k]), bits(eager[k])) << k;
  }
};

// Deferred decay with touches at random moments gives the counts of the eager pass.
TEST(LazyDecay, EqualsTheEagerPass) {
  auto rng = Xoshiro256PlusPlus::from_seed(3);
  for (int round = 0; round < 50; ++round) {
    std::vector<double> counts(67);
    for (double& c : counts) c = random_count(rng);
    EagerAndLazy cells(std::move(counts));
    for (int step = 0; step < 300; ++step) {
      if (rng.next_u64() % 3 == 0) cells.advance(random_factor(rng));
      ASSERT_NO_FATAL_FAILURE(cells.touch(rng.next_u64() % cells.eager.size()));
    }
    ASSERT_NO_FATAL_FAILURE(cells.flush_and_compare());
  }
}

// Long runs of equal factors, as real tick gaps give them, over counts that are mostly zero,
// untouched or tiny subnormals (which such factors leave at rest, or not): still the eager pass.
TEST(LazyDecay, EqualsTheEagerPassForRepeatedFactorsAndCountsAtRest) {
  auto rng = Xoshiro256PlusPlus::from_seed(8);
  const double alphas[] = {0.8, 0.999, 0.5, 0.01, 0.9999999, 0x1p-61};
  for (int round = 0; round < 60; ++round) {
    std::vector<double> counts(16 * 9 + 5);
    for (double& c : counts) {
      const uint64_t kind = rng.next_u64() % 4;
      c = kind == 0   ? 0.0
          : kind == 1 ? std::bit_cast<double>(rng.next_u64() % 700)  // small subnormal mantissas
          : kind == 2 ? std::bit_cast<double>(rng.next_u64() >> 12)
                      : random_count(rng);
    }
    EagerAndLazy cells(std::move(counts));
    const double alpha = alphas[round % 6];
    for (int step = 0; step < 400; ++step) {
      if (rng.next_u64() % 2 == 0) {
        cells.advance(
            std::pow(alpha, static_cast<double>(1 + rng.next_u64() % 2 * rng.next_u64() % 3)));
      }
      if (rng.next_u64() % 8 == 0) {
        ASSERT_NO_FATAL_FAILURE(cells.touch(rng.next_u64() % cells.eager.size()));
      }
    }
    ASSERT_NO_FATAL_FAILURE(cells.flush_and_compare());
  }
}

}  // namespace
}  // namespace quillon::mstream
