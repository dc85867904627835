"""Figures for quillon.Alerts: what a per-step call adds to Forest.update_and_score, and the batch
method's throughput.

Run: .venv/bin/python -P benchmarks/bench_alerts.py
"""

import time

import numpy as np

import quillon


def best_ns(fn, repeat):
    best = float("inf")
    for _ in range(5):
        start = time.perf_counter_ns()
        fn()
        best = min(best, (time.perf_counter_ns() - start) / repeat)
    return best


def per_call():
    rng = np.random.default_rng(1)
    points = [[float(v)] for v in rng.normal(size=20_000)]
    forest = quillon.Forest(1, seed=1)
    for p in points:  # a full forest, as in steady use
        forest.update_and_score(p)
    scores = [forest.update_and_score(p) for p in points]
    alerts = quillon.Alerts()
    for s in scores:
        alerts.update(s)

    def forest_loop():
        for p in points:
            forest.update_and_score(p)

    def alerts_loop():
        for s in scores:
            alerts.update(s)

    f = best_ns(forest_loop, len(points))
    a = best_ns(alerts_loop, len(scores))
    print(f"{'Forest(1).update_and_score, per call':50s} {f:10.0f} ns")
    print(f"{'Alerts.update, per call':50s} {a:10.0f} ns  (+{100 * a / f:.1f}% on the forest call)")


def batch():
    for inputs in (1, 3):
        scores = np.random.default_rng(2).lognormal(size=(2_000_000, inputs))
        arg = scores[:, 0].copy() if inputs == 1 else scores
        alerts = quillon.Alerts(inputs=inputs)
        alerts.update_many(arg[:1000])
        ns = best_ns(lambda: alerts.update_many(arg), len(arg))
        print(f"{f'Alerts(inputs={inputs}).update_many, 2e6 rows':50s} {1e3 / ns:10.2f} million rows/s")


if __name__ == "__main__":
    per_call()
    batch()
