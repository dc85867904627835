"""Time of quillon.dask.score_by_key's state commit, beside the whole call, on a pandas frame.

2,000 keys x 50 rows of OnlineIForest(4), with `states_out`: the commit is the step that moves
the finished states from the staging folder into `states_out`. Two cases:
  new folder       `states_out` holds no state yet (each target is absent)
  replace          `states_out` holds every key's state from the run before (each target is a
                   plain file, replaced)
Each figure is the fastest of `--repeat` runs (the machine is shared). The folders are made in
`--dir` (default: the temporary folder): the commit's cost is mostly its file system's.
Run: .venv/bin/python -P benchmarks/bench_dask_commit.py [--keys 2000] [--rows 50] [--repeat 3]
     [--dir PATH]
"""

import argparse
import os
import shutil
import tempfile
import time

import numpy as np
import pandas as pd

import quillon.dask as qd


def make_frame(keys, rows):
    rng = np.random.default_rng(1)
    n = keys * rows
    return pd.DataFrame({
        "host": np.tile(np.arange(keys), rows), "tick": np.repeat(np.arange(rows), keys),
        "a": rng.normal(size=n), "b": rng.normal(size=n),
        "c": rng.normal(size=n), "d": rng.exponential(size=n),
    })


def run(frame, states_out):
    """(whole call, commit) seconds of one score_by_key call."""
    commit_seconds = []
    commit = qd._commit

    def timed_commit(*args):
        start = time.perf_counter()
        try:
            return commit(*args)
        finally:
            commit_seconds.append(time.perf_counter() - start)

    qd._commit = timed_commit
    try:
        start = time.perf_counter()
        qd.score_by_key(frame, "host", "OnlineIForest", {"input_dim": 4, "seed": 1},
                        time="tick", columns=["a", "b", "c", "d"], states_out=states_out)
        return time.perf_counter() - start, commit_seconds[0]
    finally:
        qd._commit = commit


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--keys", type=int, default=2000)
    parser.add_argument("--rows", type=int, default=50)
    parser.add_argument("--repeat", type=int, default=3, help="keep the fastest of this many runs")
    parser.add_argument("--dir", default=None, help="folder in which to make the state folders")
    args = parser.parse_args()
    frame = make_frame(args.keys, args.rows)
    load = os.getloadavg()
    best = {"new folder": (float("inf"),) * 2, "replace": (float("inf"),) * 2}
    with tempfile.TemporaryDirectory(dir=args.dir) as root:
        for attempt in range(args.repeat):
            states = os.path.join(root, f"states-{attempt}")
            for case in best:  # the first run makes the files that the second replaces
                best[case] = tuple(map(min, best[case], run(frame, states)))
            files = os.listdir(states)
            assert len(files) == args.keys, len(files)  # one state per key, no staging left
            shutil.rmtree(states)
    print(f"{args.keys} keys x {args.rows} rows, OnlineIForest(4), fastest of {args.repeat}; "
          f"load average before: {load[0]:.1f}, after: {os.getloadavg()[0]:.1f} "
          f"on {os.cpu_count()} cores")
    for case, (whole, commit) in best.items():
        print(f"  {case:11s} whole call {whole:7.2f} s  commit {commit:7.2f} s  "
              f"({commit / args.keys * 1e3:.2f} ms a key)")


if __name__ == "__main__":
    main()
