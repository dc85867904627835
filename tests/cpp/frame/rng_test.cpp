#include <gtest/gtest.h>

#include <cmath>

#include "rng.hpp"

namespace quillon {
namespace {

TEST(Xoshiro, SeedExpansionMatchesPublishedVectors) {
  struct Case {
    uint64_t seed;
    std::array<uint64_t, 4> state;
  };
  const Case cases[] = {
      {42, {0xbdd732262feb6e95ULL, 0x28efe333b266f103ULL, 0x47526757130f9f52ULL, 0x581ce1ff0e4ae394ULL}},
      {0, {0xe220a8397b1dcdafULL, 0x6e789e6aa1b965f4ULL, 0x06c45d188009454fULL, 0xf88bb8a8724c81ecULL}},
  };
  for (const auto& c : cases) EXPECT_EQ(Xoshiro256PlusPlus::from_seed(c.seed).s, c.state) << c.seed;
}

TEST(Xoshiro, FirstOutputsAndTreeSeedDerivation) {
  auto g = Xoshiro256PlusPlus::from_seed(42);
  const uint64_t first = g.next_u64();
  EXPECT_EQ(first, 0xd0764d4f4476689fULL);
  // A generator seeded from that word is tree 0 of an online forest seeded with 42.
  const auto tree = Xoshiro256PlusPlus::from_seed(first);
  const std::array<uint64_t, 4> expected{0x6d1309d31ba18212ULL, 0x118955bd4636a065ULL,
                                         0xdf2cf0b5ae47dbc4ULL, 0x2bedc9f235dc2366ULL};
  EXPECT_EQ(tree.s, expected);
}

TEST(Xoshiro, UnitFloatStaysInHalfOpenInterval) {
  Xoshiro256PlusPlus all_ones{{~0ULL, 0, 0, 0}};
  // rotl(s0 + s3, 23) + s0 with s0 = 2^64-1, s3 = 0 gives the largest possible word.
  const double u = all_ones.unit_f64();
  EXPECT_LT(u, 1.0);
  auto g = Xoshiro256PlusPlus::from_seed(7);
  for (int i = 0; i < 100000; ++i) {
    const double v = g.unit_f64();
    ASSERT_GE(v, 0.0);
    ASSERT_LT(v, 1.0);
    ASSERT_EQ(v * 0x1.0p53, std::floor(v * 0x1.0p53));
  }
}

TEST(Xoshiro, RangeAndIndexPrimitives) {
  auto g = Xoshiro256PlusPlus::from_seed(3);
  for (int i = 0; i < 10000; ++i) {
    const double v = g.range_f64(-2.5, 4.0);
    ASSERT_GE(v, -2.5);
    ASSERT_LT(v, 4.0);
    ASSERT_LT(g.bounded_index(7), 7u);
  }
  auto a = Xoshiro256PlusPlus::from_seed(11);
  auto b = a;
  EXPECT_EQ(a.bounded_index(1000), b.next_u64() % 1000);
  EXPECT_THROW(a.range_f64(1.0, 1.0), InternalFailure);
  EXPECT_THROW(a.bounded_index(0), InternalFailure);
  EXPECT_THROW(a.range_f64(-1e308, 1e308), InternalFailure);
}

TEST(Xoshiro, EntropyGivesDistinctStates) {
  const auto a = Xoshiro256PlusPlus::from_entropy();
  const auto b = Xoshiro256PlusPlus::from_entropy();
  EXPECT_NE(a.s, b.s);
}

}  // namespace
}  // namespace quillon
