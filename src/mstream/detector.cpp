#include "mstream/detector.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <type_traits>

#include "float_format.hpp"
#include "memory_budget.hpp"
#include "mstream/lazy_decay.hpp"

namespace quillon::mstream {
namespace {

using u128 = unsigned __int128;

constexpr u128 kSaturated = u128{1} << 100;

// Products of configuration values saturate far above any real memory size instead of wrapping.
u128 mul_sat(u128 a, u128 b) {
  if (a == 0 || b == 0) return 0;
  if (a >= kSaturated || b >= kSaturated || a > kSaturated / b) return kSaturated;
  return a * b;
}
u128 mul_sat(u128 a, u128 b, u128 c) { return mul_sat(mul_sat(a, b), c); }
u128 add_sat(u128 a, u128 b) { return a + b >= kSaturated ? kSaturated : a + b; }

constexpr std::string_view kJsonPrefix = "invalid MStream JSON: ";

DetectorError invalid_state(const std::string& what) {
  return DetectorError::invalid_argument(std::string(kJsonPrefix) + what);
}

// Checks of a restored state against its configuration, each naming the offending field.
struct ShapeCheck {
  std::optional<std::string> problem;

  void value(const std::string& path, uint64_t got, uint64_t expected) {
    if (problem || got == expected) return;
    problem = path + " is " + std::to_string(got) + ", expected " + std::to_string(expected);
  }
  void length(const std::string& path, size_t got, uint64_t expected) {
    if (problem || got == expected) return;
    problem = path + " has " + std::to_string(got) + " entries, expected " + std::to_string(expected);
  }
  template <class T, size_t N>
  void dim(const std::string& path, const NdArray<T, N>& array,
           const std::array<uint64_t, N>& expected) {
    if (problem || array.dim == expected) return;
    problem = path + " has dim " + format_dim(array.dim) + ", expected " + format_dim(expected);
  }

  void record(const std::string& path, const RecordSketch& s, const MStreamConfig& c) {
    value(path + ".num_rows", s.num_rows, c.num_rows);
    value(path + ".num_buckets", s.num_buckets, c.num_buckets);
    value(path + ".numeric_dim", s.numeric_dim, c.numeric_dim);
    value(path + ".categorical_dim", s.categorical_dim, c.categorical_dim);
    dim(path + ".numeric_planes", s.numeric_planes,
        {c.num_rows, hash_bits(c.num_buckets), c.numeric_dim});
    dim(path + ".categorical_coeffs", s.categorical_coeffs, {c.num_rows, c.categorical_dim});
    dim(path + ".count", s.count, {c.num_rows, c.num_buckets});
  }
  void numeric(const std::string& path, const NumericSketch& s, const MStreamConfig& c) {
    value(path + ".num_buckets", s.num_buckets, c.num_buckets);
    dim(path + ".count", s.count, {c.num_buckets});
  }
  void categorical(const std::string& path, const CategoricalSketch& s, const MStreamConfig& c) {
    value(path + ".num_rows", s.num_rows, c.num_rows);
    value(path + ".num_buckets", s.num_buckets, c.num_buckets);
    dim(path + ".hash_a", s.hash_a, {c.num_rows});
    dim(path + ".hash_b", s.hash_b, {c.num_rows});
    dim(path + ".count", s.count, {c.num_rows, c.num_buckets});
  }
};

}  // namespace

Status MStreamConfig::validate() const {
  if (numeric_dim == 0 && categorical_dim == 0) {
    return fail(DetectorError::invalid_argument(
        "at least one of numeric_dim or categorical_dim must be > 0"));
  }
  if (num_rows == 0) return fail(DetectorError::invalid_argument("num_rows must be > 0"));
  if (num_buckets < 2) return fail(DetectorError::invalid_argument("num_buckets must be >= 2"));
  // Written so that NaN fails too.
  if (!(alpha > 0.0 && alpha < 1.0)) {
    return fail(DetectorError::invalid_argument("alpha must be in range (0, 1)"));
  }
  return {};
}

u128 MStream::footprint_bytes(const MStreamConfig& c) {
  const u128 rows = c.num_rows;
  const u128 buckets = c.num_buckets;
  const u128 record_sketch = add_sat(
      add_sat(mul_sat(rows, hash_bits(c.num_buckets), c.numeric_dim), mul_sat(rows, c.categorical_dim)),
      mul_sat(rows, buckets));
  const u128 numeric_sketch = buckets;
  const u128 categorical_sketch = add_sat(mul_sat(rows, 2), mul_sat(rows, buckets));
  u128 cells = mul_sat(record_sketch, 2);
  cells = add_sat(cells, mul_sat(c.numeric_dim, 2, numeric_sketch));
  cells = add_sat(cells, mul_sat(c.categorical_dim, 2, categorical_sketch));
  cells = add_sat(cells, mul_sat(c.numeric_dim, 2));  // normaliser bounds
  u128 bytes = mul_sat(cells, 8);
  bytes = add_sat(bytes, mul_sat(c.numeric_dim, sizeof(SketchCounts<NumericSketch>)));
  bytes = add_sat(bytes, mul_sat(c.categorical_dim, sizeof(SketchCounts<CategoricalSketch>)));
  return add_sat(bytes, sizeof(MStream));
}

Result<MStream> MStream::create(const MStreamConfig& config, const uint64_t* seed) {
  return create(config, resolve_seed(seed));
}

Result<MStream> MStream::create(const MStreamConfig& config, uint64_t seed) {
  if (auto ok = config.validate(); !ok) return fail(ok.error());
  // Overcommitted memory would be granted here and fail later, killing the process; refuse first.
  require_memory(footprint_bytes(config),
                 "numeric_dim=" + std::to_string(config.numeric_dim) +
                     ", categorical_dim=" + std::to_string(config.categorical_dim) +
                     ", num_rows=" + std::to_string(config.num_rows) +
                     ", num_buckets=" + std::to_string(config.num_buckets));

  const uint64_t rows = config.num_rows;
  const uint64_t buckets = config.num_buckets;
  auto rng = Xoshiro256PlusPlus::from_seed(seed);
  MStream d;
  d.config_ = config;
  d.record_counts_.current =
      RecordSketch::draw(rows, buckets, config.numeric_dim, config.categorical_dim, rng);
  d.record_counts_.total = d.record_counts_.current;
  d.numeric_counts_.reserve(config.numeric_dim);
  for (uint64_t i = 0; i < config.numeric_dim; ++i) {
    d.numeric_counts_.push_back({NumericSketch::zeroed(buckets), NumericSketch::zeroed(buckets)});
  }
  d.categorical_counts_.reserve(config.categorical_dim);
  for (uint64_t j = 0; j < config.categorical_dim; ++j) {
    SketchCounts<CategoricalSketch> pair;
    pair.current = CategoricalSketch::draw(rows, buckets, rng);
    pair.total = pair.current;
    d.categorical_counts_.push_back(std::move(pair));
  }
  d.numeric_normalizer_ = NumericRangeNormalizer::with_dim(config.numeric_dim);
  d.derive_hashing();
  return d;
}

void MStream::derive_hashing() {
  bucket_mod_ = BucketModulus(config_.num_buckets);
  bool shared = record_counts_.current.hashes_like(record_counts_.total);
  for (const auto& pair : categorical_counts_)
    shared = shared && pair.current.hashes_like(pair.total);
  shared_hashing_ = shared;
}

Status MStream::check_record(std::span<const double> numeric,
                             std::span<const int64_t> categorical) const {
  if (numeric.size() != config_.numeric_dim) {
    return fail(DetectorError::dimension_mismatch(config_.numeric_dim, numeric.size()));
  }
  if (categorical.size() != config_.categorical_dim) {
    return fail(DetectorError::dimension_mismatch(config_.categorical_dim, categorical.size()));
  }
  return {};
}

void MStream::reserve_detail(DetailedScore& detail) const {
  detail.numeric_features.reserve(config_.numeric_dim);
  detail.categorical_features.reserve(config_.categorical_dim);
}

void MStream::decay_current(double factor) {
  record_counts_.current.decay(factor);
  for (auto& pair : numeric_counts_) pair.current.decay(factor);
  for (auto& pair : categorical_counts_) pair.current.decay(factor);
}

namespace {

struct EagerDecay {
  void touch(size_t, size_t) {}
};

// Segment numbers of the current counts in a LazyDecay: the record sketch, then one per numeric
// field, then one per categorical field.
size_t numeric_segment(size_t i) { return 1 + i; }

// Both sketches of a pair take one more record and give their estimates (minimum over rows of
// the incremented cells). `Hash(sketch, row)` is the record's bucket in a row; with `shared` the
// total sketch reuses the current one's. `touch(index)` comes before a current cell is changed.
struct PairEstimate {
  double current = std::numeric_limits<double>::infinity();
  double total = std::numeric_limits<double>::infinity();
};

template <class Sketch, class Hash, class Touch>
PairEstimate add_to_pair(SketchCounts<Sketch>& pair, bool shared, Hash&& hash, Touch&& touch) {
  PairEstimate out;
  const uint64_t buckets = pair.current.num_buckets;
  for (uint64_t r = 0; r < pair.current.num_rows; ++r) {
    const size_t current_index = r * buckets + hash(pair.current, r);
    const size_t total_index = shared ? current_index : r * buckets + hash(pair.total, r);
    touch(current_index);
    double& current = pair.current.count.data[current_index];
    current += 1.0;
    out.current = std::min(out.current, current);
    double& total = pair.total.count.data[total_index];
    total += 1.0;
    out.total = std::min(out.total, total);
  }
  return out;
}

// The estimates of both sketches, unchanged.
template <class Sketch, class Hash>
PairEstimate estimate_pair(const SketchCounts<Sketch>& pair, bool shared, Hash&& hash) {
  PairEstimate out;
  const uint64_t buckets = pair.current.num_buckets;
  for (uint64_t r = 0; r < pair.current.num_rows; ++r) {
    const size_t current_index = r * buckets + hash(pair.current, r);
    const size_t total_index = shared ? current_index : r * buckets + hash(pair.total, r);
    out.current = std::min(out.current, pair.current.count.data[current_index]);
    out.total = std::min(out.total, pair.total.count.data[total_index]);
  }
  return out;
}

}  // namespace

Result<double> MStream::ingest(std::span<const double> numeric,
                               std::span<const int64_t> categorical, uint64_t timestamp,
                               DetailedScore* detail) {
  EagerDecay eager;
  return ingest_with(numeric, categorical, timestamp, detail, eager);
}

template <class Decay>
Result<double> MStream::ingest_with(std::span<const double> numeric,
                                    std::span<const int64_t> categorical, uint64_t timestamp,
                                    DetailedScore* detail, Decay& decay) {
  if (auto ok = check_record(numeric, categorical); !ok) return fail(ok.error());
  const auto step = clock_.advance(timestamp);
  if (!step) return fail(step.error());
  // A refused record must not move the clock or decay the counts, so finiteness is checked
  // before the first change.
  if (auto ok = NumericRangeNormalizer::check_finite(numeric); !ok) return fail(ok.error());
  if (auto ok = check_entries_room(entries_seen_, 1, "MStream"); !ok) return fail(ok.error());
  if (detail != nullptr) reserve_detail(*detail);

  const uint64_t tick = step->tick;
  clock_.commit(timestamp, tick);
  if (step->gap > 0) {
    const double factor = std::pow(config_.alpha, static_cast<double>(step->gap));
    if constexpr (std::is_same_v<Decay, EagerDecay>) {
      decay_current(factor);
    } else {
      decay.advance(factor);
    }
  }

  const bool first = entries_seen_ == 0;
  double numeric_sum = 0.0;
  for (size_t i = 0; i < numeric.size(); ++i) {
    const double v = numeric_normalizer_.update_field(i, numeric[i], first);
    auto& pair = numeric_counts_[i];
    // Both sketches of a pair have the same bucket count, so the same bucket.
    const uint64_t bucket = pair.current.bucket(v);
    decay.touch(numeric_segment(i), bucket);
    const double current = pair.current.count.data[bucket] += 1.0;
    const double total = pair.total.count.data[bucket] += 1.0;
    const double term = chi_squared_term(current, total, tick);
    numeric_sum += term;
    if (detail != nullptr) detail->numeric_features.push_back(term);
  }

  const BucketModulus& mod = bucket_mod_;
  const PairEstimate record_estimate = add_to_pair(
      record_counts_, shared_hashing_,
      [&](const RecordSketch& sketch, uint64_t r) {
        return sketch.bucket(r, numeric, categorical, mod);
      },
      [&](size_t index) { decay.touch(0, index); });

  double categorical_sum = 0.0;
  for (size_t j = 0; j < categorical.size(); ++j) {
    const size_t segment = numeric_segment(numeric.size()) + j;
    const int64_t value = categorical[j];
    const PairEstimate estimate = add_to_pair(
        categorical_counts_[j], shared_hashing_,
        [&](const CategoricalSketch& sketch, uint64_t r) { return sketch.bucket(r, value, mod); },
        [&](size_t index) { decay.touch(segment, index); });
    const double term = chi_squared_term(estimate.current, estimate.total, tick);
    categorical_sum += term;
    if (detail != nullptr) detail->categorical_features.push_back(term);
  }

  const double record = chi_squared_term(record_estimate.current, record_estimate.total, tick);
  entries_seen_ += 1;

  const double total = numeric_sum + record + categorical_sum;
  if (detail != nullptr) {
    detail->total = total;
    detail->record = record;
  }
  return total;
}

Result<double> MStream::preview(std::span<const double> numeric,
                                std::span<const int64_t> categorical, uint64_t timestamp,
                                DetailedScore* detail) const {
  if (auto ok = check_record(numeric, categorical); !ok) return fail(ok.error());
  const auto step = clock_.advance(timestamp);
  if (!step) return fail(step.error());
  if (auto ok = NumericRangeNormalizer::check_finite(numeric); !ok) return fail(ok.error());
  if (detail != nullptr) reserve_detail(*detail);

  const uint64_t tick = step->tick;
  const double factor =
      step->gap > 0 ? std::pow(config_.alpha, static_cast<double>(step->gap)) : 1.0;
  // The counts the update would hold after its decay and increment.
  auto current_after = [factor](double count) { return count * factor + 1.0; };
  auto total_after = [](double count) { return count + 1.0; };

  const bool first = entries_seen_ == 0;
  double numeric_sum = 0.0;
  for (size_t i = 0; i < numeric.size(); ++i) {
    const double v = numeric_normalizer_.preview_field(i, numeric[i], first);
    const auto& pair = numeric_counts_[i];
    const uint64_t bucket = pair.current.bucket(v);
    const double term = chi_squared_term(current_after(pair.current.count.data[bucket]),
                                         total_after(pair.total.count.data[bucket]), tick);
    numeric_sum += term;
    if (detail != nullptr) detail->numeric_features.push_back(term);
  }

  const BucketModulus& mod = bucket_mod_;
  double categorical_sum = 0.0;
  for (size_t j = 0; j < categorical.size(); ++j) {
    const int64_t value = categorical[j];
    const PairEstimate estimate = estimate_pair(
        categorical_counts_[j], shared_hashing_,
        [&](const CategoricalSketch& sketch, uint64_t r) { return sketch.bucket(r, value, mod); });
    const double term =
        chi_squared_term(current_after(estimate.current), total_after(estimate.total), tick);
    categorical_sum += term;
    if (detail != nullptr) detail->categorical_features.push_back(term);
  }

  const PairEstimate record_estimate =
      estimate_pair(record_counts_, shared_hashing_, [&](const RecordSketch& sketch, uint64_t r) {
        return sketch.bucket(r, numeric, categorical, mod);
      });
  const double record = chi_squared_term(current_after(record_estimate.current),
                                         total_after(record_estimate.total), tick);

  const double total = numeric_sum + record + categorical_sum;
  if (detail != nullptr) {
    detail->total = total;
    detail->record = record;
  }
  return total;
}

Status MStream::update(std::span<const double> numeric, std::span<const int64_t> categorical,
                       uint64_t timestamp) {
  auto r = ingest(numeric, categorical, timestamp, nullptr);
  if (!r) return fail(r.error());
  return {};
}

Result<double> MStream::update_and_score(std::span<const double> numeric,
                                         std::span<const int64_t> categorical,
                                         uint64_t timestamp) {
  return ingest(numeric, categorical, timestamp, nullptr);
}

Result<DetailedScore> MStream::update_and_score_detailed(std::span<const double> numeric,
                                                         std::span<const int64_t> categorical,
                                                         uint64_t timestamp) {
  DetailedScore detail;
  auto r = ingest(numeric, categorical, timestamp, &detail);
  if (!r) return fail(r.error());
  return detail;
}

Result<double> MStream::score(std::span<const double> numeric,
                              std::span<const int64_t> categorical, uint64_t timestamp) const {
  return preview(numeric, categorical, timestamp, nullptr);
}

Result<DetailedScore> MStream::score_detailed(std::span<const double> numeric,
                                              std::span<const int64_t> categorical,
                                              uint64_t timestamp) const {
  DetailedScore detail;
  auto r = preview(numeric, categorical, timestamp, &detail);
  if (!r) return fail(r.error());
  return detail;
}

template <class D>
struct MStream::Batch {
  D& detector;
  const Rows<double>& numeric;
  const Rows<int64_t>& categorical;
  std::span<const uint64_t> timestamps;
  BatchMode mode;
  // The clock as each row finds it: ingesting rows move it, previews do not.
  StreamClock clock = detector.clock_;
  // The decay of the current counts, deferred over the batch's ingested rows.
  LazyDecay decay{};

  BatchStatus before() const {
    const size_t n = timestamps.size();
    if (numeric.size() != n || categorical.size() != n) {
      return fail_row(std::nullopt,
                      DetectorError::invalid_argument(
                          "numeric, categorical and timestamps must have the same number of "
                          "rows, got " + std::to_string(numeric.size()) + ", " +
                          std::to_string(categorical.size()) + " and " + std::to_string(n)));
    }
    const MStreamConfig& c = detector.config_;
    if (auto ok = check_rows_form(numeric, c.numeric_dim == 1, "numeric"); !ok) return ok;
    return check_rows_form(categorical, c.categorical_dim == 1, "categorical");
  }
  Status check(size_t i) {
    if (auto ok = detector.check_record(numeric[i], categorical[i]); !ok) return ok;
    const auto step = clock.advance(timestamps[i]);
    if (!step) return fail(step.error());
    if (auto ok = NumericRangeNormalizer::check_finite(numeric[i]); !ok) return ok;
    if (!ingests(mode)) return {};
    // The counter as row i finds it, after the rows before it.
    if (auto ok = check_entries_room(detector.entries_seen_, uint64_t{i} + 1, "MStream"); !ok) {
      return ok;
    }
    clock.commit(timestamps[i], step->tick);
    return {};
  }
  Status apply(size_t i, double* score) {
    Result<double> r;
    if constexpr (std::is_const_v<D>) {
      r = detector.preview(numeric[i], categorical[i], timestamps[i], nullptr);
    } else {
      if (i == 0) {
        decay.add_segment(detector.record_counts_.current.count.data);
        for (auto& pair : detector.numeric_counts_) decay.add_segment(pair.current.count.data);
        for (auto& pair : detector.categorical_counts_) {
          decay.add_segment(pair.current.count.data);
        }
      }
      r = detector.ingest_with(numeric[i], categorical[i], timestamps[i], nullptr, decay);
    }
    if (!r) return fail(r.error());
    if (score != nullptr) *score = *r;
    return {};
  }
  void finish() {
    if constexpr (!std::is_const_v<D>) decay.flush();
  }
};

BatchStatus MStream::update_many(const Rows<double>& numeric, const Rows<int64_t>& categorical,
                                 std::span<const uint64_t> timestamps,
                                 const BatchInterrupt& interrupt) {
  Batch<MStream> batch{*this, numeric, categorical, timestamps, BatchMode::Update};
  auto r = run_batch(batch, timestamps.size(), BatchMode::Update, interrupt);
  if (!r) return std::unexpected(std::move(r.error()));
  return {};
}

BatchResult<Scores> MStream::update_and_score_many(const Rows<double>& numeric,
                                                   const Rows<int64_t>& categorical,
                                                   std::span<const uint64_t> timestamps,
                                                   const BatchInterrupt& interrupt) {
  Batch<MStream> batch{*this, numeric, categorical, timestamps, BatchMode::UpdateAndScore};
  return run_batch(batch, timestamps.size(), BatchMode::UpdateAndScore, interrupt);
}

BatchResult<Scores> MStream::score_many(const Rows<double>& numeric,
                                        const Rows<int64_t>& categorical,
                                        std::span<const uint64_t> timestamps,
                                        const BatchInterrupt& interrupt) const {
  Batch<const MStream> batch{*this, numeric, categorical, timestamps, BatchMode::Score};
  return run_batch(batch, timestamps.size(), BatchMode::Score, interrupt);
}

std::string MStream::repr() const {
  return "MStream(numeric_dim=" + std::to_string(config_.numeric_dim) +
         ", categorical_dim=" + std::to_string(config_.categorical_dim) +
         ", num_rows=" + std::to_string(config_.num_rows) +
         ", num_buckets=" + std::to_string(config_.num_buckets) +
         ", alpha=" + format_plain_decimal(config_.alpha) +
         ", entries_seen=" + std::to_string(entries_seen_) + ")";
}

std::string MStream::to_json() const { return json::write_state(*this); }

Result<MStream> MStream::from_json(std::string_view text) {
  return from_parsed(json::parse_state<MStream>(text, kJsonPrefix));
}

std::string MStream::to_bytes() const {
  return bin::write_state(*this, bin::StateKind::MStream);
}

Result<MStream> MStream::from_bytes(std::string_view data) {
  return bin::load_state<MStream>(data, bin::StateKind::MStream, kJsonPrefix,
                                  "invalid MStream bytes: ", from_parsed);
}

Result<MStream> MStream::from_parsed(Result<MStream> parsed) {
  if (!parsed) return parsed;
  if (auto ok = parsed->check_consistency(); !ok) return fail(ok.error());
  parsed->derive_hashing();
  return parsed;
}

namespace {

template <class T>
size_t vector_bytes(const std::vector<T>& v) {
  return v.capacity() * sizeof(T);
}

size_t sketch_bytes(const RecordSketch& s) {
  return vector_bytes(s.numeric_planes.data) + vector_bytes(s.categorical_coeffs.data) +
         vector_bytes(s.count.data);
}
size_t sketch_bytes(const NumericSketch& s) { return vector_bytes(s.count.data); }
size_t sketch_bytes(const CategoricalSketch& s) {
  return vector_bytes(s.hash_a.data) + vector_bytes(s.hash_b.data) + vector_bytes(s.count.data);
}

}  // namespace

size_t MStream::heap_bytes() const {
  size_t bytes = sketch_bytes(record_counts_.current) + sketch_bytes(record_counts_.total) +
                 vector_bytes(numeric_counts_) + vector_bytes(categorical_counts_) +
                 vector_bytes(numeric_normalizer_.min_numeric) +
                 vector_bytes(numeric_normalizer_.max_numeric);
  for (const auto& c : numeric_counts_) bytes += sketch_bytes(c.current) + sketch_bytes(c.total);
  for (const auto& c : categorical_counts_) {
    bytes += sketch_bytes(c.current) + sketch_bytes(c.total);
  }
  return bytes;
}

Status MStream::check_consistency() const {
  if (auto ok = config_.validate(); !ok) return fail(invalid_state(ok.error().message));
  const MStreamConfig& c = config_;
  ShapeCheck check;
  check.record("record_counts.current", record_counts_.current, c);
  check.record("record_counts.total", record_counts_.total, c);
  check.length("numeric_counts", numeric_counts_.size(), c.numeric_dim);
  for (size_t i = 0; i < numeric_counts_.size(); ++i) {
    const std::string path = "numeric_counts[" + std::to_string(i) + "]";
    check.numeric(path + ".current", numeric_counts_[i].current, c);
    check.numeric(path + ".total", numeric_counts_[i].total, c);
  }
  check.length("categorical_counts", categorical_counts_.size(), c.categorical_dim);
  for (size_t j = 0; j < categorical_counts_.size(); ++j) {
    const std::string path = "categorical_counts[" + std::to_string(j) + "]";
    check.categorical(path + ".current", categorical_counts_[j].current, c);
    check.categorical(path + ".total", categorical_counts_[j].total, c);
  }
  check.length("numeric_normalizer.min_numeric", numeric_normalizer_.min_numeric.size(),
               c.numeric_dim);
  check.length("numeric_normalizer.max_numeric", numeric_normalizer_.max_numeric.size(),
               c.numeric_dim);
  if (check.problem) return fail(invalid_state(*check.problem));
  // Every record adds one to a single cell per row of each total sketch, and the current sketches
  // hold decayed copies of the same additions: no cell can be negative, non-finite or above the
  // 2^64 records a counter can number. (A larger count would square past the finite range in the
  // score.)
  constexpr double most = 0x1p64;
  std::optional<std::string> bad;
  auto counts = [&](const std::string& path, std::span<const double> values) {
    if (bad) return;
    for (const double v : values) {
      if (!(v >= 0.0 && v <= most)) {
        bad = path + " holds a count that is negative, not finite or above 2^64";
        return;
      }
    }
  };
  counts("record_counts.current.count", record_counts_.current.count.data);
  counts("record_counts.total.count", record_counts_.total.count.data);
  for (size_t i = 0; i < numeric_counts_.size(); ++i) {
    const std::string path = "numeric_counts[" + std::to_string(i) + "]";
    counts(path + ".current.count", numeric_counts_[i].current.count.data);
    counts(path + ".total.count", numeric_counts_[i].total.count.data);
  }
  for (size_t j = 0; j < categorical_counts_.size(); ++j) {
    const std::string path = "categorical_counts[" + std::to_string(j) + "]";
    counts(path + ".current.count", categorical_counts_[j].current.count.data);
    counts(path + ".total.count", categorical_counts_[j].total.count.data);
  }
  if (bad) return fail(invalid_state(*bad));
  return {};
}

}  // namespace quillon::mstream
