"""Figures for the command line: a whole `quillon score` run against the batch call it makes.

Run: .venv/bin/python -P benchmarks/bench_cli.py [ROWS]

Writes a ROWS-row (default 1,000,000), 3-column CSV to a temporary folder, then times
`OnlineIForest.update_and_score_many` alone on the same rows (already in memory) and
`quillon score --detector online-iforest` on the file (a fresh interpreter, reading, converting,
scoring and writing the CSV output). The command line should cost at most twice the scoring.
"""

import os
import random
import resource
import subprocess
import sys
import tempfile
import time

import numpy as np

import quillon


def main(rows: int) -> None:
    rng = random.Random(1)
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "series.csv")
        with open(path, "w") as f:
            f.write("a,b,c\n")
            for _ in range(rows):
                f.write(f"{rng.gauss(0, 1)!r},{rng.gauss(5, 2)!r},{rng.random()!r}\n")
        points = np.loadtxt(path, delimiter=",", skiprows=1, dtype=np.float64)

        start, cpu = time.perf_counter(), time.process_time()
        quillon.OnlineIForest(3, seed=1).update_and_score_many(points)
        scoring, scoring_cpu = time.perf_counter() - start, time.process_time() - cpu

        output = os.path.join(folder, "scores.csv")
        command = [sys.executable, "-P", "-m", "quillon", "score", "--detector", "online-iforest",
                   "--param", "seed=1", "--no-progress", "-o", output, path]
        start, before = time.perf_counter(), resource.getrusage(resource.RUSAGE_CHILDREN)
        subprocess.run(command, check=True)
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        whole = time.perf_counter() - start
        whole_cpu = after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime

    # Reading and writing run on a second thread beside the scoring: on a machine with a core to
    # spare the wall time approaches the larger of the two; the CPU time is their sum.
    print(f"{'':45s} {'wall':>8s} {'CPU':>8s}")
    print(f"{'update_and_score_many, ' + f'{rows:,} rows x 3':45s} {scoring:7.2f}s {scoring_cpu:7.2f}s")
    print(f"{'quillon score --detector online-iforest':45s} {whole:7.2f}s {whole_cpu:7.2f}s  "
          f"({whole / scoring:.2f}x wall, {whole_cpu / scoring_cpu:.2f}x CPU)")


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000)
