"""Side-by-side figures of a batch method and the per-call loop it replaces, shared by the
benchmark scripts."""

import time


def best_of_three(make, run):
    """Fewest seconds of three runs, by this process's CPU time and by wall clock."""
    best_cpu = best_wall = float("inf")
    for _ in range(3):
        det = make()
        cpu, wall = time.process_time(), time.perf_counter()
        run(det)
        best_cpu = min(best_cpu, time.process_time() - cpu)
        best_wall = min(best_wall, time.perf_counter() - wall)
    return best_cpu, best_wall


def compare(label, n, make, loop, batch):
    loop_cpu, loop_wall = best_of_three(make, loop)
    batch_cpu, batch_wall = best_of_three(make, batch)
    print(f"  {label:34s} {n / loop_cpu:11,.0f} {n / batch_cpu:11,.0f} "
          f"{loop_cpu / batch_cpu:8.2f}x {loop_wall / batch_wall:8.2f}x")


def compare_header(title, unit):
    print(f"{title:36s} {'loop ' + unit:>11s} {'batch':>11s} {'cpu':>9s} {'wall':>9s}")
