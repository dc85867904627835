// random_cut, box widening and the enclosure test against plain one-dimension-at-a-time versions
// of the same rules, bit for bit, over widths with and without a remainder of four, past the span
// buffer, and bounds that are NaN, infinite or signed zeros.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "rcf/bounding_box.hpp"
#include "rcf/cut.hpp"
#include "rcf/lanes4.hpp"
#include "rng.hpp"

namespace quillon::rcf {
namespace {

float plain_next_below(float v) {
  if (std::isnan(v) || v == -std::numeric_limits<float>::infinity()) return v;
  return std::nextafter(v, -std::numeric_limits<float>::infinity());
}

std::optional<Cut> plain_cut(double u, const std::vector<float>& mn, const std::vector<float>& mx,
                             const std::vector<float>& p) {
  std::vector<double> spans;
  double total = 0.0;
  for (size_t i = 0; i < p.size(); ++i) {
    spans.push_back(static_cast<double>(bound_max(mx[i], p[i]) - bound_min(mn[i], p[i])));
    total += spans.back();
  }
  if (total == 0.0) return std::nullopt;
  double r = u * total;
  std::optional<uint64_t> chosen;
  uint64_t last_positive = 0;
  double last_positive_span = 0.0;
  for (size_t i = 0; i < p.size(); ++i) {
    if (r < spans[i]) {
      chosen = i;
      break;
    }
    if (spans[i] > 0.0) {
      last_positive = i;
      last_positive_span = spans[i];
    }
    r -= spans[i];
  }
  if (!chosen) {
    chosen = last_positive;
    r = last_positive_span;
  }
  const uint64_t d = *chosen;
  const float hi = bound_max(mx[d], p[d]);
  const float lo = bound_min(mn[d], p[d]);
  const float upper = bound_max(plain_next_below(hi), lo);
  float value = lo + static_cast<float>(r);
  if (value < lo) value = lo;
  if (value > upper) value = upper;
  return Cut{d, value};
}

TEST(RandomCutReference, MatchesPlainVersion) {
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float specials[] = {0.0f, -0.0f, inf, -inf, nan, 1.0f, -1.0f, 3.0e38f};
  auto rng = Xoshiro256PlusPlus::from_seed(7);
  for (const size_t dims : {1u, 3u, 4u, 5u, 8u, 11u, 16u, 63u, 64u, 65u, 70u}) {
    for (int trial = 0; trial < 300; ++trial) {
      std::vector<float> mn(dims), mx(dims), p(dims);
      const bool special = trial % 3 == 0;
      for (size_t i = 0; i < dims; ++i) {
        const auto pick = [&]() {
          if (special && rng.unit_f64() < 0.3) return specials[rng.bounded_index(8)];
          return static_cast<float>(rng.range_f64(-2.0, 2.0));
        };
        const float a = pick();
        const float b = pick();
        mn[i] = a < b ? a : b;
        mx[i] = a < b ? b : a;
        p[i] = trial % 5 == 1 ? mn[i] : pick();
      }
      const double u = rng.unit_f64();
      const auto got = random_cut(u, mn, mx, p);
      const auto want = plain_cut(u, mn, mx, p);
      ASSERT_EQ(got.has_value(), want.has_value()) << dims << " " << trial;
      if (!got) continue;
      EXPECT_EQ(got->dim, want->dim) << dims << " " << trial;
      EXPECT_EQ(std::bit_cast<uint32_t>(got->value), std::bit_cast<uint32_t>(want->value))
          << dims << " " << trial;
    }
  }
}

}  // namespace
}  // namespace quillon::rcf

namespace quillon::rcf {
namespace {

// Widening a box by a point or another box, against the per-coordinate bound rules.
TEST(WidenReference, MatchesPlainVersion) {
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float specials[] = {0.0f, -0.0f, inf, -inf, nan, 1.0f, -1.0f, 3.0e38f};
  auto rng = Xoshiro256PlusPlus::from_seed(11);
  const auto pick = [&](bool special) {
    if (special && rng.unit_f64() < 0.3) return specials[rng.bounded_index(8)];
    return static_cast<float>(rng.range_f64(-2.0, 2.0));
  };
  for (const size_t dims : {1u, 3u, 4u, 5u, 8u, 13u, 16u, 70u}) {
    for (int trial = 0; trial < 200; ++trial) {
      const bool special = trial % 2 == 0;
      std::vector<float> mn(dims), mx(dims), p(dims), omn(dims), omx(dims);
      for (size_t i = 0; i < dims; ++i) {
        mn[i] = pick(special);
        mx[i] = pick(special);
        p[i] = pick(special);
        omn[i] = pick(special);
        omx[i] = pick(special);
      }
      for (const bool by_box : {false, true}) {
        std::vector<float> want_min = mn, want_max = mx, got_min = mn, got_max = mx;
        const std::vector<float>& lo = by_box ? omn : p;
        const std::vector<float>& hi = by_box ? omx : p;
        double want = 0.0;
        for (size_t i = 0; i < dims; ++i) {
          want_min[i] = bound_min(want_min[i], lo[i]);
          want_max[i] = bound_max(want_max[i], hi[i]);
          want += static_cast<double>(want_max[i] - want_min[i]);
        }
        const double got = by_box ? extend_with_box(got_min, got_max, omn, omx)
                                  : extend_with_point(got_min, got_max, p);
        // A NaN sum (only from non-finite bounds) carries no meaningful sign or payload.
        if (std::isnan(want)) {
          EXPECT_TRUE(std::isnan(got)) << dims;
        } else {
          EXPECT_EQ(std::bit_cast<uint64_t>(got), std::bit_cast<uint64_t>(want)) << dims;
        }
        for (size_t i = 0; i < dims; ++i) {
          EXPECT_EQ(std::bit_cast<uint32_t>(got_min[i]), std::bit_cast<uint32_t>(want_min[i]));
          EXPECT_EQ(std::bit_cast<uint32_t>(got_max[i]), std::bit_cast<uint32_t>(want_max[i]));
        }
        // Enclosure of p by the box before widening (rarely) and after (unless p has a NaN).
        for (const auto* box : {&mn, &want_min}) {
          const std::vector<float>& bmin = *box;
          const std::vector<float>& bmax = box == &mn ? mx : want_max;
          bool plain = true;
          for (size_t i = 0; i < dims; ++i) plain = plain && bmin[i] <= p[i] && p[i] <= bmax[i];
          EXPECT_EQ(simd::encloses(bmin.data(), bmax.data(), p.data(), dims), plain) << dims;
        }
        // The union of two boxes into a third, as a refreshed node takes its children's.
        std::vector<float> out_min(dims, 9.0f), out_max(dims, 9.0f);
        const double joined = union_into(out_min.data(), out_max.data(), mn.data(), mx.data(),
                                         lo.data(), hi.data(), dims);
        EXPECT_EQ(std::isnan(joined), std::isnan(want)) << dims;
        if (!std::isnan(want)) {
          EXPECT_EQ(std::bit_cast<uint64_t>(joined), std::bit_cast<uint64_t>(want)) << dims;
        }
        for (size_t i = 0; i < dims; ++i) {
          EXPECT_EQ(std::bit_cast<uint32_t>(out_min[i]), std::bit_cast<uint32_t>(want_min[i]));
          EXPECT_EQ(std::bit_cast<uint32_t>(out_max[i]), std::bit_cast<uint32_t>(want_max[i]));
        }
      }
    }
  }
}

}  // namespace
}  // namespace quillon::rcf
