// The Python class Alerts: method descriptions over the core in alerts/alerts.hpp.
#include <cstring>
#include <optional>
#include <vector>

#include "alerts/alerts.hpp"
#include "py_binding.hpp"
#include "py_classes.hpp"

namespace quillon::alerts {

// (grade, alert): a float and a bool.
PyObject* to_python(const Decision& d) {
  return Py_BuildValue("(dN)", d.grade, PyBool_FromLong(d.alert ? 1 : 0));
}

// (grades, alerts): a float64 and a bool numpy array.
PyObject* to_python(const Decisions& d) {
  PyObject* numpy = py::numpy_module();
  if (numpy == nullptr) return nullptr;
  const auto n = static_cast<Py_ssize_t>(d.grades.size());
  PyObject* grades = PyObject_CallMethod(numpy, "empty", "ns", n, "float64");
  PyObject* alerts = grades != nullptr ? PyObject_CallMethod(numpy, "empty", "ns", n, "bool") : nullptr;
  const auto fill = [](PyObject* array, const void* data, size_t bytes) {
    Py_buffer view;
    if (PyObject_GetBuffer(array, &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) != 0) return false;
    if (bytes != 0) std::memcpy(view.buf, data, bytes);
    PyBuffer_Release(&view);
    return true;
  };
  if (alerts == nullptr || !fill(grades, d.grades.data(), d.grades.size() * sizeof(double)) ||
      !fill(alerts, d.alerts.data(), d.alerts.size())) {
    Py_XDECREF(grades);
    Py_XDECREF(alerts);
    return nullptr;
  }
  return Py_BuildValue("(NN)", grades, alerts);
}

}  // namespace quillon::alerts

namespace quillon::py {

using alerts::Alerts;

namespace {

// One step's scores: a number when there is one input, else a sequence of one per input.
struct StepScores {
  std::vector<double> values;
};

bool convert(PyObject* obj, StepScores& out) {
  if (PySequence_Check(obj) == 0) {
    out.values.resize(1);
    return py::convert(obj, out.values[0]);
  }
  return py::convert(obj, out.values);
}

Result<Alerts> construct(std::optional<uint64_t> inputs, std::optional<double> risk,
                         std::optional<double> tail, std::optional<uint64_t> peaks,
                         std::optional<uint64_t> warmup, std::optional<double> half_life,
                         std::optional<double> step, std::optional<uint64_t> episode_gap,
                         std::optional<double> max_shape) {
  alerts::AlertsConfig c;
  c.inputs = inputs.value_or(c.inputs);
  c.risk = risk.value_or(c.risk);
  c.tail = tail.value_or(c.tail);
  c.peaks = peaks.value_or(c.peaks);
  c.warmup = warmup.value_or(c.warmup);
  c.half_life = half_life.value_or(c.half_life);
  c.step = step.value_or(c.step);
  c.episode_gap = episode_gap.value_or(c.episode_gap);
  c.max_shape = max_shape.value_or(c.max_shape);
  return Alerts::construct(c);
}

Result<alerts::Decision> update(Alerts& a, StepScores scores) { return a.update(scores.values); }
uint64_t steps(const Alerts& a) { return a.steps(); }
bool is_ready(const Alerts& a) { return a.warmed_up(); }
bool in_episode(const Alerts& a) { return a.in_episode(); }
uint64_t inputs(const Alerts& a) { return a.config().inputs; }
double risk(const Alerts& a) { return a.config().risk; }

using Def = ClassDef<
    "Alerts(inputs=1, risk=0.002, tail=0.02, peaks=128, warmup=150, half_life=2000.0, "
    "step=0.05, episode_gap=100, max_shape=0.45)">;
using Persist = PersistenceTable<Alerts, Def>;

constexpr const char* kClassDoc = Def::doc<
    "Streaming threshold that turns any detector's raw scores into grades and alerts.\n"
    "\n"
    "Feed it the score of every step with `update()` (or a batch with `update_many()`). Each\n"
    "step gets a grade in [0, 1], one minus the estimated chance of a score at least this high\n"
    "under this stream's own history, so grades mean the same across streams and detectors; and\n"
    "an alert, True at the first step of an episode whose chance falls below `risk`. An episode\n"
    "ends after `episode_gap` steps without such a score; the grades of its later steps are\n"
    "capped at 1 - `tail`, so thresholding the grades at 1 - `risk` gives exactly the alerts.\n"
    "No alert is raised during the first `warmup` steps. The tail beyond a running quantile is\n"
    "a generalised Pareto fitted to the most recent `peaks` excesses (peaks over threshold).\n"
    "Deterministic: no seed.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "inputs : int, optional\n"
    "    Number of score streams per step, 1 to 64 (default 1). With several, the least\n"
    "    likely one decides, corrected for their number (Bonferroni).\n"
    "risk : float, optional\n"
    "    Expected false-alarm rate per step, 0 < risk < tail (default 0.002).\n"
    "tail : float, optional\n"
    "    Share of scores modelled by the Pareto tail, risk < tail < 1 (default 0.02).\n"
    "peaks : int, optional\n"
    "    Number of recent excesses the tail is fitted to, 1 to 65536 (default 128).\n"
    "warmup : int, optional\n"
    "    Steps before the first grade and alert, at least 1/tail + 1 and at most 100000\n"
    "    (default 150).\n"
    "half_life : float, optional\n"
    "    Half-life, in steps, of the running mean and variance (default 2000.0).\n"
    "step : float, optional\n"
    "    Gain of the running quantile, in standard deviations, at most 100 (default 0.05).\n"
    "episode_gap : int, optional\n"
    "    Quiet steps that end an episode (default 100).\n"
    "max_shape : float, optional\n"
    "    Upper clamp of the Pareto shape, 0 <= max_shape < 0.5 (default 0.45).">();

auto methods = method_table(
    Def::method<&update, "update(score)",
                "Take one step's score and return `(grade, alert)`, a float and a bool.\n\n"
                "`score` is a number when `inputs` is 1, else a sequence of `inputs` numbers.\n"
                "Scores must be finite and within +-1e100; a refused score raises ValueError\n"
                "and changes nothing.", kReleaseLock>(),
    Def::method<&Alerts::update_many, "update_many(scores)",
                "Take a batch of steps and return `(grades, alerts)` as numpy arrays.\n\n"
                "`grades` is float64 and `alerts` bool, one element per row, identical to\n"
                "`update()` row after row. `scores` is 1-D (one score per step) when `inputs`\n"
                "is 1, else 2-D of shape (n, `inputs`). The batch is checked before anything\n"
                "changes: a refused batch raises what the single call would have raised, with\n"
                "the note \"while processing row N\", and leaves the object as it was.",
                kReleaseLock>(),
    Def::method<&steps, "steps()", "Number of steps taken so far.">(),
    Def::method<&is_ready, "is_ready()", "Return True once the warm-up is over.">(),
    Def::method<&in_episode, "in_episode()",
                "Return True while an alert's episode is open.">(),
    Def::method<&inputs, "inputs()", "Number of scores per step.">(),
    Def::method<&risk, "risk()", "The expected false-alarm rate per step.">(),
    Persist::json<
        "Serialize the state to JSON.",
        "Deserialize a state from JSON previously written by `to_json()`.",
        "Serialize the state to a JSON file.",
        "Deserialize a state from a JSON file previously written by `save_json()`.">(),
    Persist::copy_and_pickle());

}  // namespace

template <>
PyTypeObject* ClassInfo<Alerts>::type() {
  return class_type<Alerts, Def>(kClassDoc, Def::constructor<&construct>(), methods.data());
}

}  // namespace quillon::py
