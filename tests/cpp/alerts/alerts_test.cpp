#include "alerts/alerts.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

namespace quillon::alerts {
namespace {

Alerts make(AlertsConfig c = {}) {
  auto a = Alerts::construct(c);
  EXPECT_TRUE(a.has_value()) << (a ? "" : a.error().message);
  return std::move(*a);
}

// Rows of `inputs` scores: lognormal noise with the given spikes, deterministic.
std::vector<double> stream(uint64_t rows, uint64_t inputs, uint32_t seed) {
  std::mt19937_64 gen(seed);
  std::lognormal_distribution<double> noise(0.0, 0.5);
  std::vector<double> out(rows * inputs);
  for (uint64_t i = 0; i < out.size(); ++i) {
    out[i] = noise(gen);
    if (i / inputs % 997 == 500) out[i] += 25.0;
  }
  return out;
}

Rows<double> as_rows(const std::vector<double>& v, uint64_t inputs) {
  return Rows<double>::uniform(v, v.size() / inputs, inputs, inputs == 1);
}

TEST(AlertsConfigTest, FirstViolatedRuleIsReported) {
  struct Case {
    void (*edit)(AlertsConfig&);
    const char* message;
  };
  const Case cases[] = {
      {[](AlertsConfig& c) { c.inputs = 0; }, "inputs must be between 1 and 64"},
      {[](AlertsConfig& c) { c.inputs = 65; c.risk = -1; }, "inputs must be between 1 and 64"},
      {[](AlertsConfig& c) { c.risk = 0.0; }, "risk must be > 0"},
      {[](AlertsConfig& c) { c.risk = NAN; }, "risk must be > 0"},
      {[](AlertsConfig& c) { c.risk = 0.02; }, "tail must be > risk and < 1"},
      {[](AlertsConfig& c) { c.tail = 1.0; }, "tail must be > risk and < 1"},
      {[](AlertsConfig& c) { c.peaks = 0; }, "peaks must be between 1 and 65536"},
      {[](AlertsConfig& c) { c.peaks = 65537; }, "peaks must be between 1 and 65536"},
      {[](AlertsConfig& c) { c.warmup = 50; }, "warmup must be at least 1/tail + 1"},
      {[](AlertsConfig& c) { c.tail = 1e-9; c.risk = 1e-10; }, "warmup must be at least 1/tail + 1"},
      {[](AlertsConfig& c) { c.warmup = 100001; }, "warmup must be at most 100000"},
      {[](AlertsConfig& c) { c.half_life = 0.0; }, "half_life must be > 0 and finite"},
      {[](AlertsConfig& c) { c.half_life = INFINITY; }, "half_life must be > 0 and finite"},
      {[](AlertsConfig& c) { c.step = 0.0; }, "step must be > 0 and at most 100"},
      {[](AlertsConfig& c) { c.step = 101.0; }, "step must be > 0 and at most 100"},
      {[](AlertsConfig& c) { c.episode_gap = 0; }, "episode_gap must be > 0"},
      {[](AlertsConfig& c) { c.max_shape = 0.5; }, "max_shape must be >= 0 and < 0.5"},
      {[](AlertsConfig& c) { c.max_shape = -0.0 - 1e-300; }, "max_shape must be >= 0 and < 0.5"},
  };
  for (const Case& k : cases) {
    AlertsConfig c;
    k.edit(c);
    auto a = Alerts::construct(c);
    ASSERT_FALSE(a.has_value()) << k.message;
    EXPECT_EQ(a.error().message, k.message);
  }
  AlertsConfig smallest;
  smallest.tail = 0.5;
  smallest.risk = 0.25;
  smallest.warmup = 3;  // 1/tail + 1
  smallest.peaks = 1;
  EXPECT_TRUE(Alerts::construct(smallest).has_value());
}

// One pass, a batch, and a pass saved and resumed at every cut give the same grades, alerts and
// final state, bit for bit.
TEST(AlertsTest, BatchAndResumeEqualOnePass) {
  for (uint64_t inputs : {1u, 3u}) {
    AlertsConfig c;
    c.inputs = inputs;
    c.peaks = 16;
    const auto v = stream(3000, inputs, 7 + static_cast<uint32_t>(inputs));
    Alerts loop = make(c);
    std::vector<Decision> one;
    for (size_t i = 0; i < v.size(); i += inputs) {
      one.push_back(*loop.update(std::span<const double>(v).subspan(i, inputs)));
    }
    Alerts batch = make(c);
    auto many = batch.update_many(as_rows(v, inputs), {});
    ASSERT_TRUE(many.has_value());
    ASSERT_EQ(many->grades.size(), one.size());
    uint64_t alerts = 0;
    for (size_t i = 0; i < one.size(); ++i) {
      EXPECT_EQ(std::bit_cast<uint64_t>(many->grades[i]), std::bit_cast<uint64_t>(one[i].grade));
      EXPECT_EQ(many->alerts[i], one[i].alert ? 1 : 0);
      EXPECT_TRUE(one[i].grade >= 0.0 && one[i].grade <= 1.0);
      alerts += one[i].alert;
    }
    EXPECT_GT(alerts, 0u);
    EXPECT_EQ(batch.to_json(), loop.to_json());
    for (size_t cut : {0ul, 1ul, 149ul, 150ul, 151ul, 1500ul, 2999ul}) {
      Alerts first = make(c);
      std::vector<double> head(v.begin(), v.begin() + cut * inputs);
      ASSERT_TRUE(first.update_many(as_rows(head, inputs), {}).has_value());
      auto resumed = Alerts::from_json(first.to_json());
      ASSERT_TRUE(resumed.has_value()) << cut << ": " << resumed.error().message;
      EXPECT_EQ(resumed->to_json(), first.to_json());
      std::vector<double> rest(v.begin() + cut * inputs, v.end());
      auto tail = resumed->update_many(as_rows(rest, inputs), {});
      ASSERT_TRUE(tail.has_value());
      for (size_t i = 0; i < tail->grades.size(); ++i) {
        ASSERT_EQ(std::bit_cast<uint64_t>(tail->grades[i]),
                  std::bit_cast<uint64_t>(one[cut + i].grade)) << cut << " " << i;
      }
      EXPECT_EQ(resumed->to_json(), loop.to_json()) << cut;
    }
  }
}

TEST(AlertsTest, AlertsComeAtTheRiskOnStationaryNoise) {
  struct Noise {
    const char* name;
    double (*draw)(std::mt19937_64&);
  };
  const Noise kinds[] = {
      {"normal", [](std::mt19937_64& g) { return std::normal_distribution<double>()(g); }},
      {"exponential", [](std::mt19937_64& g) { return std::exponential_distribution<double>()(g); }},
      {"lognormal", [](std::mt19937_64& g) { return std::lognormal_distribution<double>()(g); }},
  };
  const uint64_t steps = 200000;
  for (const Noise& k : kinds) {
    std::mt19937_64 gen(11);
    Alerts a = make();
    uint64_t alerts = 0, high = 0;
    for (uint64_t i = 0; i < steps; ++i) {
      const double x = k.draw(gen);
      const Decision d = *a.update({&x, 1});
      alerts += d.alert;
      high += d.grade >= 1.0 - a.config().risk;
      ASSERT_TRUE(d.grade >= 0.0 && d.grade <= 1.0);
    }
    // Every grade at the alert level is an episode's alert: the rows after it are capped.
    EXPECT_EQ(high, alerts) << k.name;
    const double rate = static_cast<double>(alerts) / static_cast<double>(steps - 150);
    EXPECT_GT(rate, 0.7 * a.config().risk) << k.name;
    EXPECT_LT(rate, 1.5 * a.config().risk) << k.name;
  }
}

TEST(AlertsTest, OneAlertPerEpisodeAndNoneInTheWarmup) {
  AlertsConfig c;
  c.episode_gap = 20;
  Alerts a = make(c);
  std::mt19937_64 gen(3);
  std::normal_distribution<double> noise;
  std::vector<uint64_t> alerted;
  for (uint64_t i = 0; i < 2000; ++i) {
    // A burst of ten extreme rows at 1000, and one at 100 inside the warm-up.
    const double x = noise(gen) + ((i >= 1000 && i < 1010) || i == 100 ? 1e6 : 0.0);
    const Decision d = *a.update({&x, 1});
    if (i > 1000 && i < 1010) {
      EXPECT_LE(d.grade, 1.0 - c.tail);
    }
    if (d.alert) alerted.push_back(i);
  }
  ASSERT_FALSE(alerted.empty());
  EXPECT_EQ(alerted.front(), 1000u);
  for (uint64_t i : alerted) EXPECT_TRUE(i < 1000 || i == 1000 || i >= 1030) << i;
}

// Streams that push the arithmetic to its edges keep the state finite and saveable.
TEST(AlertsTest, ExtremeStreamsStayFiniteAndSaveable) {
  std::vector<std::vector<double>> streams;
  streams.push_back(std::vector<double>(3000, 0.25));                  // constant
  std::vector<double> alternating, huge, tiny, signs;
  for (int i = 0; i < 3000; ++i) {
    alternating.push_back(i % 2 ? 1e100 : -1e100);
    huge.push_back(i % 500 == 499 ? 1e100 : 1.0);
    tiny.push_back(i % 3 ? 5e-324 : 0.0);
    signs.push_back(i % 2 ? -0.0 : 0.0);
  }
  for (auto* s : {&alternating, &huge, &tiny, &signs}) streams.push_back(*s);
  for (uint64_t peaks : {1u, 128u}) {
    for (const auto& v : streams) {
      AlertsConfig c;
      c.peaks = peaks;
      c.step = 100.0;
      c.half_life = 1e-300;
      for (int pass = 0; pass < 2; ++pass) {
        Alerts a = make(c);
        for (double x : v) {
          const Decision d = *a.update({&x, 1});
          ASSERT_TRUE(d.grade >= 0.0 && d.grade <= 1.0);
        }
        auto back = Alerts::from_json(a.to_json());
        ASSERT_TRUE(back.has_value()) << back.error().message;
        EXPECT_EQ(back->to_json(), a.to_json());
        c.half_life = 2000.0;
      }
    }
  }
}

TEST(AlertsTest, AFullStepCounterRefusesTheNextStep) {
  Alerts a = make();
  ASSERT_TRUE(a.update_many(as_rows(stream(200, 1, 2), 1), {}));
  std::string text = a.to_json();
  text.replace(text.find("\"n\":200"), 7, "\"n\":9223372036854775805");
  auto full = Alerts::from_json(text);
  ASSERT_TRUE(full.has_value()) << full.error().message;
  auto refused = full->update_many(as_rows(stream(3, 1, 2), 1), {});
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().row, 2u);
  EXPECT_EQ(full->to_json(), text);
  const double x = 1.0;
  ASSERT_TRUE(full->update({&x, 1}));
  ASSERT_TRUE(full->update({&x, 1}));
  EXPECT_EQ(full->update({&x, 1}).error().kind, DetectorError::Kind::Overflow);
  EXPECT_TRUE(Alerts::from_json(full->to_json()).has_value());
}

TEST(AlertsTest, RefusedScoresChangeNothing) {
  AlertsConfig c;
  c.inputs = 2;
  Alerts a = make(c);
  const auto v = stream(400, 2, 5);
  ASSERT_TRUE(a.update_many(as_rows(v, 2), {}).has_value());
  const std::string before = a.to_json();
  const double bad[][2] = {{1.0, NAN}, {INFINITY, 1.0}, {1.0, -1.1e100}};
  for (const auto& row : bad) {
    auto r = a.update(row);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind, DetectorError::Kind::InvalidArgument);
  }
  EXPECT_EQ(a.update(std::span<const double>(bad[0], 1)).error().kind,
            DetectorError::Kind::DimensionMismatch);
  std::vector<double> batch = v;
  batch[301] = NAN;
  auto refused = a.update_many(as_rows(batch, 2), {});
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().row, 150u);
  EXPECT_EQ(a.to_json(), before);
}

// Each edit of a saved state breaks one rule; every one is refused with the reason.
TEST(AlertsStateTest, InconsistentStatesAreRefused) {
  AlertsConfig c;
  c.peaks = 4;
  c.warmup = 60;
  Alerts warm = make(c);
  Alerts done = make(c);
  const auto v = stream(300, 1, 9);
  ASSERT_TRUE(warm.update_many(as_rows(std::vector<double>(v.begin(), v.begin() + 10), 1), {}));
  ASSERT_TRUE(done.update_many(as_rows(v, 1), {}));
  const auto edit = [](std::string text, const std::string& from, const std::string& to) {
    const size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
  };
  // Sets the first field `name` (a number or boolean) to `value`.
  const auto set = [](std::string text, const std::string& name, const std::string& value) {
    const size_t at = text.find("\"" + name + "\":");
    EXPECT_NE(at, std::string::npos) << name;
    if (at == std::string::npos) return text;
    const size_t from = at + name.size() + 3;
    return text.replace(from, text.find_first_of(",}", from) - from, value);
  };
  const std::string w = warm.to_json(), d = done.to_json();
  ASSERT_TRUE(Alerts::from_json(w).has_value());
  ASSERT_TRUE(Alerts::from_json(d).has_value());
  const auto& t = done.tails()[0];
  std::string ring = "\"ring\":[";
  const std::string rules[][2] = {
      {edit(d, "\"risk\":0.002", "\"risk\":0.5"), "tail must be > risk and < 1"},
      {edit(d, "\"inputs\":1", "\"inputs\":2"), "inputs must hold one entry per input"},
      {set(w, "episode", "true"), "no episode can be open"},
      {set(w, "quiet", "1"), "no episode can be open"},
      {set(set(d, "episode", "true"), "quiet", "100"), "fewer quiet steps"},
      {set(d, "n", "9223372036854775808"), "n is too large"},
      {set(w, "n", "0"), "warm must hold"},
      {set(d, "var", "-1"), "var must be >= 0"},
      {set(d, "var", "1e202"), "var must be >= 0"},
      {set(d, "mean", "1e300"), "mean and u must be finite"},
      {set(d, "u", "-1e200"), "mean and u must be finite"},
      {edit(d, "\"head\":" + std::to_string(t.head), "\"head\":4"), "count and head"},
      {edit(d, "\"count\":" + std::to_string(t.count), "\"count\":5"), "count and head"},
      {edit(d, ring, ring + "-"), "ring entries"},
      {edit(d, ring, ring + "1,"), "ring must hold"},
      {edit(w, "\"warm\":[", "\"warm\":[1,"), "warm must hold"},
      {edit(d, "\"warm\":[]", "\"warm\":[1]"), "warm must hold"},
      {edit(w, "\"warm\":[", "\"warm\":[1e101,"), ""},
      {edit(w, "\"u\":0", "\"u\":1"), "no threshold or peak"},
      {set(d, "sigma", "1.5"), "gamma and sigma must be the fit"},
      {set(d, "gamma", "0.0001"), "gamma and sigma must be the fit"},
      {set(d, "gamma", "0.46"), "gamma and sigma must be the fit"},
      {"{}", "missing field"},
      {d.substr(0, d.size() - 1), "invalid Alerts JSON"},
      {d + "x", "invalid Alerts JSON"},
  };
  for (const auto& [text, why] : rules) {
    auto r = Alerts::from_json(text);
    ASSERT_FALSE(r.has_value()) << why;
    EXPECT_EQ(r.error().message.rfind("invalid Alerts JSON: ", 0), 0u) << r.error().message;
    EXPECT_NE(r.error().message.find(why), std::string::npos) << why << " | " << r.error().message;
  }
}

}  // namespace
}  // namespace quillon::alerts
