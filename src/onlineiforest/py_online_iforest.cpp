// The Python class OnlineIForest: method descriptions over the core in onlineiforest/detector.hpp.
#include <optional>
#include <vector>

#include "onlineiforest/detector.hpp"
#include "py_binding.hpp"
#include "py_classes.hpp"

namespace quillon::py {

using oif::OnlineIForest;

namespace {

using Point = std::vector<float>;

Result<OnlineIForest> construct(uint64_t input_dim, std::optional<uint64_t> num_trees,
                                std::optional<uint64_t> window_size,
                                std::optional<uint64_t> max_leaf_samples, Seed seed) {
  oif::OnlineIForestConfig config;
  config.input_dim = input_dim;
  config.num_trees = num_trees.value_or(config.num_trees);
  config.window_size = window_size.value_or(config.window_size);
  config.max_leaf_samples = max_leaf_samples.value_or(config.max_leaf_samples);
  return OnlineIForest::construct(config, seed.value);
}

Status update(OnlineIForest& d, Point point) { return d.update(point); }
Result<double> score(const OnlineIForest& d, Point point) { return d.score(point); }
Result<double> update_and_score(OnlineIForest& d, Point point) { return d.update_and_score(point); }

using Def = ClassDef<
    "OnlineIForest(input_dim, num_trees=32, window_size=2048, max_leaf_samples=32, "
    "seed=None)">;
using Persist = PersistenceTable<OnlineIForest, Def>;

constexpr const char* kClassDoc = Def::doc<
    "Online Isolation Forest detector for numerical streams.\n"
    "\n"
    "Use `update()` or `update_and_score()` to ingest observations, and `score()` to\n"
    "preview the current anomaly score for a point without mutating detector state.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "input_dim : int\n"
    "    Number of numerical features in each point.\n"
    "num_trees : int, optional\n"
    "    Number of trees in the ensemble (default 32).\n"
    "window_size : int, optional\n"
    "    Number of recent points retained by the sliding window (default 2048).\n"
    "max_leaf_samples : int, optional\n"
    "    Base leaf-splitting threshold (default 32).\n"
    "seed : int, optional\n"
    "    Random seed for deterministic trees.">();

auto methods = method_table(
    Def::method<&update, "update(point)",
                "Ingest a point without returning its score.", kReleaseLock>(),
    Def::method<&score, "score(point)",
                "Preview the current anomaly score for `point` without mutating state.\n\n"
                "The preview is computed before `point` is learned by the forest, so it can\n"
                "differ from `update_and_score()`, which returns the same value as calling\n"
                "`update(point)` and then `score(point)`. Calling it before `is_ready()` is\n"
                "allowed, but the value is not yet a stable anomaly estimate.", kReleaseLock>(),
    Def::method<&update_and_score, "update_and_score(point)",
                "Ingest a point and return its anomaly score under the updated forest.\n\n"
                "This behaves as `update(point)` followed by `score(point)` with the same point;\n"
                "this update-then-score order is specific to Online Isolation Forest.", kReleaseLock>(),
    Def::method<&OnlineIForest::update_many, "update_many(points)",
                "Ingest a batch of points, one per row, as `update()` row by row.\n\n"
                "`points` is a 2-D array (or a sequence of sequences) of shape (n, `input_dim`);\n"
                "float32 and float64 arrays in any memory order are copied once. A 1-D array is\n"
                "taken as one value per row only when `input_dim` is 1. The batch is checked before\n"
                "anything changes: a refused batch raises what the single call would have raised,\n"
                "with the note \"while processing row N\", and leaves the detector as it was.", kReleaseLock>(),
    Def::method<&OnlineIForest::score_many, "score_many(points)",
                "Preview the anomaly scores of a batch of points without mutating state.\n\n"
                "Returns a 1-D float64 numpy array with one `score()` per row, each against the\n"
                "current forest. `points` is given as for `update_many()`.", kReleaseLock>(),
    Def::method<&OnlineIForest::update_and_score_many, "update_and_score_many(points)",
                "Ingest a batch of points and return their scores under the updated forest.\n\n"
                "Returns a 1-D float64 numpy array, identical to calling `update_and_score()` row\n"
                "after row (each point is scored right after it is learned). `points` and refusals\n"
                "are as for `update_many()`.", kReleaseLock>(),
    Def::method<&OnlineIForest::is_ready, "is_ready()",
                "Return True once at least one point has been processed.">(),
    Def::method<&OnlineIForest::entries_seen, "entries_seen()",
                "Number of points processed so far.">(),
    Def::method<&OnlineIForest::num_trees, "num_trees()",
                "Number of trees in the ensemble.">(),
    Persist::json<
        "Serialize detector state to JSON.",
        "Deserialize detector state from JSON previously written by `to_json()`.",
        "Serialize detector state to a JSON file.",
        "Deserialize detector state from a JSON file previously written by `save_json()`.">(),
    Persist::binary<
        "detector",
        "Its window and trees: about 4 * d * (w + 1) + T * N * (32 + 8 * d) bytes, for\n"
        "d = input_dim, w = window_size, T = num_trees and N the nodes of a tree, about\n"
        "2 * min(entries_seen, w) / max_leaf_samples. sys.getsizeof() adds the object itself.">(),
    Persist::copy_and_pickle());

}  // namespace

template <>
PyTypeObject* ClassInfo<OnlineIForest>::type() {
  return class_type<OnlineIForest, Def>(kClassDoc, Def::constructor<&construct>(), methods.data());
}

}  // namespace quillon::py
