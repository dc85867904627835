#include "featuresketch/detector.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "json_codec.hpp"

namespace quillon::fsketch {
namespace {

using Pairs = std::vector<FeaturePair>;
constexpr double kFreshScore = 27.631021115928547;
constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();

FeatureSketchConfig small_config() {
  FeatureSketchConfig c;
  c.value_projection_dims = 6;
  c.presence_projection_dims = 5;
  c.chains_per_ensemble = 4;
  c.chain_depth = 5;
  c.sketch_rows = 2;
  c.sketch_buckets = 37;
  c.decay_half_life = 16;
  return c;
}

FeatureSketch make(const FeatureSketchConfig& c = small_config(), uint64_t seed = 42) {
  auto d = FeatureSketch::create(c, seed);
  EXPECT_TRUE(d.has_value()) << (d ? "" : d.error().text());
  return std::move(*d);
}

// Events drawn from a small vocabulary so that bins repeat and counts build up.
Pairs random_event(Xoshiro256PlusPlus& g) {
  static const std::vector<std::string> names = {
      "cpu",    "mem",   "", "\xc3\xa9t\xc3\xa9", "0123456789abcdef", "0123456789abcdefg",
      "net.rx", "net.tx"};
  Pairs e;
  const uint64_t n = g.bounded_index(6);
  for (uint64_t k = 0; k < n; ++k) {
    e.emplace_back(names[g.bounded_index(names.size())], g.range_f64(-3.0, 3.0));
  }
  return e;
}

std::string with_state(const FeatureSketch& d, auto&& mutate) {
  FeatureSketchState s = d.state();
  mutate(s);
  return json::write_state(s);
}

TEST(FeatureSketchConfig, FirstViolatedRuleWins) {
  struct Case {
    FeatureSketchConfig config;
    const char* message;
  };
  auto with = [](auto&& set) {
    FeatureSketchConfig c;
    set(c);
    return c;
  };
  const Case cases[] = {
      {with([](auto& c) { c.value_projection_dims = 0, c.sketch_rows = 0; }),
       "value_projection_dims must be > 0"},
      {with([](auto& c) { c.presence_projection_dims = 0, c.chains_per_ensemble = 0; }),
       "presence_projection_dims must be > 0"},
      {with([](auto& c) { c.chains_per_ensemble = 0, c.chain_depth = 0; }),
       "chains_per_ensemble must be > 0"},
      {with([](auto& c) { c.chain_depth = 0, c.sketch_rows = 0; }), "chain_depth must be > 0"},
      {with([](auto& c) { c.chain_depth = 1025, c.sketch_rows = 0; }),
       "chain_depth is too large to keep chain bin widths positive"},
      {with([](auto& c) { c.sketch_rows = 0, c.sketch_buckets = 0; }), "sketch_rows must be > 0"},
      {with([](auto& c) { c.sketch_buckets = 1, c.decay_half_life = 0; }),
       "sketch_buckets must be >= 2"},
      {with([](auto& c) { c.sketch_buckets = 0; }), "sketch_buckets must be >= 2"},
      {with([](auto& c) { c.decay_half_life = 0, c.presence_projection_dims = kMax; }),
       "decay_half_life must be > 0"},
      {with([](auto& c) { c.presence_projection_dims = kMax, c.chains_per_ensemble = kMax; }),
       "presence_projection_dims plus the feature-count signal must fit in usize"},
      {with([](auto& c) { c.chains_per_ensemble = uint64_t{1} << 60, c.chain_depth = 1024; }),
       "chains_per_ensemble * chain_depth must fit in usize"},
      {with([](auto& c) { c.sketch_rows = uint64_t{1} << 40, c.sketch_buckets = 1u << 24; }),
       "sketch_rows * sketch_buckets must fit in usize"},
      {with([](auto& c) {
         c.chains_per_ensemble = uint64_t{1} << 50, c.chain_depth = 1024, c.sketch_rows = 16;
       }),
       "total FeatureSketch sketch cells must fit in usize"},
      {with([](auto& c) {
         c.chains_per_ensemble = uint64_t{1} << 40, c.chain_depth = 1024, c.sketch_rows = 1u << 12,
         c.sketch_buckets = 2;
       }),
       "total FeatureSketch sketch cells must fit in usize"},
      // Exactly 2^63 cells is already too many.
      {with([](auto& c) {
         c.chains_per_ensemble = 1u << 20, c.chain_depth = 1024, c.sketch_rows = 1u << 10,
         c.sketch_buckets = 1u << 23;
       }),
       "total FeatureSketch sketch cells must fit in usize"},
  };
  for (const auto& c : cases) {
    const Status valid = validate_config(c.config);
    ASSERT_FALSE(valid.has_value()) << c.message;
    EXPECT_EQ(valid.error().kind, DetectorError::Kind::InvalidArgument);
    EXPECT_EQ(valid.error().message, c.message);
    auto made = FeatureSketch::create(c.config, 1);
    ASSERT_FALSE(made.has_value());
    EXPECT_EQ(made.error().message, c.message);
  }
  EXPECT_TRUE(validate_config(FeatureSketchConfig{}).has_value());
  EXPECT_TRUE(validate_config(with([](auto& c) { c.chain_depth = 1024; })).has_value());
}

TEST(FeatureSketchConfig, ConfigurationsBeyondMemoryFailCleanly) {
  // Valid by the rules, but far more than any machine holds: refused before allocating.
  FeatureSketchConfig cells;
  cells.chains_per_ensemble = 1u << 20;
  cells.chain_depth = 1024;
  cells.sketch_rows = 1;
  cells.sketch_buckets = 1u << 20;
  ASSERT_TRUE(validate_config(cells).has_value());
  EXPECT_THROW((void)FeatureSketch::create(cells, 1), std::bad_alloc);
  // The projection vectors are allocated on every call, so they count too.
  FeatureSketchConfig vectors;
  vectors.value_projection_dims = uint64_t{1} << 62;
  EXPECT_THROW((void)FeatureSketch::create(vectors, 1), std::bad_alloc);
  EXPECT_GT(memory_footprint(FeatureSketchConfig{}), 2u * 16 * 8 * 2 * 2048 * 16);
  // A stored state naming such a configuration is refused the same way.
  const FeatureSketch d = make(FeatureSketchConfig{}, 1);
  const std::string text =
      with_state(d, [](auto& s) { s.config.presence_projection_dims = uint64_t{1} << 62; });
  EXPECT_THROW((void)FeatureSketch::from_json(text), std::bad_alloc);
}

TEST(FeatureSketch, FreshDetectorScoresTheMaximumAndASeenEventZero) {
  FeatureSketch d = make(FeatureSketchConfig{}, 0);
  EXPECT_FALSE(d.is_ready());
  for (const Pairs& e : {Pairs{}, Pairs{{"a", 1.0}}, Pairs{{"b", -5.0}, {"c", 1e9}}}) {
    EXPECT_EQ(d.score(e).value(), kFreshScore);
  }
  const Pairs e = {{"a", 1.0}, {"b", 2.0}};
  ASSERT_TRUE(d.update(e).has_value());
  EXPECT_EQ(d.score(e).value(), 0.0);
  EXPECT_EQ(d.entries_seen(), 1u);
  EXPECT_TRUE(d.is_ready());
  (void)d.score(Pairs{{"z", 3.0}});
  EXPECT_EQ(d.entries_seen(), 1u);
  EXPECT_EQ(d.state().current_epoch, 1u);
}

TEST(FeatureSketch, PairsAreSummedAndNameOrderIsIrrelevant) {
  FeatureSketch a = make();
  FeatureSketch b = make();
  FeatureSketch c = make();
  ASSERT_TRUE(a.update(Pairs{{"a", 1.0}, {"b", -2.0}}).has_value());
  ASSERT_TRUE(b.update(Pairs{{"a", 0.25}, {"b", -2.0}, {"a", 0.75}}).has_value());
  ASSERT_TRUE(c.update(Pairs{{"b", -2.0}, {"a", 1.0}}).has_value());
  EXPECT_EQ(a.to_json(), b.to_json());
  EXPECT_EQ(a.to_json(), c.to_json());
  const Pairs probe = {{"a", 3.0}};
  EXPECT_EQ(a.score(probe).value(), b.score(Pairs{{"a", 1.0}, {"a", 2.0}}).value());
}

TEST(FeatureSketch, EveryKindOfNameIsItsOwnFeature) {
  const std::vector<std::string> names = {"",
                                          "a",
                                          "A",
                                          "\xc3\xa9t\xc3\xa9",
                                          "\xf0\x9f\x99\x82",
                                          "0123456789abcdef",
                                          "0123456789abcdefg"};
  for (const auto& name : names) {
    FeatureSketch d = make(FeatureSketchConfig{}, 5);
    ASSERT_TRUE(d.update(Pairs{{name, 1.0}}).has_value());
    EXPECT_EQ(d.score(Pairs{{name, 1.0}}).value(), 0.0) << name;
    for (const auto& other : names) {
      if (other == name) continue;
      EXPECT_GT(d.score(Pairs{{other, 1.0}}).value(), 0.0) << name << "/" << other;
    }
  }
}

TEST(FeatureSketch, SameSeedSameDetectorOtherSeedOtherDetector) {
  EXPECT_EQ(make(small_config(), 9).to_json(), make(small_config(), 9).to_json());
  EXPECT_NE(make(small_config(), 9).to_json(), make(small_config(), 10).to_json());
  auto entropy_a = FeatureSketch::create(small_config(), std::nullopt);
  auto entropy_b = FeatureSketch::create(small_config(), std::nullopt);
  EXPECT_NE(entropy_a->to_json(), entropy_b->to_json());
}

TEST(FeatureSketch, UpdateAndScoreEqualsScoreThenUpdateOnATwin) {
  for (uint64_t seed : {1u, 2u, 3u}) {
    FeatureSketch fused = make(small_config(), seed);
    FeatureSketch twin = make(small_config(), seed);
    auto g = Xoshiro256PlusPlus::from_seed(seed * 31);
    for (int step = 0; step < 400; ++step) {
      const Pairs e = random_event(g);
      const double expected = twin.score(e).value();
      ASSERT_TRUE(twin.update(e).has_value());
      ASSERT_EQ(fused.update_and_score(e).value(), expected) << step;
    }
    EXPECT_EQ(fused.to_json(), twin.to_json());
  }
}

TEST(FeatureSketch, RoundTripsContinueIdentically) {
  FeatureSketch d = make();
  auto g = Xoshiro256PlusPlus::from_seed(77);
  for (int step = 0; step < 100; ++step) ASSERT_TRUE(d.update(random_event(g)).has_value());
  const std::string text = d.to_json();
  FeatureSketch restored = FeatureSketch::from_json(text).value();
  EXPECT_EQ(restored.to_json(), text);
  EXPECT_EQ(restored.repr(), d.repr());
  for (int step = 0; step < 100; ++step) {
    const Pairs e = random_event(g);
    ASSERT_EQ(restored.update_and_score(e).value(), d.update_and_score(e).value());
  }
  EXPECT_EQ(restored.to_json(), d.to_json());
}

TEST(FeatureSketch, RefusedCallsLeaveTheStateUnchanged) {
  FeatureSketch d = make();
  ASSERT_TRUE(d.update(Pairs{{"a", 1.0}}).has_value());
  const std::string before = d.to_json();
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    Pairs event;
    const char* message;
  };
  const Case cases[] = {
      {{{"a", inf}}, "feature values must be finite"},
      {{{"a", 1.0}, {"b", std::nan("")}}, "feature values must be finite"},
      {{{"a", 1e308}, {"a", 1e308}}, "combined feature values must be finite"},
  };
  for (const auto& c : cases) {
    auto scored = d.score(c.event);
    ASSERT_FALSE(scored.has_value());
    EXPECT_EQ(scored.error().message, c.message);
    auto updated = d.update(c.event);
    ASSERT_FALSE(updated.has_value());
    EXPECT_EQ(updated.error().message, c.message);
    auto both = d.update_and_score(c.event);
    ASSERT_FALSE(both.has_value());
    EXPECT_EQ(both.error().kind, DetectorError::Kind::InvalidArgument);
    EXPECT_EQ(both.error().message, c.message);
    EXPECT_EQ(d.to_json(), before);
  }
}

TEST(FeatureSketch, ClockOverflowIsCheckedBeforeAnyChange) {
  const FeatureSketch base = make();
  struct Case {
    uint64_t epoch, seen;
    const char* text;
  };
  const Case cases[] = {
      {kMax, kMax, "overflow: FeatureSketch epoch overflow"},
      {kMax, 0, "overflow: FeatureSketch epoch overflow"},
      {5, kMax, "overflow: FeatureSketch entries_seen overflow"},
  };
  for (const auto& c : cases) {
    FeatureSketch d = FeatureSketch::from_json(with_state(base, [&](auto& s) {
                        s.current_epoch = c.epoch;
                        s.entries_seen = c.seen;
                      })).value();
    const std::string before = d.to_json();
    const Status updated = d.update(Pairs{{"a", 1.0}});
    const Result<double> both = d.update_and_score(Pairs{{"a", 1.0}});
    ASSERT_FALSE(updated.has_value());
    ASSERT_FALSE(both.has_value());
    for (const DetectorError& e : {updated.error(), both.error()}) {
      EXPECT_EQ(e.kind, DetectorError::Kind::Overflow);
      EXPECT_EQ(e.text(), c.text);
    }
    EXPECT_EQ(d.to_json(), before);
    EXPECT_TRUE(d.score(Pairs{{"a", 1.0}}).has_value());
    // A value error is found first: projection precedes the clock checks.
    EXPECT_EQ(d.update(Pairs{{"a", std::nan("")}}).error().kind,
              DetectorError::Kind::InvalidArgument);
  }
  // One step before the limit still works and reaches it.
  FeatureSketch d = FeatureSketch::from_json(with_state(base, [](auto& s) {
                      s.current_epoch = kMax - 1;
                      s.entries_seen = kMax - 1;
                    })).value();
  ASSERT_TRUE(d.update(Pairs{{"a", 1.0}}).has_value());
  EXPECT_EQ(d.entries_seen(), kMax);
}

TEST(FeatureSketch, HalfLifeHalvesOldCounts) {
  FeatureSketchConfig c = small_config();
  c.decay_half_life = 10;
  FeatureSketch d = make(c);
  ASSERT_TRUE(d.update(Pairs{{"old", 1.0}}).has_value());
  for (int k = 0; k < 10; ++k) ASSERT_TRUE(d.update(Pairs{{"new", 1.0}}).has_value());
  // Every reference mass was rewritten at epoch 11; the cells only "old" touched still carry
  // epoch 1 and are worth half their value ten events later.
  const FeatureSketchState& s = d.state();
  EXPECT_EQ(s.current_epoch, 11u);
  size_t stale = 0;
  for (const DecayedValue& cell : s.value_sketch.cells) {
    if (cell.epoch == 1) {
      ++stale;
      EXPECT_EQ(cell.value, 1.0);
      EXPECT_EQ(decayed(cell, s.current_epoch, c.decay_half_life), 0.5);
    }
  }
  EXPECT_GT(stale, 0u);
}

TEST(FeatureSketch, Repr) {
  EXPECT_EQ(make(FeatureSketchConfig{}, 3).repr(),
            "FeatureSketch(value_projection_dims=32, presence_projection_dims=32, "
            "chains_per_ensemble=16, chain_depth=8, sketch_rows=2, sketch_buckets=2048, "
            "decay_half_life=2048, entries_seen=0)");
  FeatureSketch d = make();
  ASSERT_TRUE(d.update(Pairs{}).has_value());
  EXPECT_EQ(d.repr(),
            "FeatureSketch(value_projection_dims=6, presence_projection_dims=5, "
            "chains_per_ensemble=4, chain_depth=5, sketch_rows=2, sketch_buckets=37, "
            "decay_half_life=16, entries_seen=1)");
}

TEST(FeatureSketchJson, LayoutOfTheText) {
  const std::string text = make().to_json();
  EXPECT_EQ(text.rfind("{\"format_version\":1,\"config\":{\"value_projection_dims\":6,"
                       "\"presence_projection_dims\":5,\"chains_per_ensemble\":4,"
                       "\"chain_depth\":5,\"sketch_rows\":2,\"sketch_buckets\":37,"
                       "\"decay_half_life\":16},\"projection_seeds\":{\"value\":[",
                       0),
            0u);
  EXPECT_NE(text.find("],\"chain_depth\":5},\"presence_layout\":{\"levels\":[{\"dimension\":"),
            std::string::npos);
  EXPECT_NE(text.find("\"value_sketch\":{\"levels\":[{\"rows\":2,\"buckets\":37,"
                      "\"row_hash_seeds\":{\"seeds\":[["),
            std::string::npos);
  EXPECT_NE(text.find("\"cells\":[{\"value\":0.0,\"epoch\":0},"), std::string::npos);
  EXPECT_TRUE(text.ends_with("]},\"current_epoch\":0,\"entries_seen\":0}"));
}

TEST(FeatureSketchJson, ReadingChecksVersionConfigAndStructure) {
  const FeatureSketch d = make();
  const std::string text = d.to_json();
  auto replaced = [&](std::string_view from, std::string_view to) {
    std::string t = text;
    const size_t at = t.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return t.replace(at, from.size(), to);
  };
  const size_t config_at = text.find("\"config\":");
  std::string no_config = text;
  no_config.erase(config_at, text.find('}', config_at) + 2 - config_at);

  struct Case {
    std::string text;
    std::string message;  // exact, or a prefix when it ends with '*'
  };
  const Case cases[] = {
      {replaced("\"format_version\":1", "\"format_version\":2"),
       "invalid FeatureSketch JSON: unsupported format version"},
      {replaced("\"sketch_rows\":2", "\"sketch_rows\":0"), "sketch_rows must be > 0"},
      {replaced("\"chain_depth\":5,\"sketch_rows\"", "\"chain_depth\":1025,\"sketch_rows\""),
       "chain_depth is too large to keep chain bin widths positive"},
      // The version is checked before the configuration.
      {replaced("\"format_version\":1,\"config\":{\"value_projection_dims\":6",
                "\"format_version\":7,\"config\":{\"value_projection_dims\":0"),
       "invalid FeatureSketch JSON: unsupported format version"},
      {replaced("\"format_version\":1", "\"format_version\":4294967296"),
       "invalid FeatureSketch JSON: invalid value: *"},
      {no_config, "invalid FeatureSketch JSON: missing field `config`*"},
      {"", "invalid FeatureSketch JSON: EOF while parsing a value at line 1 column 0"},
      {replaced("\"value\":[", "\"value\":[1,"), "invalid FeatureSketch JSON: invalid length *"},
      {replaced("{\"format_version\":1,", "{\"format_version\":1,\"format_version\":1,"),
       "invalid FeatureSketch JSON: duplicate field `format_version`*"},
  };
  for (const auto& c : cases) {
    auto got = FeatureSketch::from_json(c.text);
    ASSERT_FALSE(got.has_value()) << c.message;
    EXPECT_EQ(got.error().kind, DetectorError::Kind::InvalidArgument);
    if (c.message.ends_with('*')) {
      EXPECT_TRUE(got.error().message.starts_with(c.message.substr(0, c.message.size() - 1)))
          << got.error().message;
    } else {
      EXPECT_EQ(got.error().message, c.message);
    }
  }
  // Unknown fields anywhere are skipped.
  const std::string extra =
      replaced("{\"format_version\":1,", "{\"note\":[1,{\"x\":null}],\"format_version\":1,");
  EXPECT_EQ(FeatureSketch::from_json(extra).value().to_json(), text);
  const std::string extra_inner =
      replaced("{\"value\":0.0,\"epoch\":0}", "{\"value\":0.0,\"epoch\":0,\"x\":1}");
  EXPECT_EQ(FeatureSketch::from_json(extra_inner).value().to_json(), text);
}

TEST(FeatureSketchJson, StatesThatDisagreeWithTheirConfigurationAreRefused) {
  const FeatureSketch d = make();
  using S = FeatureSketchState;
  struct Case {
    void (*mutate)(S&);
    const char* message;
  };
  const Case cases[] = {
      {[](S& s) { s.value_layout.levels.pop_back(); }, "value_layout has 19 levels, expected 20"},
      {[](S& s) { s.presence_layout.chain_depth = 4; },
       "presence_layout chain_depth is 4, expected 5"},
      {[](S& s) { s.value_layout.levels[3].dimension = 6; },
       "value_layout level 3 has dimension 6, expected below 6"},
      {[](S& s) { s.presence_layout.levels[19].dimension = 6; },
       "presence_layout level 19 has dimension 6, expected below 6"},
      {[](S& s) { s.value_layout.levels[0].width = 0.0; },
       "value_layout level 0 width must be positive and finite"},
      {[](S& s) { s.presence_layout.levels[2].width = -1.0; },
       "presence_layout level 2 width must be positive and finite"},
      {[](S& s) { s.value_layout.levels[2].width = -0.0; },
       "value_layout level 2 width must be positive and finite"},
      {[](S& s) { s.value_sketch.levels.pop_back(); }, "value_sketch has 19 levels, expected 20"},
      {[](S& s) { s.presence_sketch.reference_masses.emplace_back(); },
       "presence_sketch has 21 reference masses, expected 20"},
      {[](S& s) { s.value_sketch.levels[7].rows = 3; },
       "value_sketch level 7 has 3 rows, expected 2"},
      {[](S& s) { s.value_sketch.levels[7].buckets = 0; },
       "value_sketch level 7 has 0 buckets, expected 37"},
      {[](S& s) { s.presence_sketch.levels[1].row_hash_seeds.seeds.pop_back(); },
       "presence_sketch level 1 has 1 row hash seeds, expected 2"},
      {[](S& s) { s.presence_sketch.levels[0].cell_count -= 1; },
       "presence_sketch level 0 has 73 cells, expected 74"},
  };
  for (const auto& c : cases) {
    auto got = FeatureSketch::from_json(with_state(d, c.mutate));
    ASSERT_FALSE(got.has_value()) << c.message;
    EXPECT_EQ(got.error().kind, DetectorError::Kind::InvalidArgument);
    EXPECT_EQ(got.error().message, std::string("invalid FeatureSketch JSON: ") + c.message);
  }
  // Counters are taken as stored, even ones ahead of the clock.
  auto ahead = FeatureSketch::from_json(with_state(d, [](S& s) {
    s.value_sketch.reference_masses[0] = {5.0, 1000};
  }));
  ASSERT_TRUE(ahead.has_value());
  EXPECT_TRUE(ahead->update_and_score(Pairs{{"a", 1.0}}).has_value());
}

}  // namespace
}  // namespace quillon::fsketch
