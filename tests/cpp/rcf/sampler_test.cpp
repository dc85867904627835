// Sampler decisions, draw counts and heap rules.
#include "rcf/sampler.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace quillon::rcf {
namespace {

int draws_between(Xoshiro256PlusPlus before, const Xoshiro256PlusPlus& after) {
  for (int n = 0; n < 10; ++n) {
    if (before == after) return n;
    before.next_u64();
  }
  return -1;
}

double expected_weight(Xoshiro256PlusPlus g, uint64_t t, double lambda) {
  double u = g.unit_f64();
  u = std::fmin(std::fmax(u, 0x1.0p-52), 1.0 - 0x1.0p-52);
  return std::log(-std::log(u)) - static_cast<double>(t) * lambda;
}

TEST(Sampler, EmptySamplerAdmitsWhateverTheFraction) {
  for (double f : {0.0, 0.125, 0.5, 1.0}) {
    for (uint64_t seed = 0; seed < 50; ++seed) {
      Sampler s = Sampler::create(4);
      auto g = Xoshiro256PlusPlus::from_seed(seed);
      const auto d = s.decide(g, 1, 0.01, f);
      EXPECT_EQ(d.kind, SamplerDecision::Kind::Admit) << f << " " << seed;
    }
  }
}

TEST(Sampler, AdmissionProbabilityWhileFilling) {
  Sampler s = Sampler::create(8);
  const double expected[] = {1.0,       1.0,       6.0 / 7.0, 5.0 / 7.0,
                             4.0 / 7.0, 3.0 / 7.0, 2.0 / 7.0, 1.0 / 7.0};
  for (uint64_t size = 0; size < 8; ++size) {
    s.size = size;
    EXPECT_DOUBLE_EQ(s.admission_probability(0.125), expected[size]) << size;
  }
  s.size = 3;
  EXPECT_EQ(s.admission_probability(1.0), 1.0);
  EXPECT_EQ(s.admission_probability(0.0), 1.0 - 3.0 / 8.0);
}

TEST(Sampler, DrawsTwoWhileFillingAndOneWhenFull) {
  Sampler s = Sampler::create(3);
  auto g = Xoshiro256PlusPlus::from_seed(1);
  for (int i = 0; i < 3; ++i) {
    const auto before = g;
    const auto d = s.decide(g, static_cast<uint64_t>(i + 1), 0.0, 1.0);
    EXPECT_EQ(draws_between(before, g), 2);
    EXPECT_EQ(d.weight, expected_weight(before, static_cast<uint64_t>(i + 1), 0.0));
    s.commit(d.weight, static_cast<uint64_t>(i));
  }
  const auto before = g;
  s.decide(g, 4, 0.0, 1.0);
  EXPECT_EQ(draws_between(before, g), 1);
}

TEST(Sampler, FullSamplerEvictsOnlyStrictlyLighterNewcomers) {
  Sampler s = Sampler::create(2);
  s.commit(1.0, 10);
  s.commit(2.0, 11);
  const auto g = Xoshiro256PlusPlus::from_seed(77);
  const double w = expected_weight(g, 5, 0.1);

  s.weights[0] = w;  // equal: rejected
  auto g1 = g;
  EXPECT_EQ(s.decide(g1, 5, 0.1, 0.5).kind, SamplerDecision::Kind::Reject);

  s.weights[0] = std::nextafter(w, 1e300);  // heavier: evicted
  auto g2 = g;
  const auto d = s.decide(g2, 5, 0.1, 0.5);
  EXPECT_EQ(d.kind, SamplerDecision::Kind::AdmitEvict);
  EXPECT_EQ(d.evicted, s.point_indices[0]);
  EXPECT_EQ(d.weight, w);
}

TEST(Sampler, HeapOrderOnCommit) {
  Sampler s = Sampler::create(5);
  s.commit(1.0, 100);
  s.commit(3.0, 101);
  s.commit(2.0, 102);
  // Only the entries filled so far are held.
  EXPECT_EQ(s.weights, (std::vector<double>{3.0, 1.0, 2.0}));
  EXPECT_EQ(s.point_indices, (std::vector<uint64_t>{101, 100, 102}));

  // Equal weights: the parent stays on the way up.
  s.commit(3.0, 103);
  EXPECT_EQ(s.point_indices[0], 101u);
  EXPECT_EQ(s.point_indices[1], 103u);
  s.commit(0.5, 104);
  ASSERT_TRUE(s.is_full());

  // Full: position 0 is overwritten and sifts down; the left child wins a tie with the right.
  // Heap is now [3(101), 3(103), 2(102), 1(100), 0.5(104)].
  s.commit(0.0, 105);
  EXPECT_EQ(s.weights, (std::vector<double>{3.0, 1.0, 2.0, 0.0, 0.5}));
  EXPECT_EQ(s.point_indices, (std::vector<uint64_t>{103, 100, 102, 105, 104}));

  Sampler tie = Sampler::create(3);
  tie.commit(5.0, 1);
  tie.commit(2.0, 2);
  tie.commit(2.0, 3);
  tie.commit(1.0, 4);
  EXPECT_EQ(tie.point_indices, (std::vector<uint64_t>{2, 4, 3}));
}

TEST(Sampler, DecideDoesNotChangeTheSampler) {
  Sampler s = Sampler::create(4);
  s.commit(1.0, 1);
  const Sampler before = s;
  auto g = Xoshiro256PlusPlus::from_seed(3);
  s.decide(g, 2, 0.1, 0.125);
  EXPECT_EQ(s.weights, before.weights);
  EXPECT_EQ(s.point_indices, before.point_indices);
  EXPECT_EQ(s.size, before.size);
}

}  // namespace
}  // namespace quillon::rcf
