"""Figures for OnlineIForest: update_and_score throughput and memory per detector.

Default ensemble (32 trees, window 2048, max_leaf_samples 32), input_dim 4. The detector is
warmed up past one full window first, so every measured update also evicts a point.

Rates are given against the process's CPU time (what the detector costs, even on a loaded
machine) and against wall time.

Run: .venv/bin/python -P benchmarks/bench_online_iforest.py
"""

import os

# numpy's BLAS threads would spin beside the detector and count towards its CPU time.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import gc
import json
import random
import sys
import time

import quillon

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from batch_compare import compare, compare_header  # noqa: E402

DIM = 4
WARMUP = 4096
POINTS = 100_000


def stationary(n, seed=1):
    rng = random.Random(seed)
    return [[rng.gauss(0, 1) for _ in range(DIM)] for _ in range(n)]


def drifting(n, seed=2):
    # The cluster centre walks away steadily, so trees keep splitting new regions and folding old
    # ones; every 500th point is a far outlier.
    rng = random.Random(seed)
    out = []
    for i in range(n):
        centre = i / 200.0
        p = [centre + rng.gauss(0, 1) for _ in range(DIM)]
        if i % 500 == 0:
            p[0] += 40.0
        out.append(p)
    return out


def points_per_second(method_name, warmup, points):
    best_cpu = best_wall = float("inf")
    for _ in range(3):
        det = quillon.OnlineIForest(DIM, seed=7)
        for p in warmup:
            det.update(p)
        method = getattr(det, method_name)
        cpu, wall = time.process_time(), time.perf_counter()
        for p in points:
            method(p)
        best_cpu = min(best_cpu, time.process_time() - cpu)
        best_wall = min(best_wall, time.perf_counter() - wall)
    return len(points) / best_cpu, len(points) / best_wall


def throughput():
    print(f"{'OnlineIForest(4), 32 trees, window 2048, eta 32':43s} {'points/s cpu':>14s} {'wall':>10s}")
    for label, make in (("stationary", stationary), ("drifting", drifting)):
        stream = make(WARMUP + POINTS)
        warmup, points = stream[:WARMUP], stream[WARMUP:]
        for method in ("update_and_score", "update", "score"):
            cpu, wall = points_per_second(method, warmup, points)
            print(f"  {method + ', ' + label:41s} {cpu:14,.0f} {wall:10,.0f}")


def batch_vs_loop():
    """The batch methods beside the per-call loop on the same points (a float64 array for the
    batch, Python lists for the loop), after the same full window of warm-up."""
    import numpy as np

    stream = drifting(WARMUP + POINTS)
    warm, rest = stream[:WARMUP], stream[WARMUP:]
    array = np.array(rest, dtype=np.float64)

    def make():
        det = quillon.OnlineIForest(DIM, seed=7)
        det.update_many(warm)
        return det

    compare_header("OnlineIForest(4), drifting", "pts/s")
    for method in ("update_and_score", "update", "score"):
        def loop(det, method=method):
            call = getattr(det, method)
            for p in rest:
                call(p)

        def batch(det, method=method):
            getattr(det, method + "_many")(array)

        compare(method + "_many vs loop", len(rest), make, loop, batch)


def resident_bytes():
    with open("/proc/self/statm") as f:
        pages = int(f.read().split()[1])
    return pages * 4096


def memory():
    stream = stationary(WARMUP)
    n = 50
    gc.collect()
    before = resident_bytes()
    keep = []
    for i in range(n):
        det = quillon.OnlineIForest(DIM, seed=i)
        for p in stream:
            det.update(p)
        keep.append(det)
    after = resident_bytes()
    state = json.loads(keep[0].to_json())

    def count_nodes(node):
        if node is None:
            return 0
        split = node["split"]
        return 1 + (count_nodes(split["left"]) + count_nodes(split["right"]) if split else 0)

    nodes = sum(count_nodes(t["root"]) for t in state["trees"])
    print(f"{'nodes per detector (full window, stationary)':55s} {nodes:12,d}")
    print(f"{'bytes per detector, JSON state':55s} {len(keep[0].to_json()):12,d}")
    print(f"{'bytes per detector, resident memory / ' + str(n) + ' full detectors':55s} "
          f"{(after - before) / len(keep):12,.0f}")
    gc.collect()
    before = resident_bytes()
    fresh = [quillon.OnlineIForest(DIM, seed=i) for i in range(2000)]
    after = resident_bytes()
    print(f"{'bytes per detector, resident memory / 2000 new detectors':55s} "
          f"{(after - before) / len(fresh):12,.0f}")


if __name__ == "__main__":
    throughput()
    batch_vs_loop()
    memory()
