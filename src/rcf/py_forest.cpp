// The Python class Forest: method descriptions over the core in forest/mod.hpp and the queries in
// forest/query.hpp and forest/impute.hpp.
#include <optional>
#include <vector>

#include "py_binding.hpp"
#include "py_classes.hpp"
#include "rcf/forest/batch.hpp"
#include "rcf/forest/impute.hpp"
#include "rcf/forest/mod.hpp"
#include "rcf/forest/query.hpp"

namespace quillon::rcf {

namespace {

// Builds a dict from (key, new reference) pairs in order; nullptr (with the error set) on failure.
template <size_t N>
PyObject* make_dict(const char* const (&keys)[N], PyObject* (&&values)[N]) {
  PyObject* dict = PyDict_New();
  bool ok = dict != nullptr;
  for (size_t i = 0; i < N; ++i) {
    if (ok && values[i] != nullptr) {
      ok = PyDict_SetItemString(dict, keys[i], values[i]) == 0;
    } else {
      ok = false;
    }
    Py_XDECREF(values[i]);
  }
  if (!ok) {
    Py_XDECREF(dict);
    return nullptr;
  }
  return dict;
}

}  // namespace

// {"below": float, "above": float}
PyObject* to_python(const AttributionPair& pair) {
  static const char* const kKeys[] = {"below", "above"};
  return make_dict(kKeys, {py::to_python(pair.below), py::to_python(pair.above)});
}

// {"score": float, "point": [float, ...], "distance": float}
PyObject* to_python(const Neighbor& n) {
  static const char* const kKeys[] = {"score", "point", "distance"};
  return make_dict(kKeys,
                   {py::to_python(n.score), py::to_python(n.point), py::to_python(n.distance)});
}

}  // namespace quillon::rcf

namespace quillon::py {

using rcf::Forest;

template <>
struct ClassInfo<Forest> {
  static constexpr const char* kName = "Forest";
  static PyTypeObject* type();
};

namespace {

using Point = std::vector<float>;

Result<Forest> construct(uint64_t input_dim, std::optional<uint64_t> shingle_size,
                         std::optional<uint64_t> num_trees, std::optional<uint64_t> capacity,
                         std::optional<double> time_decay, std::optional<uint64_t> output_after,
                         std::optional<bool> internal_shingling,
                         std::optional<double> initial_accept_fraction, Seed seed) {
  rcf::RcfConfig config;
  config.input_dim = input_dim;
  config.shingle_size = shingle_size.value_or(config.shingle_size);
  config.num_trees = num_trees.value_or(config.num_trees);
  config.capacity = capacity.value_or(config.capacity);
  config.time_decay = time_decay.value_or(config.time_decay);
  config.output_after = output_after.value_or(config.output_after);
  config.internal_shingling = internal_shingling.value_or(config.internal_shingling);
  config.initial_accept_fraction = initial_accept_fraction.value_or(config.initial_accept_fraction);
  // The seed is drawn before validation, so an invalid configuration still consumes entropy.
  const uint64_t resolved = resolve_seed(seed.get());
  return Forest::create(config, resolved);
}

Status update(Forest& f, Point point) { return f.update(point); }

Result<double> update_and_score(Forest& f, Point point) {
  // The checks in the order the batch makes them: the scoring step's length, then the ingesting
  // step's length and values, so that a point of the full shingle's length reads as a length
  // error whatever its values.
  if (auto ok = f.check_query_width(point.size()); !ok) return fail(ok.error());
  if (auto ok = f.check_observation(point); !ok) return fail(ok.error());
  auto s = rcf::score(f, point);
  if (!s) return s;
  if (auto ok = f.update(point); !ok) return fail(ok.error());
  return s;
}

Result<double> score(const Forest& f, Point point) { return rcf::score(f, point); }
BatchStatus update_many(Forest& f, const PointRows& points) {
  return rcf::update_many(f, points.rows);
}
BatchResult<Scores> score_many(const Forest& f, const PointRows& points) {
  return rcf::score_many(f, points.rows);
}
BatchResult<Scores> update_and_score_many(Forest& f, const PointRows& points) {
  return rcf::update_and_score_many(f, points.rows);
}
Result<double> displacement_score(const Forest& f, Point point) {
  return rcf::displacement_score(f, point);
}
Result<std::vector<rcf::AttributionPair>> attribution(const Forest& f, Point point) {
  return rcf::attribution(f, point);
}
Result<double> density(const Forest& f, Point point) { return rcf::density(f, point); }
Result<std::vector<rcf::Neighbor>> near_neighbors(const Forest& f, Point point,
                                                  std::optional<uint64_t> top_k,
                                                  std::optional<uint64_t> percentile) {
  return rcf::near_neighbors(f, point, top_k.value_or(10), percentile.value_or(50));
}
Result<std::vector<float>> impute(const Forest& f, Point point, std::vector<uint64_t> missing,
                                  std::optional<double> centrality) {
  return rcf::impute(f, point, missing, centrality.value_or(1.0));
}
Result<std::vector<float>> extrapolate(const Forest& f, uint64_t look_ahead) {
  return rcf::extrapolate(f, look_ahead);
}
bool is_ready(const Forest& f) { return f.is_ready(); }
uint64_t entries_seen(const Forest& f) { return f.entries_seen; }
uint64_t num_trees(const Forest& f) { return f.num_trees(); }

constexpr Signature kNew{"Forest.__new__()",
                         {"input_dim", "shingle_size", "num_trees", "capacity", "time_decay",
                          "output_after", "internal_shingling", "initial_accept_fraction", "seed"},
                         9,
                         1,
                         kHoldLock};
constexpr Signature kUpdate{"Forest.update()", {"point"}, 1, 1, kReleaseLock};
constexpr Signature kUpdateAndScore{"Forest.update_and_score()", {"point"}, 1, 1, kReleaseLock};
constexpr Signature kScore{"Forest.score()", {"point"}, 1, 1, kReleaseLock};
constexpr Signature kUpdateMany{"Forest.update_many()", {"points"}, 1, 1, kReleaseLock};
constexpr Signature kScoreMany{"Forest.score_many()", {"points"}, 1, 1, kReleaseLock};
constexpr Signature kUpdateAndScoreMany{
    "Forest.update_and_score_many()", {"points"}, 1, 1, kReleaseLock};
constexpr Signature kDisplacementScore{
    "Forest.displacement_score()", {"point"}, 1, 1, kReleaseLock};
constexpr Signature kAttribution{"Forest.attribution()", {"point"}, 1, 1, kReleaseLock};
constexpr Signature kDensity{"Forest.density()", {"point"}, 1, 1, kReleaseLock};
constexpr Signature kNearNeighbors{
    "Forest.near_neighbors()", {"point", "top_k", "percentile"}, 3, 1, kReleaseLock};
constexpr Signature kImpute{
    "Forest.impute()", {"point", "missing", "centrality"}, 3, 2, kReleaseLock};
constexpr Signature kExtrapolate{"Forest.extrapolate()", {"look_ahead"}, 1, 1, kReleaseLock};
constexpr Signature kIsReady{"Forest.is_ready()", {}, 0, 0, kHoldLock};
constexpr Signature kEntriesSeen{"Forest.entries_seen()", {}, 0, 0, kHoldLock};
constexpr Signature kNumTrees{"Forest.num_trees()", {}, 0, 0, kHoldLock};
constexpr PersistenceSignatures kPersist = QUILLON_PERSISTENCE_SIGNATURES("Forest");
using Persist = PersistenceTable<Forest, kPersist>;

constexpr const char* kClassDoc =
    "Forest(input_dim, shingle_size=1, num_trees=50, capacity=256, time_decay=0.0, "
    "output_after=0, internal_shingling=True, initial_accept_fraction=0.125, seed=None)\n"
    "--\n"
    "\n"
    "A Random Cut Forest: an ensemble of Random Cut Trees sharing point storage.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "input_dim : int\n"
    "    Number of features per observation (before shingling).\n"
    "shingle_size : int, optional\n"
    "    Temporal window size (default 1, no shingling).\n"
    "num_trees : int, optional\n"
    "    Number of trees in the ensemble (default 50).\n"
    "capacity : int, optional\n"
    "    Maximum samples per tree (default 256).\n"
    "time_decay : float, optional\n"
    "    Finite non-negative exponential decay for sample weights (default 0 = auto).\n"
    "output_after : int, optional\n"
    "    Minimum observations before scoring starts (default 0 = auto).\n"
    "internal_shingling : bool, optional\n"
    "    When True, pass one base observation at a time and the forest maintains the rolling\n"
    "    shingle buffer (default True).\n"
    "initial_accept_fraction : float, optional\n"
    "    Finite value in [0.0, 1.0] controlling warm-up sampler acceptance before capacity\n"
    "    (default 0.125).\n"
    "seed : int, optional\n"
    "    Random seed for deterministic forests.";

PyMethodDef methods[] = {
    method_def<&update, kUpdate>(
        "update",
        "update($self, point)\n--\n\n"
        "Incorporate a new observation into the forest.\n\n"
        "When `internal_shingling` is True, pass one base observation of length `input_dim`;\n"
        "otherwise pass the full shingled vector of length `input_dim * shingle_size`."),
    method_def<&update_and_score, kUpdateAndScore>(
        "update_and_score",
        "update_and_score($self, point)\n--\n\n"
        "Ingest an observation and return its anomaly score.\n\n"
        "This has the same behaviour as calling `score(point)` first and then `update(point)`\n"
        "with the same observation."),
    method_def<&score, kScore>("score", rcf::kScoreDoc),
    method_def<&update_many, kUpdateMany>(
        "update_many",
        "update_many($self, points)\n--\n\n"
        "Ingest a batch of observations, one per row, as `update()` row by row.\n\n"
        "`points` is a 2-D array (or a sequence of sequences) of shape (n, `input_dim`), or\n"
        "(n, `input_dim * shingle_size`) without internal shingling; float32 and float64 arrays\n"
        "in any memory order are read in place. A 1-D array is taken as one value per row\n"
        "only when rows hold a single value. The batch is checked before anything changes: a\n"
        "refused batch raises what the single call would have raised, with the note\n"
        "\"while processing row N\", and leaves the forest as it was."),
    method_def<&score_many, kScoreMany>(
        "score_many",
        "score_many($self, points)\n--\n\n"
        "Anomaly scores of a batch of points, each against the current forest.\n\n"
        "Returns a 1-D float64 numpy array with one `score()` per row; nothing changes.\n"
        "`points` is given as for `update_many()`; with internal shingling a row may also\n"
        "hold the full shingled point."),
    method_def<&update_and_score_many, kUpdateAndScoreMany>(
        "update_and_score_many",
        "update_and_score_many($self, points)\n--\n\n"
        "Ingest a batch of observations and return their anomaly scores.\n\n"
        "Returns a 1-D float64 numpy array, identical to calling `update_and_score()` row\n"
        "after row. `points` and refusals are as for `update_many()`."),
    method_def<&displacement_score, kDisplacementScore>("displacement_score",
                                                        rcf::kDisplacementScoreDoc),
    method_def<&attribution, kAttribution>("attribution", rcf::kAttributionDoc),
    method_def<&density, kDensity>("density", rcf::kDensityDoc),
    method_def<&near_neighbors, kNearNeighbors>("near_neighbors", rcf::kNearNeighborsDoc),
    method_def<&impute, kImpute>("impute", rcf::kImputeDoc),
    method_def<&extrapolate, kExtrapolate>("extrapolate", rcf::kExtrapolateDoc),
    method_def<&is_ready, kIsReady>(
        "is_ready",
        "is_ready($self)\n--\n\nReturn True once scoring functions return meaningful values."),
    method_def<&entries_seen, kEntriesSeen>(
        "entries_seen", "entries_seen($self)\n--\n\nNumber of observations processed so far."),
    method_def<&num_trees, kNumTrees>("num_trees",
                                      "num_trees($self)\n--\n\nNumber of trees in the ensemble."),
    Persist::to_json("to_json($self)\n--\n\nSerialize the entire forest state to a JSON string."),
    Persist::from_json(
        "from_json(json)\n--\n\n"
        "Deserialize a forest from a JSON string previously written by `to_json()`."),
    Persist::save_json(
        "save_json($self, path)\n--\n\nSerialize the entire forest state to a JSON file."),
    Persist::load_json(
        "load_json(path)\n--\n\n"
        "Deserialize a forest from a JSON file previously written by `save_json()`."),
    QUILLON_COPY_AND_PICKLE_METHODS(Persist),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* ClassInfo<Forest>::type() {
  static PyTypeObject* t = make_type_for<Forest>("quillon.quillon.Forest", kClassDoc,
                                                 &new_slot<&construct, kNew>, methods);
  return t;
}

PyTypeObject* forest_type() { return ClassInfo<Forest>::type(); }

}  // namespace quillon::py
