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

using Def = ClassDef<
    "FeatureSketch(value_projection_dims=32, presence_projection_dims=32, "
    "chains_per_ensemble=16, chain_depth=8, sketch_rows=2, sketch_buckets=2048, "
    "decay_half_life=2048, seed=None)">;
using Persist = PersistenceTable<FeatureSketch, Def>;

constexpr const char* kClassDoc = Def::doc<
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
    "    Random seed for deterministic projections, chains, and sketches.">();

auto methods = method_table(
    Def::method<&update, "update(feature)",
                "Ingest a feature event without returning its score.", kReleaseLock>(),
    Def::method<&score, "score(feature)",
                "Preview the current anomaly score for a feature event without mutating state.\n\n"
                "This is the same pre-ingest score that `update_and_score()` would return\n"
                "if called next. It is computed against the current sketches and does not\n"
                "advance the decay epoch or `entries_seen()`.", kReleaseLock>(),
    Def::method<&update_and_score, "update_and_score(feature)",
                "Ingest a feature event and return its anomaly score.\n\n"
                "This has the same behavior as calling `score(feature)` first and then\n"
                "`update(feature)` with the same event. Unlike a literal two-call\n"
                "sequence, this method normalizes and projects the input once.", kReleaseLock>(),
    Def::method<&FeatureSketch::update_many, "update_many(events)",
                "Ingest a batch of feature events, as `update()` event by event.\n\n"
                "`events` is an iterable of events, each a mapping from feature name to value or a\n"
                "sequence of `(name, value)` pairs (for a data frame: `df.to_dict(\"records\")`).\n"
                "The batch is checked before anything changes: a refused batch raises what the\n"
                "single call would have raised, with the note \"while processing row N\" naming\n"
                "the event, and leaves the detector as it was.", kReleaseLock>(),
    Def::method<&FeatureSketch::score_many, "score_many(events)",
                "Preview the anomaly scores of a batch of feature events without mutating state.\n\n"
                "Returns a 1-D float64 numpy array with one `score()` per event, each against the\n"
                "current sketches. `events` is given as for `update_many()`.", kReleaseLock>(),
    Def::method<&FeatureSketch::update_and_score_many, "update_and_score_many(events)",
                "Ingest a batch of feature events and return their anomaly scores.\n\n"
                "Returns a 1-D float64 numpy array, identical to calling `update_and_score()`\n"
                "event after event. `events` and refusals are as for `update_many()`.", kReleaseLock>(),
    Def::method<&FeatureSketch::is_ready, "is_ready()",
                "Return True once the detector has processed at least one event.">(),
    Def::method<&FeatureSketch::entries_seen, "entries_seen()",
                "Return the number of processed events.">(),
    Persist::json<
        "Serialize the detector state to JSON.",
        "Deserialize detector state from a JSON string previously written by `to_json()`.",
        "Serialize the detector state to a JSON file.",
        "Deserialize detector state from a JSON file previously written by `save_json()`.">(),
    Persist::binary<
        "detector",
        "Its two sketch ensembles: about 32 * chains_per_ensemble * chain_depth * sketch_rows *\n"
        "(sketch_buckets + 2) bytes. sys.getsizeof() adds the object itself.">(),
    Persist::copy_and_pickle());

}  // namespace

template <>
PyTypeObject* ClassInfo<FeatureSketch>::type() {
  return class_type<FeatureSketch, Def>(kClassDoc, Def::constructor<&construct>(), methods.data());
}

}  // namespace quillon::py
