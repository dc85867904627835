#include "alerts/alerts.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>
#include <utility>

#include "float_format.hpp"
#include "json_codec.hpp"

namespace quillon::alerts {
namespace {

constexpr std::string_view kJsonPrefix = "invalid Alerts JSON: ";
constexpr double LOG2E = 1.4426950408889634;
// The logistic stand-in for the normal CDF, in base 2 (one rounded multiplication).
constexpr double LOGISTIC = 1.702 * LOG2E;

// Loaded states are held to bounds that scores within kMaxScore never leave (a running mean is a
// weighted average of scores; the threshold only moves towards the scores once beyond them, by
// at most kMaxStep standard deviations), so arithmetic on them cannot overflow.
constexpr double kMaxMean = 2 * kMaxScore;
constexpr double kMaxVar = 1e201;
constexpr double kMaxThreshold = 1e103;
constexpr double kMaxPeak = 2e103;

double cdf(double z) { return 1.0 / (1.0 + std::exp2(-LOGISTIC * z)); }

DetectorError invalid(std::string what) { return DetectorError::invalid_argument(std::move(what)); }
DetectorError refuse(std::string what) {
  return DetectorError::invalid_argument(std::string(kJsonPrefix) + std::move(what));
}

// Method-of-moments generalised Pareto fit of ring[0 .. count): the shape clamped to
// [0, max_shape], the scale refitted from the mean with the clamped shape. Sums run in ring
// index order so that a resumed state fits exactly as one pass did.
void fit(InputTail& t, double max_shape) {
  const double count = static_cast<double>(t.count);
  double s = 0.0;
  for (uint64_t j = 0; j < t.count; ++j) s = s + t.ring[j];
  const double mu = s / count;
  s = 0.0;
  for (uint64_t j = 0; j < t.count; ++j) {
    const double dd = t.ring[j] - mu;
    s = s + dd * dd;
  }
  const double v = s / count;
  if (v > 0.0 && mu > 0.0) {
    t.gamma = std::min(std::max(0.5 * (1.0 - mu * mu / v), 0.0), max_shape);
  } else {
    t.gamma = 0.0;
  }
  t.sigma = mu * (1.0 - t.gamma);
}

}  // namespace

Status validate(const AlertsConfig& c) {
  if (c.inputs < 1 || c.inputs > kMaxInputs) return fail(invalid("inputs must be between 1 and 64"));
  if (!(c.risk > 0.0)) return fail(invalid("risk must be > 0"));
  if (!(c.tail > c.risk && c.tail < 1.0)) return fail(invalid("tail must be > risk and < 1"));
  if (c.peaks < 1 || c.peaks > kMaxPeaks) return fail(invalid("peaks must be between 1 and 65536"));
  // The warm-up must leave at least one score above the initial threshold.
  if (!(static_cast<double>(c.warmup) >= 1.0 / c.tail + 1.0)) {
    return fail(invalid("warmup must be at least 1/tail + 1"));
  }
  if (c.warmup > kMaxWarmup) return fail(invalid("warmup must be at most 100000"));
  if (!(c.half_life > 0.0 && std::isfinite(c.half_life))) {
    return fail(invalid("half_life must be > 0 and finite"));
  }
  if (!(c.step > 0.0 && c.step <= kMaxStep)) return fail(invalid("step must be > 0 and at most 100"));
  if (c.episode_gap < 1) return fail(invalid("episode_gap must be > 0"));
  if (!(c.max_shape >= 0.0 && c.max_shape < 0.5)) {
    return fail(invalid("max_shape must be >= 0 and < 0.5"));
  }
  return {};
}

void Alerts::derive() {
  const AlertsConfig& c = s_.config;
  rate_ = 1.0 - std::pow(0.5, 1.0 / c.half_life);
  const double top = std::floor(c.tail * static_cast<double>(c.warmup));
  // tail < 1 keeps this below warmup; the clamp only guards the index against rounding.
  k0_ = std::min<uint64_t>(std::max<uint64_t>(1, static_cast<uint64_t>(top)), c.warmup - 1);
}

Result<Alerts> Alerts::construct(const AlertsConfig& config) {
  if (Status ok = validate(config); !ok) return fail(ok.error());
  Alerts a;
  a.s_.config = config;
  a.s_.inputs.resize(config.inputs);
  for (InputTail& t : a.s_.inputs) {
    t.ring.assign(config.peaks, 0.0);
    t.warm.reserve(config.warmup);
  }
  a.derive();
  return a;
}

Status Alerts::check_scores(std::span<const double> scores, uint64_t ahead) const {
  if (s_.n >= kMaxSteps - std::min(ahead, kMaxSteps)) {
    return fail(DetectorError::overflow("the step counter is full"));
  }
  if (scores.size() != s_.config.inputs) {
    return fail(DetectorError::dimension_mismatch(s_.config.inputs, scores.size()));
  }
  for (const double x : scores) {
    if (!std::isfinite(x)) return fail(invalid("scores must be finite"));
    if (!(std::fabs(x) <= kMaxScore)) return fail(invalid("scores must be within +-1e100"));
  }
  return {};
}

double Alerts::p_value(const InputTail& t, double x) const {
  const double tail = s_.config.tail;
  if (x > t.u) {
    if (t.sigma <= 0.0) return tail;
    const double y = (x - t.u) / t.sigma;
    if (t.gamma > 0.0) return tail * std::exp2(-std::log1p(t.gamma * y) / t.gamma * LOG2E);
    return tail * std::exp2(-y * LOG2E);
  }
  const double sd = std::sqrt(t.var);
  if (sd <= 0.0) return x == t.u ? tail : 1.0;
  const double fu = cdf((t.u - t.mean) / sd);
  // The threshold so far below the mean that the body's CDF underflows there: as flat as a
  // body without spread.
  if (fu <= 0.0) return x == t.u ? tail : 1.0;
  const double fx = cdf((x - t.mean) / sd);
  return 1.0 - (1.0 - tail) * (fx / fu);
}

double Alerts::risk_excess(const InputTail& t) const {
  const double r = s_.config.risk / s_.config.tail;
  if (t.gamma > 0.0) return t.sigma / t.gamma * (std::pow(r, -t.gamma) - 1.0);
  return t.sigma * -std::log(r);
}

void Alerts::add_peak(InputTail& t, double e) const {
  const uint64_t k = s_.config.peaks;
  t.ring[t.head] = e;
  t.head = (t.head + 1) % k;
  t.count = std::min(t.count + 1, k);
  fit(t, s_.config.max_shape);
}

void Alerts::learn(InputTail& t, double x, uint64_t m, double p) const {
  const AlertsConfig& c = s_.config;
  const double a = std::max(rate_, 1.0 / static_cast<double>(m));
  const double d = x - t.mean;
  t.mean = t.mean + a * d;
  t.var = (1.0 - a) * (t.var + a * d * d);
  if (m <= c.warmup) {
    t.warm.push_back(x);
    if (m == c.warmup) {
      // Stable, so that equal scores (0.0 and -0.0) keep their arrival order, as every
      // implementation of this step must for the threshold's sign to match.
      std::stable_sort(t.warm.begin(), t.warm.end());
      t.u = t.warm[c.warmup - k0_ - 1];
      for (uint64_t i = c.warmup - k0_; i < c.warmup; ++i) {
        if (t.warm[i] > t.u) add_peak(t, t.warm[i] - t.u);
      }
      std::vector<double>().swap(t.warm);
    }
    return;
  }
  const bool exceed = x > t.u;
  if (exceed) {
    // An alarm enters the peaks clipped to the excess the fit gives the risk level: left out,
    // the tail would be fitted to a truncated sample and grow too light; taken whole, one
    // anomaly would teach the model that anomalies are ordinary.
    add_peak(t, p >= c.risk ? x - t.u : std::min(x - t.u, risk_excess(t)));
  }
  t.u = t.u + c.step * std::sqrt(t.var) * ((exceed ? 1.0 : 0.0) - c.tail);
}

Decision Alerts::step_checked(std::span<const double> scores) {
  const AlertsConfig& c = s_.config;
  std::array<double, kMaxInputs> ps;
  const uint64_t m = s_.n + 1;
  // A copy holds the warm-up buffer without its reservation: reserve before the first change.
  if (m <= c.warmup) {
    for (InputTail& t : s_.inputs) t.warm.reserve(c.warmup);
  }
  Decision out;
  if (m <= c.warmup) {
    for (uint64_t i = 0; i < c.inputs; ++i) ps[i] = 1.0;
  } else {
    double least = 0.0;
    for (uint64_t i = 0; i < c.inputs; ++i) {
      ps[i] = p_value(s_.inputs[i], scores[i]);
      if (i == 0 || ps[i] < least) least = ps[i];
    }
    // Bonferroni: several inputs must not raise the false-alarm rate.
    const double p = std::min(1.0, static_cast<double>(c.inputs) * least);
    out.grade = 1.0 - p;
    // Rows after an episode's alert stay below any alert level: one episode, one high grade.
    if (s_.episode) out.grade = std::min(out.grade, 1.0 - c.tail);
    if (p < c.risk) {
      if (!s_.episode) {
        out.alert = true;
        s_.episode = true;
      }
      s_.quiet = 0;
    } else {
      if (s_.quiet != std::numeric_limits<uint64_t>::max()) ++s_.quiet;
      if (s_.quiet >= c.episode_gap) s_.episode = false;
    }
  }
  for (uint64_t i = 0; i < c.inputs; ++i) learn(s_.inputs[i], scores[i], m, ps[i]);
  s_.n = m;
  return out;
}

Result<Decision> Alerts::update(std::span<const double> scores) {
  if (Status ok = check_scores(scores, 0); !ok) return fail(ok.error());
  return step_checked(scores);
}

BatchResult<Decisions> Alerts::update_many(const Rows<double>& scores,
                                           const BatchInterrupt& interrupt) {
  struct Batch {
    Alerts& self;
    const Rows<double>& rows;
    std::vector<uint8_t>& alerts;
    BatchStatus before() const {
      return check_rows_form(rows, self.s_.config.inputs == 1, "scores");
    }
    Status check(size_t i) const { return self.check_scores(rows[i], i); }
    Status apply(size_t i, double* grade) {
      const Decision d = self.step_checked(rows[i]);
      *grade = d.grade;
      alerts[i] = d.alert ? 1 : 0;
      return {};
    }
    void finish() {}
  };
  Decisions out;
  out.alerts.resize(scores.size());
  Batch batch{*this, scores, out.alerts};
  BatchResult<Scores> grades = run_batch(batch, scores.size(), BatchMode::UpdateAndScore, interrupt);
  if (!grades) return std::unexpected(std::move(grades.error()));
  out.grades = std::move(grades->values);
  return out;
}

std::string Alerts::repr() const {
  const AlertsConfig& c = s_.config;
  std::string out = "Alerts(inputs=" + std::to_string(c.inputs) + ", risk=";
  append_f64(out, c.risk);
  out += ", steps=" + std::to_string(s_.n) + ")";
  return out;
}

std::string Alerts::to_json() const { return json::write_state(s_); }

Result<Alerts> Alerts::from_json(std::string_view text) {
  Result<State> parsed = json::parse_state<State>(text, kJsonPrefix);
  if (!parsed) return fail(parsed.error());
  State& s = *parsed;
  const AlertsConfig& c = s.config;
  if (Status ok = validate(c); !ok) return fail(refuse(ok.error().message));
  if (s.n > kMaxSteps) return fail(refuse("n is too large"));
  if (s.inputs.size() != c.inputs) return fail(refuse("inputs must hold one entry per input"));
  const bool warming = s.n < c.warmup;
  if (s.n <= c.warmup && (s.episode || s.quiet != 0)) {
    return fail(refuse("no episode can be open during the warm-up"));
  }
  if (s.episode && s.quiet >= c.episode_gap) {
    return fail(refuse("an open episode must have fewer quiet steps than episode_gap"));
  }
  for (InputTail& t : s.inputs) {
    const auto finite = [](double v, double bound) { return std::isfinite(v) && std::fabs(v) <= bound; };
    if (!finite(t.mean, kMaxMean) || !finite(t.u, kMaxThreshold)) {
      return fail(refuse("mean and u must be finite and within range"));
    }
    if (!(t.var >= 0.0 && t.var <= kMaxVar)) return fail(refuse("var must be >= 0 and within range"));
    if (t.ring.size() != c.peaks) return fail(refuse("ring must hold `peaks` numbers"));
    if (t.count > c.peaks || t.head >= c.peaks || (t.count < c.peaks && t.head != t.count)) {
      return fail(refuse("count and head disagree with the ring"));
    }
    for (uint64_t j = 0; j < c.peaks; ++j) {
      const double e = t.ring[j];
      if (j < t.count ? !(e >= 0.0 && e <= kMaxPeak) : std::bit_cast<uint64_t>(e) != 0) {
        return fail(refuse("ring entries must be peaks >= 0 within range, and 0 beyond count"));
      }
    }
    if (t.warm.size() != (warming ? s.n : 0)) {
      return fail(refuse("warm must hold the warm-up scores while the warm-up lasts"));
    }
    for (const double x : t.warm) {
      if (!finite(x, kMaxScore)) return fail(refuse("warm scores must be finite and within +-1e100"));
    }
    if (warming && (t.count != 0 || std::bit_cast<uint64_t>(t.u) != 0)) {
      return fail(refuse("no threshold or peak can exist during the warm-up"));
    }
    // The fit is saved so that a resumed state continues bit for bit; it must be the ring's.
    InputTail refit = t;
    fit(refit, c.max_shape);
    if (t.count == 0) refit.gamma = refit.sigma = 0.0;
    if (std::bit_cast<uint64_t>(refit.gamma) != std::bit_cast<uint64_t>(t.gamma) ||
        std::bit_cast<uint64_t>(refit.sigma) != std::bit_cast<uint64_t>(t.sigma)) {
      return fail(refuse("gamma and sigma must be the fit of the ring"));
    }
    if (warming) t.warm.reserve(c.warmup);
  }
  Alerts a;
  a.s_ = std::move(s);
  a.derive();
  return a;
}

}  // namespace quillon::alerts
