// Time-decayed reservoir sampling: each tree keeps the points of smallest weight, a weight being
// the point's arrival discount plus a random offset; the heaviest entry is evicted first.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "rcf/point_store.hpp"
#include "rng.hpp"

namespace quillon::rcf {

struct SamplerDecision {
  enum class Kind : uint8_t { Reject, Admit, AdmitEvict };
  Kind kind = Kind::Reject;
  double weight = 0.0;
  uint64_t evicted = kNoIndex;  // the row at position 0 for AdmitEvict
};

struct Sampler {
  uint64_t capacity = 0;
  std::vector<double> weights;          // max-heap over the first `size` entries
  std::vector<uint64_t> point_indices;  // kNoIndex beyond `size`
  uint64_t size = 0;

  static Sampler create(uint64_t capacity);

  bool is_full() const { return size == capacity; }
  // Probability that a filling sampler admits a newcomer: 1 while the fill is below
  // accept_fraction, then falling linearly to 0 at full.
  double admission_probability(double accept_fraction) const;
  // One draw from the forest's generator when full, two while filling. Does not change the sampler.
  // t is the forest's update count including this update, lambda the effective time decay,
  // accept_fraction the initial_accept_fraction.
  SamplerDecision decide(Xoshiro256PlusPlus& rng, uint64_t t, double lambda,
                         double accept_fraction) const;
  // Records (weight, row): appended while filling, else overwrites position 0 (whose row the
  // forest has already deleted and released).
  void commit(double weight, uint64_t row);
  uint64_t eviction_candidate() const;

  static constexpr std::string_view kJsonName = "Sampler";
  template <class Self, class Field>
  static void json_fields(Self& self, Field&& field) {
    field("capacity", self.capacity);
    field("weights", self.weights);
    field("point_indices", self.point_indices);
    field("size", self.size);
  }
};

}  // namespace quillon::rcf
