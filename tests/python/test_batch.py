"""Batch methods: the same results as the per-observation loop, and all-or-nothing refusals."""

import copy
import math
import os
import subprocess
import sys
import threading

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import quillon

SETTINGS = settings(max_examples=40, deadline=None,
                    suppress_health_check=[HealthCheck.too_slow])


# ----- how a batch is laid out -------------------------------------------------------------------

LAYOUTS = ["c", "fortran", "strided", "reversed", "list", "float32", "int"]


def lay_out(rows, layout, dtype=np.float64):
    """The same values as `rows` (a 2-D float64 array) in another dtype, memory order or form."""
    if layout == "c":
        return np.ascontiguousarray(rows, dtype=dtype)
    if layout == "fortran":
        return np.asfortranarray(rows, dtype=dtype)
    if layout == "strided":  # every other row and column of a larger array, read in place
        wide = np.zeros((rows.shape[0] * 2, rows.shape[1] * 2 + 1), dtype=dtype)
        wide[::2, 1::2] = rows
        return wide[::2, 1::2]
    if layout == "reversed":  # negative strides
        return np.ascontiguousarray(rows[::-1, ::-1], dtype=dtype)[::-1, ::-1]
    if layout == "list":
        return rows.tolist()
    if layout == "float32":
        return rows.astype(np.float32)
    if layout == "int":
        return np.rint(rows).astype(np.int64)
    raise AssertionError(layout)


def row_values(batch):
    """Each row as the single call would get it from the caller."""
    return [list(r) if not isinstance(r, list) else r for r in batch]


def same_scores(batch_scores, loop_scores):
    assert isinstance(batch_scores, np.ndarray)
    assert batch_scores.dtype == np.float64 and batch_scores.ndim == 1
    expected = np.array(loop_scores, dtype=np.float64)
    assert batch_scores.tobytes() == expected.tobytes()


# ----- configurations ----------------------------------------------------------------------------

forest_configs = st.builds(
    lambda input_dim, shingle_size, internal, seed: dict(
        input_dim=input_dim, shingle_size=shingle_size, num_trees=4, capacity=8,
        internal_shingling=internal, seed=seed),
    st.integers(1, 3), st.integers(1, 3), st.booleans(), st.integers(0, 2**64 - 1))

oif_configs = st.builds(
    lambda input_dim, seed: dict(input_dim=input_dim, num_trees=3, window_size=16,
                                 max_leaf_samples=2, seed=seed),
    st.integers(1, 3), st.integers(0, 2**64 - 1))


def point_width(det, config):
    if isinstance(det, quillon.Forest) and not config["internal_shingling"]:
        return config["input_dim"] * config["shingle_size"]
    return config["input_dim"]


def points(draw, width, max_rows=30):
    n = draw(st.integers(0, max_rows))
    seed = draw(st.integers(0, 2**32 - 1))
    values = np.random.default_rng(seed).normal(scale=3.0, size=(n, width))
    return values


# ----- batch == loop -----------------------------------------------------------------------------

@pytest.mark.parametrize("cls, configs", [(quillon.Forest, forest_configs),
                                          (quillon.OnlineIForest, oif_configs)],
                         ids=["Forest", "OnlineIForest"])
@SETTINGS
@given(data=st.data())
def test_point_batches_equal_the_loop(cls, configs, data):
    config = data.draw(configs)
    batch_det, loop_det = cls(**config), cls(**config)
    width = point_width(batch_det, config)
    warm = lay_out(points(data.draw, width), data.draw(st.sampled_from(LAYOUTS)))
    batch = lay_out(points(data.draw, width), data.draw(st.sampled_from(LAYOUTS)))

    batch_det.update_many(warm)
    for row in row_values(warm):
        loop_det.update(row)
    assert batch_det.to_json() == loop_det.to_json()

    same_scores(batch_det.score_many(batch), [loop_det.score(r) for r in row_values(batch)])
    same_scores(batch_det.update_and_score_many(batch),
                [loop_det.update_and_score(r) for r in row_values(batch)])
    assert batch_det.to_json() == loop_det.to_json()


FOREST_BATCH_SCRIPT = """
import hashlib, sys
import numpy as np
import quillon
rng = np.random.default_rng(5)
digest = hashlib.sha256()
for shingle, trees, capacity in ((8, 50, 256), (1, 7, 16), (3, 2, 1)):
    forest = quillon.Forest(2, shingle_size=shingle, num_trees=trees, capacity=capacity, seed=11)
    for rows in (600, 16, 300):
        values = rng.normal(size=(rows, 2))
        digest.update(forest.update_and_score_many(values).tobytes())
        forest.update_many(values[::-1])
        digest.update(forest.score_many(values).tobytes())
    digest.update(forest.to_json().encode())
print(digest.hexdigest())
"""


def test_forest_batches_agree_with_and_without_their_helper_thread():
    # Long Forest batches share their trees with a helper thread unless QUILLON_BATCH_THREADS=1.
    runs = [subprocess.run([sys.executable, "-P", "-c", FOREST_BATCH_SCRIPT], check=True,
                           capture_output=True, text=True,
                           env={**os.environ, "QUILLON_BATCH_THREADS": threads}).stdout
            for threads in ("1", "2")]
    assert runs[0] == runs[1] and len(runs[0].strip()) == 64


@SETTINGS
@given(data=st.data())
def test_mstream_batches_equal_the_loop(data):
    numeric_dim = data.draw(st.integers(0, 3))
    categorical_dim = data.draw(st.integers(0 if numeric_dim else 1, 3))
    seed = data.draw(st.integers(0, 2**64 - 1))
    # Small alphas and long gaps drive rarely hit counts through the subnormal range.
    alpha = data.draw(st.sampled_from([0.8, 0.3, 1e-5, 1e-150]))
    make = lambda: quillon.MStream(numeric_dim, categorical_dim, num_buckets=16, alpha=alpha,  # noqa: E731
                                   seed=seed)
    batch_det, loop_det = make(), make()
    clock = [data.draw(st.integers(1, 10**6))]

    def records():
        n = data.draw(st.integers(0, 60))
        rng = np.random.default_rng(data.draw(st.integers(0, 2**32 - 1)))
        numeric = rng.normal(scale=5.0, size=(n, numeric_dim))
        categorical = rng.integers(-3, 4, size=(n, categorical_dim))
        # Records share ticks, the clock advances within the batch, now and then by a lot.
        steps = rng.choice([0, 0, 1, 1, 2, 40, 3000], size=n)
        timestamps = clock[0] + np.cumsum(steps)
        clock[0] = int(timestamps[-1]) if n else clock[0]
        layout = data.draw(st.sampled_from(["c", "fortran", "strided", "list", "float32"]))
        cat_layout = data.draw(st.sampled_from(["c", "fortran", "list", "int32"]))
        cat = (categorical.astype(np.int32) if cat_layout == "int32"
               else categorical.tolist() if cat_layout == "list"
               else lay_out(categorical, cat_layout, np.int64))
        ts = data.draw(st.sampled_from([timestamps, timestamps.astype(np.int32),
                                        timestamps.tolist(), timestamps.astype(np.uint64)]))
        return lay_out(numeric, layout), cat, ts

    def loop(method, batch):
        numeric, categorical, timestamps = batch
        return [getattr(loop_det, method)(list(n), [int(c) for c in cat], int(t))
                for n, cat, t in zip(row_values(numeric), row_values(categorical), timestamps)]

    warm = records()
    batch_det.update_many(*warm)
    loop("update", warm)
    assert batch_det.to_json() == loop_det.to_json()

    batch = records()
    same_scores(batch_det.score_many(*batch), loop("score", batch))
    same_scores(batch_det.update_and_score_many(*batch), loop("update_and_score", batch))
    assert batch_det.to_json() == loop_det.to_json()
    assert batch_det.current_time() == loop_det.current_time()


names = st.sampled_from(["a", "b", "country=NL", "path=/x", "é"])
values = st.floats(-1e6, 1e6, allow_nan=False)
events = st.lists(st.one_of(st.dictionaries(names, values, max_size=4),
                            st.lists(st.tuples(names, values), max_size=4)), max_size=25)


@SETTINGS
@given(warm=events, batch=events, seed=st.integers(0, 2**64 - 1),
       as_iterator=st.booleans())
def test_feature_sketch_batches_equal_the_loop(warm, batch, seed, as_iterator):
    make = lambda: quillon.FeatureSketch(value_projection_dims=4, presence_projection_dims=3,  # noqa: E731
                                         chains_per_ensemble=2, chain_depth=3, sketch_buckets=16,
                                         decay_half_life=4, seed=seed)
    batch_det, loop_det = make(), make()
    batch_det.update_many(iter(warm) if as_iterator else warm)
    for e in warm:
        loop_det.update(e)
    assert batch_det.to_json() == loop_det.to_json()
    same_scores(batch_det.score_many(batch), [loop_det.score(e) for e in batch])
    same_scores(batch_det.update_and_score_many(batch),
                [loop_det.update_and_score(e) for e in batch])
    assert batch_det.to_json() == loop_det.to_json()


# ----- refusals: the single call's error, the right row, nothing changed --------------------------

def first_loop_error(det, method, rows):
    """The exception of the per-observation loop on a copy, and the row that raised it."""
    trial = copy.deepcopy(det)
    for i, args in enumerate(rows):
        try:
            getattr(trial, method)(*args)
        except Exception as exc:  # noqa: BLE001 - compared with the batch's
            return i, exc
    raise AssertionError("the loop accepted every row")


def assert_refused_like_loop(det, method, batch_args, loop_rows):
    row, expected = first_loop_error(det, method.removesuffix("_many"), loop_rows)
    before = det.to_json()
    with pytest.raises(type(expected)) as info:
        getattr(det, method)(*batch_args)
    assert str(info.value) == str(expected)
    assert f"while processing row {row}" in info.value.__notes__
    assert det.to_json() == before


METHODS = ["update_many", "score_many", "update_and_score_many"]


@SETTINGS
@given(data=st.data(), method=st.sampled_from(METHODS))
def test_refused_point_batches_change_nothing(data, method):
    cls = data.draw(st.sampled_from([quillon.Forest, quillon.OnlineIForest]))
    det = cls(2, seed=3) if cls is quillon.OnlineIForest else cls(2, num_trees=3, capacity=8, seed=3)
    det.update_many(np.random.default_rng(0).normal(size=(20, 2)))
    rows = np.random.default_rng(data.draw(st.integers(0, 99))).normal(size=(data.draw(st.integers(1, 20)), 2))
    bad = data.draw(st.integers(0, len(rows) - 1))
    flaw = data.draw(st.sampled_from(["nan", "inf", "huge", "short", "long", "text"]))
    batch = rows.tolist()
    if flaw in ("nan", "inf", "huge"):
        batch[bad][1] = {"nan": math.nan, "inf": -math.inf, "huge": 1e39}[flaw]
    elif flaw == "short":
        batch[bad] = batch[bad][:1]
    elif flaw == "long":
        batch[bad] = batch[bad] + [0.0]
    else:
        batch[bad] = [0.0, "x"]
    if flaw == "text":
        # Conversion refuses the row before any value check, with the parameter named too.
        before = det.to_json()
        with pytest.raises(TypeError) as info:
            getattr(det, method)(batch)
        assert info.value.__notes__ == [f"while processing row {bad}", "while processing 'points'"]
        assert det.to_json() == before
        return
    assert_refused_like_loop(det, method, (batch,), [(r,) for r in batch])


@SETTINGS
@given(data=st.data(), method=st.sampled_from(METHODS))
def test_refused_mstream_batches_change_nothing(data, method):
    det = quillon.MStream(2, 1, num_buckets=16, seed=5)
    det.update_many(np.ones((3, 2)), np.ones((3, 1), dtype=np.int64), [50, 50, 60])
    n = data.draw(st.integers(2, 15))
    numeric = np.random.default_rng(n).normal(size=(n, 2)).tolist()
    categorical = [[i % 3] for i in range(n)]
    timestamps = list(range(60, 60 + n))
    bad = data.draw(st.integers(0, n - 1))
    flaw = data.draw(st.sampled_from(["behind clock", "back in batch", "zero", "nan", "short"]))
    if flaw == "behind clock":
        timestamps[bad] = 59
    elif flaw == "back in batch":
        bad = max(bad, 1)
        timestamps = [60 + n] * n
        timestamps[bad] = 60 + n - 1  # only behind the rows before it once they are ingested
    elif flaw == "zero":
        timestamps[bad] = 0
    elif flaw == "nan":
        numeric[bad][0] = math.nan
    else:
        categorical[bad] = []
    rows = list(zip(numeric, categorical, timestamps))
    if method == "score_many" and flaw == "back in batch":
        # Previews never move the clock, so a batch of previews takes it.
        det.score_many(numeric, categorical, timestamps)
        return
    assert_refused_like_loop(det, method, (numeric, categorical, timestamps), rows)


@SETTINGS
@given(data=st.data(), method=st.sampled_from(METHODS))
def test_refused_feature_sketch_batches_change_nothing(data, method):
    det = quillon.FeatureSketch(value_projection_dims=2, presence_projection_dims=2,
                                chains_per_ensemble=2, chain_depth=2, sketch_buckets=8, seed=1)
    n = data.draw(st.integers(1, 12))
    batch = [{"a": float(i)} for i in range(n)]
    bad = data.draw(st.integers(0, n - 1))
    flaw = data.draw(st.sampled_from(["nan", "sum", "clock"]))
    if flaw == "nan":
        batch[bad] = [("a", 1.0), ("b", math.inf)]
    elif flaw == "sum":
        batch[bad] = [("a", 1e308), ("a", 1e308)]
    else:
        # A restored clock that runs out at row `bad`: the rows before it would be ingested.
        state = det.to_json().replace('"current_epoch":0', f'"current_epoch":{2**64 - 1 - bad}')
        det = quillon.FeatureSketch.from_json(state)
        if method == "score_many":
            det.score_many(batch)
            return
    assert_refused_like_loop(det, method, (batch,), [(e,) for e in batch])


# ----- shapes and forms --------------------------------------------------------------------------

@pytest.mark.parametrize("make, takes_1d", [
    (lambda: quillon.Forest(1, seed=1), True),
    (lambda: quillon.Forest(1, shingle_size=3, seed=1), True),
    (lambda: quillon.Forest(1, shingle_size=3, internal_shingling=False, seed=1), False),
    (lambda: quillon.Forest(2, seed=1), False),
    (lambda: quillon.OnlineIForest(1, seed=1), True),
    (lambda: quillon.OnlineIForest(3, seed=1), False),
])
@pytest.mark.parametrize("form", ["array", "list"])
def test_one_dimensional_input_only_where_rows_hold_one_value(make, takes_1d, form):
    values = np.linspace(-1.0, 1.0, 7)
    batch = values if form == "array" else values.tolist()
    det, loop = make(), make()
    if takes_1d:
        same_scores(det.update_and_score_many(batch), [loop.update_and_score([v]) for v in values])
        assert det.to_json() == loop.to_json()
    else:
        before = det.to_json()
        with pytest.raises(ValueError, match="^expected 2-D points with one row per observation"):
            det.update_and_score_many(batch)
        assert det.to_json() == before


def test_forest_scores_full_shingles_too():
    # With internal shingling a score row may be one observation or the full shingled point;
    # ingesting takes only the former, as the single calls do.
    det = quillon.Forest(2, shingle_size=3, num_trees=5, capacity=16, seed=4)
    det.update_many(np.random.default_rng(1).normal(size=(40, 2)))
    rows = [[0.5, -1.0], [0.1, 0.2, 0.3, 0.4, 0.5, 0.6], [3.0, 3.0]]
    same_scores(det.score_many(rows), [det.score(r) for r in rows])
    assert_refused_like_loop(det, "update_and_score_many", (rows,), [(r,) for r in rows])


def test_mstream_one_dimensional_fields_where_the_dimension_is_one():
    det, loop = quillon.MStream(1, 1, seed=2), quillon.MStream(1, 1, seed=2)
    numeric, categorical, ts = np.array([0.5, 2.0, -1.0]), np.array([3, 3, 4]), np.array([1, 1, 2])
    same_scores(det.update_and_score_many(numeric, categorical, ts),
                [loop.update_and_score([n], [int(c)], int(t)) for n, c, t in zip(numeric, categorical, ts)])
    wide = quillon.MStream(2, 1, seed=2)
    with pytest.raises(ValueError, match="^expected 2-D numeric"):
        wide.update_many(np.ones(3), categorical, ts)


@pytest.mark.parametrize("call, error, message", [
    (lambda: quillon.Forest(2).update_many(np.ones((2, 2, 2))), ValueError,
     "expected a 2-D array with one row per observation, got a 3-D array"),
    (lambda: quillon.MStream(1, 1).update_many([[1.0]], [[1], [2]], [1]), ValueError,
     "numeric, categorical and timestamps must have the same number of rows, got 1, 2 and 1"),
    (lambda: quillon.MStream(1, 1).update_many([[1.0]], [[1]], np.ones((1, 1), dtype=np.int64)),
     ValueError, "expected a 1-D array of timestamps, got a 2-D array"),
    (lambda: quillon.MStream(1, 1).update_many([[1.0]], [[1.5]], [1]), TypeError,
     "'float' object cannot be interpreted as an integer"),
    (lambda: quillon.MStream(1, 1).update_many([[1.0]], [[1]], np.array([-1])), OverflowError,
     "can't convert negative int to unsigned"),
    (lambda: quillon.FeatureSketch().update_many({"a": 1.0}), TypeError,
     "expected an iterable of feature events, got 'dict'"),
    (lambda: quillon.OnlineIForest(1).score_many("123"), TypeError, "Can't extract `str` to `Vec`"),
])
def test_malformed_batches(call, error, message):
    with pytest.raises(error) as info:
        call()
    assert str(info.value) == message


def test_empty_batches_return_empty_arrays_and_change_nothing():
    dets = [(quillon.Forest(2, seed=1), (np.empty((0, 2)),)),
            (quillon.OnlineIForest(2, seed=1), ([],)),
            (quillon.MStream(1, 1, seed=1), ([], [], [])),
            (quillon.FeatureSketch(chain_depth=2, sketch_buckets=8, seed=1), ([],))]
    for det, args in dets:
        before = det.to_json()
        for method in ("score_many", "update_and_score_many"):
            out = getattr(det, method)(*args)
            assert isinstance(out, np.ndarray) and out.dtype == np.float64 and out.shape == (0,)
        assert det.update_many(*args) is None
        assert det.to_json() == before


def test_array_like_objects_go_through_numpy():
    class Frame:  # what pandas offers: __array__, no buffer
        def __init__(self, values):
            self.values = values

        def __array__(self, dtype=None, copy=None):
            return np.asarray(self.values, dtype=dtype)

    rows = np.random.default_rng(3).normal(size=(10, 2))
    det, loop = quillon.OnlineIForest(2, seed=4), quillon.OnlineIForest(2, seed=4)
    same_scores(det.update_and_score_many(Frame(rows)), [loop.update_and_score(r) for r in rows])


def test_numpy_is_not_imported_with_quillon():
    code = "import sys, quillon; print('numpy' in sys.modules)"
    out = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "False"


# ----- threads -----------------------------------------------------------------------------------

def _long_batches():
    rng = np.random.default_rng(0)
    n = 400_000
    return [
        (quillon.Forest(4, num_trees=30, capacity=64, seed=1), (rng.normal(size=(30_000, 4)),),
         ([0.0] * 4,), ([[0.0] * 4],)),
        (quillon.OnlineIForest(4, seed=1), (rng.normal(size=(100_000, 4)),), ([0.0] * 4,),
         ([[0.0] * 4],)),
        (quillon.MStream(2, 1, seed=1),
         (rng.normal(size=(n, 2)), np.zeros((n, 1), dtype=np.int64), np.arange(1, n + 1)),
         ([0.0, 0.0], [0], n + 1), ([[0.0, 0.0]], [[0]], [n + 1])),
        (quillon.FeatureSketch(seed=1), ([{"a": float(i % 7), "b": 1.0} for i in range(20_000)],),
         ({"a": 1.0},), ([{"a": 1.0}],)),
    ]


@pytest.mark.parametrize("index", range(4), ids=["Forest", "OnlineIForest", "MStream",
                                                 "FeatureSketch"])
def test_a_batch_holds_exclusive_access_throughout(index):
    det, batch, single, small_batch = _long_batches()[index]
    started, done = threading.Event(), threading.Event()
    outcome = {}

    def ingest():
        started.set()
        try:
            # The other thread's short calls may hold the detector just as the batch starts; a
            # refused batch changes nothing, so it is simply asked again.
            while "scores" not in outcome:
                try:
                    outcome["scores"] = det.update_and_score_many(*batch)
                except RuntimeError as exc:
                    if "borrowed" not in str(exc):
                        raise
        finally:
            done.set()

    thread = threading.Thread(target=ingest)
    thread.start()
    started.wait()
    seen = set()
    while not done.is_set():
        for call in (lambda: det.score(*single), lambda: det.update(*single),
                     lambda: det.score_many(*small_batch), lambda: det.entries_seen()):
            try:
                call()
            except RuntimeError as exc:
                seen.add(str(exc))
    thread.join()
    assert seen == {"Already mutably borrowed", "Already borrowed"}
    assert len(outcome["scores"]) == len(batch[-1])


def test_score_batches_share_an_instance():
    det = quillon.MStream(2, 1, seed=1)
    det.update_many(np.ones((5, 2)), np.ones((5, 1), dtype=np.int64), np.arange(1, 6))
    numeric = np.random.default_rng(1).normal(size=(50_000, 2))
    categorical = np.zeros((50_000, 1), dtype=np.int64)
    timestamps = np.full(50_000, 9)
    expected = det.score_many(numeric, categorical, timestamps)
    results = [None] * 4

    def score(k):
        results[k] = det.score_many(numeric, categorical, timestamps)

    threads = [threading.Thread(target=score, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(r.tobytes() == expected.tobytes() for r in results)


# ----- what the caller cannot break: concurrent writes, signals, sizes, complex values ----------

def _point_batch_detectors():
    return [quillon.Forest(3, num_trees=10, capacity=32, seed=1),
            quillon.OnlineIForest(3, num_trees=4, window_size=64, seed=1)]


@pytest.mark.parametrize("method", ["update_many", "update_and_score_many"])
@pytest.mark.parametrize("index", [0, 1], ids=["Forest", "OnlineIForest"])
def test_a_concurrent_write_cannot_half_apply_a_batch(index, method):
    # The batch is checked and applied from its own converted copy: whatever the writer manages
    # to change before the copy is taken either refuses the whole batch or none of it.
    for attempt in range(3):
        det = _point_batch_detectors()[index]
        rows = np.random.default_rng(attempt).normal(size=(50_000, 3))
        before = det.to_json()
        go = threading.Event()

        def spoil():
            go.wait()
            for i in range(rows.shape[0] - 1, 0, -257):
                rows[i, 1] = math.nan

        writer = threading.Thread(target=spoil)
        writer.start()
        go.set()
        try:
            getattr(det, method)(rows)
        except ValueError as exc:
            assert det.to_json() == before, "a refused batch changed the detector"
            assert any(n.startswith("while processing row") for n in exc.__notes__)
        else:
            assert det.entries_seen() == rows.shape[0]
        writer.join()


def _big_views():
    """Batches of 2**40 rows that take a few bytes (stride 0), per detector."""
    n = 2**40
    view = lambda width, dtype=np.float64: np.lib.stride_tricks.as_strided(
        np.zeros(max(width, 1), dtype=dtype), shape=(n, width), strides=(0, np.dtype(dtype).itemsize))
    stamps = np.lib.stride_tricks.as_strided(np.ones(1, dtype=np.uint64), shape=(n,), strides=(0,))
    return [(quillon.Forest(2, seed=1), (view(2),)),
            (quillon.OnlineIForest(2, seed=1), (view(2, np.float32),)),
            (quillon.MStream(1, 1, seed=1), (view(1), view(1, np.int64), stamps))]


@pytest.mark.parametrize("method", ["score_many", "update_many", "update_and_score_many"])
def test_a_batch_too_large_to_hold_is_refused_before_any_row_is_read(method):
    for det, args in _big_views():
        before = det.to_json()
        with pytest.raises(MemoryError, match="^not enough memory for a batch of 1099511627776 rows"):
            getattr(det, method)(*args)
        assert det.to_json() == before


def test_an_interrupted_batch_keeps_the_rows_before_the_stop_and_says_how_many():
    import signal
    rows = np.random.default_rng(5).normal(size=(400_000, 3))
    previous = signal.signal(signal.SIGALRM, signal.default_int_handler)
    try:
        for make in (lambda: quillon.Forest(3, num_trees=50, seed=1),
                     lambda: quillon.OnlineIForest(3, seed=1)):
            det = make()
            signal.setitimer(signal.ITIMER_REAL, 0.3)
            with pytest.raises(KeyboardInterrupt) as info:
                det.update_and_score_many(rows)
            signal.setitimer(signal.ITIMER_REAL, 0)
            notes = getattr(info.value, "__notes__", [])
            assert len(notes) == 1, notes
            applied = det.entries_seen()
            assert applied < rows.shape[0]
            if applied:
                assert notes[0] == (f"interrupted: the first {applied} of {rows.shape[0]} rows "
                                    "were applied, the rest were not")
                assert applied % 4096 == 0
                # The applied rows are exactly the first ones.
                twin = make()
                twin.update_many(rows[:applied])
                assert twin.to_json() == det.to_json()
            else:
                assert notes[0].endswith("no row was applied")
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


COMPLEX_CALLS = [
    lambda: quillon.Forest(2).update([1.0, np.complex128(1 + 2j)]),
    lambda: quillon.Forest(2).score_many(np.ones((3, 2), dtype=np.complex128)),
    lambda: quillon.Forest(2).update_many(np.ones((3, 2), dtype=np.complex64)),
    lambda: quillon.OnlineIForest(2).update(np.array([1, 2j])),
    lambda: quillon.OnlineIForest(1).update_and_score_many(np.ones(3, dtype=np.complex128)),
    lambda: quillon.MStream(1, 1).update([1j], [1], 1),
    lambda: quillon.MStream(1, 1).update_many(np.ones((2, 1), dtype=np.complex64), [[1], [1]], [1, 2]),
    lambda: quillon.FeatureSketch().update({"a": np.complex64(1)}),
    lambda: quillon.FeatureSketch().update_many([[("a", np.complex128(2))]]),
    lambda: quillon.Forest(2, time_decay=np.complex128(0.5)),
]


@pytest.mark.parametrize("call", COMPLEX_CALLS)
def test_complex_values_are_refused_not_truncated(call):
    import warnings
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # a ComplexWarning would mean the value was truncated
        with pytest.raises(TypeError, match=r"must be real number, not (numpy\.)?complex"):
            call()
