"""Figures for MStream: ingest throughput and memory per detector.

Default sketches (2 rows, 1024 buckets), 3 numeric and 3 categorical fields.

Run: .venv/bin/python -P benchmarks/bench_mstream.py
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

NUMERIC, CATEGORICAL = 3, 3
RECORDS = 200_000


def make_records(n, records_per_tick, seed=1):
    rng = random.Random(seed)
    out = []
    for i in range(n):
        numeric = [rng.gauss(10, 2), rng.expovariate(1.0), rng.uniform(-1, 1)]
        categorical = [rng.randrange(4), rng.randrange(100), rng.randrange(10_000)]
        out.append((numeric, categorical, 1 + i // records_per_tick))
    return out


def records_per_second(method_name, records):
    """Best of three runs, by wall clock and by this process's CPU time (the latter is the fairer
    figure on a machine shared with other work)."""
    best_wall = best_cpu = float("inf")
    for _ in range(3):
        det = quillon.MStream(NUMERIC, CATEGORICAL, seed=7)
        method = getattr(det, method_name)
        wall, cpu = time.perf_counter(), time.process_time()
        for numeric, categorical, ts in records:
            method(numeric, categorical, ts)
        best_wall = min(best_wall, time.perf_counter() - wall)
        best_cpu = min(best_cpu, time.process_time() - cpu)
    return len(records) / best_wall, len(records) / best_cpu


def throughput():
    print(f"{'MStream(3, 3), 2 rows x 1024 buckets':55s} {'records/s':>12s} {'per CPU s':>12s}")
    for per_tick, label in [(10, "tick advances every 10 records"), (1, "tick advances every record")]:
        records = make_records(RECORDS, per_tick)
        for method in ("update_and_score", "update", "update_and_score_detailed"):
            wall, cpu = records_per_second(method, records)
            print(f"  {method + ', ' + label:53s} {wall:12,.0f} {cpu:12,.0f}")
    # The preview never decays, so its cost is the same at every tick rate.
    records = make_records(RECORDS, 10)
    det = quillon.MStream(NUMERIC, CATEGORICAL, seed=7)
    for numeric, categorical, ts in records[:1000]:
        det.update(numeric, categorical, ts)
    last = records[999][2]
    wall, cpu = time.perf_counter(), time.process_time()
    for numeric, categorical, _ in records:
        det.score(numeric, categorical, last)
    wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
    print(f"  {'score (preview)':53s} {len(records) / wall:12,.0f} {len(records) / cpu:12,.0f}")


def batch_vs_loop():
    """The batch methods beside the per-call loop on the same records (numpy arrays for the batch,
    Python lists for the loop), after the same 1000 records of warm-up."""
    import numpy as np

    records = make_records(RECORDS, 10)
    warm, rest = records[:1000], records[1000:]
    numeric = np.array([r[0] for r in rest], dtype=np.float64)
    categorical = np.array([r[1] for r in rest], dtype=np.int64)
    timestamps = np.array([r[2] for r in rest], dtype=np.int64)

    def make():
        det = quillon.MStream(NUMERIC, CATEGORICAL, seed=7)
        for record in warm:
            det.update(*record)
        return det

    compare_header("MStream(3, 3), tick every 10", "rec/s")
    for method in ("update_and_score", "update", "score"):
        def loop(det, method=method):
            call = getattr(det, method)
            for numeric_row, categorical_row, ts in rest:
                call(numeric_row, categorical_row, ts)

        def batch(det, method=method):
            getattr(det, method + "_many")(numeric, categorical, timestamps)

        compare(method + "_many vs loop", len(rest), make, loop, batch)


def resident_bytes():
    with open("/proc/self/statm") as f:
        pages = int(f.read().split()[1])
    return pages * 4096


def memory():
    det = quillon.MStream(NUMERIC, CATEGORICAL, seed=7)
    state = json.loads(det.to_json())

    def cells(node):
        if isinstance(node, dict):
            if set(node) == {"v", "dim", "data"}:
                return len(node["data"])
            return sum(cells(v) for v in node.values())
        if isinstance(node, list):
            return sum(cells(v) for v in node)
        return 0

    array_bytes = 8 * cells(state)
    n = 2000
    gc.collect()
    before = resident_bytes()
    keep = [quillon.MStream(NUMERIC, CATEGORICAL, seed=i) for i in range(n)]
    after = resident_bytes()
    print(f"{'bytes per detector, arrays of the state (8 bytes/cell)':55s} {array_bytes:12,d}")
    print(f"{'bytes per detector, resident memory / ' + str(n) + ' detectors':55s} "
          f"{(after - before) / len(keep):12,.0f}")


if __name__ == "__main__":
    memory()  # first, while the process's heap holds nothing else
    throughput()
    batch_vs_loop()
