#include "featuresketch/detector.hpp"

#include <cmath>
#include <limits>
#include <new>
#include <type_traits>

#include "json_codec.hpp"
#include "memory_budget.hpp"

namespace quillon::fsketch {
namespace {

constexpr uint64_t kMaxChainDepth = 1024;
constexpr std::string_view kJsonPrefix = "invalid FeatureSketch JSON: ";

DetectorError bad_state(const std::string& what) {
  return DetectorError::invalid_argument(std::string(kJsonPrefix) + what);
}

// Refuses, before anything is allocated, a configuration the machine could never hold: with
// overcommit the allocation itself would succeed and the process die when the pages are touched.
void require_memory(const FeatureSketchConfig& config) {
  quillon::require_memory(
      memory_footprint(config),
      "value_projection_dims=" + std::to_string(config.value_projection_dims) +
          ", presence_projection_dims=" + std::to_string(config.presence_projection_dims) +
          ", chains_per_ensemble=" + std::to_string(config.chains_per_ensemble) +
          ", chain_depth=" + std::to_string(config.chain_depth) +
          ", sketch_rows=" + std::to_string(config.sketch_rows) +
          ", sketch_buckets=" + std::to_string(config.sketch_buckets));
}

Status check_layout(const ChainLayout& layout, std::string_view name,
                    const FeatureSketchConfig& config, uint64_t coordinates) {
  const std::string prefix(name);
  const uint64_t levels = config.chains_per_ensemble * config.chain_depth;
  if (layout.chain_depth != config.chain_depth) {
    return fail(bad_state(prefix + " chain_depth is " + std::to_string(layout.chain_depth) +
                          ", expected " + std::to_string(config.chain_depth)));
  }
  if (layout.levels.size() != levels) {
    return fail(bad_state(prefix + " has " + std::to_string(layout.levels.size()) +
                          " levels, expected " + std::to_string(levels)));
  }
  for (size_t i = 0; i < layout.levels.size(); ++i) {
    const ChainLevel& level = layout.levels[i];
    if (level.dimension >= coordinates) {
      return fail(bad_state(prefix + " level " + std::to_string(i) + " has dimension " +
                            std::to_string(level.dimension) + ", expected below " +
                            std::to_string(coordinates)));
    }
    if (!(std::isfinite(level.width) && level.width > 0.0)) {
      return fail(
          bad_state(prefix + " level " + std::to_string(i) + " width must be positive and finite"));
    }
  }
  return {};
}

Status check_sketch(const EnsembleSketch& sketch, std::string_view name,
                    const FeatureSketchConfig& config) {
  const std::string prefix(name);
  const uint64_t levels = config.chains_per_ensemble * config.chain_depth;
  const uint64_t rows = config.sketch_rows;
  const uint64_t buckets = config.sketch_buckets;
  if (sketch.levels.size() != levels) {
    return fail(bad_state(prefix + " has " + std::to_string(sketch.levels.size()) +
                          " levels, expected " + std::to_string(levels)));
  }
  if (sketch.reference_masses.size() != levels) {
    return fail(bad_state(prefix + " has " + std::to_string(sketch.reference_masses.size()) +
                          " reference masses, expected " + std::to_string(levels)));
  }
  for (size_t i = 0; i < sketch.levels.size(); ++i) {
    const LevelSketch& level = sketch.levels[i];
    const std::string at = prefix + " level " + std::to_string(i);
    if (level.rows != rows) {
      return fail(bad_state(at + " has " + std::to_string(level.rows) + " rows, expected " +
                            std::to_string(rows)));
    }
    if (level.buckets != buckets) {
      return fail(bad_state(at + " has " + std::to_string(level.buckets) + " buckets, expected " +
                            std::to_string(buckets)));
    }
    if (level.row_hash_seeds.seeds.size() != rows) {
      return fail(bad_state(at + " has " + std::to_string(level.row_hash_seeds.seeds.size()) +
                            " row hash seeds, expected " + std::to_string(rows)));
    }
    if (level.cell_count != rows * buckets) {
      return fail(bad_state(at + " has " + std::to_string(level.cell_count) + " cells, expected " +
                            std::to_string(rows * buckets)));
    }
  }
  // Counts only ever decay towards zero and grow by one: a negative or non-finite one cannot have
  // come from events.
  auto is_count = [](const DecayedValue& v) { return std::isfinite(v.value) && v.value >= 0.0; };
  for (size_t i = 0; i < sketch.reference_masses.size(); ++i) {
    if (!is_count(sketch.reference_masses[i])) {
      return fail(
          bad_state(prefix + " reference mass " + std::to_string(i) + " must be finite and >= 0"));
    }
  }
  for (size_t i = 0; i < sketch.levels.size(); ++i) {
    for (const DecayedValue& cell : sketch.level_cells(i)) {
      if (!is_count(cell)) {
        return fail(bad_state(prefix + " level " + std::to_string(i) +
                              " has a cell that is not finite and >= 0"));
      }
    }
  }
  return {};
}

}  // namespace

Status validate_config(const FeatureSketchConfig& c) {
  auto invalid = [](const char* message) { return fail(DetectorError::invalid_argument(message)); };
  if (c.value_projection_dims == 0) return invalid("value_projection_dims must be > 0");
  if (c.presence_projection_dims == 0) return invalid("presence_projection_dims must be > 0");
  if (c.chains_per_ensemble == 0) return invalid("chains_per_ensemble must be > 0");
  if (c.chain_depth == 0) return invalid("chain_depth must be > 0");
  // 4 / 2^1023 is still a positive normal width; one level deeper it would underflow.
  if (c.chain_depth > kMaxChainDepth) {
    return invalid("chain_depth is too large to keep chain bin widths positive");
  }
  if (c.sketch_rows == 0) return invalid("sketch_rows must be > 0");
  if (c.sketch_buckets < 2) return invalid("sketch_buckets must be >= 2");
  if (c.decay_half_life == 0) return invalid("decay_half_life must be > 0");
  if (c.presence_projection_dims == std::numeric_limits<uint64_t>::max()) {
    return invalid("presence_projection_dims plus the feature-count signal must fit in usize");
  }
  uint64_t levels = 0;
  if (__builtin_mul_overflow(c.chains_per_ensemble, c.chain_depth, &levels)) {
    return invalid("chains_per_ensemble * chain_depth must fit in usize");
  }
  uint64_t cells_per_level = 0;
  if (__builtin_mul_overflow(c.sketch_rows, c.sketch_buckets, &cells_per_level)) {
    return invalid("sketch_rows * sketch_buckets must fit in usize");
  }
  uint64_t level_rows = 0;
  uint64_t cells = 0;
  if (__builtin_mul_overflow(levels, c.sketch_rows, &level_rows) ||
      __builtin_mul_overflow(level_rows, c.sketch_buckets, &cells) ||
      cells >= (uint64_t{1} << 63)) {
    return invalid("total FeatureSketch sketch cells must fit in usize");
  }
  return {};
}

unsigned __int128 memory_footprint(const FeatureSketchConfig& c) {
  using U = unsigned __int128;
  const U levels = U{c.chains_per_ensemble} * c.chain_depth;
  const U level_rows = levels * c.sketch_rows;
  const U cells = level_rows * c.sketch_buckets;
  // The cell buffer may be rounded up to whole 2 MB pages.
  const U per_ensemble = cells * sizeof(DecayedValue) + HugePageAllocator<DecayedValue>::kHugePage +
                         level_rows * sizeof(Seed4) +
                         levels * (sizeof(ChainLevel) + sizeof(LevelSketch) + sizeof(DecayedValue));
  const U vectors = (U{c.value_projection_dims} + c.presence_projection_dims + 1) * sizeof(double);
  return 2 * per_ensemble + vectors;
}

Result<FeatureSketch> FeatureSketch::create(const FeatureSketchConfig& config,
                                            std::optional<uint64_t> seed) {
  const uint64_t resolved = resolve_seed(seed ? &*seed : nullptr);
  if (auto valid = validate_config(config); !valid) return fail(valid.error());
  require_memory(config);

  Xoshiro256PlusPlus rng = Xoshiro256PlusPlus::from_seed(resolved);
  FeatureSketchState state;
  state.config = config;
  for (Seed4* seed4 : {&state.projection_seeds.value, &state.projection_seeds.presence,
                       &state.projection_seeds.feature_lo, &state.projection_seeds.feature_hi}) {
    for (auto& word : *seed4) word = rng.next_u64();
  }
  const uint64_t chains = config.chains_per_ensemble;
  const uint64_t depth = config.chain_depth;
  state.value_layout = generate_layout(chains, depth, config.value_projection_dims, false, rng);
  state.presence_layout =
      generate_layout(chains, depth, config.presence_projection_dims + 1, true, rng);
  state.value_sketch =
      generate_sketch(config.sketch_rows, config.sketch_buckets, chains * depth, rng);
  state.presence_sketch =
      generate_sketch(config.sketch_rows, config.sketch_buckets, chains * depth, rng);
  return FeatureSketch(std::move(state));
}

Result<FeatureSketch> FeatureSketch::from_json(std::string_view text) {
  return from_parsed(json::parse_state<FeatureSketchState>(text, kJsonPrefix));
}

constexpr std::string_view kBytesPrefix = "invalid FeatureSketch bytes: ";

Result<FeatureSketch> FeatureSketch::from_bytes(std::string_view data) {
  return bin::load_state<FeatureSketchState>(data, bin::StateKind::FeatureSketch, kJsonPrefix,
                                             kBytesPrefix, from_parsed);
}

std::string FeatureSketch::to_bytes() const {
  return bin::write_state(state_, bin::StateKind::FeatureSketch);
}

namespace {

template <class T, class A>
size_t vector_bytes(const std::vector<T, A>& v) {
  return v.capacity() * sizeof(T);
}

size_t ensemble_bytes(const EnsembleSketch& e) {
  size_t bytes = vector_bytes(e.levels) + vector_bytes(e.reference_masses) + vector_bytes(e.cells);
  for (const LevelSketch& level : e.levels) bytes += vector_bytes(level.row_hash_seeds.seeds);
  return bytes;
}

size_t layout_bytes(const ChainLayout& l) { return vector_bytes(l.levels); }

}  // namespace

size_t FeatureSketch::heap_bytes() const {
  return ensemble_bytes(state_.value_sketch) + ensemble_bytes(state_.presence_sketch) +
         layout_bytes(state_.value_layout) + layout_bytes(state_.presence_layout) +
         layout_bytes(value_reads_.layout) + layout_bytes(presence_reads_.layout) +
         vector_bytes(value_reads_.coordinates) + vector_bytes(presence_reads_.coordinates);
}

Result<FeatureSketch> FeatureSketch::from_parsed(Result<FeatureSketchState> parsed) {
  if (!parsed) return fail(parsed.error());
  FeatureSketchState& state = *parsed;
  if (state.format_version != 1) return fail(bad_state("unsupported format version"));
  const FeatureSketchConfig& config = state.config;
  if (auto valid = validate_config(config); !valid) return fail(valid.error());
  if (auto ok =
          check_layout(state.value_layout, "value_layout", config, config.value_projection_dims);
      !ok) {
    return fail(ok.error());
  }
  if (auto ok = check_layout(state.presence_layout, "presence_layout", config,
                             config.presence_projection_dims + 1);
      !ok) {
    return fail(ok.error());
  }
  if (auto ok = check_sketch(state.value_sketch, "value_sketch", config); !ok) {
    return fail(ok.error());
  }
  if (auto ok = check_sketch(state.presence_sketch, "presence_sketch", config); !ok) {
    return fail(ok.error());
  }
  require_memory(config);
  return FeatureSketch(std::move(state));
}

FeatureSketch::FeatureSketch(FeatureSketchState state)
    : state_(std::move(state)),
      value_reads_(compact_layout(state_.value_layout)),
      presence_reads_(compact_layout(state_.presence_layout)) {}

std::string FeatureSketch::to_json() const { return json::write_state(state_); }

ProjectionPlan FeatureSketch::plan() const {
  return {value_reads_.coordinates, presence_reads_.coordinates,
          state_.config.presence_projection_dims};
}

Result<ProjectedEvent> FeatureSketch::project_event(std::span<const FeaturePair> feature) const {
  auto combined = combine(feature);
  if (!combined) return fail(combined.error());
  ProjectedEvent event;
  project_into(*combined, plan(), state_.projection_seeds, event);
  return event;
}

Status FeatureSketch::check_clock() const {
  constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
  if (state_.current_epoch == kMax) {
    return fail(DetectorError::overflow("FeatureSketch epoch overflow"));
  }
  if (state_.entries_seen == kMax) {
    return fail(DetectorError::overflow("FeatureSketch entries_seen overflow"));
  }
  return {};
}

double FeatureSketch::score_projected(const ProjectedEvent& event) const {
  const uint64_t now = state_.current_epoch;
  const uint64_t half_life = state_.config.decay_half_life;
  const double value =
      fsketch::score(state_.value_sketch, value_reads_.layout, event.value, now, half_life);
  const double presence = fsketch::score(state_.presence_sketch, presence_reads_.layout,
                                         event.presence, now, half_life);
  return (value + presence) * 0.5;
}

Result<double> FeatureSketch::score(std::span<const FeaturePair> feature) const {
  auto event = project_event(feature);
  if (!event) return fail(event.error());
  return score_projected(*event);
}

Status FeatureSketch::update(std::span<const FeaturePair> feature) {
  auto event = project_event(feature);
  if (!event) return fail(event.error());
  if (auto ok = check_clock(); !ok) return ok;
  const uint64_t next = state_.current_epoch + 1;
  const uint64_t half_life = state_.config.decay_half_life;
  record(state_.value_sketch, value_reads_.layout, event->value, next, half_life);
  record(state_.presence_sketch, presence_reads_.layout, event->presence, next, half_life);
  state_.current_epoch = next;
  state_.entries_seen += 1;
  return {};
}

Result<double> FeatureSketch::update_and_score(std::span<const FeaturePair> feature) {
  auto event = project_event(feature);
  if (!event) return fail(event.error());
  if (auto ok = check_clock(); !ok) return fail(ok.error());
  const uint64_t now = state_.current_epoch;
  const uint64_t half_life = state_.config.decay_half_life;
  const double value =
      score_then_record(state_.value_sketch, value_reads_.layout, event->value, now, half_life);
  const double presence = score_then_record(state_.presence_sketch, presence_reads_.layout,
                                            event->presence, now, half_life);
  state_.current_epoch = now + 1;
  state_.entries_seen += 1;
  return (value + presence) * 0.5;
}

template <class D>
struct FeatureSketch::Batch {
  D& detector;
  const FeatureEvents& events;
  BatchMode mode;
  // Working space reused across the events.
  CombinedEvent combined{};
  std::vector<size_t> order{};
  ProjectedEvent projected{};

  BatchStatus before() const { return {}; }
  Status check(size_t i) {
    if (auto ok = combine_into(events.event(i), combined, order); !ok) return ok;
    if (!ingests(mode)) return {};
    // The clock as event i finds it, after the i events before it.
    constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
    const FeatureSketchState& state = detector.state_;
    if (state.current_epoch == kMax - i) {
      return fail(DetectorError::overflow("FeatureSketch epoch overflow"));
    }
    if (state.entries_seen == kMax - i) {
      return fail(DetectorError::overflow("FeatureSketch entries_seen overflow"));
    }
    return {};
  }
  // Event i combined and projected into `projected`.
  void project(size_t i) {
    // The next event's pairs were read long ago by the checks; fetch them while this one works.
    if (i + 1 < events.size()) {
      const auto next = events.event(i + 1);
      const char* bytes = reinterpret_cast<const char*>(next.data());
      for (size_t b = 0; b < next.size_bytes(); b += 64) __builtin_prefetch(bytes + b);
    }
    const bool ok = combine_into(events.event(i), combined, order).has_value();
    QUILLON_INVARIANT(ok, "a checked event failed to combine");
    project_into(combined, detector.plan(), detector.state_.projection_seeds, projected);
  }
  Status apply(size_t i, double* score) {
    project(i);
    if constexpr (std::is_const_v<D>) {
      *score = detector.score_projected(projected);
    } else {
      FeatureSketchState& state = detector.state_;
      const uint64_t half_life = state.config.decay_half_life;
      const uint64_t now = state.current_epoch;
      if (score != nullptr) {
        const double value = score_then_record(state.value_sketch, detector.value_reads_.layout,
                                               projected.value, now, half_life);
        const double presence =
            score_then_record(state.presence_sketch, detector.presence_reads_.layout,
                              projected.presence, now, half_life);
        *score = (value + presence) * 0.5;
      } else {
        record(state.value_sketch, detector.value_reads_.layout, projected.value, now + 1,
               half_life);
        record(state.presence_sketch, detector.presence_reads_.layout, projected.presence,
               now + 1, half_life);
      }
      state.current_epoch = now + 1;
      state.entries_seen += 1;
    }
    return {};
  }
  void finish() const {}
};

BatchStatus FeatureSketch::update_many(const FeatureEvents& events,
                                       const BatchInterrupt& interrupt) {
  Batch<FeatureSketch> batch{*this, events, BatchMode::Update};
  auto r = run_batch(batch, events.size(), BatchMode::Update, interrupt);
  if (!r) return std::unexpected(std::move(r.error()));
  return {};
}

BatchResult<Scores> FeatureSketch::score_many(const FeatureEvents& events,
                                              const BatchInterrupt& interrupt) const {
  Batch<const FeatureSketch> batch{*this, events, BatchMode::Score};
  return run_batch(batch, events.size(), BatchMode::Score, interrupt);
}

BatchResult<Scores> FeatureSketch::update_and_score_many(const FeatureEvents& events,
                                                         const BatchInterrupt& interrupt) {
  Batch<FeatureSketch> batch{*this, events, BatchMode::UpdateAndScore};
  return run_batch(batch, events.size(), BatchMode::UpdateAndScore, interrupt);
}

std::string FeatureSketch::repr() const {
  const FeatureSketchConfig& c = state_.config;
  return "FeatureSketch(value_projection_dims=" + std::to_string(c.value_projection_dims) +
         ", presence_projection_dims=" + std::to_string(c.presence_projection_dims) +
         ", chains_per_ensemble=" + std::to_string(c.chains_per_ensemble) +
         ", chain_depth=" + std::to_string(c.chain_depth) +
         ", sketch_rows=" + std::to_string(c.sketch_rows) +
         ", sketch_buckets=" + std::to_string(c.sketch_buckets) +
         ", decay_half_life=" + std::to_string(c.decay_half_life) +
         ", entries_seen=" + std::to_string(state_.entries_seen) + ")";
}

}  // namespace quillon::fsketch
