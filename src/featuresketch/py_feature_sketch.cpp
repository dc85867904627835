// The Python class FeatureSketch: method descriptions over the core in featuresketch/detector.hpp.
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "featuresketch/detector.hpp"
#include "py_binding.hpp"
#include "py_classes.hpp"

namespace quillon::py {

using fsketch::FeatureSketch;
using fsketch::FeatureSketchConfig;

template <>
struct ClassInfo<FeatureSketch> {
  static constexpr const char* kName = "FeatureSketch";
  static PyTypeObject* type();
};

namespace {

// A mapping arrives sorted by name; two distinct keys with the same text (str subclasses) keep
// the value of the later key, which the stable name sort leaves last in its run.
std::span<const fsketch::FeaturePair> event_pairs(FeatureEvent& feature) {
  keep_last_of_equal_names(feature);
  return feature.items;
}

Result<FeatureSketch> construct(std::optional<uint64_t> value_projection_dims,
                                std::optional<uint64_t> presence_projection_dims,
                                std::optional<uint64_t> chains_per_ensemble,
                                std::optional<uint64_t> chain_depth,
                                std::optional<uint64_t> sketch_rows,
                                std::optional<uint64_t> sketch_buckets,
                                std::optional<uint64_t> decay_half_life, Seed seed) {
  FeatureSketchConfig c;
  c.value_projection_dims = value_projection_dims.value_or(c.value_projection_dims);
  c.presence_projection_dims = presence_projection_dims.value_or(c.presence_projection_dims);
  c.chains_per_ensemble = chains_per_ensemble.value_or(c.chains_per_ensemble);
  c.chain_depth = chain_depth.value_or(c.chain_depth);
  c.sketch_rows = sketch_rows.value_or(c.sketch_rows);
  c.sketch_buckets = sketch_buckets.value_or(c.sketch_buckets);
  c.decay_half_life = decay_half_life.value_or(c.decay_half_life);
  return FeatureSketch::create(c, seed.value);
}

Status update(FeatureSketch& d, FeatureEvent feature) { return d.update(event_pairs(feature)); }
Result<double> score(const FeatureSketch& d, FeatureEvent feature) {
  return d.score(event_pairs(feature));
}
Result<double> update_and_score(FeatureSketch& d, FeatureEvent feature) {
  return d.update_and_score(event_pairs(feature));
}
BatchStatus update_many(FeatureSketch& d, const FeatureEvents& events) {
  return d.update_many(events);
}
BatchResult<Scores> score_many(const FeatureSketch& d, const FeatureEvents& events) {
  return d.score_many(events);
}
BatchResult<Scores> update_and_score_many(FeatureSketch& d, const FeatureEvents& events) {
  return d.update_and_score_many(events);
}
bool is_ready(const FeatureSketch& d) { return d.is_ready(); }
uint64_t entries_seen(const FeatureSketch& d) { return d.entries_seen(); }

constexpr Signature kNew{
    "FeatureSketch.__new__()",
    {"value_projection_dims", "presence_projection_dims", "chains_per_ensemble", "chain_depth",
     "sketch_rows", "sketch_buckets", "decay_half_life", "seed"},
    8,
    0,
    kHoldLock};
constexpr Signature kUpdate{"FeatureSketch.update()", {"feature"}, 1, 1, kReleaseLock};
constexpr Signature kScore{"FeatureSketch.score()", {"feature"}, 1, 1, kReleaseLock};
constexpr Signature kUpdateAndScore{
    "FeatureSketch.update_and_score()", {"feature"}, 1, 1, kReleaseLock};
constexpr Signature kUpdateMany{"FeatureSketch.update_many()", {"events"}, 1, 1, kReleaseLock};
constexpr Signature kScoreMany{"FeatureSketch.score_many()", {"events"}, 1, 1, kReleaseLock};
constexpr Signature kUpdateAndScoreMany{
    "FeatureSketch.update_and_score_many()", {"events"}, 1, 1, kReleaseLock};
constexpr Signature kIsReady{"FeatureSketch.is_ready()", {}, 0, 0, kHoldLock};
constexpr Signature kEntriesSeen{"FeatureSketch.entries_seen()", {}, 0, 0, kHoldLock};
constexpr PersistenceSignatures kPersist = QUILLON_PERSISTENCE_SIGNATURES("FeatureSketch");
using Persist = PersistenceTable<FeatureSketch, kPersist>;

constexpr const char* kClassDoc =
    "FeatureSketch(value_projection_dims=32, presence_projection_dims=32, "
    "chains_per_ensemble=16, chain_depth=8, sketch_rows=2, sketch_buckets=2048, "
    "decay_half_life=2048, seed=None)\n"
    "--\n"
    "\n"
    "FeatureSketch detector for sparse, schema-evolving feature streams.\n"
    "\n"
    "Feature events can be passed as either a mapping from feature name to value\n"
    "or as a sequence of `(name, value)` pairs. Duplicate names are combined\n"
    "before scoring, and values must be finite.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "value_projection_dims : int, optional\n"
    "    Number of random projection dimensions for feature values (default 32).\n"
    "presence_projection_dims : int, optional\n"
    "    Number of random projection dimensions for feature presence (default 32).\n"
    "chains_per_ensemble : int, optional\n"
    "    Number of chains in each sketch ensemble (default 16).\n"
    "chain_depth : int, optional\n"
    "    Number of bins traversed by each chain (default 8).\n"
    "sketch_rows : int, optional\n"
    "    Number of hash rows in each count-min sketch (default 2).\n"
    "sketch_buckets : int, optional\n"
    "    Number of buckets per sketch row (default 2048).\n"
    "decay_half_life : int, optional\n"
    "    Event-count half-life used for temporal decay (default 2048).\n"
    "seed : int, optional\n"
    "    Random seed for deterministic projections, chains, and sketches.";

PyMethodDef methods[] = {
    method_def<&update, kUpdate>(
        "update",
        "update($self, feature)\n--\n\nIngest a feature event without returning its score."),
    method_def<&score, kScore>(
        "score",
        "score($self, feature)\n--\n\n"
        "Preview the current anomaly score for a feature event without mutating state.\n\n"
        "This is the same pre-ingest score that `update_and_score()` would return\n"
        "if called next. It is computed against the current sketches and does not\n"
        "advance the decay epoch or `entries_seen()`."),
    method_def<&update_and_score, kUpdateAndScore>(
        "update_and_score",
        "update_and_score($self, feature)\n--\n\n"
        "Ingest a feature event and return its anomaly score.\n\n"
        "This has the same behavior as calling `score(feature)` first and then\n"
        "`update(feature)` with the same event. Unlike a literal two-call\n"
        "sequence, this method normalizes and projects the input once."),
    method_def<&update_many, kUpdateMany>(
        "update_many",
        "update_many($self, events)\n--\n\n"
        "Ingest a batch of feature events, as `update()` event by event.\n\n"
        "`events` is an iterable of events, each a mapping from feature name to value or a\n"
        "sequence of `(name, value)` pairs (for a data frame: `df.to_dict(\"records\")`).\n"
        "The batch is checked before anything changes: a refused batch raises what the\n"
        "single call would have raised, with the note \"while processing row N\" naming\n"
        "the event, and leaves the detector as it was."),
    method_def<&score_many, kScoreMany>(
        "score_many",
        "score_many($self, events)\n--\n\n"
        "Preview the anomaly scores of a batch of feature events without mutating state.\n\n"
        "Returns a 1-D float64 numpy array with one `score()` per event, each against the\n"
        "current sketches. `events` is given as for `update_many()`."),
    method_def<&update_and_score_many, kUpdateAndScoreMany>(
        "update_and_score_many",
        "update_and_score_many($self, events)\n--\n\n"
        "Ingest a batch of feature events and return their anomaly scores.\n\n"
        "Returns a 1-D float64 numpy array, identical to calling `update_and_score()`\n"
        "event after event. `events` and refusals are as for `update_many()`."),
    method_def<&is_ready, kIsReady>(
        "is_ready",
        "is_ready($self)\n--\n\nReturn True once the detector has processed at least one event."),
    method_def<&entries_seen, kEntriesSeen>(
        "entries_seen", "entries_seen($self)\n--\n\nReturn the number of processed events."),
    Persist::to_json("to_json($self)\n--\n\nSerialize the detector state to JSON."),
    Persist::from_json(
        "from_json(json)\n--\n\n"
        "Deserialize detector state from a JSON string previously written by `to_json()`."),
    Persist::save_json(
        "save_json($self, path)\n--\n\nSerialize the detector state to a JSON file."),
    Persist::load_json(
        "load_json(path)\n--\n\n"
        "Deserialize detector state from a JSON file previously written by `save_json()`."),
    Persist::copy(),
    Persist::deepcopy(),
    Persist::getstate(),
    Persist::setstate(),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* ClassInfo<FeatureSketch>::type() {
  static PyTypeObject* t = make_type_for<FeatureSketch>("quillon.quillon.FeatureSketch", kClassDoc,
                                                        &new_slot<&construct, kNew>, methods);
  return t;
}

PyTypeObject* feature_sketch_type() { return ClassInfo<FeatureSketch>::type(); }

}  // namespace quillon::py
