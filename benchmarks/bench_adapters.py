"""Figures for the scikit-learn and River adapters against calling the detectors directly.

scikit-learn: `fit` + `score_samples` of the same rows against `update_many` + `score_many` of a
detector built by hand (the direct calls that give the same scores), and, for rows not learned,
against `update_many` + `score_many` of the new rows (the estimator also scores the learned rows
once, for its threshold). River: `score_one` + `learn_one` over dicts against `score` + `update`
over vectors (or, for FeatureSketch, the dicts) made ahead of time. Each section runs where its
library is installed; River has no free-threaded build.

Run: .venv/bin/python -P benchmarks/bench_adapters.py [--rows N]
"""

import argparse
import time

import numpy as np

import quillon


def best(*fns, repeat=7):
    """The least processor time of each function, run in turns so that each sees the same machine.

    Processor time, not wall time: on a shared machine it is the steadier of the two.
    """
    times = [float("inf")] * len(fns)
    for _ in range(repeat):
        for i, fn in enumerate(fns):
            start = time.process_time()
            fn()
            times[i] = min(times[i], time.process_time() - start)
    return times


def events(X):
    return [list(zip([f"x{j}" for j in range(X.shape[1])], row)) for row in X.tolist()]


def sklearn_figures(rows):
    try:
        from quillon import sklearn as qs
    except ImportError:
        print("scikit-learn: not installed here, skipped")
        return
    rng = np.random.default_rng(1)
    d = 8
    X, new = rng.normal(size=(rows, d)), rng.normal(size=(rows // 4, d))
    no_codes = np.zeros((rows, 0), np.int64)

    def ticks(n, start):
        return np.arange(start, start + n)

    cases = [
        ("Forest", qs.ForestOutlierDetector(random_state=1), lambda: quillon.Forest(d, seed=1),
         lambda A, t, same: (A,)),
        ("OnlineIForest", qs.OnlineIForestOutlierDetector(random_state=1),
         lambda: quillon.OnlineIForest(d, seed=1), lambda A, t, same: (A,)),
        ("MStream", qs.MStreamOutlierDetector(random_state=1),
         lambda: quillon.MStream(d, 0, seed=1),
         lambda A, t, same: (A, no_codes[:len(A)],
                             np.full(len(A), t) if same else ticks(len(A), t))),
        ("FeatureSketch", qs.FeatureSketchOutlierDetector(random_state=1),
         lambda: quillon.FeatureSketch(seed=1), lambda A, t, same: (events(A),)),
    ]
    print(f"scikit-learn, {rows} rows of {d} features (best of 7, processor seconds)")
    print(f"  {'detector':14s} {'direct':>8s} {'adapter':>8s} {'overhead':>9s}   "
          f"{'direct':>8s} {'adapter':>8s} {'overhead':>9s}")
    print(f"  {'':14s} {'fit + score_samples, same rows':>28s}   {'rows not learned':>28s}")
    for name, estimator, make, args in cases:
        def direct_same():
            det = make()
            learned = args(X, 1, False)
            det.update_many(*learned)
            # FeatureSketch's events, made once from the rows, serve both calls.
            det.score_many(*(learned if name == "FeatureSketch" else args(X, rows + 1, True)))

        def direct_new():
            det = make()
            det.update_many(*args(X, 1, False))
            det.score_many(*args(new, rows + 1, True))

        def adapter_same():
            estimator.fit(X).score_samples(X)

        def adapter_new():
            estimator.fit(X).score_samples(new)

        a, b, c, e = best(direct_same, adapter_same, direct_new, adapter_new)
        print(f"  {name:14s} {a:8.3f} {b:8.3f} {100 * (b / a - 1):+8.1f}%   "
              f"{c:8.3f} {e:8.3f} {100 * (e / c - 1):+8.1f}%")


def river_figures(rows):
    try:
        from river import datasets

        from quillon import river as qr
    except ImportError:
        print("River: not installed here, skipped")
        return
    stream = [x for x, _ in datasets.Shuttle().take(rows)]
    keys = sorted(stream[0], key=str)
    vectors = [[x[k] for k in keys] for x in stream]
    d = len(keys)
    cases = [
        ("Forest", lambda: qr.ForestAnomalyDetector(seed=1), lambda: quillon.Forest(d, seed=1),
         lambda i: (vectors[i],)),
        ("OnlineIForest", lambda: qr.OnlineIForestAnomalyDetector(seed=1),
         lambda: quillon.OnlineIForest(d, seed=1), lambda i: (vectors[i],)),
        ("MStream", lambda: qr.MStreamAnomalyDetector(seed=1),
         lambda: quillon.MStream(d, 0, seed=1),
         lambda i: (vectors[i], [], i + 1)),
        ("FeatureSketch", lambda: qr.FeatureSketchAnomalyDetector(seed=1),
         lambda: quillon.FeatureSketch(seed=1), lambda i: (stream[i],)),
    ]
    print(f"River, {rows} dicts of {d} features from Shuttle, score then learn each "
          f"(best of 7, processor µs per observation)")
    print(f"  {'detector':14s} {'direct':>8s} {'adapter':>8s} {'ratio':>6s}")
    for name, adapter, make, args in cases:
        def direct():
            det = make()
            for i in range(rows):
                a = args(i)
                det.score(*a)
                det.update(*a)

        def through_river():
            model = adapter()
            for x in stream:
                model.score_one(x)
                model.learn_one(x)

        a, b = (t / rows * 1e6 for t in best(direct, through_river))
        print(f"  {name:14s} {a:8.2f} {b:8.2f} {b / a:5.2f}x")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=4000)
    rows = parser.parse_args().rows
    sklearn_figures(rows)
    river_figures(rows)


if __name__ == "__main__":
    main()
