// The Python class MStream: method descriptions over the core in mstream/detector.hpp.
#include <optional>
#include <vector>

#include "mstream/detector.hpp"
#include "py_binding.hpp"
#include "py_classes.hpp"

namespace quillon::mstream {

// current_time() is None until the first record is ingested.
struct LastTimestamp {
  std::optional<uint64_t> value;
};

PyObject* to_python(const LastTimestamp& t) {
  if (!t.value) Py_RETURN_NONE;
  return PyLong_FromUnsignedLongLong(*t.value);
}

// {"total", "record", "numeric_features", "categorical_features"}, in that order.
PyObject* to_python(const DetailedScore& s) {
  // Interned once for the life of the process, so building a result does not hash new keys.
  static PyObject* const keys[4] = {
      PyUnicode_InternFromString("total"), PyUnicode_InternFromString("record"),
      PyUnicode_InternFromString("numeric_features"),
      PyUnicode_InternFromString("categorical_features")};
  for (PyObject* key : keys) {
    if (key == nullptr) return PyErr_NoMemory();
  }
  PyObject* dict = PyDict_New();
  if (dict == nullptr) return nullptr;
  PyObject* values[4] = {py::to_python(s.total), py::to_python(s.record),
                         py::to_python(s.numeric_features),
                         py::to_python(s.categorical_features)};
  bool ok = true;
  for (int i = 0; i < 4; ++i) {
    ok = ok && values[i] != nullptr && PyDict_SetItem(dict, keys[i], values[i]) == 0;
    Py_XDECREF(values[i]);
  }
  if (!ok) {
    Py_DECREF(dict);
    return nullptr;
  }
  return dict;
}

}  // namespace quillon::mstream

namespace quillon::py {

using mstream::DetailedScore;
using mstream::MStream;

namespace {

using Numeric = std::vector<double>;
using Categorical = std::vector<int64_t>;

Result<MStream> construct(uint64_t numeric_dim, uint64_t categorical_dim,
                          std::optional<uint64_t> num_rows, std::optional<uint64_t> num_buckets,
                          std::optional<double> alpha, Seed seed) {
  mstream::MStreamConfig config;
  config.numeric_dim = numeric_dim;
  config.categorical_dim = categorical_dim;
  config.num_rows = num_rows.value_or(config.num_rows);
  config.num_buckets = num_buckets.value_or(config.num_buckets);
  config.alpha = alpha.value_or(config.alpha);
  return MStream::create(config, seed.get());
}

Status update(MStream& d, Numeric numeric, Categorical categorical, uint64_t timestamp) {
  return d.update(numeric, categorical, timestamp);
}
Result<double> score(const MStream& d, Numeric numeric, Categorical categorical,
                     uint64_t timestamp) {
  return d.score(numeric, categorical, timestamp);
}
Result<double> update_and_score(MStream& d, Numeric numeric, Categorical categorical,
                                uint64_t timestamp) {
  return d.update_and_score(numeric, categorical, timestamp);
}
Result<DetailedScore> score_detailed(const MStream& d, Numeric numeric, Categorical categorical,
                                     uint64_t timestamp) {
  return d.score_detailed(numeric, categorical, timestamp);
}
Result<DetailedScore> update_and_score_detailed(MStream& d, Numeric numeric,
                                                Categorical categorical, uint64_t timestamp) {
  return d.update_and_score_detailed(numeric, categorical, timestamp);
}
mstream::LastTimestamp current_time(const MStream& d) { return {d.current_time()}; }

using Def = ClassDef<
    "MStream(numeric_dim, categorical_dim, num_rows=2, num_buckets=1024, alpha=0.8, "
    "seed=None)">;
using Persist = PersistenceTable<MStream, Def>;

constexpr const char* kClassDoc = Def::doc<
    "mStream detector for mixed numerical/categorical records.\n"
    "\n"
    "`timestamp` is a logical tick, not wall-clock time: adding a constant to every\n"
    "timestamp does not change any score, and a gap of `k` ticks applies the decay\n"
    "factor `alpha` exactly `k` times.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "numeric_dim : int\n"
    "    Number of numerical features in each record.\n"
    "categorical_dim : int\n"
    "    Number of categorical features in each record.\n"
    "num_rows : int, optional\n"
    "    Number of hash rows (default 2).\n"
    "num_buckets : int, optional\n"
    "    Number of buckets per hash row (default 1024).\n"
    "alpha : float, optional\n"
    "    Temporal decay factor in `(0, 1)` (default 0.8).\n"
    "seed : int, optional\n"
    "    Random seed for deterministic hashing.">();

auto methods = method_table(
    Def::method<&update, "update(numeric, categorical, timestamp)",
                "Ingest a record without returning its score.", kReleaseLock>(),
    Def::method<&score, "score(numeric, categorical, timestamp)",
                "Preview the anomaly score for a record without mutating detector state.\n\n"
                "The preview answers what this record would score if it were ingested next,\n"
                "using the same timestamp semantics as `update_and_score()`.", kReleaseLock>(),
    Def::method<&update_and_score, "update_and_score(numeric, categorical, timestamp)",
                "Ingest a record and return its anomaly score.\n\n"
                "This behaves as calling `score(numeric, categorical, timestamp)` first and then\n"
                "`update(numeric, categorical, timestamp)` with the same record and timestamp.\n"
                "`timestamp` must be a monotonically non-decreasing tick index; only tick\n"
                "differences matter.", kReleaseLock>(),
    Def::method<&score_detailed, "score_detailed(numeric, categorical, timestamp)",
                "Preview the decomposed anomaly score without mutating detector state.", kReleaseLock>(),
    Def::method<&update_and_score_detailed, "update_and_score_detailed(numeric, categorical, timestamp)",
                "Ingest a record and return the decomposed score used to form the final anomaly score.\n\n"
                "This has the same score-then-update behavior as `update_and_score()`,\n"
                "but returns the decomposed score instead of only the total.", kReleaseLock>(),
    Def::method<&MStream::update_many, "update_many(numeric, categorical, timestamps)",
                "Ingest a batch of records, one per row, as `update()` row by row.\n\n"
                "`numeric` is a 2-D array of shape (n, `numeric_dim`), `categorical` a 2-D integer\n"
                "array of shape (n, `categorical_dim`) and `timestamps` a 1-D integer array of\n"
                "length n (sequences of sequences work too); float32/float64 and int32/int64 arrays\n"
                "in any memory order are copied once. A 1-D `numeric` or `categorical` is one\n"
                "value per row when that dimension is 1. Timestamps must not decrease, within the\n"
                "batch and against `current_time()`. The batch is checked before anything changes:\n"
                "a refused batch raises what the single call would have raised, with the note\n"
                "\"while processing row N\", and leaves the detector as it was.", kReleaseLock>(),
    Def::method<&MStream::score_many, "score_many(numeric, categorical, timestamps)",
                "Preview the anomaly scores of a batch of records without mutating detector state.\n\n"
                "Returns a 1-D float64 numpy array with one `score()` per row, each against the\n"
                "current detector and clock. Arguments are as for `update_many()`, except that the\n"
                "timestamps need only be at or after `current_time()`.", kReleaseLock>(),
    Def::method<&MStream::update_and_score_many, "update_and_score_many(numeric, categorical, timestamps)",
                "Ingest a batch of records and return their anomaly scores.\n\n"
                "Returns a 1-D float64 numpy array, identical to calling `update_and_score()` row\n"
                "after row. Arguments and refusals are as for `update_many()`.", kReleaseLock>(),
    Def::method<&MStream::is_ready, "is_ready()",
                "Return True once the detector has processed at least one record.">(),
    Def::method<&MStream::entries_seen, "entries_seen()",
                "Return the number of processed records.">(),
    Def::method<&current_time, "current_time()",
                "Return the last timestamp observed by the detector.">(),
    Persist::json<
        "Serialize the detector state to JSON.",
        "Deserialize detector state from a JSON string previously written by `to_json()`.",
        "Serialize the detector state to a JSON file.",
        "Deserialize detector state from a JSON file previously written by `save_json()`.">(),
    Persist::binary<
        "detector",
        "Its sketches: about 16 * b * (r + n + r * k) + 16 * r * n * log2(b) bytes, for\n"
        "r = num_rows, b = num_buckets, n = numeric_dim, k = categorical_dim.\n"
        "sys.getsizeof() adds the object itself.">(),
    Persist::copy_and_pickle());

}  // namespace

template <>
PyTypeObject* ClassInfo<MStream>::type() {
  return class_type<MStream, Def>(kClassDoc, Def::constructor<&construct>(), methods.data());
}

}  // namespace quillon::py
