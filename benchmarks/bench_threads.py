"""Thread scaling of every detector on the free-threaded interpreter.

For each class: throughput of one thread feeding one detector, two threads feeding two detectors,
and two threads scoring one shared detector, relative to one thread.
Run: .venv/bin/python -P benchmarks/bench_threads.py
"""

import random
import sys
import threading
import time

import quillon

# Calls per thread, sized so that each run takes about a second on one core.
CALLS = {"Forest": 20_000, "MStream": 400_000, "FeatureSketch": 40_000, "OnlineIForest": 150_000}


def forest():
    return quillon.Forest(1, shingle_size=8, seed=1), lambda r, i: ([r.gauss(0, 1)],)


def mstream():
    return (quillon.MStream(3, 3, seed=1),
            lambda r, i: ([r.random(), r.random(), r.random()],
                          [r.randrange(5), r.randrange(50), r.randrange(500)], 1 + i // 10))


def feature_sketch():
    return (quillon.FeatureSketch(seed=1),
            lambda r, i: ({f"f{r.randrange(30)}": r.random() for _ in range(10)},))


def online_iforest():
    return quillon.OnlineIForest(4, seed=1), lambda r, i: ([r.random() for _ in range(4)],)


def inputs(sample, n, seed, start=0):
    r = random.Random(seed)
    return [sample(r, i) for i in range(start, start + n)]


def timed(workers):
    threads = [threading.Thread(target=w) for w in workers]
    start = time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return time.perf_counter() - start


def measure(name, make):
    n = CALLS[name]
    det, sample = make()
    for args in inputs(sample, 5000, 1):
        det.update(*args)  # warm up so that scores do real work

    # Each thread gets its own input objects and its own bound method: shared Python objects
    # would make the threads contend on reference counts instead of measuring the detectors.
    def feed(d, seed):
        rows = inputs(sample, n, seed, start=5000)
        call = d.update_and_score

        def run():
            for args in rows:
                call(*args)
        return run

    def scorer(d, seed):
        rows = inputs(sample, n, seed, start=5000)
        call = d.score

        def run():
            for args in rows:
                call(*args)
        return run

    a, _ = make()
    b, _ = make()
    one = n / timed([feed(a, 2)])
    a, _ = make()
    two = 2 * n / timed([feed(a, 2), feed(b, 3)])
    one_score = n / timed([scorer(det, 4)])
    two_score = 2 * n / timed([scorer(det, 4), scorer(det, 5)])
    print(f"{name:15s} two detectors {two / one:5.2f}x   one shared detector scoring "
          f"{two_score / one_score:5.2f}x   (one thread: {one:9,.0f} update_and_score/s)")


if __name__ == "__main__":
    print(f"GIL enabled: {sys._is_gil_enabled()}")
    for name, make in [("Forest", forest), ("MStream", mstream), ("FeatureSketch", feature_sketch),
                       ("OnlineIForest", online_iforest)]:
        measure(name, make)
