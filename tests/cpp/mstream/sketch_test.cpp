#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "json_codec.hpp"
#include "keyed_hash.hpp"
#include "mstream/sketch.hpp"
#include "mstream/standard_normal.hpp"

namespace quillon::mstream {
namespace {

TEST(StandardNormal, TablesFollowTheEqualAreaRecurrence) {
  const auto& t = ziggurat_tables();
  EXPECT_NEAR(t.x[0], 3.91075795953709, 1e-13);
  EXPECT_EQ(t.x[1], 3.654152885361009);
  EXPECT_EQ(t.x[256], 0.0);
  EXPECT_NEAR(t.f[0], 0.000477467764586655, 1e-17);
  EXPECT_EQ(t.f[256], 1.0);
  for (size_t i = 0; i < 256; ++i) {
    EXPECT_GT(t.x[i], t.x[i + 1]) << i;
    EXPECT_LT(t.f[i], t.f[i + 1]) << i;
  }
  // Every layer has (about) the same area, the last one included.
  for (size_t i = 1; i < 255; ++i) {
    EXPECT_NEAR(t.x[i] * (t.f[i + 1] - t.f[i]), ZigguratTables::kLayerArea, 1e-9) << i;
  }
}

TEST(StandardNormal, SeedFortyTwoGivesTheKnownFirstSamples) {
  auto rng = Xoshiro256PlusPlus::from_seed(42);
  const double expected[] = {0.8343975468437959, -0.514962928147295, 1.40772757311975,
                             0.46445486122523566};
  for (double e : expected) EXPECT_EQ(standard_normal(rng), e);
  // All four are accepted at the first test (layers 159, 145, 140, 184): one word each.
  auto words = Xoshiro256PlusPlus::from_seed(42);
  for (int i = 0; i < 4; ++i) (void)words.next_u64();
  EXPECT_EQ(rng.next_u64(), words.next_u64());
}

TEST(StandardNormal, MomentsAndTailMatchTheNormalDistribution) {
  auto rng = Xoshiro256PlusPlus::from_seed(2024);
  constexpr int kSamples = 400000;
  double sum = 0;
  double sum_sq = 0;
  double sum_4 = 0;
  int beyond_tail = 0;
  int beyond_two = 0;
  for (int i = 0; i < kSamples; ++i) {
    const double x = standard_normal(rng);
    ASSERT_TRUE(std::isfinite(x));
    sum += x;
    sum_sq += x * x;
    sum_4 += x * x * x * x;
    beyond_tail += std::abs(x) > ZigguratTables::kTailStart;
    beyond_two += std::abs(x) > 2.0;
  }
  EXPECT_NEAR(sum / kSamples, 0.0, 0.01);
  EXPECT_NEAR(sum_sq / kSamples, 1.0, 0.01);
  EXPECT_NEAR(sum_4 / kSamples, 3.0, 0.06);
  // P(|X| > 2) = 0.0455; P(|X| > 3.654) = 2.58e-4, about 103 of 400000.
  EXPECT_NEAR(static_cast<double>(beyond_two) / kSamples, 0.0455, 0.002);
  EXPECT_GT(beyond_tail, 60);
  EXPECT_LT(beyond_tail, 150);
}

TEST(HashBits, IsTheBitLengthOfBucketsMinusOne) {
  const std::pair<uint64_t, uint64_t> cases[] = {
      {2, 1}, {3, 2}, {4, 2}, {5, 3}, {1000, 10}, {1024, 10}, {1025, 11}, {UINT64_MAX, 64}};
  for (const auto& [buckets, bits] : cases) EXPECT_EQ(hash_bits(buckets), bits) << buckets;
}

TEST(ChiSquared, TermsOfKnownCounts) {
  struct Case {
    double current, total;
    uint64_t tick;
    double expected;
  };
  const Case cases[] = {
      {1.8, 2.0, 2, 1.2800000000000002},  // same record at ticks 1 and 2, alpha 0.8
      {1.0, 1.0, 1, 0.0},                 // the first record
      {3.0, 3.0, 1, 0.0},                 // no tick passed: current equals total
      {5.0, 0.0, 9, 0.0},                 // expected count 0
      {0.0, 1e-20, 1, 0.0},               // expected count below 2^-52
      {2.0, 4.0, 0, 2.0},                 // tick 0 counts as 1: (2-4)^2/4 + (2-4)^2/4
      {7.0, 30.0, 5, 1.0 / 24.0 + 1.0 / 6.0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(chi_squared_term(c.current, c.total, c.tick), c.expected)
        << c.current << " " << c.total << " " << c.tick;
  }
  // For t > 1 the term equals (a - s/t)^2 t^2 / (s (t - 1)).
  EXPECT_DOUBLE_EQ(chi_squared_term(4.5, 17.0, 7), (4.5 - 17.0 / 7) * (4.5 - 17.0 / 7) * 49.0 / (17.0 * 6.0));
}

TEST(BucketModulus, EqualsTheRemainderForAllWordsAndDivisors) {
  // Divisors of every size, powers of two and their neighbours, against the hardware remainder on
  // the extremes of the word range and a stream of random words.
  std::vector<uint64_t> divisors = {1,
                                    2,
                                    3,
                                    5,
                                    7,
                                    1000,
                                    1023,
                                    1024,
                                    1025,
                                    0xffffffffULL,
                                    0x100000001ULL,
                                    (uint64_t{1} << 63) - 1,
                                    uint64_t{1} << 63,
                                    (uint64_t{1} << 63) + 1,
                                    ~uint64_t{0} - 1,
                                    ~uint64_t{0}};
  auto rng = Xoshiro256PlusPlus::from_seed(5);
  for (int i = 0; i < 64; ++i) divisors.push_back((rng.next_u64() >> (i % 64)) | 1);
  for (const uint64_t d : divisors) {
    const BucketModulus mod(d);
    std::vector<uint64_t> xs = {
        0, 1, d - 1, d, d + 1, ~uint64_t{0}, ~uint64_t{0} - 1, ~uint64_t{0} / d * d};
    for (int i = 0; i < 256; ++i) xs.push_back(rng.next_u64() >> (i % 64));
    for (const uint64_t x : xs) ASSERT_EQ(mod(x), x % d) << x << " mod " << d;
  }
}

TEST(RecordSketch, SeedFortyTwoPlanesAndTheirBuckets) {
  auto rng = Xoshiro256PlusPlus::from_seed(42);
  auto s = RecordSketch::draw(1, 4, 2, 0, rng);
  ASSERT_EQ(s.numeric_planes.dim, (std::array<uint64_t, 3>{1, 2, 2}));
  EXPECT_EQ(s.numeric_planes.data,
            (std::vector<double>{0.8343975468437959, -0.514962928147295, 1.40772757311975,
                                 0.46445486122523566}));
  EXPECT_EQ(s.categorical_coeffs.dim, (std::array<uint64_t, 2>{1, 0}));
  const std::vector<int64_t> none;
  struct Case {
    std::vector<double> x;
    uint64_t bucket;
  };
  const Case cases[] = {{{1.0, 0.0}, 3}, {{0.0, 1.0}, 2}, {{-1.0, 0.0}, 0}, {{0.0, 0.0}, 0}};
  for (const auto& c : cases) EXPECT_EQ(s.bucket(0, c.x, none), c.bucket) << c.x[0] << "," << c.x[1];
}

TEST(RecordSketch, ZeroNumericRecordHasNoSignBits) {
  auto rng = Xoshiro256PlusPlus::from_seed(5);
  auto numeric_only = RecordSketch::draw(4, 1 << 20, 6, 0, rng);
  const std::vector<double> zeros(6, 0.0);
  for (uint64_t r = 0; r < 4; ++r) EXPECT_EQ(numeric_only.bucket(r, zeros, {}), 0u);
  // With categorical fields the bucket is the categorical part alone.
  auto mixed = RecordSketch::draw(3, 1000, 6, 2, rng);
  auto categorical_only = mixed;
  categorical_only.numeric_dim = 0;
  const std::vector<int64_t> c = {17, -4};
  for (uint64_t r = 0; r < 3; ++r) EXPECT_EQ(mixed.bucket(r, zeros, c), categorical_only.bucket(r, {}, c));
}

TEST(RecordSketch, CategoricalPartSumsKeyedHashesWithoutOverflow) {
  RecordSketch s;
  s.num_rows = 2;
  s.num_buckets = UINT64_MAX;  // sums of two hashes exceed 64 bits
  s.numeric_dim = 0;
  s.categorical_dim = 3;
  s.categorical_coeffs.dim = {2, 3};
  s.categorical_coeffs.data = {5, -1, 9, 1, 2, 3};
  const std::vector<int64_t> c = {INT64_MIN, 0, INT64_MAX};
  for (uint64_t r = 0; r < 2; ++r) {
    unsigned __int128 sum = 0;
    for (size_t j = 0; j < 3; ++j) {
      SeededHasher h(static_cast<uint64_t>(s.categorical_coeffs.data[r * 3 + j]), r, 0, 0);
      h.add_i64(c[j]);
      sum = (sum + h.finish()) % UINT64_MAX;
    }
    EXPECT_EQ(s.bucket(r, {}, c), static_cast<uint64_t>(sum)) << r;
  }
}

TEST(RecordSketch, TwoBucketsGiveOnesAsAllButTheLastCoefficient) {
  auto rng = Xoshiro256PlusPlus::from_seed(99);
  auto s = RecordSketch::draw(5, 2, 3, 4, rng);
  EXPECT_EQ(s.numeric_planes.dim[1], 1u);
  for (uint64_t r = 0; r < 5; ++r) {
    for (uint64_t j = 0; j < 3; ++j) EXPECT_EQ(s.categorical_coeffs.data[r * 4 + j], 1);
    const int64_t last = s.categorical_coeffs.data[r * 4 + 3];
    EXPECT_TRUE(last == 0 || last == 1);
  }
  auto cat = CategoricalSketch::draw(5, 2, rng);
  for (int64_t a : cat.hash_a.data) EXPECT_EQ(a, 1);
  for (int64_t b : cat.hash_b.data) EXPECT_TRUE(b == 0 || b == 1);
  for (int64_t v = -50; v < 50; ++v) {
    EXPECT_LT(cat.bucket(v % 5 < 0 ? 0 : static_cast<uint64_t>(v % 5), v), 2u);
    EXPECT_LT(s.bucket(0, std::vector<double>{static_cast<double>(v), 1.0, -2.0},
                       std::vector<int64_t>{v, v, -v, 3}),
              2u);
  }
}

TEST(CategoricalSketch, BucketIsTheKeyedHashOfTheRowSeedsModB) {
  CategoricalSketch s;
  s.num_rows = 3;
  s.num_buckets = 1000;
  s.hash_a.dim = {3};
  s.hash_a.data = {17, 999, -5};  // a restored state may hold any signed key
  s.hash_b.dim = {3};
  s.hash_b.data = {0, 421, INT64_MIN};
  s.count.dim = {3, 1000};
  s.count.data.assign(3000, 0.0);
  for (int64_t value : {int64_t{0}, int64_t{1}, int64_t{-1}, INT64_MIN, INT64_MAX, int64_t{123456789}}) {
    for (uint64_t r = 0; r < 3; ++r) {
      // hash_a is the first key word and hash_b the second; the other two never matter.
      SeededHasher h(static_cast<uint64_t>(s.hash_a.data[r]), static_cast<uint64_t>(s.hash_b.data[r]),
                     ~uint64_t{0}, 12345);
      h.add_i64(value);
      EXPECT_EQ(s.bucket(r, value), h.finish() % 1000) << value << " row " << r;
    }
  }
}

TEST(Sketches, EstimatesAreRowMinimaAndDecayScalesEveryCount) {
  auto rng = Xoshiro256PlusPlus::from_seed(3);
  auto cat = CategoricalSketch::draw(3, 8, rng);
  for (int64_t v = 0; v < 40; ++v) cat.add(v);
  for (int64_t v = 0; v < 40; ++v) {
    double expected = std::numeric_limits<double>::infinity();
    for (uint64_t r = 0; r < 3; ++r) expected = std::min(expected, cat.count.data[r * 8 + cat.bucket(r, v)]);
    EXPECT_EQ(cat.estimate(v), expected);
    EXPECT_GE(cat.estimate(v), 1.0);
  }
  double sum = 0;
  for (double c : cat.count.data) sum += c;
  EXPECT_EQ(sum, 120.0);  // one per row per value
  cat.decay(0.5);
  double halved = 0;
  for (double c : cat.count.data) halved += c;
  EXPECT_EQ(halved, 60.0);

  CategoricalSketch no_rows;
  no_rows.num_buckets = 4;
  EXPECT_EQ(no_rows.estimate(1), std::numeric_limits<double>::infinity());
}

TEST(Sketches, AddAndEstimateEqualsAddThenEstimate) {
  auto rng = Xoshiro256PlusPlus::from_seed(8);
  auto record = RecordSketch::draw(4, 5, 2, 2, rng);
  auto cat = CategoricalSketch::draw(4, 5, rng);
  auto record_ref = record;
  auto cat_ref = cat;
  for (int i = 0; i < 300; ++i) {
    const std::vector<double> x = {rng.range_f64(-1, 1), static_cast<double>(rng.bounded_index(2))};
    const std::vector<int64_t> c = {static_cast<int64_t>(rng.bounded_index(7)), -3};
    record_ref.add(x, c);
    ASSERT_EQ(record.add_and_estimate(x, c), record_ref.estimate(x, c));
    cat_ref.add(c[0]);
    ASSERT_EQ(cat.add_and_estimate(c[0]), cat_ref.estimate(c[0]));
    if (i % 17 == 0) {
      record.decay(0.75);
      record_ref.decay(0.75);
      cat.decay(0.75);
      cat_ref.decay(0.75);
    }
  }
  EXPECT_EQ(record, record_ref);
  EXPECT_EQ(cat, cat_ref);
}

TEST(NumericSketch, BucketsClampToTheRange) {
  const auto s = NumericSketch::zeroed(10);
  struct Case {
    double v;
    uint64_t bucket;
  };
  const Case cases[] = {{0.0, 0},  {0.05, 0}, {0.1, 1},  {0.55, 5},           {0.99, 9},
                        {1.0, 9},  {-0.0, 0}, {1.5, 9},  {std::nan(""), 0},   {-3.0, 0}};
  for (const auto& c : cases) EXPECT_EQ(s.bucket(c.v), c.bucket) << c.v;
}

TEST(Sketches, JsonUsesTheArrayRepresentation) {
  auto rng = Xoshiro256PlusPlus::from_seed(42);
  // Seed 42 with B = 2: coefficient 0xd0764d4f4476689f mod 2, hash_a 1, hash_b 0xfbe0...8c mod 2.
  auto record = RecordSketch::draw(1, 2, 0, 1, rng);
  auto cat = CategoricalSketch::draw(1, 2, rng);
  EXPECT_EQ(json::write_state(record),
            R"({"num_rows":1,"num_buckets":2,"numeric_dim":0,"categorical_dim":1,)"
            R"("numeric_planes":{"v":1,"dim":[1,1,0],"data":[]},)"
            R"("categorical_coeffs":{"v":1,"dim":[1,1],"data":[1]},)"
            R"("count":{"v":1,"dim":[1,2],"data":[0.0,0.0]}})");
  EXPECT_EQ(json::write_state(cat),
            R"({"num_rows":1,"num_buckets":2,"hash_a":{"v":1,"dim":[1],"data":[1]},)"
            R"("hash_b":{"v":1,"dim":[1],"data":[0]},"count":{"v":1,"dim":[1,2],"data":[0.0,0.0]}})");
  EXPECT_EQ(json::write_state(NumericSketch::zeroed(3)),
            R"({"num_buckets":3,"count":{"v":1,"dim":[3],"data":[0.0,0.0,0.0]}})");
}

TEST(NdArray, ReaderChecksVersionKeysAndSize) {
  using A = NdArray<double, 2>;
  struct Case {
    const char* text;
    const char* error;  // prefix of the message, or nullptr when accepted
  };
  const Case cases[] = {
      {R"({"v":1,"dim":[2,1],"data":[1.0,2.0]})", nullptr},
      {R"({"data":[1.0,2.0],"dim":[1,2],"v":1})", nullptr},
      {R"([1,[2,1],[1,2]])", nullptr},
      {R"({"v":2,"dim":[2,1],"data":[1.0,2.0]})", "unknown array version: 2"},
      {R"({"v":1,"dim":[2,1],"data":[1.0]})", "data and dimension must match in size"},
      {R"({"v":1,"dim":[4294967296,4294967296],"data":[]})", "data and dimension must match in size"},
      {R"({"v":1,"dim":[2,1],"data":[1.0,2.0],"x":0})", "unknown field `x`"},
      {R"({"v":1,"dim":[2],"data":[]})", "invalid length 1"},
      {R"({"v":1,"data":[]})", "missing field `dim`"},
      {R"({"v":1,"v":1,"dim":[0,0],"data":[]})", "duplicate field `v`"},
      {R"({"v":1,"dim":[1,1],"data":[null]})", "invalid type: null"},
  };
  for (const auto& c : cases) {
    const auto r = json::parse_state<A>(c.text, "");
    if (c.error == nullptr) {
      ASSERT_TRUE(r.has_value()) << c.text << ": " << r.error().message;
      EXPECT_EQ(r->data.size(), r->dim[0] * r->dim[1]);
    } else {
      ASSERT_FALSE(r.has_value()) << c.text;
      EXPECT_EQ(r.error().message.rfind(c.error, 0), 0u) << c.text << ": " << r.error().message;
    }
  }
  const auto zero_dim = json::parse_state<NdArray<double, 3>>(
      R"({"v":1,"dim":[18446744073709551615,18446744073709551615,0],"data":[]})", "");
  ASSERT_TRUE(zero_dim.has_value());
}

}  // namespace
}  // namespace quillon::mstream
