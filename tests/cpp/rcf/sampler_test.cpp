// Sampler decisions, draw counts and heap rules.
#include "rcf/sampler.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
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

// A full sampler's decision by the plain formula, on a copy of the generator.
SamplerDecision plain_full_decision(const Sampler& s, Xoshiro256PlusPlus& g, uint64_t t,
                                    double lambda) {
  SamplerDecision d;
  d.weight = expected_weight(g, t, lambda);
  g.next_u64();
  if (d.weight < s.weights[0]) {
    d.kind = SamplerDecision::Kind::AdmitEvict;
    d.evicted = s.point_indices[0];
  }
  return d;
}

TEST(Sampler, FullDecisionsMatchThePlainFormula) {
  // Runs of decisions on full samplers, the largest weight placed around the weights the draws
  // give (and at extremes), rising and falling between decisions, t stepping and jumping; every
  // decision, admitted weight and draw count must match the formula evaluated afresh.
  constexpr double kInf = std::numeric_limits<double>::infinity();
  constexpr double kMax = std::numeric_limits<double>::max();
  const double lambdas[] = {0.0,  -0.0, 0.1 / 256, 1e-3, 1.0,  1e-310, 1e-20,
                            1e10, 1e300, kMax,     kInf, std::nan("")};
  const double odd_tops[] = {0.0,  -0.0, kInf,    -kInf, std::nan(""), kMax,
                             -kMax, 1e300, -1e300, 5e-324, -5e-324};
  const uint64_t starts[] = {0, 1, 600, uint64_t{1} << 53, (uint64_t{1} << 53) + 1,
                             UINT64_MAX - 40, UINT64_MAX};
  auto pick = Xoshiro256PlusPlus::from_seed(2024);
  const auto below = [&](uint64_t n) { return pick.next_u64() % n; };
  int admitted = 0;
  int rejected = 0;
  for (int run = 0; run < 3000; ++run) {
    const double lambda = lambdas[below(std::size(lambdas))];
    uint64_t t = run % 3 == 0 ? starts[below(std::size(starts))] : below(1u << 20);
    Sampler s = Sampler::create(1 + below(4));
    for (uint64_t i = 0; i < s.capacity; ++i) s.commit(-static_cast<double>(i), 10 + i);
    auto g = Xoshiro256PlusPlus::from_seed(pick.next_u64());
    for (int step = 0; step < 60; ++step) {
      // The largest weight: near the weight of the next draw (within a few ulps or a few units),
      // or extreme; it may rise or fall from one decision to the next.
      const double next = expected_weight(g, t, lambda);
      const uint64_t how = below(8);
      double top = next;
      if (how == 0) top = odd_tops[below(std::size(odd_tops))];
      if (how == 1) top = std::nextafter(next, below(2) ? kInf : -kInf);
      if (how == 2 || how == 3) top = next + (static_cast<double>(below(4000)) - 2000.0) / 100.0;
      if (how == 4) top = next - std::ldexp(1.0, -static_cast<int>(below(60)));
      if (how <= 4) s.weights[0] = top;
      auto ref = g;
      const auto want = plain_full_decision(s, ref, t, lambda);
      const auto got = s.decide(g, t, lambda, 0.125);
      ASSERT_EQ(got.kind, want.kind) << run << " " << step << " t " << t << " lambda " << lambda
                                     << " top " << s.weights[0] << " weight " << want.weight;
      ASSERT_TRUE(g == ref) << "draws differ at " << run << " " << step;
      if (got.kind == SamplerDecision::Kind::Reject) {
        ++rejected;
      } else {
        ++admitted;
        ASSERT_EQ(std::bit_cast<uint64_t>(got.weight), std::bit_cast<uint64_t>(want.weight));
        ASSERT_EQ(got.evicted, want.evicted);
        if (below(2)) s.commit(got.weight, 100 + static_cast<uint64_t>(step));
      }
      const uint64_t jump = below(10) == 0 ? pick.next_u64() >> below(64) : below(3);
      t = t > UINT64_MAX - jump ? UINT64_MAX : t + jump;
    }
  }
  // Both outcomes are exercised.
  EXPECT_GT(admitted, 10000);
  EXPECT_GT(rejected, 10000);
}

}  // namespace
}  // namespace quillon::rcf
