"""Rows per second of quillon.dask.score_by_key on local clusters, beside a plain loop.

2,000 keys x 500 rows (one row per key and tick, keys interleaved as in a log), for
OnlineIForest(4) and Forest(1, shingle_size=8). Figures:
  plain loop       one process: one stable sort by (key, time), then one detector and one
                   update_and_score_many call per key
  pandas frame     score_by_key on a pandas frame (same code as a Dask task, no Dask)
  + states json    the same, also saving every key's final state to a folder as JSON
  + states binary  the same with state_format="binary" (.qstate files)
  W workers x T    score_by_key on a LocalCluster of W worker processes with T threads each; the
                   input is made and persisted on the workers first, the result persisted
                   (not gathered), so the time is the shuffle plus the scoring
CPU is the processor time of every process involved (workers, client and scheduler): on a
shared machine the wall time depends on the other load, the CPU time much less. Beside them:
the memory per key (a detector's heap_bytes() after the day, and its state in each form, as the
states folder holds it) and, for the clusters, each worker's peak resident memory (its largest
RSS during the whole session: input partitions, shuffle and detectors).
Run: .venv/bin/python -P benchmarks/bench_dask.py [--keys 2000] [--rows 500] [--partitions 8]
     [--repeat 1] [--configs 1x1,2x1,1x2,2x2]
"""

import argparse
import logging
import os
import resource
import shutil
import tempfile
# numpy's BLAS threads would spin beside the detector and count towards its CPU time.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
import threading
import time

import numpy as np
import pandas as pd

import quillon
from quillon.dask import key_seed, score_by_key

DETECTORS = {
    "OnlineIForest(4)": ("OnlineIForest", {"input_dim": 4, "seed": 1}, ["a", "b", "c", "d"]),
    "Forest(1, shingle_size=8)": ("Forest", {"input_dim": 1, "shingle_size": 8, "seed": 1}, ["a"]),
}


def make_part(number, keys, rows, partitions, run=None):
    """The rows of ticks [lo, hi) for every key: a day is cut into partitions by time.

    `run` only names the data, so that Dask cannot reuse the results of an earlier run."""
    lo, hi = number * rows // partitions, (number + 1) * rows // partitions
    rng = np.random.default_rng(number)
    ticks = np.repeat(np.arange(lo, hi) + 1, keys)
    n = len(ticks)
    level = np.sin(ticks / 20.0)
    return pd.DataFrame({
        "host": np.tile(np.arange(keys), hi - lo), "tick": ticks,
        "a": level + rng.normal(0, 0.1, n), "b": rng.normal(size=n),
        "c": rng.normal(size=n), "d": rng.exponential(size=n),
    }, index=pd.RangeIndex(lo * keys, hi * keys))


def plain_loop(frame, detector, params, columns):
    cls = getattr(quillon, detector)
    keys = frame["host"].to_numpy()
    order = np.lexsort((frame["tick"].to_numpy(), keys))  # stable: ties keep the frame's order
    keys, values = keys[order], frame[columns].to_numpy()[order]
    bounds = [0, *(np.flatnonzero(keys[1:] != keys[:-1]) + 1).tolist(), len(keys)]
    ordered = np.empty(len(keys))
    for start, stop in zip(bounds[:-1], bounds[1:]):
        det = cls(**{**params, "seed": key_seed(params["seed"], keys[start])})
        ordered[start:stop] = det.update_and_score_many(values[start:stop])
    scores = np.empty(len(keys))
    scores[order] = ordered
    return scores


def peak_rss():
    """This process's largest resident memory so far, in bytes (Linux reports KiB)."""
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def per_key(frame, detector, params, columns, sample=200):
    """Mean heap, JSON and binary bytes per key after the day, over the first `sample` keys."""
    cls = getattr(quillon, detector)
    part = frame[frame["host"] < sample]
    heap = text = data = 0
    keys = sorted(set(part["host"].tolist()))
    for key in keys:
        rows = part[part["host"] == key].sort_values("tick", kind="stable")
        det = cls(**{**params, "seed": key_seed(params["seed"], key)})
        det.update_and_score_many(rows[columns].to_numpy())
        heap += det.heap_bytes()
        text += len(det.to_json())
        data += len(det.to_bytes())
    return heap / len(keys), text / len(keys), data / len(keys)


def with_states(frame, detector, params, columns, state_format, repeat):
    """score_by_key on a pandas frame that also saves every key's state; (seconds, CPU), bytes
    of the states folder per key."""
    folder = tempfile.mkdtemp(prefix="bench-dask-states-")
    try:
        def once():
            shutil.rmtree(folder, ignore_errors=True)
            return score_by_key(frame, "host", detector, params, time="tick", columns=columns,
                                states_out=folder, state_format=state_format)
        best, _ = timed(once, repeat)
        names = os.listdir(folder)
        size = sum(os.path.getsize(os.path.join(folder, n)) for n in names)
        return best, size / max(len(names), 1)
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def cpu_seconds():
    times = os.times()
    return times.user + times.system


def timed(fn, repeat=1):
    """The fastest of `repeat` runs (the machine is shared): (wall, CPU) seconds, last result."""
    best = (float("inf"), float("inf"))
    for _ in range(repeat):
        start, cpu = time.perf_counter(), cpu_seconds()
        result = fn()
        best = min(best, (time.perf_counter() - start, cpu_seconds() - cpu))
    return best, result


def ceiling(frame, detector, params, columns):
    """Speed-up of two plain loops on half the keys each, in two threads, over one after the
    other: what this machine, with its current other load, allows two workers at best."""
    halves = [frame[frame["host"] % 2 == side] for side in (0, 1)]
    one, _ = timed(lambda: [plain_loop(h, detector, params, columns) for h in halves])
    threads = [threading.Thread(target=plain_loop, args=(h, detector, params, columns))
               for h in halves]
    two, _ = timed(lambda: ([t.start() for t in threads], [t.join() for t in threads]))
    return one[0] / two[0]


def on_cluster(workers, threads, args):
    import dask.dataframe as dd
    from distributed import Client, LocalCluster, wait

    cluster = LocalCluster(n_workers=workers, threads_per_worker=threads, processes=True,
                           dashboard_address=None, silence_logs=logging.ERROR)
    figures = {}
    with cluster, Client(cluster) as client:
        for label, (detector, params, columns) in DETECTORS.items():
            best = (float("inf"), float("inf"))
            for run in range(args.repeat):
                # A new input name each time, so no result of an earlier run can be reused.
                frame = dd.from_map(make_part, range(args.partitions), keys=args.keys,
                                    rows=args.rows, partitions=args.partitions,
                                    run=f"{label}-{run}").persist()
                wait(frame)
                # Warm-up on a slice: imports and first allocations in every worker.
                small = frame.partitions[0].head(args.keys * 4, npartitions=1, compute=False)
                wait(score_by_key(small, "host", detector, params, time="tick",
                                  columns=columns).persist())
                # CPU time of the workers and of this process (client and scheduler).
                before = sum(client.run(cpu_seconds).values()) + cpu_seconds()
                start = time.perf_counter()
                result = score_by_key(frame, "host", detector, params, time="tick",
                                      columns=columns).persist()
                wait(result)
                seconds = time.perf_counter() - start
                cpu = sum(client.run(cpu_seconds).values()) + cpu_seconds() - before
                best = min(best, (seconds, cpu))
                rss = client.run(peak_rss).values()
                del result, frame
            figures[label] = (best, max(rss))
    return figures


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--keys", type=int, default=2000)
    parser.add_argument("--rows", type=int, default=500)
    parser.add_argument("--partitions", type=int, default=8)
    parser.add_argument("--repeat", type=int, default=1, help="keep the fastest of this many runs")
    parser.add_argument("--configs", default="1x1,2x1,1x2,2x2",
                        help="clusters to run, as WORKERSxTHREADS (default: 1x1,2x1,1x2,2x2)")
    args = parser.parse_args()
    n = args.keys * args.rows
    load = os.getloadavg()

    frame = pd.concat([make_part(i, args.keys, args.rows, args.partitions)
                       for i in range(args.partitions)])
    table, ceilings, keys_memory, rss, folder_bytes = {}, {}, {}, {}, {}
    for label, (detector, params, columns) in DETECTORS.items():
        plain, expected = timed(lambda: plain_loop(frame, detector, params, columns), args.repeat)
        local, result = timed(lambda: score_by_key(frame, "host", detector, params, time="tick",
                                                   columns=columns), args.repeat)
        assert np.array_equal(result["score"].to_numpy(), expected)  # the same scores
        table[label] = {"plain loop": plain, "pandas frame": local}
        for state_format in ("json", "binary"):
            seconds, size = with_states(frame, detector, params, columns, state_format,
                                        args.repeat)
            table[label][f"+ states {state_format}"] = seconds
            folder_bytes[(label, state_format)] = size
        ceilings[label] = ceiling(frame, detector, params, columns)
        keys_memory[label] = per_key(frame, detector, params, columns)
    for config in args.configs.split(","):
        workers, threads = map(int, config.split("x"))
        for label, (seconds, worker_rss) in on_cluster(workers, threads, args).items():
            name = (f"{workers} worker{'s' if workers > 1 else ''} x {threads} thread"
                    f"{'s' if threads > 1 else ''}")
            table[label][name] = seconds
            rss[(label, name)] = worker_rss

    print(f"{args.keys} keys x {args.rows} rows = {n} rows, {args.partitions} partitions; "
          f"load average before: {load[0]:.1f}, after: {os.getloadavg()[0]:.1f} "
          f"on {os.cpu_count()} cores")
    for label, runs in table.items():
        print(f"\n{label}  (two plain loops in two threads: {ceilings[label]:.2f}x one)")
        heap, text, data = keys_memory[label]
        print(f"  per key after the day: heap {heap / 1024:,.0f} KiB, state JSON "
              f"{text / 1024:,.0f} "
              f"KiB, binary {data / 1024:,.0f} KiB ({data / text:.0%} of the JSON); state files "
              f"per key: JSON {folder_bytes[(label, 'json')] / 1024:,.0f} KiB, binary "
              f"{folder_bytes[(label, 'binary')] / 1024:,.0f} KiB")
        plain = runs["plain loop"]
        one = runs.get("1 worker x 1 thread")
        for name, (seconds, cpu) in runs.items():
            extra = f"  {seconds / plain[0]:4.2f}x the plain loop's time"
            if one and name != "1 worker x 1 thread" and "worker" in name:
                extra += f", {one[0] / seconds:4.2f}x one worker's speed"
            if (label, name) in rss:
                extra += f", peak RSS per worker {rss[(label, name)] / 2**20:,.0f} MiB"
            print(f"  {name:22s} {n / seconds:10,.0f} rows/s  {seconds:7.2f} s  "
                  f"CPU {cpu:6.2f} s{extra}")


if __name__ == "__main__":
    main()
