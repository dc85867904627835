#include "onlineiforest/detector.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <type_traits>
#include <utility>

#include "binary_codec.hpp"
#include "json_codec.hpp"
#include "memory_budget.hpp"
#include "rng.hpp"

namespace quillon::oif {

// The saved state as read, before it is checked against its configuration.
struct ParsedState {
  OnlineIForestConfig config;
  std::vector<ParsedTree> trees;
  std::vector<std::vector<float>> window;
  uint64_t entries_seen = 0;

  static constexpr std::string_view kJsonName = "OnlineIForest";
  template <class Self, class Field>
  static void json_fields(Self& self, Field&& field) {
    field("config", self.config);
    field("trees", self.trees);
    field("window", self.window);
    field("entries_seen", self.entries_seen);
  }
};

namespace {

constexpr std::string_view kJsonPrefix = "invalid OnlineIForest JSON: ";


std::string memory_label(const OnlineIForestConfig& config) {
  return "input_dim=" + std::to_string(config.input_dim) +
         ", num_trees=" + std::to_string(config.num_trees) +
         ", window_size=" + std::to_string(config.window_size);
}

// The window's full reservation plus the trees' fixed parts must fit in the memory available;
// overcommit would otherwise grant it and end the process once the window fills.
void ensure_storage_fits(const OnlineIForestConfig& config) {
  const ByteSize slots = ByteSize{config.window_size} + 1;
  const ByteSize floats = slots * config.input_dim;  // < 2^128
  const ByteSize bytes =
      floats > (ByteSize{1} << 64)
          ? ~ByteSize{0}
          : floats * sizeof(float) + ByteSize{config.num_trees} * sizeof(OnlineITree);
  require_memory(bytes, memory_label(config));
}

DetectorError refuse(std::string what) {
  return DetectorError::invalid_argument(std::string(kJsonPrefix) + std::move(what));
}

}  // namespace

Status validate(const OnlineIForestConfig& config) {
  if (config.input_dim == 0) return fail(DetectorError::invalid_argument("input_dim must be > 0"));
  if (config.num_trees == 0) return fail(DetectorError::invalid_argument("num_trees must be > 0"));
  if (config.window_size == 0) {
    return fail(DetectorError::invalid_argument("window_size must be > 0"));
  }
  if (config.window_size == std::numeric_limits<uint64_t>::max()) {
    return fail(DetectorError::invalid_argument("window_size is too large"));
  }
  if (config.max_leaf_samples == 0) {
    return fail(DetectorError::invalid_argument("max_leaf_samples must be > 0"));
  }
  if (config.max_leaf_samples >= config.window_size) {
    return fail(
        DetectorError::invalid_argument("window_size must be greater than max_leaf_samples"));
  }
  return {};
}

// ---------------------------------------------------------------------------------------------
// Window

void PointWindow::reserve_all() {
  const size_t floats = static_cast<size_t>(slots_ * input_dim_);
  if (data_.capacity() >= floats) return;
  require_memory(
      ByteSize{floats} * sizeof(float),
      "input_dim=" + std::to_string(input_dim_) + ", window_size=" + std::to_string(slots_ - 1));
  data_.reserve(floats);
}

void PointWindow::push(std::span<const float> point) {
  QUILLON_INVARIANT(count_ < slots_, "window overflow");
  const uint64_t slot = (head_ + count_) % slots_;
  const size_t offset = static_cast<size_t>(slot * input_dim_);
  if (offset == data_.size()) {
    data_.insert(data_.end(), point.begin(), point.end());
  } else {
    std::copy(point.begin(), point.end(), data_.begin() + static_cast<std::ptrdiff_t>(offset));
  }
  ++count_;
}

void PointWindow::pop_oldest() {
  QUILLON_INVARIANT(count_ > 0, "pop from an empty window");
  head_ = (head_ + 1) % slots_;
  --count_;
}

// ---------------------------------------------------------------------------------------------
// Detector

Result<OnlineIForest> OnlineIForest::construct(const OnlineIForestConfig& config,
                                               std::optional<uint64_t> seed) {
  if (Status ok = validate(config); !ok) return fail(ok.error());
  ensure_storage_fits(config);
  const uint64_t resolved = resolve_seed(seed ? &*seed : nullptr);
  Xoshiro256PlusPlus master = Xoshiro256PlusPlus::from_seed(resolved);

  OnlineIForest d;
  d.config_ = config;
  d.depth_limit_ = depth_limit(config.window_size, config.max_leaf_samples);
  d.trees_.reserve(config.num_trees);
  for (uint64_t t = 0; t < config.num_trees; ++t) {
    d.trees_.emplace_back(config.input_dim, Xoshiro256PlusPlus::from_seed(master.next_u64()));
  }
  d.window_ = PointWindow(config.input_dim, config.window_size + 1);
  d.window_.reserve_all();
  return d;
}

Status OnlineIForest::check_point(std::span<const float> point) const {
  if (point.size() != config_.input_dim) {
    return fail(DetectorError::dimension_mismatch(config_.input_dim, point.size()));
  }
  for (const float v : point) {
    if (!std::isfinite(v))
      return fail(DetectorError::invalid_argument("point values must be finite"));
  }
  return {};
}

Status OnlineIForest::update(std::span<const float> point) {
  if (Status ok = check_point(point); !ok) return ok;
  if (Status ok = check_entries_room(entries_seen_, 1, "OnlineIForest"); !ok) return ok;
  ingest_checked(point);
  return {};
}

void OnlineIForest::ingest_checked(std::span<const float> point, double* score,
                                   std::vector<double>* leaf_logs) {
  // Everything that can fail to allocate happens here, before the first change.
  window_.reserve_all();
  for (OnlineITree& tree : trees_) tree.reserve_for_insert();

  const uint64_t eta = config_.max_leaf_samples;
  window_.push(point);
  const bool evict = window_.size() > config_.window_size;
  const std::span<const float> oldest = evict ? window_.oldest() : std::span<const float>{};
  // Trees are independent, so each one takes the insert, the eviction and the scoring walk in
  // turn while its nodes are still in cache; the lengths are summed in tree order as before.
  double sum = -0.0;
  for (OnlineITree& tree : trees_) {
    tree.insert(point, eta, depth_limit_);
    if (evict) tree.remove(oldest, eta);
    if (score != nullptr) sum += tree_length(tree, point, leaf_logs);
  }
  if (evict) window_.pop_oldest();
  ++entries_seen_;  // the callers refused a full counter
  if (score != nullptr) *score = finish_score(sum);
}

namespace {

// Leaf heights are mostly below the window, but not bounded by it: a split hands its children
// counts of synthetic points, and an evicted point is taken off the leaf it routes to now, so
// a drifting stream leaves leaves counting several windows' worth (2816 for a window of 2048
// in the benchmark). Heights beyond the table are computed each time; the table stops at a
// size that stays small for any window.
std::vector<double> leaf_log_table(uint64_t window_size) {
  constexpr uint64_t kMost = uint64_t{1} << 16;
  const uint64_t size = std::min<uint64_t>(std::min<uint64_t>(window_size, kMost) * 4, kMost) + 2;
  return std::vector<double>(size, std::numeric_limits<double>::quiet_NaN());
}

}  // namespace

template <class D>
struct OnlineIForest::Batch {
  D& detector;
  const Rows<float>& points;
  BatchMode mode;
  // log2(h / max_leaf_samples) by leaf count h, shared by the batch's scored rows.
  std::vector<double> leaf_logs =
      scores(mode) ? leaf_log_table(detector.config_.window_size) : std::vector<double>{};

  BatchStatus before() const {
    return check_rows_form(points, detector.config_.input_dim == 1, "points");
  }
  Status check(size_t i) const {
    if (Status ok = detector.check_point(points[i]); !ok) return ok;
    // The counter as row i finds it, after the rows before it.
    if (!ingests(mode)) return {};
    return check_entries_room(detector.entries_seen_, uint64_t{i} + 1, "OnlineIForest");
  }
  // With `score`: update_and_score (or score, for a const detector); without: update.
  Status apply(size_t i, double* score) {
    if constexpr (std::is_const_v<D>) {
      *score = detector.score_checked(points[i], &leaf_logs);
    } else {
      detector.ingest_checked(points[i], score, &leaf_logs);
    }
    return {};
  }
  void finish() const {}
};

BatchStatus OnlineIForest::update_many(const Rows<float>& points,
                                       const BatchInterrupt& interrupt) {
  Batch<OnlineIForest> batch{*this, points, BatchMode::Update};
  auto r = run_batch(batch, points.size(), BatchMode::Update, interrupt);
  if (!r) return std::unexpected(std::move(r.error()));
  return {};
}

BatchResult<Scores> OnlineIForest::score_many(const Rows<float>& points,
                                              const BatchInterrupt& interrupt) const {
  Batch<const OnlineIForest> batch{*this, points, BatchMode::Score};
  return run_batch(batch, points.size(), BatchMode::Score, interrupt);
}

BatchResult<Scores> OnlineIForest::update_and_score_many(const Rows<float>& points,
                                                         const BatchInterrupt& interrupt) {
  Batch<OnlineIForest> batch{*this, points, BatchMode::UpdateAndScore};
  return run_batch(batch, points.size(), BatchMode::UpdateAndScore, interrupt);
}

double OnlineIForest::score_checked(std::span<const float> point,
                                    std::vector<double>* leaf_logs) const {
  double sum = -0.0;
  for (const OnlineITree& tree : trees_) sum += tree_length(tree, point, leaf_logs);
  return finish_score(sum);
}

double OnlineIForest::tree_length(const OnlineITree& tree, std::span<const float> point,
                                  std::vector<double>* leaf_logs) const {
  if (tree.empty()) return 0.0;
  const uint64_t eta = config_.max_leaf_samples;
  const auto [depth, h] = tree.leaf_of(point);
  const double length = static_cast<double>(depth);
  if (h < eta) return length;
  // log2(h / eta), looked up in `leaf_logs` (NaN until first needed) when there is one.
  const bool cached = leaf_logs != nullptr && h < leaf_logs->size();
  double log = cached ? (*leaf_logs)[h] : std::numeric_limits<double>::quiet_NaN();
  if (std::isnan(log)) {
    log = std::log2(static_cast<double>(h) / static_cast<double>(eta));
    if (cached) (*leaf_logs)[h] = log;
  }
  return length + log;
}

double OnlineIForest::finish_score(double sum) const {
  if (trees_.empty()) return 0.0;
  const double mean = -sum / static_cast<double>(trees_.size());
  return std::exp2(mean / depth_limit_);
}

Result<double> OnlineIForest::score(std::span<const float> point) const {
  if (Status ok = check_point(point); !ok) return fail(ok.error());
  return score_checked(point);
}

Result<double> OnlineIForest::update_and_score(std::span<const float> point) {
  if (Status ok = check_point(point); !ok) return fail(ok.error());
  if (Status ok = check_entries_room(entries_seen_, 1, "OnlineIForest"); !ok) return fail(ok.error());
  double score = 0.0;
  ingest_checked(point, &score);
  return score;
}

size_t OnlineIForest::memory_bytes() const {
  size_t bytes = sizeof(*this) + trees_.capacity() * sizeof(OnlineITree) + window_.reserved_bytes();
  for (const OnlineITree& tree : trees_) bytes += tree.arena().reserved_bytes();
  return bytes;
}

std::string OnlineIForest::repr() const {
  return "OnlineIForest(input_dim=" + std::to_string(config_.input_dim) +
         ", num_trees=" + std::to_string(config_.num_trees) +
         ", window_size=" + std::to_string(config_.window_size) +
         ", max_leaf_samples=" + std::to_string(config_.max_leaf_samples) +
         ", entries_seen=" + std::to_string(entries_seen_) + ")";
}

std::string OnlineIForest::to_json() const {
  json::Writer w;
  w.reserve(json::SizeHint<OnlineIForest>::get());
  w.put("{\"config\":");
  json::write(w, config_);
  w.put(",\"trees\":[");
  for (size_t t = 0; t < trees_.size(); ++t) {
    if (t != 0) w.put(',');
    trees_[t].write_json(w);
  }
  w.put("],\"window\":[");
  for (uint64_t i = 0; i < window_.size(); ++i) {
    if (i != 0) w.put(',');
    w.put('[');
    bool first = true;
    for (const float v : window_.at(i)) {
      if (!first) w.put(',');
      first = false;
      w.f32(v);
    }
    w.put(']');
  }
  w.put("],\"entries_seen\":");
  w.u64(entries_seen_);
  w.put('}');
  json::SizeHint<OnlineIForest>::set(w.text().size());
  return w.take();
}

// The saved state is checked against its own configuration before it is used: a state that
// breaks the constructor's rules, holds points or boxes of the wrong length, routes by a
// dimension the points do not have, or whose counts cannot have come from its window would
// otherwise read out of bounds or behave unlike any detector this class builds.
Result<OnlineIForest> OnlineIForest::from_json(std::string_view text) {
  return from_parsed(json::parse_state<ParsedState>(text, kJsonPrefix));
}

std::string OnlineIForest::to_bytes() const {
  bin::Writer w(bin::StateKind::OnlineIForest,
                json::SizeHint<bin::BytesOf<OnlineIForest>>::get());
  bin::write(w, config_);
  w.u64(trees_.size());
  for (const OnlineITree& tree : trees_) tree.write_bytes(w);
  w.u64(window_.size());
  for (uint64_t i = 0; i < window_.size(); ++i) {
    const auto point = window_.at(i);
    w.u64(point.size());
    w.bytes(point.data(), point.size() * sizeof(float));
  }
  w.u64(entries_seen_);
  std::string out = w.finish();
  json::SizeHint<bin::BytesOf<OnlineIForest>>::set(out.size());
  return out;
}

Result<OnlineIForest> OnlineIForest::from_bytes(std::string_view data) {
  return bin::load_state<ParsedState>(data, bin::StateKind::OnlineIForest, kJsonPrefix,
                                      "invalid OnlineIForest bytes: ", from_parsed);
}

Result<OnlineIForest> OnlineIForest::from_parsed(Result<ParsedState> parsed) {
  if (!parsed) return fail(parsed.error());
  ParsedState& s = *parsed;
  const OnlineIForestConfig& config = s.config;
  if (Status ok = validate(config); !ok) return fail(refuse(ok.error().message));
  if (s.trees.size() != config.num_trees) {
    return fail(refuse("expected " + std::to_string(config.num_trees) + " trees, found " +
                       std::to_string(s.trees.size())));
  }
  const uint64_t expected_points = std::min(s.entries_seen, config.window_size);
  if (s.window.size() != expected_points) {
    return fail(refuse("window holds " + std::to_string(s.window.size()) + " points, expected " +
                       std::to_string(expected_points) + " after " +
                       std::to_string(s.entries_seen) + " entries with window_size " +
                       std::to_string(config.window_size)));
  }
  for (size_t i = 0; i < s.window.size(); ++i) {
    const std::vector<float>& point = s.window[i];
    if (point.size() != config.input_dim) {
      return fail(refuse("window point " + std::to_string(i) + " has " +
                         std::to_string(point.size()) + " values, expected " +
                         std::to_string(config.input_dim)));
    }
    for (const float v : point) {
      if (!std::isfinite(v)) {
        return fail(refuse("window point " + std::to_string(i) + " values must be finite"));
      }
    }
  }
  ensure_storage_fits(config);

  OnlineIForest d;
  d.config_ = config;
  d.depth_limit_ = depth_limit(config.window_size, config.max_leaf_samples);
  d.entries_seen_ = s.entries_seen;
  d.trees_.reserve(s.trees.size());
  for (size_t t = 0; t < s.trees.size(); ++t) {
    auto tree = OnlineITree::from_parsed(std::move(s.trees[t]), config.input_dim,
                                         config.max_leaf_samples, d.depth_limit_, s.window);
    if (!tree) return fail(refuse("tree " + std::to_string(t) + ": " + tree.error().message));
    d.trees_.push_back(std::move(*tree));
  }
  d.window_ = PointWindow(config.input_dim, config.window_size + 1);
  d.window_.reserve_all();
  for (const std::vector<float>& point : s.window) d.window_.push(point);
  return d;
}

}  // namespace quillon::oif
