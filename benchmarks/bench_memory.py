"""Memory and state size of the four detectors at their defaults, and the cost of saving them.

For each detector, after a stream (Forest(1, shingle_size=8) and OnlineIForest(1) take 600 points
of one value, MStream(1, 1) 600 records, FeatureSketch() 600 events of three features):
  heap (RSS)        growth of this process's resident memory while 200 such detectors (fewer
                    when that would take more than --budget-mb) are built and fed, divided by
                    their number
  heap_bytes()      the detector's own report
  JSON, binary      bytes of to_json() (UTF-8) and to_bytes()
  write, read       the fastest of --repeat calls of to_json / to_bytes and from_json / from_bytes
Each process builds one kind only, so that one kind's freed memory does not hide the next one's.
Run: .venv/bin/python -P benchmarks/bench_memory.py [--count 200] [--repeat 7] [--points 600]
"""

import argparse
import json
import os
import random
import subprocess
import sys
import time

import quillon

DEFAULTS = {
    "Forest": "Forest(1, shingle_size=8)",
    "MStream": "MStream(1, 1)",
    "FeatureSketch": "FeatureSketch()",
    "OnlineIForest": "OnlineIForest(1)",
}


def build(name, points, seed):
    rng = random.Random(seed)
    if name == "Forest":
        d = quillon.Forest(1, shingle_size=8, seed=seed)
        d.update_many([[rng.gauss(0, 1)] for _ in range(points)])
    elif name == "MStream":
        d = quillon.MStream(1, 1, seed=seed)
        d.update_many([[rng.gauss(0, 1)] for _ in range(points)],
                      [[rng.randrange(20)] for _ in range(points)], list(range(1, points + 1)))
    elif name == "FeatureSketch":
        d = quillon.FeatureSketch(seed=seed)
        d.update_many([{"a": rng.gauss(0, 1), "b": rng.random(), f"c={rng.randrange(9)}": 1.0}
                       for _ in range(points)])
    else:
        d = quillon.OnlineIForest(1, seed=seed)
        d.update_many([[rng.gauss(0, 1)] for _ in range(points)])
    return d


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def best(fn, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def measure(name, count, points, repeat, budget):
    """One kind's figures, in this (fresh) process."""
    cls = getattr(quillon, name)
    probe = build(name, points, 0)
    heap = probe.heap_bytes()
    count = max(1, min(count, budget // max(heap, 1)))
    before = rss()
    kept = [build(name, points, seed) for seed in range(1, count + 1)]
    per_detector = (rss() - before) / count
    text, data = probe.to_json(), probe.to_bytes()
    assert cls.from_bytes(data).to_json() == text
    del kept
    return {
        "count": count, "rss": per_detector, "heap": heap, "json": len(text.encode()),
        "binary": len(data),
        "json_write": best(probe.to_json, repeat), "binary_write": best(probe.to_bytes, repeat),
        "json_read": best(lambda: cls.from_json(text), repeat),
        "binary_read": best(lambda: cls.from_bytes(data), repeat),
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=200)
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--points", type=int, default=600)
    parser.add_argument("--budget-mb", type=int, default=4096,
                        help="most memory the detectors of one kind may take (default 4096)")
    parser.add_argument("--detector", help=argparse.SUPPRESS)  # a child process's one kind
    args = parser.parse_args()
    if args.detector:
        figures = measure(args.detector, args.count, args.points, args.repeat,
                          args.budget_mb << 20)
        print(json.dumps(figures))
        return
    rows = {}
    for name in DEFAULTS:
        out = subprocess.run([sys.executable, "-P", __file__, "--detector", name,
                              "--count", str(args.count), "--points", str(args.points),
                              "--repeat", str(args.repeat), "--budget-mb", str(args.budget_mb)],
                             check=True, capture_output=True, text=True)
        rows[name] = json.loads(out.stdout)
    print(f"after {args.points} updates; times are the fastest of {args.repeat}; "
          f"load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores")
    head = (f"{'detector':33s} {'heap (RSS)':>11s} {'heap_bytes':>11s} {'JSON':>11s} "
            f"{'binary':>10s} {'ratio':>6s} {'write JSON':>10s} {'binary':>8s} {'speed-up':>8s} "
            f"{'read JSON':>10s} {'binary':>8s} {'speed-up':>8s}")
    print(head)
    for name, r in rows.items():
        label = f"{DEFAULTS[name]} x{r['count']}"
        print(f"{label:33s} {r['rss'] / 1024:9,.0f}Ki {r['heap'] / 1024:9,.0f}Ki "
              f"{r['json'] / 1024:9,.0f}Ki {r['binary'] / 1024:8,.0f}Ki "
              f"{r['binary'] / r['json']:6.1%} "
              f"{r['json_write'] * 1e3:8.2f}ms {r['binary_write'] * 1e3:6.2f}ms "
              f"{r['json_write'] / r['binary_write']:7.1f}x "
              f"{r['json_read'] * 1e3:8.2f}ms {r['binary_read'] * 1e3:6.2f}ms "
              f"{r['json_read'] / r['binary_read']:7.1f}x")


if __name__ == "__main__":
    main()
