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
BatchStatus update_many(OnlineIForest& d, const PointRows& points) {
  return d.update_many(points.rows);
}
BatchResult<Scores> score_many(const OnlineIForest& d, const PointRows& points) {
  return d.score_many(points.rows);
}
BatchResult<Scores> update_and_score_many(OnlineIForest& d, const PointRows& points) {
  return d.update_and_score_many(points.rows);
}
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
constexpr Signature kUpdateMany{"OnlineIForest.update_many()", {"points"}, 1, 1, kReleaseLock};
constexpr Signature kScoreMany{"OnlineIForest.score_many()", {"points"}, 1, 1, kReleaseLock};
constexpr Signature kUpdateAndScoreMany{
    "OnlineIForest.update_and_score_many()", {"points"}, 1, 1, kReleaseLock};
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
    method_def<&update_many, kUpdateMany>(
        "update_many",
        "update_many($self, points)\n--\n\n"
        "Ingest a batch of points, one per row, as `update()` row by row.\n\n"
        "`points` is a 2-D array (or a sequence of sequences) of shape (n, `input_dim`);\n"
        "float32 and float64 arrays in any memory order are read in place. A 1-D array is\n"
        "taken as one value per row only when `input_dim` is 1. The batch is checked before\n"
        "anything changes: a refused batch raises what the single call would have raised,\n"
        "with the note \"while processing row N\", and leaves the detector as it was."),
    method_def<&score_many, kScoreMany>(
        "score_many",
        "score_many($self, points)\n--\n\n"
        "Preview the anomaly scores of a batch of points without mutating state.\n\n"
        "Returns a 1-D float64 numpy array with one `score()` per row, each against the\n"
        "current forest. `points` is given as for `update_many()`."),
    method_def<&update_and_score_many, kUpdateAndScoreMany>(
        "update_and_score_many",
        "update_and_score_many($self, points)\n--\n\n"
        "Ingest a batch of points and return their scores under the updated forest.\n\n"
        "Returns a 1-D float64 numpy array, identical to calling `update_and_score()` row\n"
        "after row (each point is scored right after it is learned). `points` and refusals\n"
        "are as for `update_many()`."),
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
