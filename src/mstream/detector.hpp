// The MStream detector: records of numeric fields, categorical fields and a logical timestamp,
// scored by chi-squared comparisons of decayed and all-time counts in count-min sketches.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "detector_error.hpp"
#include "json_codec.hpp"
#include "mstream/normalization.hpp"
#include "mstream/sketch.hpp"
#include "row_batch.hpp"

namespace quillon::mstream {

struct MStreamConfig {
  uint64_t numeric_dim = 0;
  uint64_t categorical_dim = 0;
  uint64_t num_rows = 2;
  uint64_t num_buckets = 1024;
  double alpha = 0.8;

  // The constructor's rules, first violation reported.
  Status validate() const;

  static constexpr std::string_view kJsonName = "MStreamConfig";
  template <class Self, class Field>
  static void json_fields(Self& self, Field&& field) {
    field("numeric_dim", self.numeric_dim);
    field("categorical_dim", self.categorical_dim);
    field("num_rows", self.num_rows);
    field("num_buckets", self.num_buckets);
    field("alpha", self.alpha);
  }
  friend bool operator==(const MStreamConfig&, const MStreamConfig&) = default;
};

// A score split into its parts. total = (sum of numeric_features) + record
// + (sum of categorical_features), each list summed first to last.
struct DetailedScore {
  double total = 0.0;
  double record = 0.0;
  std::vector<double> numeric_features;
  std::vector<double> categorical_features;
  friend bool operator==(const DetailedScore&, const DetailedScore&) = default;
};

class MStream {
 public:
  // An empty detector; only the state reader starts from it.
  MStream() = default;

  // Validates `config`, then draws the planes and hash keys from a generator seeded with `seed`.
  // Throws MemoryRefused, before allocating, when the sketches would not fit in the memory
  // available.
  static Result<MStream> create(const MStreamConfig& config, uint64_t seed);
  // As above; a null seed is replaced by one from operating-system entropy before validation.
  static Result<MStream> create(const MStreamConfig& config, const uint64_t* seed);

  // Ingest a record. All checks (field counts, timestamp, finiteness) happen before any change.
  Status update(std::span<const double> numeric, std::span<const int64_t> categorical,
                uint64_t timestamp);
  Result<double> update_and_score(std::span<const double> numeric,
                                  std::span<const int64_t> categorical, uint64_t timestamp);
  Result<DetailedScore> update_and_score_detailed(std::span<const double> numeric,
                                                  std::span<const int64_t> categorical,
                                                  uint64_t timestamp);

  // What ingesting the record next would return; changes nothing.
  Result<double> score(std::span<const double> numeric, std::span<const int64_t> categorical,
                       uint64_t timestamp) const;
  Result<DetailedScore> score_detailed(std::span<const double> numeric,
                                       std::span<const int64_t> categorical,
                                       uint64_t timestamp) const;

  // Batches of records, row after row exactly as the single calls, the clock advancing within
  // the batch. Every refusal a row would meet (field counts, timestamps against the clock as it
  // stands at that row, finiteness) is found before the first change, so a refused batch leaves
  // the detector as it was. A 1-D numeric or categorical source is one value per row, which
  // only a dimension of 1 takes.
  BatchStatus update_many(const Rows<double>& numeric, const Rows<int64_t>& categorical,
                          std::span<const uint64_t> timestamps,
                          const BatchInterrupt& interrupt = {});
  BatchResult<Scores> update_and_score_many(const Rows<double>& numeric,
                                            const Rows<int64_t>& categorical,
                                            std::span<const uint64_t> timestamps,
                                            const BatchInterrupt& interrupt = {});
  // Every record previewed against the same unchanged detector, as score() row by row.
  BatchResult<Scores> score_many(const Rows<double>& numeric, const Rows<int64_t>& categorical,
                                 std::span<const uint64_t> timestamps,
                                 const BatchInterrupt& interrupt = {}) const;

  bool is_ready() const { return entries_seen_ > 0; }
  uint64_t entries_seen() const { return entries_seen_; }
  std::optional<uint64_t> current_time() const { return clock_.current_time; }

  const MStreamConfig& config() const { return config_; }
  uint64_t numeric_dim() const { return config_.numeric_dim; }
  uint64_t categorical_dim() const { return config_.categorical_dim; }
  // The constructor's required arguments, for unpickling.
  std::vector<uint64_t> newargs() const { return {config_.numeric_dim, config_.categorical_dim}; }

  const StreamClock& clock() const { return clock_; }
  const NumericRangeNormalizer& normalizer() const { return numeric_normalizer_; }
  const SketchCounts<RecordSketch>& record_counts() const { return record_counts_; }
  const std::vector<SketchCounts<NumericSketch>>& numeric_counts() const { return numeric_counts_; }
  const std::vector<SketchCounts<CategoricalSketch>>& categorical_counts() const {
    return categorical_counts_;
  }

  std::string repr() const;
  std::string to_json() const;
  // Parses a saved state and refuses one whose configuration breaks the constructor's rules or
  // whose arrays do not match its configuration.
  static Result<MStream> from_json(std::string_view text);
  // The same state in the compact binary form, checked as from_json checks it.
  std::string to_bytes() const;
  static Result<MStream> from_bytes(std::string_view data);
  // Approximate bytes held on the heap: the sketches, the normaliser and the hashing tables.
  size_t heap_bytes() const;

  // Bytes held by the sketches, normaliser and planes of a detector with this configuration,
  // saturating instead of wrapping for absurd sizes.
  static unsigned __int128 footprint_bytes(const MStreamConfig& config);

  static constexpr std::string_view kJsonName = "MStream";
  template <class Self, class Field>
  static void json_fields(Self& self, Field&& field) {
    field("config", self.config_);
    field("clock", self.clock_);
    field("entries_seen", self.entries_seen_);
    field("record_counts", self.record_counts_);
    field("numeric_counts", self.numeric_counts_);
    field("categorical_counts", self.categorical_counts_);
    field("numeric_normalizer", self.numeric_normalizer_);
  }
  friend bool operator==(const MStream&, const MStream&) = default;

 private:
  Status check_record(std::span<const double> numeric, std::span<const int64_t> categorical) const;
  void reserve_detail(DetailedScore& detail) const;
  Result<double> ingest(std::span<const double> numeric, std::span<const int64_t> categorical,
                        uint64_t timestamp, DetailedScore* detail);
  // `Decay` is EagerDecay (the counts decay as the tick moves) or LazyDecay (a batch's
  // deferred decay, which cells get as they are touched).
  template <class Decay>
  Result<double> ingest_with(std::span<const double> numeric, std::span<const int64_t> categorical,
                             uint64_t timestamp, DetailedScore* detail, Decay& decay);
  Result<double> preview(std::span<const double> numeric, std::span<const int64_t> categorical,
                         uint64_t timestamp, DetailedScore* detail) const;
  void decay_current(double factor);
  // The rows of a batch for run_batch (detector.cpp); `D` is const for score_many.
  template <class D>
  struct Batch;
  Status check_consistency() const;
  // The checks and derived members shared by both readers.
  static Result<MStream> from_parsed(Result<MStream> parsed);
  // Sets the members derived from the configuration and sketches (never saved).
  void derive_hashing();

  MStreamConfig config_;
  StreamClock clock_;
  uint64_t entries_seen_ = 0;
  SketchCounts<RecordSketch> record_counts_;
  std::vector<SketchCounts<NumericSketch>> numeric_counts_;
  std::vector<SketchCounts<CategoricalSketch>> categorical_counts_;
  NumericRangeNormalizer numeric_normalizer_;
  // Reduction modulo the bucket count, and whether every current sketch hashes exactly like its
  // total twin (always so unless a saved state was edited), so a record is hashed once for both.
  BucketModulus bucket_mod_;
  bool shared_hashing_ = false;
};

}  // namespace quillon::mstream
