// FeatureSketch: anomaly scores for sparse feature events whose names change over time. Each
// event is projected into a value vector and a presence vector; each vector is scored by its own
// ensemble of half-space chains over decayed count-min sketches, and the two scores are averaged.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "detector_error.hpp"
#include "featuresketch/chain.hpp"
#include "featuresketch/projection.hpp"
#include "featuresketch/sketch.hpp"
#include "row_batch.hpp"

namespace quillon::fsketch {

struct FeatureSketchConfig {
  uint64_t value_projection_dims = 32;
  uint64_t presence_projection_dims = 32;
  uint64_t chains_per_ensemble = 16;
  uint64_t chain_depth = 8;
  uint64_t sketch_rows = 2;
  uint64_t sketch_buckets = 2048;
  uint64_t decay_half_life = 2048;

  static constexpr std::string_view kJsonName = "FeatureSketchConfig";
  template <class Self, class Field>
  static void json_fields(Self& self, Field&& field) {
    field("value_projection_dims", self.value_projection_dims);
    field("presence_projection_dims", self.presence_projection_dims);
    field("chains_per_ensemble", self.chains_per_ensemble);
    field("chain_depth", self.chain_depth);
    field("sketch_rows", self.sketch_rows);
    field("sketch_buckets", self.sketch_buckets);
    field("decay_half_life", self.decay_half_life);
  }
  friend bool operator==(const FeatureSketchConfig&, const FeatureSketchConfig&) = default;
};

// The first violated construction rule, as an InvalidArgument with the rule's message.
Status validate_config(const FeatureSketchConfig& config);

// Bytes a detector of this configuration holds, plus full projection vectors: an upper bound on
// a call's working space, which holds only the coordinates the chains read.
unsigned __int128 memory_footprint(const FeatureSketchConfig& config);

// The saved record, field for field.
struct FeatureSketchState {
  uint32_t format_version = 1;
  FeatureSketchConfig config;
  ProjectionSeeds projection_seeds;
  ChainLayout value_layout;
  ChainLayout presence_layout;
  EnsembleSketch value_sketch;
  EnsembleSketch presence_sketch;
  uint64_t current_epoch = 0;
  uint64_t entries_seen = 0;

  static constexpr std::string_view kJsonName = "FeatureSketch";
  template <class Self, class Field>
  static void json_fields(Self& self, Field&& field) {
    field("format_version", self.format_version);
    field("config", self.config);
    field("projection_seeds", self.projection_seeds);
    field("value_layout", self.value_layout);
    field("presence_layout", self.presence_layout);
    field("value_sketch", self.value_sketch);
    field("presence_sketch", self.presence_sketch);
    field("current_epoch", self.current_epoch);
    field("entries_seen", self.entries_seen);
  }
  friend bool operator==(const FeatureSketchState&, const FeatureSketchState&) = default;
};

class FeatureSketch {
 public:
  // Without a seed, one is drawn from the operating system. A valid configuration whose memory
  // the machine cannot hold now throws MemoryRefused before anything is allocated.
  static Result<FeatureSketch> create(const FeatureSketchConfig& config,
                                      std::optional<uint64_t> seed);
  // Refuses texts whose layouts and sketches do not fit their configuration.
  static Result<FeatureSketch> from_json(std::string_view text);
  std::string to_json() const;
  // The same state in the compact binary form, checked as from_json checks it.
  static Result<FeatureSketch> from_bytes(std::string_view data);
  std::string to_bytes() const;
  // Approximate bytes held on the heap: both ensembles' cells, seeds and layouts.
  size_t heap_bytes() const;

  // Pairs may repeat names (they are summed); a mapping's pairs arrive sorted and unique.
  Result<double> score(std::span<const FeaturePair> feature) const;
  Status update(std::span<const FeaturePair> feature);
  // score(feature) then update(feature), projecting once.
  Result<double> update_and_score(std::span<const FeaturePair> feature);

  // Batches of events, row after row exactly as the single calls. Every refusal an event would
  // meet (its values, the clock running out at its row) is found before the first change, so a
  // refused batch leaves the detector as it was.
  BatchStatus update_many(const FeatureEvents& events, const BatchInterrupt& interrupt = {});
  // Every event against the same unchanged sketches, as score() row by row.
  BatchResult<Scores> score_many(const FeatureEvents& events,
                                 const BatchInterrupt& interrupt = {}) const;
  BatchResult<Scores> update_and_score_many(const FeatureEvents& events,
                                            const BatchInterrupt& interrupt = {});

  bool is_ready() const { return state_.entries_seen > 0; }
  uint64_t entries_seen() const { return state_.entries_seen; }
  const FeatureSketchConfig& config() const { return state_.config; }
  const FeatureSketchState& state() const { return state_; }
  std::string repr() const;

 private:
  explicit FeatureSketch(FeatureSketchState state);
  // The checks shared by both readers.
  static Result<FeatureSketch> from_parsed(Result<FeatureSketchState> parsed);
  ProjectionPlan plan() const;
  Result<ProjectedEvent> project_event(std::span<const FeaturePair> feature) const;
  Status check_clock() const;
  double score_projected(const ProjectedEvent& event) const;

  // The events of a batch for run_batch (detector.cpp); `D` is const for score_many.
  template <class D>
  struct Batch;

  FeatureSketchState state_;
  // The layouts over only the coordinates they read, derived from state_ and never saved: an
  // event is projected onto those coordinates alone, however many dimensions the projection has.
  CompactLayout value_reads_;
  CompactLayout presence_reads_;
};

}  // namespace quillon::fsketch
