"""Prints a recording of seeded streams through every detector, for comparing two builds.

    python -P tests/record/record_streams.py > before.txt   # with one build installed
    python -P tests/record/record_streams.py > after.txt    # with the other
    diff before.txt after.txt

Recorded: every score of the single calls and of the batch methods (float64, float32, integer,
strided and nested-list input), the `to_json` text after each phase (as a digest), the errors of
refused batches and of arguments the binding refuses, whether a refused call left the state as
it was, and every docstring and text signature.
"""

import hashlib
import inspect
import random

import numpy as np

import quillon

ROWS = 600


def out(*parts):
    print(*parts, sep="\t")


def digest(detector):
    text = detector.to_json()
    return f"{len(text)}:{hashlib.sha256(text.encode()).hexdigest()[:24]}"


def floats(values):
    return " ".join(float(v).hex() for v in values)


def error_text(call):
    try:
        result = call()
    except BaseException as e:  # the recording compares every outcome, whatever it is
        return f"{type(e).__name__}: {e} | notes={getattr(e, '__notes__', [])}"
    return f"ok {result!r}"[:200]


def refused(name, detector, call):
    before = digest(detector)
    message = error_text(call)
    out(name, message, "unchanged" if digest(detector) == before else "CHANGED")


def points(rng, n, width, outlier_every=97):
    rows = []
    for i in range(n):
        row = [rng.gauss(0.0, 1.0) for _ in range(width)]
        if i % outlier_every == 0:
            row[0] += 8.0
        rows.append(row)
    return rows


def point_detector(name, make, width):
    rng = random.Random(f"{name}:{width}")
    rows = points(rng, ROWS, width)
    # Single calls.
    d = make()
    out(name, "single", floats(d.update_and_score(r) for r in rows[:200]))
    out(name, "single-score", floats(d.score(r) for r in rows[200:260]))
    for r in rows[260:300]:
        d.update(r)
    out(name, "single-state", digest(d))
    # Batches of each input kind, each on a fresh detector.
    a64 = np.array(rows, dtype=np.float64)
    kinds = {
        "float64": a64,
        "float32": a64.astype(np.float32),
        "fortran": np.asfortranarray(a64),
        "strided": np.array(np.repeat(a64, 2, axis=1)[:, ::2]),
        "view-strided": np.repeat(a64, 2, axis=1)[:, ::2],
        "reversed": a64[::-1][::-1],
        "int64": (a64 * 10).astype(np.int64),
        "int8": np.clip(a64 * 10, -100, 100).astype(np.int8),
        "lists": rows,
        "tuples": [tuple(r) for r in rows],
    }
    for kind, data in kinds.items():
        d = make()
        out(name, kind, "update_and_score_many", floats(d.update_and_score_many(data[:300])))
        out(name, kind, "score_many", floats(d.score_many(data[300:400])))
        d.update_many(data[400:])
        out(name, kind, "state", digest(d))
    # Refusals.
    d = make()
    d.update_many(a64[:100])
    bad = a64[100:200].copy()
    bad[37, 0] = float("nan")
    for method in ("update_many", "score_many", "update_and_score_many"):
        call = getattr(d, method)
        refused(name, d, lambda: call(bad))
        refused(name, d, lambda: call(a64[:10, : max(width - 1, 0)]))
        refused(name, d, lambda: call(a64[:10, 0]))
        refused(name, d, lambda: call([[1.0] * width, [1.0] * (width + 1)]))
        refused(name, d, lambda: call([[1.0] * width, "ab"]))
        refused(name, d, lambda: call(np.zeros((2, 2, 2))))
        refused(name, d, lambda: call(None))
        refused(name, d, lambda: call(a64[:10].astype(np.uint64)))
    for method in ("update", "score", "update_and_score"):
        call = getattr(d, method)
        refused(name, d, lambda: call([float("inf")] * width))
        refused(name, d, lambda: call([1.0] * (width + 1)))
        refused(name, d, lambda: call("abc"))
        refused(name, d, lambda: call())
        refused(name, d, lambda: call([1.0] * width, 2))
        refused(name, d, lambda: call(point=[1.0] * width, extra=1))
    out(name, "final", digest(d))


def mstream():
    name = "MStream"
    rng = random.Random(name)
    n = ROWS
    numeric = [[rng.gauss(0, 1), rng.gauss(5, 2)] for _ in range(n)]
    categorical = [[rng.randrange(5), rng.randrange(3), rng.randrange(7)] for _ in range(n)]
    times = sorted(rng.randrange(1, n // 3) for _ in range(n))
    make = lambda: quillon.MStream(2, 3, num_rows=2, num_buckets=64, alpha=0.6, seed=11)
    d = make()
    out(name, "single", floats(d.update_and_score(a, b, t) for a, b, t in zip(numeric[:200], categorical[:200], times[:200])))
    out(name, "single-score", floats(d.score(a, b, t) for a, b, t in zip(numeric[200:260], categorical[200:260], times[200:260])))
    detailed = d.update_and_score_detailed(numeric[200], categorical[200], times[200])
    out(name, "detailed", repr(detailed))
    for a, b, t in zip(numeric[201:300], categorical[201:300], times[201:300]):
        d.update(a, b, t)
    out(name, "single-state", digest(d))
    num64 = np.array(numeric)
    cat64 = np.array(categorical, dtype=np.int64)
    t64 = np.array(times, dtype=np.uint64)
    kinds = {
        "arrays": (num64, cat64, t64),
        "float32-int32": (num64.astype(np.float32), cat64.astype(np.int32), t64.astype(np.int64)),
        "strided": (np.repeat(num64, 2, axis=1)[:, ::2], np.asfortranarray(cat64), t64[::-1][::-1]),
        "lists": (numeric, categorical, times),
    }
    for kind, (a, b, t) in kinds.items():
        d = make()
        out(name, kind, "update_and_score_many", floats(d.update_and_score_many(a[:300], b[:300], t[:300])))
        out(name, kind, "score_many", floats(d.score_many(a[300:400], b[300:400], t[300:400])))
        d.update_many(a[400:], b[400:], t[400:])
        out(name, kind, "state", digest(d))
    d = make()
    d.update_many(num64[:100], cat64[:100], t64[:100])
    bad = num64[100:200].copy()
    bad[12, 1] = float("nan")
    back = t64[100:200].copy()
    back[50] = 0
    for method in ("update_many", "score_many", "update_and_score_many"):
        call = getattr(d, method)
        refused(name, d, lambda: call(bad, cat64[100:200], t64[100:200]))
        refused(name, d, lambda: call(num64[100:200], cat64[100:200], back))
        refused(name, d, lambda: call(num64[100:200], cat64[100:199], t64[100:200]))
        refused(name, d, lambda: call(num64[100:200, :1], cat64[100:200], t64[100:200]))
        refused(name, d, lambda: call(num64[100:200], cat64[100:200], np.array(times[100:200], dtype=np.int64) - 500))
        refused(name, d, lambda: call(num64[100:200], num64[100:200], t64[100:200]))
        refused(name, d, lambda: call(num64[100:200], cat64[100:200]))
        refused(name, d, lambda: call(num64[100:200, 0], cat64[100:200], t64[100:200]))
    for method in ("update", "score", "update_and_score", "score_detailed", "update_and_score_detailed"):
        call = getattr(d, method)
        refused(name, d, lambda: call([1.0], [1, 2, 3], 10**6))
        refused(name, d, lambda: call([1.0, 2.0], [1, 2, 3], -1))
        refused(name, d, lambda: call([1.0, float("nan")], [1, 2, 3], 10**6))
        refused(name, d, lambda: call([1.0, 2.0], [1, 2, 3]))
    out(name, "final", digest(d))


def feature_sketch():
    name = "FeatureSketch"
    rng = random.Random(name)
    keys = [f"k{i}" for i in range(12)]
    events = []
    for i in range(ROWS):
        chosen = rng.sample(keys, rng.randrange(1, 6))
        event = {k: rng.gauss(0, 1) + (9.0 if i % 89 == 0 else 0.0) for k in chosen}
        events.append(event if i % 3 else list(event.items()) + [(chosen[0], 0.5)])
    make = lambda: quillon.FeatureSketch(value_projection_dims=8, presence_projection_dims=8, chains_per_ensemble=4, chain_depth=4, sketch_buckets=128, seed=5)
    d = make()
    out(name, "single", floats(d.update_and_score(e) for e in events[:200]))
    out(name, "single-score", floats(d.score(e) for e in events[200:260]))
    for e in events[260:300]:
        d.update(e)
    out(name, "single-state", digest(d))
    for kind, data in {"list": events, "generator": None}.items():
        d = make()
        src = events if data is not None else None
        first = src[:300] if src is not None else (e for e in events[:300])
        out(name, kind, "update_and_score_many", floats(d.update_and_score_many(first)))
        out(name, kind, "score_many", floats(d.score_many(events[300:400])))
        d.update_many(events[400:])
        out(name, kind, "state", digest(d))
    d = make()
    d.update_many(events[:100])
    for method in ("update_many", "score_many", "update_and_score_many"):
        call = getattr(d, method)
        refused(name, d, lambda: call(events[100:150] + [{"a": float("nan")}]))
        refused(name, d, lambda: call(events[100:150] + [{"a": "x"}]))
        refused(name, d, lambda: call(events[100:150] + [[("a", 1.0, 2.0)]]))
        refused(name, d, lambda: call({"a": 1.0}))
        refused(name, d, lambda: call("abc"))
        refused(name, d, lambda: call(5))
    for method in ("update", "score", "update_and_score"):
        call = getattr(d, method)
        refused(name, d, lambda: call({"a": float("inf")}))
        refused(name, d, lambda: call({1: 1.0}))
        refused(name, d, lambda: call([("a",)]))
        refused(name, d, lambda: call(3))
    out(name, "final", digest(d))


def constructors():
    cases = [
        lambda: quillon.Forest(0),
        lambda: quillon.Forest(2, num_trees=0),
        lambda: quillon.Forest(2, 1, 2, 3, 0.5, 1, True, 0.5, 1, 2),
        lambda: quillon.Forest(input_dim=2, bogus=1),
        lambda: quillon.Forest(),
        lambda: quillon.Forest(2, seed=-1),
        lambda: quillon.Forest(2, internal_shingling=1),
        lambda: quillon.MStream(1),
        lambda: quillon.MStream(1, 1, alpha=2.0),
        lambda: quillon.OnlineIForest(1, window_size=1),
        lambda: quillon.OnlineIForest(1, 2, 3, 4, 5, 6),
        lambda: quillon.FeatureSketch(chain_depth=0),
        lambda: quillon.FeatureSketch(seed="x"),
        lambda: quillon.Forest.from_json("{"),
        lambda: quillon.Forest.from_json(5),
        lambda: quillon.MStream.from_json(b"[]"),
        lambda: quillon.OnlineIForest.load_json("/nonexistent/x.json"),
        lambda: quillon.Forest(2, shingle_size=3).impute([1.0] * 6, [9]),
        lambda: quillon.Forest(2).near_neighbors([1.0, 2.0], top_k=-1),
        lambda: quillon.Forest(2).extrapolate(1),
    ]
    for i, case in enumerate(cases):
        out("constructor", i, error_text(case))


def documentation():
    out("version", quillon.__version__, quillon.__all__)
    for cls in (quillon.Forest, quillon.MStream, quillon.FeatureSketch, quillon.OnlineIForest):
        out("doc", cls.__name__, repr(cls.__doc__), repr(cls.__text_signature__))
        out("signature", cls.__name__, str(inspect.signature(cls)))
        for attr in sorted(vars(cls)):
            member = getattr(cls, attr)
            if callable(member) and getattr(member, "__doc__", None) is not None and not attr.startswith("__") or attr in ("__copy__", "__deepcopy__", "__getstate__", "__setstate__", "__getnewargs__"):
                out("doc", f"{cls.__name__}.{attr}", repr(member.__doc__), repr(getattr(member, "__text_signature__", None)))


def main():
    documentation()
    constructors()
    point_detector("Forest", lambda: quillon.Forest(3, num_trees=20, capacity=64, seed=7), 3)
    point_detector("Forest-shingled", lambda: quillon.Forest(2, shingle_size=3, num_trees=10, capacity=32, seed=8), 2)
    point_detector("Forest-external", lambda: quillon.Forest(1, shingle_size=2, num_trees=10, capacity=32, internal_shingling=False, seed=9), 2)
    point_detector("Forest-1d", lambda: quillon.Forest(1, num_trees=10, capacity=32, seed=10), 1)
    point_detector("OnlineIForest", lambda: quillon.OnlineIForest(3, num_trees=8, window_size=64, max_leaf_samples=4, seed=3), 3)
    point_detector("OnlineIForest-1d", lambda: quillon.OnlineIForest(1, num_trees=8, window_size=64, max_leaf_samples=4, seed=4), 1)
    mstream()
    feature_sketch()


if __name__ == "__main__":
    main()
