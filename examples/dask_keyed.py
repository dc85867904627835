"""One detector per host on a Dask cluster, with states that carry over to the next day.

Generates two days of metrics for 2,000 hosts (500 ticks a day, four values per tick, a few
injected incidents on day two), scores day one with one Forest per host and saves every
host's state, then scores day two starting from the saved states, and prints rows per second and
the most anomalous rows.

  python -P examples/dask_keyed.py                  # a LocalCluster of 2 worker processes
  python -P examples/dask_keyed.py --scheduler tcp://scheduler:8786 --states s3://bucket/states

On a real cluster the workers need quillon installed and `--states` must be a place that every
worker reaches (a shared folder or an fsspec URL); the data is generated on the workers.
"""

import argparse
import logging
import tempfile
import time

import numpy as np
import pandas as pd

# A compact forest: its saved state is about 200 kB per host.
DETECTOR = "Forest"
PARAMS = {"input_dim": 4, "num_trees": 20, "capacity": 32, "seed": 2024}
COLUMNS = ["cpu", "memory", "latency", "errors"]


def metrics(part, hosts, ticks, parts, day):
    """The rows of one slice of a day's ticks, for every host (made on the worker)."""
    first = day * ticks + part * ticks // parts + 1
    last = day * ticks + (part + 1) * ticks // parts + 1
    tick = np.repeat(np.arange(first, last), hosts)
    host = np.tile(np.arange(hosts), last - first)
    rng = np.random.default_rng([day, part])
    n = len(tick)
    frame = pd.DataFrame({
        "host": [f"web-{h:04d}" for h in host],
        "tick": tick,
        "cpu": 0.4 + 0.1 * (host % 5) + rng.normal(0, 0.03, n),
        "memory": 0.6 + rng.normal(0, 0.01, n),
        "latency": rng.lognormal(3, 0.2, n),
        "errors": rng.poisson(0.2, n).astype(float),
    }, index=pd.RangeIndex(0, n) + (first - 1) * hosts)
    if day == 1:  # incidents: a latency storm on every 250th host in the middle of day two
        hit = (host % 250 == 7) & (np.abs(tick - (day * ticks + ticks // 2)) < 3)
        frame.loc[hit, "latency"] *= 6
        frame.loc[hit, "errors"] += 12
    return frame


def score_day(client, day, args, states_in, states_out):
    import dask.dataframe as dd
    from distributed import wait

    from quillon.dask import score_by_key

    frame = dd.from_map(metrics, range(args.partitions), hosts=args.hosts, ticks=args.ticks,
                        parts=args.partitions, day=day).persist()
    wait(frame)
    start = time.perf_counter()
    scores = score_by_key(frame, "host", DETECTOR, PARAMS, time="tick", columns=COLUMNS,
                          states_in=states_in, states_out=states_out).persist()
    wait(scores)
    seconds = time.perf_counter() - start
    rows = args.hosts * args.ticks
    print(f"day {day + 1}: {rows:,} rows of {args.hosts:,} hosts in {seconds:.1f} s, "
          f"{rows / seconds:,.0f} rows/s; states in {states_out}")
    return scores


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scheduler", metavar="ADDRESS",
                        help="a running Dask scheduler (default: start a local cluster)")
    parser.add_argument("--states", metavar="FOLDER",
                        help="where the per-host states go, a folder or fsspec URL "
                        "(default: a temporary folder, fine for the local cluster)")
    parser.add_argument("--hosts", type=int, default=2000)
    parser.add_argument("--ticks", type=int, default=500, help="ticks per day")
    parser.add_argument("--partitions", type=int, default=8)
    args = parser.parse_args()
    if args.scheduler and not args.states:
        parser.error("--scheduler needs --states: a folder or URL that every worker reaches")

    from distributed import Client, LocalCluster

    if args.scheduler:
        client = Client(args.scheduler)
    else:
        cluster = LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None,
                               silence_logs=logging.ERROR)
        client = Client(cluster)
    with client, tempfile.TemporaryDirectory() as scratch:
        states = (args.states or scratch).rstrip("/")
        score_day(client, 0, args, None, f"{states}/day1")
        day2 = score_day(client, 1, args, f"{states}/day1", f"{states}/day2")
        print("\nmost anomalous rows of day 2:")
        print(day2.nlargest(10, "score").compute().to_string())
        if not args.scheduler:
            cluster.close()


if __name__ == "__main__":
    main()
