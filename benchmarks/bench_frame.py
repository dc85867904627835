"""Figures for the Python boundary: call overhead and JSON throughput.

Run: .venv/bin/python -P benchmarks/bench_frame.py
"""

import random
import time

import quillon


def per_call_ns(fn, arg, repeat=200_000):
    best = float("inf")
    for _ in range(5):
        start = time.perf_counter_ns()
        for _ in range(repeat):
            fn(arg)
        best = min(best, (time.perf_counter_ns() - start) / repeat)
    return best


def call_overhead():
    point = [0.5] * 8
    # A one-tree online forest with an empty tree does next to no work per score: the time is the
    # boundary's (binding, access counter, converting 8 floats, releasing the lock, the result).
    det = quillon.OnlineIForest(8, num_trees=1, seed=1)
    baseline = per_call_ns(len, point)
    score = per_call_ns(det.score, point)
    print(f"{'call overhead, score(8 floats), empty detector':55s} {score - baseline:8.0f} ns/call "
          f"(raw {score:.0f} ns, len() {baseline:.0f} ns)")


def throughput(label, make_state, cls):
    det = make_state()
    text = det.to_json()
    mb = len(text.encode()) / 1e6
    best_w = best_r = float("inf")
    for _ in range(5):
        t0 = time.perf_counter()
        det.to_json()
        t1 = time.perf_counter()
        cls.from_json(text)
        t2 = time.perf_counter()
        best_w, best_r = min(best_w, t1 - t0), min(best_r, t2 - t1)
    print(f"{label:55s} {mb:6.1f} MB  write {mb / best_w:7.0f} MB/s  read {mb / best_r:7.0f} MB/s")


def big_window():
    rng = random.Random(1)
    det = quillon.OnlineIForest(16, num_trees=1, window_size=100_000, max_leaf_samples=50_000, seed=1)
    for _ in range(100_000):
        det.update([rng.gauss(0, 1) for _ in range(16)])
    return det


def default_forest():
    rng = random.Random(2)
    det = quillon.Forest(1, shingle_size=8, seed=1)
    for i in range(10_000):
        det.update([rng.gauss(0, 1) + (i % 50) / 10])
    return det


if __name__ == "__main__":
    call_overhead()
    throughput("JSON, OnlineIForest window of 100k x 16 floats", big_window, quillon.OnlineIForest)
    throughput("JSON, default Forest(1, shingle 8) after 10k updates", default_forest, quillon.Forest)
