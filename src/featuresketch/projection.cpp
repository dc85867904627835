#include "featuresketch/projection.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace quillon::fsketch {
namespace {

constexpr double kSqrt3 = 1.7320508075688772;
// Indexed by hash mod 6: a table instead of a switch, since the residues are unpredictable.
constexpr double kCoefficients[6] = {kSqrt3, -kSqrt3, 0.0, 0.0, 0.0, 0.0};

// A sparse random-projection coefficient: +sqrt(3) or -sqrt(3) with probability 1/6 each, else 0.
double coefficient(const SeededHasher& name_state, uint64_t coordinate) {
  SeededHasher h = name_state;
  h.add_u64(coordinate);
  return kCoefficients[h.finish() % 6];
}

DetectorError non_finite_value() {
  return DetectorError::invalid_argument("feature values must be finite");
}
DetectorError non_finite_sum() {
  return DetectorError::invalid_argument("combined feature values must be finite");
}

}  // namespace

Result<CombinedEvent> combine(std::span<const FeaturePair> pairs) {
  CombinedEvent event;
  std::vector<size_t> order;
  if (auto ok = combine_into(pairs, event, order); !ok) return fail(ok.error());
  return event;
}

Status combine_into(std::span<const FeaturePair> pairs, CombinedEvent& event,
                    std::vector<size_t>& order) {
  const size_t n = pairs.size();
  event.entries.clear();
  bool ascending = true;
  for (size_t k = 1; k < n && ascending; ++k) ascending = pairs[k - 1].first < pairs[k].first;
  if (ascending) {
    event.entries.reserve(n);
    for (const auto& [name, value] : pairs) {
      if (!std::isfinite(value)) return fail(non_finite_value());
      event.entries.emplace_back(name, 0.0 + value);
    }
    return {};
  }

  // Group equal names while keeping input order inside each group, so every name is summed in
  // the order its values arrived; the earliest offending pair across groups names the error.
  order.resize(n);
  std::iota(order.begin(), order.end(), size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return pairs[a].first < pairs[b].first; });
  size_t first_bad = n;
  bool bad_sum = false;
  event.entries.reserve(n);
  for (size_t start = 0; start < n;) {
    const std::string_view name = pairs[order[start]].first;
    size_t end = start;
    double sum = 0.0;
    for (; end < n && pairs[order[end]].first == name; ++end) {
      const size_t index = order[end];
      if (index >= first_bad) continue;
      const double value = pairs[index].second;
      if (!std::isfinite(value)) {
        first_bad = index;
        bad_sum = false;
        continue;
      }
      sum += value;
      if (!std::isfinite(sum)) {
        first_bad = index;
        bad_sum = true;
      }
    }
    event.entries.emplace_back(name, sum);
    start = end;
  }
  if (first_bad < n) return fail(bad_sum ? non_finite_sum() : non_finite_value());
  return {};
}

uint64_t name_hash(std::string_view name, const Seed4& seed) {
  SeededHasher h(seed);
  h.add_bytes(name);
  h.add_u64(0xff);
  return h.finish();
}

ProjectedEvent project(const CombinedEvent& event, uint64_t value_dims, uint64_t presence_dims,
                       const ProjectionSeeds& seeds) {
  std::vector<uint64_t> value(value_dims);
  std::iota(value.begin(), value.end(), uint64_t{0});
  std::vector<uint64_t> presence(presence_dims + 1);
  std::iota(presence.begin(), presence.end(), uint64_t{0});
  ProjectedEvent out;
  project_into(event, {value, presence, presence_dims}, seeds, out);
  return out;
}

void project_into(const CombinedEvent& event, const ProjectionPlan& plan,
                  const ProjectionSeeds& seeds, ProjectedEvent& out) {
  const size_t value_count = plan.value.size();
  const size_t presence_count = plan.presence.size();
  // Only the last presence coordinate can be the count signal, which is not hashed.
  const bool has_count = presence_count > 0 && plan.presence.back() == plan.presence_dims;
  const size_t hashed_presence = presence_count - (has_count ? 1 : 0);
  out.value.assign(value_count, 0.0);
  out.presence.assign(presence_count, 0.0);
  double* value = out.value.data();
  double* presence = out.presence.data();
  const uint64_t* value_at = plan.value.data();
  const uint64_t* presence_at = plan.presence.data();
  for (const auto& [name, combined] : event.entries) {
    const double scaled = std::asinh(combined);
    const uint64_t lo = name_hash(name, seeds.feature_lo);
    const uint64_t hi = name_hash(name, seeds.feature_hi);
    // The per-name prefix is hashed once and the state copied for every coordinate.
    SeededHasher value_state(seeds.value);
    value_state.add_u64(lo);
    value_state.add_u64(hi);
    for (size_t k = 0; k < value_count; ++k) {
      value[k] = coefficient(value_state, value_at[k]) * scaled + value[k];
    }
    SeededHasher presence_state(seeds.presence);
    presence_state.add_u64(lo);
    presence_state.add_u64(hi);
    for (size_t k = 0; k < hashed_presence; ++k) {
      presence[k] = coefficient(presence_state, presence_at[k]) + presence[k];
    }
  }
  if (has_count) {
    presence[presence_count - 1] = std::log1p(static_cast<double>(event.entries.size()));
  }
}

}  // namespace quillon::fsketch
