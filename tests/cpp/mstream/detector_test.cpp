#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <new>
#include <regex>
#include <string>
#include <vector>

#include "mstream/detector.hpp"
#include "rng.hpp"

namespace quillon::mstream {
namespace {

MStream make(uint64_t numeric_dim, uint64_t categorical_dim, uint64_t rows = 2,
             uint64_t buckets = 1024, double alpha = 0.8, uint64_t seed = 7) {
  auto d = MStream::create({numeric_dim, categorical_dim, rows, buckets, alpha}, seed);
  EXPECT_TRUE(d.has_value());
  return std::move(*d);
}

struct Record {
  std::vector<double> numeric;
  std::vector<int64_t> categorical;
  uint64_t timestamp;
};

// A stream with repeated and fresh values, repeated timestamps and occasional long gaps.
std::vector<Record> random_stream(uint64_t numeric_dim, uint64_t categorical_dim, size_t length,
                                  uint64_t seed) {
  auto rng = Xoshiro256PlusPlus::from_seed(seed);
  std::vector<Record> out;
  uint64_t ts = 1 + rng.bounded_index(1000);
  for (size_t i = 0; i < length; ++i) {
    Record r;
    for (uint64_t k = 0; k < numeric_dim; ++k) {
      const uint64_t kind = rng.bounded_index(5);
      r.numeric.push_back(kind == 0   ? 0.0
                          : kind == 1 ? static_cast<double>(rng.bounded_index(3))
                                      : rng.range_f64(-50.0, 50.0));
    }
    for (uint64_t k = 0; k < categorical_dim; ++k) {
      r.categorical.push_back(static_cast<int64_t>(rng.bounded_index(6)) - 2);
    }
    const uint64_t step = rng.bounded_index(10);
    ts += step < 5 ? 0 : step < 9 ? 1 : 1 + rng.bounded_index(40);
    r.timestamp = ts;
    out.push_back(std::move(r));
  }
  return out;
}

// The value of a call that must succeed.
template <class T>
T ok(Result<T> r) {
  EXPECT_TRUE(r.has_value()) << r.error().text();
  return r ? std::move(*r) : T{};
}

double sum_in_order(const std::vector<double>& v) {
  double s = 0.0;
  for (double x : v) s += x;
  return s;
}

std::string replace_once(std::string text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

TEST(MStreamConfig, ConstructorRulesInOrder) {
  const double nan = std::nan("");
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    MStreamConfig config;
    const char* message;  // nullptr: accepted
  };
  const Case cases[] = {
      {{0, 0, 2, 1024, 0.8}, "at least one of numeric_dim or categorical_dim must be > 0"},
      {{0, 0, 0, 1, 2.0}, "at least one of numeric_dim or categorical_dim must be > 0"},
      {{1, 0, 0, 1024, 0.8}, "num_rows must be > 0"},
      {{1, 0, 0, 1, nan}, "num_rows must be > 0"},
      {{1, 0, 2, 1, 0.8}, "num_buckets must be >= 2"},
      {{0, 1, 2, 0, nan}, "num_buckets must be >= 2"},
      {{1, 0, 2, 2, 1.0}, "alpha must be in range (0, 1)"},
      {{1, 0, 2, 2, 0.0}, "alpha must be in range (0, 1)"},
      {{1, 0, 2, 2, -0.0}, "alpha must be in range (0, 1)"},
      {{1, 0, 2, 2, -0.5}, "alpha must be in range (0, 1)"},
      {{1, 0, 2, 2, nan}, "alpha must be in range (0, 1)"},
      {{1, 0, 2, 2, inf}, "alpha must be in range (0, 1)"},
      {{1, 0, 2, 2, -inf}, "alpha must be in range (0, 1)"},
      {{1, 0, 2, 2, 5e-324}, nullptr},
      {{1, 0, 2, 2, 0.9999999999999999}, nullptr},
      {{0, 1, 1, 2, 0.5}, nullptr},
  };
  for (const auto& c : cases) {
    const auto d = MStream::create(c.config, uint64_t{1});
    if (c.message == nullptr) {
      EXPECT_TRUE(d.has_value()) << c.config.alpha;
    } else {
      ASSERT_FALSE(d.has_value());
      EXPECT_EQ(d.error().kind, DetectorError::Kind::InvalidArgument);
      EXPECT_EQ(d.error().message, c.message);
    }
  }
}

TEST(MStream, ConfigurationsBeyondPhysicalMemoryFailBeforeAllocating) {
  const MStreamConfig huge[] = {
      {uint64_t{1} << 40, 0, 2, 1024, 0.8},
      {0, uint64_t{1} << 40, 2, 1024, 0.8},
      {1, 1, uint64_t{1} << 40, 1024, 0.8},
      {1, 1, 2, UINT64_MAX, 0.8},
      {UINT64_MAX, UINT64_MAX, UINT64_MAX, UINT64_MAX, 0.5},
  };
  for (const auto& c : huge) {
    EXPECT_THROW((void)MStream::create(c, uint64_t{1}), std::bad_alloc);
  }
  // The footprint saturates instead of wrapping around to something small.
  EXPECT_GT(MStream::footprint_bytes(huge[4]), static_cast<unsigned __int128>(UINT64_MAX));
  // Defaults: 2 x (2 x 1024) record counts plus planes and keys, well under a megabyte.
  const auto small = MStream::footprint_bytes({3, 3, 2, 1024, 0.8});
  EXPECT_GT(small, 2u * 11u * 1024u * 8u);
  EXPECT_LT(small, 1u << 20);
}

TEST(MStream, DrawOrderOfKeysForSeedFortyTwo) {
  const auto d = make(0, 1, 1, 1024, 0.8, 42);
  for (const auto* s : {&d.record_counts().current, &d.record_counts().total}) {
    EXPECT_EQ(s->categorical_coeffs.dim, (std::array<uint64_t, 2>{1, 1}));
    EXPECT_EQ(s->categorical_coeffs.data, std::vector<int64_t>{159});
  }
  for (const auto* s : {&d.categorical_counts()[0].current, &d.categorical_counts()[0].total}) {
    EXPECT_EQ(s->hash_a.data, std::vector<int64_t>{342});
    EXPECT_EQ(s->hash_b.data, std::vector<int64_t>{396});
  }
  // The planes come first: seed 42 with two numeric fields and B = 4.
  const auto planes = make(2, 0, 1, 4, 0.8, 42);
  EXPECT_EQ(planes.record_counts().current.numeric_planes.data,
            (std::vector<double>{0.8343975468437959, -0.514962928147295, 1.40772757311975,
                                 0.46445486122523566}));
  EXPECT_EQ(planes.record_counts().total.numeric_planes, planes.record_counts().current.numeric_planes);
}

TEST(MStream, FreshStateTextIsExact) {
  const auto d = make(0, 1, 1, 2, 0.8, 42);
  const std::string record =
      R"({"num_rows":1,"num_buckets":2,"numeric_dim":0,"categorical_dim":1,)"
      R"("numeric_planes":{"v":1,"dim":[1,1,0],"data":[]},)"
      R"("categorical_coeffs":{"v":1,"dim":[1,1],"data":[1]},)"
      R"("count":{"v":1,"dim":[1,2],"data":[0.0,0.0]}})";
  const std::string categorical =
      R"({"num_rows":1,"num_buckets":2,"hash_a":{"v":1,"dim":[1],"data":[1]},)"
      R"("hash_b":{"v":1,"dim":[1],"data":[0]},"count":{"v":1,"dim":[1,2],"data":[0.0,0.0]}})";
  EXPECT_EQ(d.to_json(),
            R"({"config":{"numeric_dim":0,"categorical_dim":1,"num_rows":1,"num_buckets":2,"alpha":0.8},)"
            R"("clock":{"current_time":null,"current_tick":0},"entries_seen":0,)"
            R"("record_counts":{"current":)" +
                record + R"(,"total":)" + record +
                R"(},"numeric_counts":[],"categorical_counts":[{"current":)" + categorical +
                R"(,"total":)" + categorical +
                R"(}],"numeric_normalizer":{"min_numeric":[],"max_numeric":[]}})");
  EXPECT_EQ(d.repr(),
            "MStream(numeric_dim=0, categorical_dim=1, num_rows=1, num_buckets=2, alpha=0.8, "
            "entries_seen=0)");
  EXPECT_EQ(make(2, 1).repr(),
            "MStream(numeric_dim=2, categorical_dim=1, num_rows=2, num_buckets=1024, alpha=0.8, "
            "entries_seen=0)");
  EXPECT_EQ(make(1, 0, 2, 2, 0.5).repr().find("alpha=0.5,") != std::string::npos, true);
  EXPECT_NE(make(1, 0, 2, 2, 1e-7).repr().find("alpha=0.0000001,"), std::string::npos);
}

TEST(MStream, FreshDetectorScoresZeroEverywhere) {
  struct Shape {
    uint64_t numeric_dim, categorical_dim;
  };
  for (const auto& s : {Shape{2, 1}, Shape{0, 3}, Shape{4, 0}}) {
    auto d = make(s.numeric_dim, s.categorical_dim);
    const std::vector<double> x(s.numeric_dim, 3.5);
    const std::vector<int64_t> c(s.categorical_dim, -9);
    const DetailedScore zero{0.0, 0.0, std::vector<double>(s.numeric_dim, 0.0),
                             std::vector<double>(s.categorical_dim, 0.0)};
    EXPECT_EQ(d.score_detailed(x, c, 12), zero);
    EXPECT_EQ(d.score(x, c, 12), 0.0);
    EXPECT_FALSE(d.is_ready());
    EXPECT_EQ(d.entries_seen(), 0u);
    EXPECT_EQ(d.current_time(), std::nullopt);
    EXPECT_EQ(d.update_and_score_detailed(x, c, 12), zero);
    EXPECT_TRUE(d.is_ready());
    EXPECT_EQ(d.entries_seen(), 1u);
    EXPECT_EQ(d.current_time(), 12u);
    EXPECT_EQ(d.newargs(), (std::vector<uint64_t>{s.numeric_dim, s.categorical_dim}));
  }
}

TEST(MStream, SameRecordOneTickLaterScoresTheKnownTerms) {
  auto d = make(2, 1);
  const std::vector<double> x = {0.5, -3.0};
  const std::vector<int64_t> c = {7};
  ASSERT_TRUE(d.update(x, c, 1).has_value());
  const double t = 1.2800000000000002;  // a = 0.8 + 1, s = 2, t = 2
  const DetailedScore expected{(t + t) + t + t, t, {t, t}, {t}};
  EXPECT_EQ(d.score_detailed(x, c, 2), expected);
  EXPECT_EQ(d.update_and_score_detailed(x, c, 2), expected);
  EXPECT_EQ(d.clock().current_tick, 2u);

  // Within one tick nothing decays, so current equals total and the score stays 0.
  auto same_tick = make(2, 1);
  ASSERT_TRUE(same_tick.update(x, c, 1).has_value());
  EXPECT_EQ(same_tick.update_and_score(x, c, 1), 0.0);
  EXPECT_EQ(same_tick.clock().current_tick, 1u);

  // Only timestamp differences matter.
  auto shifted = make(2, 1);
  ASSERT_TRUE(shifted.update(x, c, 1000001).has_value());
  EXPECT_EQ(shifted.update_and_score_detailed(x, c, 1000002), expected);
}

TEST(MStream, HugeGapUnderflowsTheDecayToZero) {
  auto d = make(1, 1, 2, 16);
  const std::vector<int64_t> c = {1};
  for (uint64_t ts = 1; ts <= 5; ++ts) ASSERT_TRUE(d.update(std::vector<double>{1.0 * ts}, c, ts).has_value());
  const uint64_t far = 5 + 100000;  // 0.8^100000 is 0
  const auto preview = ok(d.score_detailed(std::vector<double>{2.0}, c, far));
  const auto detail = ok(d.update_and_score_detailed(std::vector<double>{2.0}, c, far));
  EXPECT_EQ(preview, detail);
  EXPECT_TRUE(std::isfinite(detail.total));
  double current_sum = 0;
  for (double v : d.record_counts().current.count.data) current_sum += v;
  EXPECT_EQ(current_sum, 2.0);  // only the new record, once per row
  double total_sum = 0;
  for (double v : d.record_counts().total.count.data) total_sum += v;
  EXPECT_EQ(total_sum, 12.0);
}

TEST(MStream, PreviewEqualsTheFollowingUpdateOnRandomStreams) {
  struct Shape {
    uint64_t numeric_dim, categorical_dim, rows, buckets;
    double alpha;
  };
  const Shape shapes[] = {{3, 3, 2, 1024, 0.8}, {0, 2, 3, 2, 0.5},     {2, 0, 1, 4, 0.99},
                          {1, 1, 4, 7, 1e-3},   {5, 1, 2, 1025, 0.8}, {1, 0, 1, 2, 0.3}};
  uint64_t seed = 100;
  for (const auto& s : shapes) {
    auto d = make(s.numeric_dim, s.categorical_dim, s.rows, s.buckets, s.alpha, seed);
    for (const auto& r : random_stream(s.numeric_dim, s.categorical_dim, 400, seed++)) {
      const auto preview = d.score_detailed(r.numeric, r.categorical, r.timestamp);
      const auto preview_total = d.score(r.numeric, r.categorical, r.timestamp);
      const auto detail = d.update_and_score_detailed(r.numeric, r.categorical, r.timestamp);
      ASSERT_TRUE(preview.has_value() && detail.has_value());
      ASSERT_EQ(*preview, *detail) << "at " << r.timestamp;
      ASSERT_EQ(*preview_total, detail->total);
      ASSERT_EQ(detail->total, sum_in_order(detail->numeric_features) + detail->record +
                                   sum_in_order(detail->categorical_features));
      ASSERT_EQ(detail->numeric_features.size(), s.numeric_dim);
      ASSERT_EQ(detail->categorical_features.size(), s.categorical_dim);
      for (double v : detail->numeric_features) ASSERT_GE(v, 0.0);
    }
    EXPECT_EQ(d.entries_seen(), 400u);
  }
}

TEST(MStream, ScoreOnlyAndDetailedPathsAgree) {
  auto a = make(3, 2);
  auto b = a;
  auto c = a;
  for (const auto& r : random_stream(3, 2, 300, 5)) {
    const auto total = a.update_and_score(r.numeric, r.categorical, r.timestamp);
    const auto detail = b.update_and_score_detailed(r.numeric, r.categorical, r.timestamp);
    ASSERT_TRUE(c.update(r.numeric, r.categorical, r.timestamp).has_value());
    ASSERT_EQ(*total, detail->total);
  }
  EXPECT_EQ(a, b);
  EXPECT_EQ(a.to_json(), c.to_json());
}

TEST(MStream, SameSeedSameTextDifferentSeedDifferentKeys) {
  auto a = make(2, 2, 2, 64, 0.8, 1234);
  auto b = make(2, 2, 2, 64, 0.8, 1234);
  EXPECT_EQ(a.to_json(), b.to_json());
  for (const auto& r : random_stream(2, 2, 100, 9)) {
    ASSERT_EQ(ok(a.update_and_score(r.numeric, r.categorical, r.timestamp)),
              ok(b.update_and_score(r.numeric, r.categorical, r.timestamp)));
  }
  EXPECT_EQ(a.to_json(), b.to_json());
  EXPECT_NE(make(2, 2, 2, 64, 0.8, 1235).to_json(), make(2, 2, 2, 64, 0.8, 1234).to_json());
}

TEST(MStream, RoundTripsContinueIdentically) {
  auto original = make(3, 2, 3, 50, 0.7);
  const auto stream = random_stream(3, 2, 300, 77);
  for (size_t i = 0; i < 150; ++i) {
    ASSERT_TRUE(original.update(stream[i].numeric, stream[i].categorical, stream[i].timestamp));
  }
  const std::string text = original.to_json();
  auto restored = MStream::from_json(text);
  ASSERT_TRUE(restored.has_value()) << restored.error().message;
  EXPECT_EQ(*restored, original);
  EXPECT_EQ(restored->to_json(), text);
  for (size_t i = 150; i < stream.size(); ++i) {
    const auto& r = stream[i];
    ASSERT_EQ(ok(original.update_and_score_detailed(r.numeric, r.categorical, r.timestamp)),
              ok(restored->update_and_score_detailed(r.numeric, r.categorical, r.timestamp)));
  }
  EXPECT_EQ(restored->to_json(), original.to_json());
}

TEST(MStream, FreshDetectorsWithNumericFieldsRoundTrip) {
  const auto fresh = make(2, 1, 2, 8);
  const std::string text = fresh.to_json();
  EXPECT_NE(text.find(R"("numeric_normalizer":{"min_numeric":[null,null],"max_numeric":[null,null]})"),
            std::string::npos);
  auto back = MStream::from_json(text);
  ASSERT_TRUE(back.has_value()) << back.error().message;
  EXPECT_EQ(*back, fresh);
  EXPECT_EQ(back->to_json(), text);
  // It behaves like the original from its first record on.
  auto original = fresh;
  for (const auto& r : random_stream(2, 1, 50, 3)) {
    ASSERT_EQ(ok(original.update_and_score(r.numeric, r.categorical, r.timestamp)),
              ok(back->update_and_score(r.numeric, r.categorical, r.timestamp)));
  }
}

TEST(MStream, RefusedRecordsChangeNothing) {
  auto d = make(2, 1, 2, 32);
  ASSERT_TRUE(d.update(std::vector<double>{1.0, 2.0}, std::vector<int64_t>{3}, 10));
  ASSERT_TRUE(d.update(std::vector<double>{-1.0, 0.5}, std::vector<int64_t>{4}, 11));
  const std::string before = d.to_json();
  const double nan = std::nan("");
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    Record record;
    DetectorError expected;
  };
  const Case cases[] = {
      {{{1.0}, {3}, 12}, DetectorError::dimension_mismatch(2, 1)},
      {{{1.0, 2.0, 3.0}, {}, 12}, DetectorError::dimension_mismatch(2, 3)},
      {{{1.0, 2.0}, {}, 12}, DetectorError::dimension_mismatch(1, 0)},
      {{{1.0, 2.0}, {1, 2}, 0}, DetectorError::dimension_mismatch(1, 2)},
      {{{1.0, 2.0}, {3}, 0}, DetectorError::invalid_argument("timestamp must be > 0")},
      {{{nan, 2.0}, {3}, 0}, DetectorError::invalid_argument("timestamp must be > 0")},
      {{{1.0, 2.0}, {3}, 9},
       DetectorError::invalid_argument("timestamps must be non-decreasing: previous=11, got=9")},
      {{{nan, 2.0}, {3}, 9},
       DetectorError::invalid_argument("timestamps must be non-decreasing: previous=11, got=9")},
      // A valid timestamp with a gap: the clock and the decay must not move either.
      {{{1.0, nan}, {3}, 50}, DetectorError::invalid_argument("numeric values must be finite")},
      {{{inf, 1.0}, {3}, 11}, DetectorError::invalid_argument("numeric values must be finite")},
      {{{1.0, -inf}, {3}, 12}, DetectorError::invalid_argument("numeric values must be finite")},
  };
  for (const auto& c : cases) {
    const auto& r = c.record;
    for (int method = 0; method < 5; ++method) {
      DetectorError got;
      switch (method) {
        case 0: got = d.update(r.numeric, r.categorical, r.timestamp).error(); break;
        case 1: got = d.update_and_score(r.numeric, r.categorical, r.timestamp).error(); break;
        case 2: got = d.update_and_score_detailed(r.numeric, r.categorical, r.timestamp).error(); break;
        case 3: got = d.score(r.numeric, r.categorical, r.timestamp).error(); break;
        default: got = d.score_detailed(r.numeric, r.categorical, r.timestamp).error(); break;
      }
      EXPECT_EQ(got.kind, c.expected.kind) << method << " " << c.expected.text();
      EXPECT_EQ(got.text(), c.expected.text()) << method;
      ASSERT_EQ(d.to_json(), before) << method << " " << c.expected.text();
    }
  }
  EXPECT_EQ(d.current_time(), 11u);
  EXPECT_EQ(d.entries_seen(), 2u);
}

TEST(MStream, StateReaderRefusesInconsistentStates) {
  const std::string good = make(2, 1, 1, 4).to_json();
  ASSERT_TRUE(MStream::from_json(good).has_value());
  const std::string prefix = "invalid MStream JSON: ";
  struct Case {
    std::string text;
    std::string message;  // after the prefix
  };
  const std::string planes = R"("numeric_planes":{"v":1,"dim":[1,2,2],"data":[)";
  const std::regex first_hash_a(R"re("hash_a":\{"v":1,"dim":\[1\],"data":\[(\d+)\]\})re");
  const std::regex numeric_pair(R"re(\{"current":\{"num_buckets":4,.*?\}\},"total":\{"num_buckets":4,.*?\}\}\},?)re");
  const Case cases[] = {
      {replace_once(good, R"("numeric_dim":2,"categorical_dim":1,"num_rows")",
                    R"("numeric_dim":0,"categorical_dim":0,"num_rows")"),
       "at least one of numeric_dim or categorical_dim must be > 0"},
      {replace_once(good, R"("num_rows":1,"num_buckets":4,"alpha")", R"("num_rows":0,"num_buckets":4,"alpha")"),
       "num_rows must be > 0"},
      {replace_once(good, R"("num_buckets":4,"alpha")", R"("num_buckets":0,"alpha")"),
       "num_buckets must be >= 2"},
      {replace_once(good, R"("alpha":0.8)", R"("alpha":1.5)"), "alpha must be in range (0, 1)"},
      {replace_once(good, R"("alpha":0.8)", R"("alpha":0)"), "alpha must be in range (0, 1)"},
      {replace_once(good, R"("num_rows":1,"num_buckets":4,"alpha")", R"("num_rows":2,"num_buckets":4,"alpha")"),
       "record_counts.current.num_rows is 1, expected 2"},
      {replace_once(good, R"("num_buckets":4,"alpha")", R"("num_buckets":3,"alpha")"),
       "record_counts.current.num_buckets is 4, expected 3"},
      {replace_once(good, R"("numeric_dim":2,"categorical_dim":1,"numeric_planes")",
                    R"("numeric_dim":3,"categorical_dim":1,"numeric_planes")"),
       "record_counts.current.numeric_dim is 3, expected 2"},
      {replace_once(good, planes, R"("numeric_planes":{"v":1,"dim":[1,4,1],"data":[)"),
       "record_counts.current.numeric_planes has dim [1, 4, 1], expected [1, 2, 2]"},
      {replace_once(good, R"("count":{"v":1,"dim":[1,4])", R"("count":{"v":1,"dim":[4,1])"),
       "record_counts.current.count has dim [4, 1], expected [1, 4]"},
      {std::regex_replace(good, first_hash_a, R"("hash_a":{"v":1,"dim":[2],"data":[$1,$1]})",
                          std::regex_constants::format_first_only),
       "categorical_counts[0].current.hash_a has dim [2], expected [1]"},
      {std::regex_replace(good, numeric_pair, "", std::regex_constants::format_first_only),
       "numeric_counts has 1 entries, expected 2"},
      {replace_once(good, R"("min_numeric":[null,null])", R"("min_numeric":[null])"),
       "numeric_normalizer.min_numeric has 1 entries, expected 2"},
      {replace_once(good, R"("max_numeric":[null,null])", R"("max_numeric":[null,null,1.0])"),
       "numeric_normalizer.max_numeric has 3 entries, expected 2"},
  };
  for (const auto& c : cases) {
    ASSERT_NE(c.text, good) << c.message;
    const auto r = MStream::from_json(c.text);
    ASSERT_FALSE(r.has_value()) << c.message;
    EXPECT_EQ(r.error().kind, DetectorError::Kind::InvalidArgument);
    EXPECT_EQ(r.error().message, prefix + c.message);
  }
}

TEST(MStream, StateReaderFollowsTheRecordConventions) {
  auto d = make(1, 1, 1, 2, 0.8, 42);
  ASSERT_TRUE(d.update(std::vector<double>{2.0}, std::vector<int64_t>{5}, 3));
  const std::string text = d.to_json();
  // "current_time" may be missing (null), unknown keys are skipped.
  const auto missing = MStream::from_json(
      replace_once(make(1, 1).to_json(), R"("current_time":null,)", R"("unknown":[1,{"a":2}],)"));
  ASSERT_TRUE(missing.has_value()) << missing.error().message;
  EXPECT_EQ(missing->current_time(), std::nullopt);

  struct Case {
    std::string text;
    std::string message_start;
  };
  const Case cases[] = {
      {"{}", "invalid MStream JSON: missing field `config` at line 1 column 2"},
      {"", "invalid MStream JSON: EOF while parsing a value at line 1 column 0"},
      {text + "x", "invalid MStream JSON: trailing characters"},
      {replace_once(text, R"("entries_seen":1)", R"("entries_seen":-1)"),
       "invalid MStream JSON: invalid value: integer `-1`"},
      {replace_once(text, R"("min_numeric":[)", R"("min_numeric":["x",)"),
       "invalid MStream JSON: invalid type: string \"x\""},
      {replace_once(text, R"("count":{"v":1,"dim":[1,2])", R"("count":{"v":2,"dim":[1,2])"),
       "invalid MStream JSON: unknown array version: 2"},
      {replace_once(text, R"("count":{"v":1,)", R"("count":{"v":1,"x":0,)"),
       "invalid MStream JSON: unknown field `x`, expected one of `v`, `dim`, `data`"},
      {replace_once(text, R"("current_tick":1)", R"("current_tick":1,"current_tick":1)"),
       "invalid MStream JSON: duplicate field `current_tick`"},
      {"[1]", "invalid MStream JSON: invalid type: integer `1`, expected struct MStreamConfig"},
  };
  for (const auto& c : cases) {
    const auto r = MStream::from_json(c.text);
    ASSERT_FALSE(r.has_value()) << c.message_start;
    EXPECT_EQ(r.error().message.rfind(c.message_start, 0), 0u) << r.error().message;
  }
}

}  // namespace
}  // namespace quillon::mstream
