"""Figures for FeatureSketch: event throughput with the default configuration.

Events carry 10 distinct feature names (from a vocabulary of 40) with random values; the default
detector keeps 2 ensembles x 16 chains x 8 levels x 2 rows x 2048 buckets = 16 MB of counters,
so every event touches 512 scattered cells. Rates are events per second of wall time (best of
three runs); the CPU-time rate beside them is less sensitive to a busy machine.

Run: .venv/bin/python -P benchmarks/bench_feature_sketch.py
"""

import os

# numpy's BLAS threads would spin beside the detector and count towards its CPU time.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import random
import sys
import time

import quillon

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from batch_compare import best_of_three, compare, compare_header  # noqa: E402

EVENTS = 50_000
NAMES = [f"feature_{i:02d}" for i in range(40)]


def make_events(n, as_pairs=False, seed=1):
    rng = random.Random(seed)
    out = []
    for _ in range(n):
        names = rng.sample(NAMES, 10)
        event = {name: rng.gauss(0.0, 5.0) for name in names}
        out.append(list(event.items()) if as_pairs else event)
    return out


def rate(method_name, events, warm=2_000):
    best_wall = best_cpu = float("inf")
    for _ in range(3):
        det = quillon.FeatureSketch(seed=7)
        for event in events[:warm]:
            det.update(event)
        method = getattr(det, method_name)
        wall, cpu = time.perf_counter(), time.process_time()
        for event in events:
            method(event)
        best_wall = min(best_wall, time.perf_counter() - wall)
        best_cpu = min(best_cpu, time.process_time() - cpu)
    return len(events) / best_wall, len(events) / best_cpu


def throughput():
    print(f"{'FeatureSketch(), 10 names per event':48s} {'events/s':>10s} {'(CPU time)':>12s}")
    for as_pairs, form in [(False, "dict"), (True, "pairs")]:
        events = make_events(EVENTS, as_pairs)
        for method in ("update_and_score", "update", "score"):
            wall, cpu = rate(method, events)
            print(f"  {method + ', ' + form:46s} {wall:10,.0f} {cpu:12,.0f}")


def batch_vs_loop():
    """The batch methods beside the per-call loop on the same list of events (dicts), after the
    same 2000 events of warm-up."""
    events = make_events(EVENTS)
    warm = events[:2_000]

    def make():
        det = quillon.FeatureSketch(seed=7)
        det.update_many(warm)
        return det

    compare_header("FeatureSketch(), dict events", "ev/s")
    for method in ("update_and_score", "update", "score"):
        def loop(det, method=method):
            call = getattr(det, method)
            for event in events:
                call(event)

        def batch(det, method=method):
            getattr(det, method + "_many")(events)

        compare(method + "_many vs loop", len(events), make, loop, batch)


def wide_projections():
    """Per-call cost as the projection widens while the chains (16 x 8 per ensemble) stay: a call
    computes only the coordinates the chains read, so the rate should hardly move."""
    events = make_events(2_000)
    print(f"{'update_and_score, dims per projection':48s} {'events/s':>10s} {'(CPU time)':>12s}")

    def loop(det):
        for event in events:
            det.update_and_score(event)

    for dims in (32, 1024, 2**16, 2**20):
        best_cpu, best_wall = best_of_three(
            lambda: quillon.FeatureSketch(value_projection_dims=dims, presence_projection_dims=dims,
                                          seed=7),
            loop)
        print(f"  {dims:<46,d} {len(events) / best_wall:10,.0f} {len(events) / best_cpu:12,.0f}")


def persistence():
    det = quillon.FeatureSketch(seed=7)
    for event in make_events(5_000):
        det.update(event)
    start = time.perf_counter()
    text = det.to_json()
    written = time.perf_counter() - start
    start = time.perf_counter()
    quillon.FeatureSketch.from_json(text)
    read = time.perf_counter() - start
    mb = len(text) / 1e6
    print(f"{'to_json / from_json of the default state':48s} {mb:6.1f} MB  "
          f"write {written * 1e3:6.0f} ms  read {read * 1e3:6.0f} ms")


if __name__ == "__main__":
    throughput()
    batch_vs_loop()
    wide_projections()
    persistence()
