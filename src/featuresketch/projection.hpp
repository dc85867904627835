// Turns a sparse feature event into two dense vectors: a random projection of the (asinh-scaled)
// values and a random projection of which names are present, plus a feature-count signal.
// Coefficients come from keyed hashes of the names, so no vocabulary is stored.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "detector_error.hpp"
#include "keyed_hash.hpp"

namespace quillon::fsketch {

// One (name, value) pair as the caller supplied it; names are UTF-8 bytes, compared byte-wise.
using FeaturePair = std::pair<std::string, double>;

struct ProjectionSeeds {
  Seed4 value{};
  Seed4 presence{};
  Seed4 feature_lo{};
  Seed4 feature_hi{};

  static constexpr std::string_view kJsonName = "ProjectionSeeds";
  template <class Self, class Field>
  static void json_fields(Self& self, Field&& field) {
    field("value", self.value);
    field("presence", self.presence);
    field("feature_lo", self.feature_lo);
    field("feature_hi", self.feature_hi);
  }
  friend bool operator==(const ProjectionSeeds&, const ProjectionSeeds&) = default;
};

// Distinct names in ascending byte order with their summed values. The names point into the
// pairs the event was combined from, which must outlive it.
struct CombinedEvent {
  std::vector<std::pair<std::string_view, double>> entries;
};

// The coordinates of a projection to compute, each list ascending and distinct. Value
// coordinates lie below value_projection_dims; presence coordinates lie below
// presence_projection_dims, or equal it for the feature-count signal.
struct ProjectionPlan {
  std::span<const uint64_t> value;
  std::span<const uint64_t> presence;
  uint64_t presence_dims = 0;
};

// The planned coordinates in plan order: value[k] is value coordinate plan.value[k], and so on.
struct ProjectedEvent {
  std::vector<double> value;
  std::vector<double> presence;
};

// Sums repeated names in input order. Fails with "feature values must be finite" or
// "combined feature values must be finite", whichever the first offending pair (in input order)
// triggers. Input that is already strictly ascending by name (a mapping) skips the sort.
Result<CombinedEvent> combine(std::span<const FeaturePair> pairs);
// The same into `out`, with `order` as working space; reusing both avoids allocation.
Status combine_into(std::span<const FeaturePair> pairs, CombinedEvent& out,
                    std::vector<size_t>& order);

// The name's bytes, then the integer 0xff, through a hasher keyed by `seed`.
uint64_t name_hash(std::string_view name, const Seed4& seed);

// Every coordinate: value_dims value coordinates, presence_dims presence coordinates and the
// count signal.
ProjectedEvent project(const CombinedEvent& event, uint64_t value_dims, uint64_t presence_dims,
                       const ProjectionSeeds& seeds);
// Only the planned coordinates, each computed exactly as the full projection computes it, into
// `out`, whose vectors are reused.
void project_into(const CombinedEvent& event, const ProjectionPlan& plan,
                  const ProjectionSeeds& seeds, ProjectedEvent& out);

}  // namespace quillon::fsketch
