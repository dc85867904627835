// Time-decayed reservoir sampling: each tree keeps the points of smallest weight, a weight being
// the point's arrival discount plus a random offset; the heaviest entry is evicted first.
#pragma once

#include <bit>
#include <cstdint>
#include <string_view>
#include <type_traits>
#include <vector>

#include "json_codec.hpp"
#include "rcf/point_store.hpp"
#include "rng.hpp"

namespace quillon::rcf {

struct SamplerDecision {
  enum class Kind : uint8_t { Reject, Admit, AdmitEvict };
  Kind kind = Kind::Reject;
  double weight = 0.0;  // meaningful for admissions only
  uint64_t evicted = kNoIndex;  // the row at position 0 for AdmitEvict
};

struct Sampler {
  uint64_t capacity = 0;
  // Max-heap over the first `size` entries. Entries are held as the sampler fills; an entry not
  // held reads as weight 0.0 and row kNoIndex.
  std::vector<double> weights;
  std::vector<uint64_t> point_indices;
  uint64_t size = 0;

  static Sampler create(uint64_t capacity);

  bool is_full() const { return size == capacity; }
  // Probability that a filling sampler admits a newcomer: 1 while the fill is below
  // accept_fraction, then falling linearly to 0 at full.
  double admission_probability(double accept_fraction) const;
  // One draw from the forest's generator when full, two while filling. Does not change the
  // sampler's state (only the cached bound below). t is the forest's update count including this
  // update, lambda the effective time decay, accept_fraction the initial_accept_fraction.
  SamplerDecision decide(Xoshiro256PlusPlus& rng, uint64_t t, double lambda,
                         double accept_fraction) const {
    double u1 = rng.unit_f64();
    if (u1 < kMinUnit) u1 = kMinUnit;
    if (u1 > kMaxUnit) u1 = kMaxUnit;
    // Most newcomers to a full sampler are rejected. Those at or below the bound are known to be
    // without a logarithm, here inline, so that the many trees that reject cost little.
    if (u1 <= reject_below_ && size == capacity && t <= reject_until_ && !weights.empty() &&
        !point_indices.empty() && weights[0] <= reject_top_ &&
        std::bit_cast<uint64_t>(lambda) == std::bit_cast<uint64_t>(reject_lambda_)) {
      return {};
    }
    return decide_after_draw(rng, u1, t, lambda, accept_fraction);
  }
  // Records (weight, row): appended while filling, else overwrites position 0 (whose row the
  // forest has already deleted and released).
  void commit(double weight, uint64_t row);
  uint64_t eviction_candidate() const;
  // Holds room for the entry the next commit may append, so that commit does not allocate.
  void make_room();
  // Gives back the memory of trailing entries beyond `size` that hold the defaults (after loading
  // a state, which lists every entry).
  void release_unused_entries();
  size_t heap_bytes() const;

  static constexpr std::string_view kJsonName = "Sampler";
  template <class Self, class Field>
  static void json_fields(Self& self, Field&& field) {
    field("capacity", self.capacity);
    if constexpr (std::is_const_v<Self>) {
      field("weights", json::PaddedList<double>{&self.weights, self.capacity, 0.0});
      field("point_indices", json::PaddedList<uint64_t>{&self.point_indices, self.capacity, kNoIndex});
    } else {
      field("weights", self.weights);
      field("point_indices", self.point_indices);
    }
    field("size", self.size);
  }

 private:
  // A full sampler rejects every clamped u1 at or below reject_below_ for t up to reject_until_,
  // decay reject_lambda_ and a largest weight at most reject_top_ (see refresh_reject_bound).
  // Only decide, inside an update that holds the forest alone, reads or writes it; it is derived,
  // so it is neither saved nor compared, and a copy may carry it along.
  mutable double reject_below_ = -1.0;
  mutable double reject_top_ = 0.0;
  mutable double reject_lambda_ = 0.0;
  mutable uint64_t reject_until_ = 0;

  // u1 is drawn and clamped to [kMinUnit, kMaxUnit].
  static constexpr double kMinUnit = 0x1.0p-52;
  static constexpr double kMaxUnit = 1.0 - 0x1.0p-52;

  // decide, from the clamped first draw on.
  SamplerDecision decide_after_draw(Xoshiro256PlusPlus& rng, double u1, uint64_t t, double lambda,
                                    double accept_fraction) const;
  void refresh_reject_bound(double top, uint64_t t, double lambda) const;
};

}  // namespace quillon::rcf
