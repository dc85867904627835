#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "json_codec.hpp"
#include "mstream/normalization.hpp"
#include "rng.hpp"

namespace quillon::mstream {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(StreamClock, TicksAndGapsFollowTimestampDifferences) {
  struct Step {
    uint64_t timestamp;
    uint64_t gap;
    uint64_t tick;
  };
  const std::vector<std::vector<Step>> streams = {
      {{100, 0, 1}, {100, 0, 1}, {103, 3, 4}},
      {{1, 0, 1}, {1, 0, 1}, {2, 1, 2}, {10, 8, 10}},
      {{UINT64_MAX - 1, 0, 1}, {UINT64_MAX, 1, 2}},
  };
  for (const auto& stream : streams) {
    StreamClock clock;
    for (const auto& s : stream) {
      const auto step = clock.advance(s.timestamp);
      ASSERT_TRUE(step.has_value()) << s.timestamp;
      EXPECT_EQ(step->gap, s.gap) << s.timestamp;
      EXPECT_EQ(step->tick, s.tick) << s.timestamp;
      clock.commit(s.timestamp, step->tick);
      EXPECT_EQ(clock.current_time, s.timestamp);
      EXPECT_EQ(clock.current_tick, s.tick);
    }
  }
}

TEST(StreamClock, RefusesZeroAndDecreasingTimestamps) {
  StreamClock fresh;
  const auto zero = fresh.advance(0);
  ASSERT_FALSE(zero.has_value());
  EXPECT_EQ(zero.error().kind, DetectorError::Kind::InvalidArgument);
  EXPECT_EQ(zero.error().message, "timestamp must be > 0");

  StreamClock clock;
  clock.commit(7, 1);
  const auto back = clock.advance(5);
  ASSERT_FALSE(back.has_value());
  EXPECT_EQ(back.error().message, "timestamps must be non-decreasing: previous=7, got=5");
  // Zero is checked first even when it is also a step back.
  EXPECT_EQ(clock.advance(0).error().message, "timestamp must be > 0");
  EXPECT_EQ(clock.current_time, 7u);
  EXPECT_EQ(clock.current_tick, 1u);
}

TEST(NumericRangeNormalizer, FirstRecordSetsBoundsAndNormalisesToZero) {
  auto n = NumericRangeNormalizer::with_dim(3);
  EXPECT_EQ(n.min_numeric, std::vector<double>(3, kInf));
  EXPECT_EQ(n.max_numeric, std::vector<double>(3, -kInf));
  const std::vector<double> x = {-5.0, 0.0, 1e300};
  const auto preview = n.normalize(x, 0);
  const auto v = n.normalize_and_update(x, 0);
  ASSERT_TRUE(v.has_value());
  EXPECT_EQ(*v, std::vector<double>(3, 0.0));
  EXPECT_EQ(*preview, *v);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(n.min_numeric[i], std::asinh(x[i]));
    EXPECT_EQ(n.max_numeric[i], std::asinh(x[i]));
  }
}

TEST(NumericRangeNormalizer, BoundsWidenBeforeScaling) {
  NumericRangeNormalizer n;
  n.min_numeric = {0.0};
  n.max_numeric = {std::asinh(10.0)};
  struct Case {
    double x;
    double expected;
  };
  const Case cases[] = {{10.0, 1.0}, {0.0, 0.0}, {-0.0, 0.0}, {std::sinh(std::asinh(10.0) / 2), 0.5}};
  for (const auto& c : cases) {
    EXPECT_DOUBLE_EQ(n.preview_field(0, c.x, false), c.expected) << c.x;
  }
  // Above the upper bound: the bound widens first, so the value sits at the top again.
  EXPECT_EQ(n.preview_field(0, 50.0, false), 1.0);
  EXPECT_EQ(n.update_field(0, 50.0, false), 1.0);
  EXPECT_EQ(n.max_numeric[0], std::asinh(50.0));
  EXPECT_EQ(n.min_numeric[0], 0.0);
}

TEST(NumericRangeNormalizer, ConstantFieldStaysAtZero) {
  auto n = NumericRangeNormalizer::with_dim(2);
  for (uint64_t seen = 0; seen < 5; ++seen) {
    const std::vector<double> x = {3.25, static_cast<double>(seen)};
    const auto v = n.normalize_and_update(x, seen);
    ASSERT_TRUE(v.has_value());
    EXPECT_EQ((*v)[0], 0.0);
  }
}

TEST(NumericRangeNormalizer, NonFiniteValuesLeaveBoundsUntouched) {
  auto n = NumericRangeNormalizer::with_dim(3);
  ASSERT_TRUE(n.normalize_and_update(std::vector<double>{1.0, 2.0, 3.0}, 0).has_value());
  const auto before = n;
  const double bad[] = {std::nan(""), kInf, -kInf};
  for (double b : bad) {
    // The bad value is last, so a field-by-field update would already have moved field 0.
    const std::vector<double> x = {100.0, -100.0, b};
    const auto r = n.normalize_and_update(x, 1);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().message, "numeric values must be finite");
    EXPECT_FALSE(n.normalize(x, 1).has_value());
    EXPECT_EQ(n, before);
  }
}

TEST(NumericRangeNormalizer, PreviewEqualsUpdateOnRandomStreams) {
  auto rng = Xoshiro256PlusPlus::from_seed(11);
  for (int stream = 0; stream < 20; ++stream) {
    auto n = NumericRangeNormalizer::with_dim(4);
    for (uint64_t seen = 0; seen < 200; ++seen) {
      std::vector<double> x(4);
      for (double& v : x) {
        // Mix of small, huge and repeated values.
        const uint64_t kind = rng.bounded_index(4);
        v = kind == 0 ? 1.0 : kind == 1 ? rng.range_f64(-1e6, 1e6) : rng.range_f64(-3, 3);
      }
      const auto preview = n.normalize(x, seen);
      const auto before = n;
      const auto updated = n.normalize_and_update(x, seen);
      ASSERT_TRUE(preview.has_value() && updated.has_value());
      EXPECT_EQ(*preview, *updated);
      for (double v : *updated) {
        EXPECT_GE(v, 0.0);
        EXPECT_LE(v, 1.0);
      }
      EXPECT_EQ(*before.normalize(x, seen), *preview);
    }
  }
}

TEST(NumericRangeNormalizer, JsonWritesInfiniteBoundsAsNullAndReadsThemBack) {
  auto fresh = NumericRangeNormalizer::with_dim(2);
  const std::string text = json::write_state(fresh);
  EXPECT_EQ(text, R"({"min_numeric":[null,null],"max_numeric":[null,null]})");
  const auto back = json::parse_state<NumericRangeNormalizer>(text, "x: ");
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(*back, fresh);

  NumericRangeNormalizer used;
  used.min_numeric = {-1.5, 0.0};
  used.max_numeric = {2.0, 1e-300};
  const auto used_back =
      json::parse_state<NumericRangeNormalizer>(json::write_state(used), "x: ");
  ASSERT_TRUE(used_back.has_value());
  EXPECT_EQ(*used_back, used);

  // Array form of the record and refusal of other types.
  const auto arrays = json::parse_state<NumericRangeNormalizer>("[[1.0],[null]]", "x: ");
  ASSERT_TRUE(arrays.has_value());
  EXPECT_EQ(arrays->max_numeric[0], -kInf);
  const auto wrong = json::parse_state<NumericRangeNormalizer>(
      R"({"min_numeric":["a"],"max_numeric":[]})", "x: ");
  ASSERT_FALSE(wrong.has_value());
  EXPECT_EQ(wrong.error().message.rfind("x: invalid type: string \"a\"", 0), 0u)
      << wrong.error().message;
}

}  // namespace
}  // namespace quillon::mstream
