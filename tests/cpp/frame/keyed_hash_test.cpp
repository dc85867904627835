#include <gtest/gtest.h>

#include <string>

#include "keyed_hash.hpp"

namespace quillon {
namespace {

uint64_t hash_of(const Seed4& seed, std::initializer_list<std::string> parts, uint64_t tail) {
  SeededHasher h(seed);
  for (const auto& p : parts) h.add_bytes(p);
  h.add_u64(tail);
  return h.finish();
}

TEST(SeededHasher, FinishDoesNotChangeState) {
  SeededHasher h(1, 2, 3, 4);
  h.add_u64(99);
  const uint64_t first = h.finish();
  EXPECT_EQ(first, h.finish());
  h.add_u64(5);
  SeededHasher g(1, 2, 3, 4);
  g.add_u64(99);
  g.add_u64(5);
  EXPECT_EQ(h.finish(), g.finish());
}

TEST(SeededHasher, HighKeyWordsMatterOnlyForByteStrings) {
  const Seed4 a{1, 2, 3, 4};
  const Seed4 b{1, 2, 30, 40};
  SeededHasher ha(a), hb(b);
  for (uint64_t x : {0ULL, 7ULL, ~0ULL}) {
    ha.add_u64(x);
    hb.add_u64(x);
  }
  EXPECT_EQ(ha.finish(), hb.finish());
  ha.add_bytes("x");
  hb.add_bytes("x");
  EXPECT_NE(ha.finish(), hb.finish());
}

TEST(SeededHasher, EmptyByteStringStillMixes) {
  SeededHasher h(9, 8, 7, 6);
  const uint64_t before = h.finish();
  h.add_bytes("");
  EXPECT_NE(before, h.finish());
}

TEST(SeededHasher, EveryLengthClassDependsOnEveryByte) {
  // Lengths cover each branch: 1, 2-3, 4-8, 9-16, and the block loop beyond 16.
  const Seed4 seed{0x1234, 0x5678, 0x9abc, 0xdef0};
  for (size_t len : {1u, 2u, 3u, 4u, 7u, 8u, 9u, 15u, 16u, 17u, 31u, 32u, 33u, 100u}) {
    std::string base(len, 'a');
    for (size_t i = 0; i < len; ++i) base[i] = static_cast<char>('a' + i % 26);
    const uint64_t h0 = hash_of(seed, {base}, 0);
    for (size_t i = 0; i < len; ++i) {
      std::string changed = base;
      changed[i] = static_cast<char>(changed[i] ^ 0x40);
      EXPECT_NE(h0, hash_of(seed, {changed}, 0)) << "len " << len << " byte " << i;
    }
  }
}

TEST(SeededHasher, LengthSixteenAndSeventeenDiffer) {
  const Seed4 seed{1, 1, 1, 1};
  const std::string s16(16, 'q');
  EXPECT_NE(hash_of(seed, {s16}, 0), hash_of(seed, {s16 + "q"}, 0));
  // The length enters the state, so a split of the same bytes hashes differently.
  EXPECT_NE(hash_of(seed, {"ab", "c"}, 0), hash_of(seed, {"a", "bc"}, 0));
}

TEST(SeededHasher, CopiedStatesExtendIndependently) {
  SeededHasher prefix(4, 3, 2, 1);
  prefix.add_bytes("feature-name");
  SeededHasher a = prefix, b = prefix;
  a.add_u64(1);
  b.add_u64(2);
  EXPECT_NE(a.finish(), b.finish());
  SeededHasher c(4, 3, 2, 1);
  c.add_bytes("feature-name");
  c.add_u64(1);
  EXPECT_EQ(a.finish(), c.finish());
}

}  // namespace
}  // namespace quillon
