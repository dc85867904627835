// Alerts: a streaming threshold over any detector's raw scores. Each step it turns one score per
// input into a grade in [0, 1] (one minus the estimated chance of a score at least this high
// under the stream's own history) and an alert at the first step of each episode whose chance
// falls below `risk`. The tail beyond a running quantile is a generalised Pareto fitted to the
// most recent excesses (peaks over threshold); below it a logistic body only orders the scores.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "detector_error.hpp"
#include "row_batch.hpp"

namespace quillon::alerts {

struct AlertsConfig {
  uint64_t inputs = 1;
  double risk = 2e-3;
  double tail = 0.02;
  uint64_t peaks = 128;
  uint64_t warmup = 150;
  double half_life = 2000.0;
  double step = 0.05;
  uint64_t episode_gap = 100;
  double max_shape = 0.45;

  static constexpr std::string_view kJsonName = "AlertsConfig";
  template <class Self, class Field>
  static void json_fields(Self& self, Field&& field) {
    field("inputs", self.inputs);
    field("risk", self.risk);
    field("tail", self.tail);
    field("peaks", self.peaks);
    field("warmup", self.warmup);
    field("half_life", self.half_life);
    field("step", self.step);
    field("episode_gap", self.episode_gap);
    field("max_shape", self.max_shape);
  }
  friend bool operator==(const AlertsConfig&, const AlertsConfig&) = default;
};

inline constexpr uint64_t kMaxInputs = 64;
inline constexpr uint64_t kMaxPeaks = 65536;
inline constexpr uint64_t kMaxWarmup = 100000;
inline constexpr double kMaxStep = 100.0;
// Scores beyond this magnitude are refused: with them bounded, no moment, threshold or peak of
// the state can overflow to infinity, so every state stays finite and can be saved.
inline constexpr double kMaxScore = 1e100;
// Steps counted at most; a full counter refuses further steps.
inline constexpr uint64_t kMaxSteps = (uint64_t{1} << 63) - 1;

// The constructor's rules, first violation first.
Status validate(const AlertsConfig& config);

// One input's model: running moments, the tail threshold, its peaks and their fit.
struct InputTail {
  double mean = 0.0;
  double var = 0.0;
  double u = 0.0;
  double gamma = 0.0;
  double sigma = 0.0;
  uint64_t count = 0;
  uint64_t head = 0;
  std::vector<double> ring;  // `peaks` excesses, filled in index order, then overwritten oldest first
  std::vector<double> warm;  // the warm-up scores, until the warm-up ends

  static constexpr std::string_view kJsonName = "InputTail";
  template <class Self, class Field>
  static void json_fields(Self& self, Field&& field) {
    field("mean", self.mean);
    field("var", self.var);
    field("u", self.u);
    field("gamma", self.gamma);
    field("sigma", self.sigma);
    field("count", self.count);
    field("head", self.head);
    field("ring", self.ring);
    field("warm", self.warm);
  }
  friend bool operator==(const InputTail&, const InputTail&) = default;
};

struct Decision {
  double grade = 0.0;
  bool alert = false;
};

// A batch's grades and alerts, one per row.
struct Decisions {
  std::vector<double> grades;
  std::vector<uint8_t> alerts;
};

class Alerts {
 public:
  static Result<Alerts> construct(const AlertsConfig& config);

  // One finite score per input; refused scores leave the state as it was.
  Result<Decision> update(std::span<const double> scores);
  // Row after row exactly as update(); every row is checked before the first change.
  BatchResult<Decisions> update_many(const Rows<double>& scores, const BatchInterrupt& interrupt);

  const AlertsConfig& config() const { return s_.config; }
  uint64_t steps() const { return s_.n; }
  bool in_episode() const { return s_.episode; }
  bool warmed_up() const { return s_.n >= s_.config.warmup; }
  const std::vector<InputTail>& tails() const { return s_.inputs; }

  std::string repr() const;
  std::string to_json() const;
  // Refuses states that disagree with their own configuration (see alerts.cpp).
  static Result<Alerts> from_json(std::string_view text);

  friend bool operator==(const Alerts&, const Alerts&) = default;

 private:
  Alerts() = default;
  void derive();
  // `ahead`: steps a batch takes before these scores.
  Status check_scores(std::span<const double> scores, uint64_t ahead) const;
  Decision step_checked(std::span<const double> scores);
  double p_value(const InputTail& t, double x) const;
  double risk_excess(const InputTail& t) const;
  void add_peak(InputTail& t, double e) const;
  void learn(InputTail& t, double x, uint64_t m, double p) const;

  // Everything saved, in the order it is written.
  struct State {
    AlertsConfig config;
    uint64_t n = 0;  // steps taken
    bool episode = false;
    uint64_t quiet = 0;  // consecutive steps since the last one below the risk
    std::vector<InputTail> inputs;

    static constexpr std::string_view kJsonName = "Alerts";
    template <class Self, class Field>
    static void json_fields(Self& self, Field&& field) {
      field("config", self.config);
      field("n", self.n);
      field("episode", self.episode);
      field("quiet", self.quiet);
      field("inputs", self.inputs);
    }
    friend bool operator==(const State&, const State&) = default;
  };

  State s_;
  // Derived from the configuration, never saved.
  double rate_ = 0.0;
  uint64_t k0_ = 1;
};

}  // namespace quillon::alerts
