"""Forest throughput, scaling across threads, memory and persistence time.

Run with the module on the path, e.g.
    PYTHONPATH=build/python .venv/bin/python benchmarks/bench_forest.py
Every figure is printed next to its target; nothing here asserts.

With --baseline DIR the update rates are also measured, in the same run, with the quillon package
in DIR (an earlier build, e.g. `pip install --target DIR <earlier wheel>`), and printed beside.
"""

import os

# numpy's BLAS threads would spin beside the detector and count towards its CPU time.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import argparse
import gc
import json
import subprocess
import sys
import random
import resource
import statistics
import threading
import time

import quillon

TREES = 50
CAPACITY = 256


def stream(dim, n, seed):
    rng = random.Random(seed)
    return [[rng.gauss(0.0, 1.0) + (6.0 if i % 211 == 0 else 0.0) for _ in range(dim)] for i in range(n)]


def make(input_dim, shingle_size, seed=1):
    return quillon.Forest(input_dim, shingle_size=shingle_size, num_trees=TREES, capacity=CAPACITY,
                          seed=seed)


def warm(forest, input_dim, n=3000):
    for p in stream(input_dim, n, 99):
        forest.update(p)


def rate_update_and_score(input_dim, shingle_size, n, passes=3):
    # Noise on a shared machine only ever slows a pass down, so the fastest of a few identical
    # passes is the figure (as timeit does).
    points = stream(input_dim, n, 7)
    best = 0.0
    for _ in range(passes):
        forest = make(input_dim, shingle_size)
        warm(forest, input_dim)
        start = time.perf_counter()
        for p in points:
            forest.update_and_score(p)
        best = max(best, n / (time.perf_counter() - start))
    return best


def rate_batch_vs_loop(method, input_dim, shingle_size, n, passes=3):
    """Per-call loop (Python lists) and the batch method (a float64 array) on the same points after
    the same warm-up; fastest pass of each. Returns (loop rate, batch rate)."""
    import numpy as np

    points = stream(input_dim, n, 7)
    array = np.array(points, dtype=np.float64)
    best_loop = best_batch = 0.0
    for _ in range(passes):
        forest = make(input_dim, shingle_size)
        warm(forest, input_dim)
        call = getattr(forest, method)
        start = time.perf_counter()
        for p in points:
            call(p)
        best_loop = max(best_loop, n / (time.perf_counter() - start))
        forest = make(input_dim, shingle_size)
        warm(forest, input_dim)
        start = time.perf_counter()
        getattr(forest, method + "_many")(array)
        best_batch = max(best_batch, n / (time.perf_counter() - start))
    return best_loop, best_batch


def batch_row(method, input_dim, shingle_size, n):
    loop, batch = rate_batch_vs_loop(method, input_dim, shingle_size, n)
    return (f"{method}_many vs loop, input_dim={input_dim}, shingle_size={shingle_size}",
            f"{batch:,.0f} vs {loop:,.0f} /s ({batch / loop:.2f}x)",
            ">= 1.3x" if method == "update_and_score" else ">= 1.0x")


def run_threads(bodies):
    barrier = threading.Barrier(len(bodies) + 1)

    def wrap(body):
        def run():
            barrier.wait()
            body()
        return run

    threads = [threading.Thread(target=wrap(b)) for b in bodies]
    for t in threads:
        t.start()
    barrier.wait()
    start = time.perf_counter()
    for t in threads:
        t.join()
    return time.perf_counter() - start


def speed_up(one_thread, two_threads, rounds=5):
    """Median over rounds of 2 * (one-thread time) / (two-thread time), each round with fresh
    bodies: the machine's speed drifts, and a ratio taken within one round cancels the drift."""
    ratios = []
    for k in range(rounds):
        one = run_threads(one_thread(k))
        two = run_threads(two_threads(k))
        ratios.append(2 * one / two)
    return statistics.median(ratios)


# Each thread gets its own point objects: on the free-threaded interpreter, threads that share
# objects contend on their reference counts, which would be measured instead of the forest.

def scaling_two_forests(n):
    forests = [make(1, 8, seed=s) for s in (1, 2)]
    for f in forests:
        warm(f, 1)

    def body(f, seed):
        points = stream(1, n, seed)
        return lambda: [f.update_and_score(p) for p in points]

    return speed_up(lambda k: [body(forests[0], 10 + k)],
                    lambda k: [body(forests[0], 20 + k), body(forests[1], 30 + k)])


def scaling_shared_scores(n):
    forest = make(1, 8)
    warm(forest, 1)

    def body(seed):
        points = stream(1, n, seed)

        def run():
            for p in points:
                forest.score(p)
        return run

    return speed_up(lambda k: [body(10 + k)], lambda k: [body(20 + k), body(30 + k)])


def rss_kib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def memory_of_default_forest():
    points = stream(1, 4000, 3)
    gc.collect()
    before = rss_kib()
    forest = quillon.Forest(1, shingle_size=8, seed=1)
    for p in points:
        forest.update(p)
    after = rss_kib()
    del forest
    return (after - before) / 1024.0


def memory_per_forest(count=200, updates=600):
    """Process RSS growth per default Forest(1, shingle_size=8) that has taken `updates` points,
    over `count` forests held at once (allocator slack is shared, so this is what one key costs)."""
    points = stream(1, updates, 5)
    gc.collect()
    before = rss_kib()
    forests = []
    for k in range(count):
        forest = quillon.Forest(1, shingle_size=8, seed=k + 1)
        for p in points:
            forest.update(p)
        forests.append(forest)
    after = rss_kib()
    del forests
    return (after - before) / 1024.0 / count


def persistence_time(updates):
    forest = make(1, 8)
    for p in stream(1, updates, 8):
        forest.update(p)
    best = float("inf")
    for _ in range(5):
        start = time.perf_counter()
        quillon.Forest.from_json(forest.to_json())
        best = min(best, time.perf_counter() - start)
    return best * 1000.0, len(forest.to_json())


def update_rates(n):
    """The per-call and batch update rates, as {row name: updates per second}."""
    rates = {"update_and_score, input_dim=1, shingle_size=8": rate_update_and_score(1, 8, n),
             "update_and_score, input_dim=16, shingle_size=1": rate_update_and_score(16, 1, n // 2)}
    for method, input_dim, shingle_size, rows in (("update_and_score", 1, 8, n), ("update", 1, 8, n),
                                                  ("update_and_score", 16, 1, n // 2)):
        loop, batch = rate_batch_vs_loop(method, input_dim, shingle_size, rows)
        rates[f"{method} loop, input_dim={input_dim}, shingle_size={shingle_size}"] = loop
        rates[f"{method}_many, input_dim={input_dim}, shingle_size={shingle_size}"] = batch
    return rates


def baseline_rows(directory, n):
    """update_rates of this build and of the build in `directory`, measured one after the other."""
    here = update_rates(n)
    env = dict(os.environ, PYTHONPATH=directory)
    out = subprocess.run([sys.executable, "-P", os.path.abspath(__file__), "--rates-only", "--n", str(n)],
                         env=env, check=True, capture_output=True, text=True).stdout
    there = json.loads(out.splitlines()[-1])
    return [(name, f"{rate:,.0f} /s", f"{there[name]:,.0f} /s ({rate / there[name]:.2f}x)")
            for name, rate in here.items()]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=40000, help="observations per timed run")
    parser.add_argument("--baseline", metavar="DIR", help="an earlier quillon package to compare with")
    parser.add_argument("--rates-only", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    n = args.n
    if args.rates_only:
        print(json.dumps(update_rates(n)))
        return

    # Memory first, before other forests have grown the heap.
    mem = memory_of_default_forest()
    per_key = memory_per_forest()
    rows = [
        ("update_and_score, input_dim=1, shingle_size=8 (best of 3)", f"{rate_update_and_score(1, 8, n):,.0f} /s",
         ">= 100,000 /s"),
        ("update_and_score, input_dim=16, shingle_size=1 (best of 3)",
         f"{rate_update_and_score(16, 1, n // 2):,.0f} /s", ">= 25,000 /s"),
        batch_row("update_and_score", 1, 8, n),
        batch_row("update", 1, 8, n),
        batch_row("score", 1, 8, n),
        batch_row("update_and_score", 16, 1, n // 2),
        ("two forests on two threads (speed-up, median of 5)", f"{scaling_two_forests(n // 2):.2f}x", ">= 1.8x"),
        ("two threads scoring one forest (speed-up, median of 5)", f"{scaling_shared_scores(n // 2):.2f}x", ">= 1.7x"),
        ("RSS of one default forest (input_dim=1, shingle 8)", f"{mem:.2f} MiB", "<= 4 MB"),
        ("RSS per default forest after 600 points (200 forests)", f"{per_key:.2f} MiB", "<= 1.0 MB"),
    ]
    ms, size = persistence_time(10000)
    rows.append(("to_json + from_json after 10 000 updates", f"{ms:.1f} ms ({size / 1e6:.1f} MB text)", "< 100 ms"))
    print(f"Forest benchmarks: {TREES} trees, capacity {CAPACITY}")
    width = max(len(r[0]) for r in rows)
    for name, value, target in rows:
        print(f"  {name:<{width}}  {value:>28}   target {target}")
    if args.baseline:
        print(f"Update rates beside the build in {args.baseline} (best of 3 passes each)")
        compared = baseline_rows(args.baseline, n)
        width = max(len(r[0]) for r in compared)
        for name, value, old in compared:
            print(f"  {name:<{width}}  {value:>14}   earlier {old}")


if __name__ == "__main__":
    main()
