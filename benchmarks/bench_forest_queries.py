"""Forest query throughput: every read-only query method on a warmed default-size forest.

Forests have 50 trees of capacity 256, warmed with 3 000 Gaussian observations; each query gets a
fresh point from the same distribution (so the trees are walked cold, as after an update). Rates
are calls per second of wall time and of process CPU time (best of three runs); the CPU figure is
less sensitive to a busy machine.

Run with the module on the path, e.g.
    PYTHONPATH=build/python .venv/bin/python -P benchmarks/bench_forest_queries.py
"""

import argparse
import random
import time

import quillon


def points(dim, n, seed):
    rng = random.Random(seed)
    return [[rng.gauss(0.0, 1.0) for _ in range(dim)] for _ in range(n)]


def warmed(input_dim, shingle_size):
    f = quillon.Forest(input_dim, shingle_size=shingle_size, num_trees=50, capacity=256, seed=1)
    for p in points(input_dim, 3000, 2):
        f.update(p)
    return f


def rate(call, args_list):
    best_wall = best_cpu = float("inf")
    for _ in range(3):
        wall, cpu = time.perf_counter(), time.process_time()
        for args in args_list:
            call(*args)
        best_wall = min(best_wall, time.perf_counter() - wall)
        best_cpu = min(best_cpu, time.process_time() - cpu)
    return len(args_list) / best_wall, len(args_list) / best_cpu


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=5000, help="calls per timed run")
    n = parser.parse_args().n
    print(f"{'query (50 trees, capacity 256)':66s} {'calls/s':>10s} {'(CPU time)':>12s}")
    for input_dim, shingle_size in [(1, 8), (16, 1)]:
        f = warmed(input_dim, shingle_size)
        dim = input_dim * shingle_size
        obs = [(p,) for p in points(input_dim, n, 3)]
        full = [(p,) for p in points(dim, n, 4)]
        cases = [
            ("score", f.score, obs),
            ("displacement_score", f.displacement_score, obs),
            ("density", f.density, obs),
            ("attribution", f.attribution, obs),
            ("near_neighbors(top_k=10, percentile=50)", f.near_neighbors, obs),
            ("impute(2 missing)", f.impute, [(p[0], [0, dim - 1]) for p in full]),
            ("impute(2 missing, centrality=0.5)", f.impute,
             [(p[0], [0, dim - 1], 0.5) for p in full]),
        ]
        if shingle_size > 1:
            cases.append(("extrapolate(2)", f.extrapolate, [(2,)] * (n // 5)))
        for name, call, args in cases:
            wall, cpu = rate(call, args)
            label = f"input_dim={input_dim}, shingle_size={shingle_size}: {name}"
            print(f"{label:66s} {wall:10,.0f} {cpu:12,.0f}")


if __name__ == "__main__":
    main()
