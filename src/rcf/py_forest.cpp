// The Python class Forest: method descriptions over the core in forest/mod.hpp and the queries in
// forest/query.hpp and forest/impute.hpp.
#include <optional>
#include <vector>

#include "py_binding.hpp"
#include "py_classes.hpp"
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
uint64_t entries_seen(const Forest& f) { return f.entries_seen; }

using Def = ClassDef<
    "Forest(input_dim, shingle_size=1, num_trees=50, capacity=256, time_decay=0.0, "
    "output_after=0, internal_shingling=True, initial_accept_fraction=0.125, seed=None)">;
using Persist = PersistenceTable<Forest, Def>;

constexpr const char* kClassDoc = Def::doc<
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
    "    Random seed for deterministic forests.">();

auto methods = method_table(
    Def::method<&update, "update(point)",
                "Incorporate a new observation into the forest.\n\n"
                "When `internal_shingling` is True, pass one base observation of length "
                "`input_dim`;\n"
                "otherwise pass the full shingled vector of length `input_dim * shingle_size`.",
                kReleaseLock>(),
    Def::method<&update_and_score, "update_and_score(point)",
                "Ingest an observation and return its anomaly score.\n\n"
                "This has the same behaviour as calling `score(point)` first and then "
                "`update(point)`\n"
                "with the same observation.",
                kReleaseLock>(),
    Def::method<&score, "score(point)", "Anomaly score for `point`. Higher means more anomalous.",
                kReleaseLock>(),
    Def::method<&Forest::update_many, "update_many(points)",
                "Ingest a batch of observations, one per row, as `update()` row by row.\n\n"
                "`points` is a 2-D array (or a sequence of sequences) of shape (n, `input_dim`), "
                "or\n"
                "(n, `input_dim * shingle_size`) without internal shingling; float32 and float64 "
                "arrays\n"
                "in any memory order are copied once. A 1-D array is taken as one value per row\n"
                "only when rows hold a single value. The batch is checked before anything "
                "changes: a\n"
                "refused batch raises what the single call would have raised, with the note\n"
                "\"while processing row N\", and leaves the forest as it was.",
                kReleaseLock>(),
    Def::method<&Forest::score_many, "score_many(points)",
                "Anomaly scores of a batch of points, each against the current forest.\n\n"
                "Returns a 1-D float64 numpy array with one `score()` per row; nothing changes.\n"
                "`points` is given as for `update_many()`; with internal shingling a row may "
                "also\n"
                "hold the full shingled point.",
                kReleaseLock>(),
    Def::method<&Forest::update_and_score_many, "update_and_score_many(points)",
                "Ingest a batch of observations and return their anomaly scores.\n\n"
                "Returns a 1-D float64 numpy array, identical to calling `update_and_score()` "
                "row\n"
                "after row. `points` and refusals are as for `update_many()`.",
                kReleaseLock>(),
    Def::method<&displacement_score, "displacement_score(point)",
                "Displacement-based anomaly score.", kReleaseLock>(),
    Def::method<&attribution, "attribution(point)",
                "Per-dimension attribution of the anomaly score.\n\n"
                "Returns a list of length `input_dim * shingle_size`.",
                kReleaseLock>(),
    Def::method<&density, "density(point)",
                "Density estimate at `point`. Higher means a denser neighbourhood.",
                kReleaseLock>(),
    Def::method<&near_neighbors, "near_neighbors(point, top_k=10, percentile=50)",
                "Find approximate near-neighbours of `point`.\n\n"
                "`percentile` controls per-tree traversal aggressiveness in `[0, 100]`; lower "
                "values visit more branches and usually return more candidates. Returns a list "
                "sorted by distance, with duplicate points across trees merged by point index. "
                "At most `top_k` results are returned.",
                kReleaseLock>(),
    Def::method<&impute, "impute(point, missing, centrality=1.0)",
                "Impute the `missing` positions of `point`.\n\n"
                "`point` must have the full dimensionality (`input_dim * shingle_size`). Values "
                "at `missing` indices are ignored; the returned list fills them with the median "
                "of the nearest-neighbour estimates across all trees. When `centrality = 1.0`, "
                "the nearest neighbour in each tree is selected deterministically; lower values "
                "introduce randomness.",
                kReleaseLock>(),
    Def::method<&extrapolate, "extrapolate(look_ahead)",
                "Predict the next `look_ahead` base observations beyond the current shingle "
                "buffer.\n\n"
                "Requires `internal_shingling = True`, `shingle_size > 1`, and `look_ahead <= "
                "shingle_size`. Returns a list of length `look_ahead * input_dim`.",
                kReleaseLock>(),
    Def::method<&Forest::is_ready, "is_ready()",
                "Return True once scoring functions return meaningful values.">(),
    Def::method<&entries_seen, "entries_seen()", "Number of observations processed so far.">(),
    Def::method<&Forest::num_trees, "num_trees()", "Number of trees in the ensemble.">(),
    Persist::json<
        "Serialize the entire forest state to a JSON string.",
        "Deserialize a forest from a JSON string previously written by `to_json()`.",
        "Serialize the entire forest state to a JSON file.",
        "Deserialize a forest from a JSON file previously written by `save_json()`.">(),
    Persist::binary<
        "forest",
        "Its trees, samplers and point store: with full samplers about\n"
        "T * c * (84 + 8 * d) + R * (4 * d + 16) bytes, for T = num_trees, c = capacity,\n"
        "d = input_dim * shingle_size and R the distinct points held (at most T * c + 1).\n"
        "sys.getsizeof() adds the object itself.">(),
    Persist::copy_and_pickle());

}  // namespace

template <>
PyTypeObject* ClassInfo<Forest>::type() {
  return class_type<Forest, Def>(kClassDoc, Def::constructor<&construct>(), methods.data());
}

}  // namespace quillon::py
