// OnlineIForest: online isolation trees over a sliding window of the most recent points. Every
// new point enters the window and every tree; once the window overflows, its oldest point leaves
// the window and every tree. Scores come from the trees' average path length.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "detector_error.hpp"
#include "onlineiforest/tree.hpp"
#include "row_batch.hpp"

namespace quillon::oif {

struct OnlineIForestConfig {
  uint64_t input_dim = 0;
  uint64_t num_trees = 32;
  uint64_t window_size = 2048;
  uint64_t max_leaf_samples = 32;

  static constexpr std::string_view kJsonName = "OnlineIForestConfig";
  template <class Self, class Field>
  static void json_fields(Self& self, Field&& field) {
    field("input_dim", self.input_dim);
    field("num_trees", self.num_trees);
    field("window_size", self.window_size);
    field("max_leaf_samples", self.max_leaf_samples);
  }
  friend bool operator==(const OnlineIForestConfig&, const OnlineIForestConfig&) = default;
};

// The constructor's rules, first violation first.
Status validate(const OnlineIForestConfig& config);

// The most recent points, oldest first, in one flat buffer with room for window_size + 1 points
// (a new point is appended before the oldest one leaves).
class PointWindow {
 public:
  PointWindow() = default;
  PointWindow(uint64_t input_dim, uint64_t slots) : input_dim_(input_dim), slots_(slots) {}

  uint64_t size() const { return count_; }
  std::span<const float> at(uint64_t i) const {
    return {data_.data() + ((head_ + i) % slots_) * input_dim_, input_dim_};
  }
  std::span<const float> oldest() const { return at(0); }
  size_t reserved_bytes() const { return data_.capacity() * sizeof(float); }
  // Storage for every slot; may throw std::bad_alloc, before any change.
  void reserve_all();
  // Requires reserve_all() and a free slot.
  void push(std::span<const float> point);
  void pop_oldest();

 private:
  uint64_t input_dim_ = 0;
  uint64_t slots_ = 1;
  uint64_t head_ = 0;
  uint64_t count_ = 0;
  std::vector<float> data_;
};

// The saved state as read (detector.cpp).
struct ParsedState;

class OnlineIForest {
 public:
  // Validates, resolves the seed (operating-system entropy when absent) and derives one
  // generator per tree from it. Throws MemoryRefused when the window and trees cannot fit in
  // the memory available.
  static Result<OnlineIForest> construct(const OnlineIForestConfig& config,
                                         std::optional<uint64_t> seed);

  Status update(std::span<const float> point);
  Result<double> score(std::span<const float> point) const;
  // update(point), then score(point) against the updated trees.
  Result<double> update_and_score(std::span<const float> point);

  // Batches, row after row exactly as the single calls; every row is checked before the first
  // change, so a refused batch leaves the detector as it was.
  BatchStatus update_many(const Rows<float>& points, const BatchInterrupt& interrupt = {});
  BatchResult<Scores> score_many(const Rows<float>& points,
                                 const BatchInterrupt& interrupt = {}) const;
  BatchResult<Scores> update_and_score_many(const Rows<float>& points,
                                            const BatchInterrupt& interrupt = {});

  bool is_ready() const { return entries_seen_ > 0; }
  uint64_t entries_seen() const { return entries_seen_; }
  uint64_t num_trees() const { return trees_.size(); }
  uint64_t input_dim() const { return config_.input_dim; }
  const OnlineIForestConfig& config() const { return config_; }
  const std::vector<OnlineITree>& trees() const { return trees_; }
  const PointWindow& window() const { return window_; }
  // Bytes held by the window and trees (capacity, not just use).
  size_t memory_bytes() const;

  std::string repr() const;
  std::string to_json() const;
  // Refuses states that disagree with their own configuration (see from_json in detector.cpp).
  static Result<OnlineIForest> from_json(std::string_view text);
  // The same state in the compact binary form, checked as from_json checks it.
  std::string to_bytes() const;
  static Result<OnlineIForest> from_bytes(std::string_view data);
  size_t heap_bytes() const { return memory_bytes() - sizeof(*this); }
  // The checks shared by both readers, and the detector they build.
  static Result<OnlineIForest> from_parsed(Result<ParsedState> parsed);
  std::vector<uint64_t> newargs() const { return {config_.input_dim}; }

 private:
  OnlineIForest() = default;
  Status check_point(std::span<const float> point) const;
  // The rows of a batch for run_batch (detector.cpp); `D` is const for score_many.
  template <class D>
  struct Batch;
  // Inserts `point` (and evicts the oldest point of a full window); with `score`, also sets the
  // score of `point` afterwards, as score_checked() would give it. `leaf_logs` may be null.
  void ingest_checked(std::span<const float> point, double* score = nullptr,
                      std::vector<double>* leaf_logs = nullptr);
  // The path length of `point` in one tree, summed into a score by finish_score().
  double tree_length(const OnlineITree& tree, std::span<const float> point,
                     std::vector<double>* leaf_logs) const;
  double finish_score(double sum) const;
  // With `leaf_logs`, log2(h / max_leaf_samples) is looked up there (NaN until first needed),
  // which a batch keeps for all its rows.
  double score_checked(std::span<const float> point,
                       std::vector<double>* leaf_logs = nullptr) const;

  OnlineIForestConfig config_;
  std::vector<OnlineITree> trees_;
  PointWindow window_;
  uint64_t entries_seen_ = 0;
  double depth_limit_ = 0.0;
};

}  // namespace quillon::oif
