"""Batch methods with float64 input under two builds of quillon, in one run.

    python benchmarks/bench_builds.py OLD_PYTHON NEW_PYTHON [ROUNDS]

Each interpreter must have its build of quillon installed. The builds take turns, ROUNDS times
(default 3), and each figure is the best CPU time over all its turns, so that load from other
processes during one turn does not decide the comparison. Prints rows per CPU second.
"""

import json
import subprocess
import sys

# Runs inside each interpreter: times every batch method of every detector once, prints JSON.
DRIVER = r"""
import json, time
import numpy as np
import quillon

rng = np.random.default_rng(1)
n = 20_000
warm = rng.normal(size=(2_000, 4))
points = rng.normal(size=(n, 4))
numeric = rng.normal(size=(n, 3))
categorical = rng.integers(0, 50, size=(n, 3))
stamps = np.arange(1, n + 1, dtype=np.int64) // 10 + 1
events = [{f"f{j}": float(v) for j, v in enumerate(row)} for row in points[:n // 2]]

def cpu(run):
    start = time.process_time()
    run()
    return time.process_time() - start

cases = {
    "Forest": (lambda: quillon.Forest(4, num_trees=50, capacity=256, seed=1), (points,), (warm,)),
    "OnlineIForest": (lambda: quillon.OnlineIForest(4, seed=1), (points,), (warm,)),
    "MStream": (lambda: quillon.MStream(3, 3, seed=1), (numeric, categorical, stamps + 1000),
                (numeric[:2000], categorical[:2000], stamps[:2000])),
    "FeatureSketch": (lambda: quillon.FeatureSketch(seed=1), (events,), (events[:2000],)),
}
out = {}
for name, (make, args, warm_args) in cases.items():
    rows = len(args[-1])
    for method in ("update_many", "score_many", "update_and_score_many"):
        det = make()
        det.update_many(*warm_args)
        out[f"{name}.{method}"] = rows / cpu(lambda: getattr(det, method)(*args))
print(json.dumps(out))
"""


def run(python):
    done = subprocess.run([python, "-P", "-c", DRIVER], capture_output=True, text=True, check=True)
    return json.loads(done.stdout)


def main():
    old, new = sys.argv[1], sys.argv[2]
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 3
    best = {old: {}, new: {}}
    for _ in range(rounds):
        for python in (old, new):
            for key, rate in run(python).items():
                best[python][key] = max(best[python].get(key, 0.0), rate)
    print(f"{'float64 batch':38s} {'before rows/s':>14s} {'after rows/s':>14s} {'after/before':>13s}")
    for key in best[old]:
        a, b = best[old][key], best[new][key]
        print(f"{key:38s} {a:14,.0f} {b:14,.0f} {b / a:12.2f}x")


if __name__ == "__main__":
    main()
