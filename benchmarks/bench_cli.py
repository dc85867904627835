"""Figures for the command line: a whole `quillon score` run against the batch call it makes.

Run: .venv/bin/python -P benchmarks/bench_cli.py [ROWS]

Writes a ROWS-row (default 1,000,000), 3-column CSV to a temporary folder, then times
`OnlineIForest.update_and_score_many` alone on the same rows (already in memory) and
`quillon score --detector online-iforest` on the file (a fresh interpreter, reading, converting,
scoring and writing the CSV output). The command line should cost at most twice the scoring.
"""

import os
import random
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

        start = time.perf_counter()
        quillon.OnlineIForest(3, seed=1).update_and_score_many(points)
        scoring = time.perf_counter() - start

        output = os.path.join(folder, "scores.csv")
        command = [sys.executable, "-P", "-m", "quillon", "score", "--detector", "online-iforest",
                   "--param", "seed=1", "--no-progress", "-o", output, path]
        start = time.perf_counter()
        subprocess.run(command, check=True)
        whole = time.perf_counter() - start

    print(f"{'update_and_score_many, ' + f'{rows:,} rows x 3':45s} {scoring:7.2f} s")
    print(f"{'quillon score --detector online-iforest':45s} {whole:7.2f} s  ({whole / scoring:.2f}x)")


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000)
