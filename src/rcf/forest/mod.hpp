// The Random Cut Forest core: configuration, trees with one sampler each, the shared point store,
// the observation count and the generator that drives sampling.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "detector_error.hpp"
#include "json_codec.hpp"
#include "rcf/byte_count.hpp"
#include "rcf/point_store.hpp"
#include "rcf/sampler.hpp"
#include "rcf/tree/mod.hpp"
#include "rng.hpp"
#include "row_batch.hpp"

namespace quillon::rcf {

struct RcfConfig {
  uint64_t input_dim = 0;
  uint64_t shingle_size = 1;
  uint64_t capacity = 256;
  uint64_t num_trees = 50;
  double time_decay = 0.0;    // 0.0: automatic, 0.1 / capacity
  uint64_t output_after = 0;  // 0: automatic, capacity / 4 + 1
  bool internal_shingling = true;
  double initial_accept_fraction = 0.125;

  static constexpr std::string_view kJsonName = "RcfConfig";
  template <class Self, class Field>
  static void json_fields(Self& self, Field&& field) {
    field("input_dim", self.input_dim);
    field("shingle_size", self.shingle_size);
    field("capacity", self.capacity);
    field("num_trees", self.num_trees);
    field("time_decay", self.time_decay);
    field("output_after", self.output_after);
    field("internal_shingling", self.internal_shingling);
    field("initial_accept_fraction", self.initial_accept_fraction);
  }
};

// One sampler's admission during an update.
struct Admission {
  uint64_t tree = 0;
  bool evicts = false;
  uint64_t evicted = kNoIndex;
  double weight = 0.0;
  uint64_t held = kNoIndex;  // the row the tree holds for the new point, once inserted
};

// The trees of one update an admission list names, with the scratch their descents use; two of
// these may mutate disjoint trees of one forest at the same time.
struct TreeMutations {
  std::vector<RcfTree*> trees;
  std::vector<uint64_t> rows;
};

struct Forest {
  RcfConfig config;
  std::vector<RcfTree> trees;
  std::vector<Sampler> samplers;
  PointStore point_store;
  uint64_t entries_seen = 0;
  Xoshiro256PlusPlus rng;  // sampling decisions only

  Forest() = default;
  // Copies are deep and keep the working reservations, so a copy's updates do not allocate either.
  Forest(const Forest& other);
  Forest& operator=(const Forest& other);
  Forest(Forest&&) noexcept = default;
  Forest& operator=(Forest&&) noexcept = default;

  // The first violated constructor rule, in the fixed order of the messages.
  static Status validate(const RcfConfig& config);
  // Validates and builds. Throws MemoryRefused, before touching memory, when the state would not
  // fit in the memory available.
  static Result<Forest> create(const RcfConfig& config, uint64_t seed);

  // Ingests one observation (forest/update.cpp). Every check precedes the first change, so a
  // failed update leaves the forest exactly as it was.
  Status update(std::span<const float> observation);
  // The checks of update that depend on the observation alone: its length and finiteness.
  Status check_observation(std::span<const float> observation) const;
  // Length of what update takes: input_dim with internal shingling, else dim().
  uint64_t observation_width() const {
    return config.internal_shingling ? config.input_dim : point_store.dim;
  }
  // The length check of query_point.
  Status check_query_width(uint64_t width) const;

  // Batches (forest/batch.cpp): the single-call update, score and update-and-score applied row
  // after row, with the same results. Every refusal that depends on a row (its length, its
  // finiteness) is found before the first change, so a refused batch leaves the forest as it was.
  BatchStatus update_many(const Rows<float>& points, const BatchInterrupt& interrupt = {});
  // Every row against the same forest, as score() row by row.
  BatchResult<Scores> score_many(const Rows<float>& points,
                                 const BatchInterrupt& interrupt = {}) const;
  // Each row's score before it is ingested, as update_and_score() row by row.
  BatchResult<Scores> update_and_score_many(const Rows<float>& points,
                                            const BatchInterrupt& interrupt = {});

  uint64_t dim() const { return point_store.dim; }
  // Approximate bytes this forest holds on the heap (the allocated capacity of its parts).
  size_t heap_bytes() const;
  uint64_t num_trees() const { return trees.size(); }
  // time_decay, or 0.1 / capacity when it is 0.
  double effective_time_decay() const;
  // Observations before the forest counts as ready (exclusive bound).
  uint64_t readiness_threshold() const;
  bool is_ready() const { return entries_seen > readiness_threshold(); }

  // The point the read-only queries evaluate: with internal shingling and input_dim values, the
  // shingle with its newest observation replaced (built in `scratch`); otherwise the values
  // themselves, which must number dim().
  Result<std::span<const float>> query_point(std::span<const float> values,
                                             std::vector<float>& scratch) const;

  // "Forest(input_dim=.., shingle_size=.., num_trees=.., capacity=.., entries_seen=..)"
  std::string repr() const;
  // The constructor's required arguments, for unpickling: (input_dim,).
  std::vector<uint64_t> newargs() const { return {config.input_dim}; }

  std::string to_json() const;
  // Parses and checks the consistency of a saved state; refuses with "invalid forest JSON: ...".
  // Throws MemoryRefused when the described forest would not fit in the memory available.
  static Result<Forest> from_json(std::string_view text);
  // The same state in the compact binary form (forest/binary_state.cpp), refused with
  // "invalid forest bytes: ..." where the JSON form would be.
  std::string to_bytes() const;
  static Result<Forest> from_bytes(std::string_view data);
  // The consistency checks and finishing steps shared by both readers.
  static Result<Forest> from_parsed(Forest&& parsed);

  static constexpr std::string_view kJsonName = "Forest";
  template <class Self, class Field>
  static void json_fields(Self& self, Field&& field) {
    field("config", self.config);
    field("trees", self.trees);
    field("samplers", self.samplers);
    field("point_store", self.point_store);
    field("entries_seen", self.entries_seen);
    field("rng", self.rng);
  }

 private:
  // Sizes the update's scratch lists and trims the store and samplers to what they use (after a
  // copy or a load).
  void reserve_working_memory();

  // The update in phases (forest/update.cpp), so that a batch can spread the trees' part over
  // two threads. plan_update makes every check and decision and changes nothing;
  // begin_planned_update commits the forest-wide part and returns the new point's row (kNoIndex
  // when no tree admitted it); mutate_planned_trees runs the admissions [first, last), which
  // touch their own trees only and read the store; finish_planned_update settles the store and
  // the samplers in tree order.
  Status plan_update(std::span<const float> observation);
  uint64_t begin_planned_update(std::span<const float> observation);
  void mutate_planned_trees(size_t first, size_t last, uint64_t h, TreeMutations& scratch);
  void finish_planned_update(uint64_t h);
  // The batches that run those phases on two threads (forest/batch.cpp).
  template <class F>
  friend struct SplitBatch;

  // Scratch of update, not part of the state.
  std::vector<Admission> admissions_;
  Xoshiro256PlusPlus planned_rng_;  // the generator after the planned update's decisions
  std::vector<RcfTree*> evicting_trees_;
  std::vector<uint64_t> evicted_rows_;
  TreeMutations mutations_;
};

// Bytes a forest of this (validated) configuration reserves; saturates instead of overflowing.
ByteCount forest_footprint(const RcfConfig& config);
// Throws MemoryRefused for a configuration whose trees could not be numbered in 32 bits.
void require_addressable(const RcfConfig& config);
// The parameters that size a forest, as MemoryError messages name them.
std::string memory_label(const RcfConfig& config);

// The largest time_decay whose weights stay finite for every count of updates: the largest
// double divided by 2^64, exactly.
inline constexpr double kMaxTimeDecay = 9.745314011399998e+288;

// Stored coordinates stay below 2^127 in magnitude, so that the difference of any two, a box side,
// is a finite 32-bit float.
inline bool within_magnitude(float v) { return v > -0x1p127f && v < 0x1p127f; }

// Rejects any coordinate that is not a finite 32-bit float ("point values must be finite") or
// whose magnitude a box side could not carry.
Status check_finite(std::span<const float> values);
// Rejects a query coordinate that is not finite ("point values must be finite"), skipping the
// positions `ignored` marks (a mask as long as `values`, or empty). Queries carry no magnitude
// limit: nothing of theirs is stored.
Status check_known_finite(std::span<const float> values, std::span<const uint8_t> ignored = {});

}  // namespace quillon::rcf
