// The Python class OnlineIForest: method descriptions over the core in onlineiforest/detector.hpp.
#include <optional>
#include <vector>

#include "onlineiforest/detector.hpp"
#include "py_binding.hpp"
#include "py_classes.hpp"

namespace quillon::py {

using oif::OnlineIForest;

template <>
struct ClassInfo<OnlineIForest> {
  static constexpr const char* kName = "OnlineIForest";
  static PyTypeObject* type();
};

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
bool is_ready(const OnlineIForest& d) { return d.is_ready(); }
uint64_t entries_seen(const OnlineIForest& d) { return d.entries_seen(); }
uint64_t num_trees(const OnlineIForest& d) { return d.num_trees(); }

constexpr Signature kNew{"OnlineIForest.__new__()",
                         {"input_dim", "num_trees", "window_size", "max_leaf_samples", "seed"},
                         5,
                         1,
                         kHoldLock};
constexpr Signature kUpdate{"OnlineIForest.update()", {"point"}, 1, 1, kReleaseLock};
constexpr Signature kScore{"OnlineIForest.score()", {"point"}, 1, 1, kReleaseLock};
constexpr Signature kUpdateAndScore{
    "OnlineIForest.update_and_score()", {"point"}, 1, 1, kReleaseLock};
constexpr Signature kIsReady{"OnlineIForest.is_ready()", {}, 0, 0, kHoldLock};
constexpr Signature kEntriesSeen{"OnlineIForest.entries_seen()", {}, 0, 0, kHoldLock};
constexpr Signature kNumTrees{"OnlineIForest.num_trees()", {}, 0, 0, kHoldLock};
constexpr PersistenceSignatures kPersist = QUILLON_PERSISTENCE_SIGNATURES("OnlineIForest");
using Persist = PersistenceTable<OnlineIForest, kPersist>;

constexpr const char* kClassDoc =
    "OnlineIForest(input_dim, num_trees=32, window_size=2048, max_leaf_samples=32, seed=None)\n"
    "--\n"
    "\n"
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
    "    Random seed for deterministic trees.";

PyMethodDef methods[] = {
    method_def<&update, kUpdate>(
        "update", "update($self, point)\n--\n\nIngest a point without returning its score."),
    method_def<&score, kScore>(
        "score",
        "score($self, point)\n--\n\n"
        "Preview the current anomaly score for `point` without mutating state.\n\n"
        "The preview is computed before `point` is learned by the forest, so it can\n"
        "differ from `update_and_score()`, which returns the same value as calling\n"
        "`update(point)` and then `score(point)`. Calling it before `is_ready()` is\n"
        "allowed, but the value is not yet a stable anomaly estimate."),
    method_def<&update_and_score, kUpdateAndScore>(
        "update_and_score",
        "update_and_score($self, point)\n--\n\n"
        "Ingest a point and return its anomaly score under the updated forest.\n\n"
        "This behaves as `update(point)` followed by `score(point)` with the same point;\n"
        "this update-then-score order is specific to Online Isolation Forest."),
    method_def<&is_ready, kIsReady>(
        "is_ready",
        "is_ready($self)\n--\n\nReturn True once at least one point has been processed."),
    method_def<&entries_seen, kEntriesSeen>(
        "entries_seen", "entries_seen($self)\n--\n\nNumber of points processed so far."),
    method_def<&num_trees, kNumTrees>("num_trees",
                                      "num_trees($self)\n--\n\nNumber of trees in the ensemble."),
    Persist::to_json("to_json($self)\n--\n\nSerialize detector state to JSON."),
    Persist::from_json("from_json(json)\n--\n\n"
                       "Deserialize detector state from JSON previously written by `to_json()`."),
    Persist::save_json("save_json($self, path)\n--\n\nSerialize detector state to a JSON file."),
    Persist::load_json(
        "load_json(path)\n--\n\n"
        "Deserialize detector state from a JSON file previously written by `save_json()`."),
    QUILLON_COPY_AND_PICKLE_METHODS(Persist),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* ClassInfo<OnlineIForest>::type() {
  static PyTypeObject* t = make_type_for<OnlineIForest>("quillon.quillon.OnlineIForest", kClassDoc,
                                                        &new_slot<&construct, kNew>, methods);
  return t;
}

PyTypeObject* online_iforest_type() { return ClassInfo<OnlineIForest>::type(); }

}  // namespace quillon::py
