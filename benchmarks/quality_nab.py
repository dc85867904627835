"""Detection quality on the NYC taxi passenger series (Numenta Anomaly Benchmark, five labelled events).

For each method, the per-point scores are compared with the labelled windows:

- AUC: the area under the ROC curve of the scores, points inside a window being the positives
  (ties count one half);
- one column per window: "yes" when the window's highest score is above the 99th percentile of
  the scores outside all windows, with the rank of that score among the outside scores' upper tail
  (1 = above every outside score).

Scores are compared from point 2,144 on (mid August), once every method has its history: the
OnlineIForest's window of 2,048 shingles is full (it scores everything high while it fills), and the
forests are past their warm-up. The baselines are
computed here: a rolling z-score (distance from the mean of the previous week, in standard
deviations) and a seasonal-naive difference (distance from the value one week earlier). The script
prints the table; it asserts nothing.

Run: .venv/bin/python -P benchmarks/quality_nab.py
"""

import csv
import json
import time
from datetime import datetime
from pathlib import Path

import numpy as np

import quillon

DATA = Path(__file__).resolve().parent.parent / "examples" / "data"
WEEK = 7 * 48  # half-hour points
START = 2048 + 96  # the OnlineIForest window filled with the longest shingles
SEED = 1
EVENTS = ["marathon", "thanksgiving", "christmas", "new year", "snow storm"]


def load():
    with open(DATA / "nyc_taxi.csv", newline="") as f:
        rows = list(csv.DictReader(f))
    times = np.array([datetime.fromisoformat(r["timestamp"]) for r in rows], dtype="datetime64[s]")
    values = np.array([float(r["value"]) for r in rows])
    with open(DATA / "nyc_taxi_windows.json") as f:
        spans = json.load(f)["realKnownCause/nyc_taxi.csv"]
    windows = [(times >= np.datetime64(datetime.fromisoformat(a)))
               & (times <= np.datetime64(datetime.fromisoformat(b))) for a, b in spans]
    return times, values, windows


def shingles(values, size):
    return np.lib.stride_tricks.sliding_window_view(values, size)


def padded(scores, n):
    # Methods that need a history give no score for the first points.
    out = np.full(n, np.nan)
    out[n - len(scores):] = scores
    return out


def forest(values, shingle_size):
    det = quillon.Forest(1, shingle_size=shingle_size, seed=SEED)
    return det.update_and_score_many(values.reshape(-1, 1))


def online_iforest(values, shingle_size):
    det = quillon.OnlineIForest(shingle_size, seed=SEED)
    return padded(det.update_and_score_many(shingles(values, shingle_size)), len(values))


def rolling_z(values, window=WEEK):
    past = shingles(values, window)[:-1]  # the `window` points before each scored point
    mean, std = past.mean(axis=1), past.std(axis=1)
    return padded(np.abs(values[window:] - mean) / np.maximum(std, 1e-9), len(values))


def seasonal_naive(values, season=WEEK):
    return padded(np.abs(values[season:] - values[:-season]), len(values))


def roc_auc(scores, positive):
    # Mann-Whitney U from average ranks, so ties count one half.
    order = np.argsort(scores, kind="mergesort")
    ranks = np.empty(len(scores))
    sorted_scores = scores[order]
    starts = np.flatnonzero(np.r_[True, sorted_scores[1:] != sorted_scores[:-1]])
    ends = np.r_[starts[1:], len(scores)]
    for a, b in zip(starts, ends):
        ranks[order[a:b]] = (a + b + 1) / 2
    n_pos = positive.sum()
    n_neg = len(scores) - n_pos
    return (ranks[positive].sum() - n_pos * (n_pos + 1) / 2) / (n_pos * n_neg)


def evaluate(scores, windows, start):
    scores = scores[start:]
    windows = [w[start:] for w in windows]
    inside = np.logical_or.reduce(windows)
    outside = scores[~inside]
    threshold = np.quantile(outside, 0.99)
    catches = []
    for w in windows:
        peak = scores[w].max()
        rank = 1 + int((outside > peak).sum())
        catches.append((peak > threshold, rank))
    return roc_auc(scores, inside), catches


def main():
    times, values, windows = load()
    print(f"NYC taxi: {len(values)} half-hour counts, {times[0]} to {times[-1]}, "
          f"{sum(int(w.sum()) for w in windows)} points in {len(windows)} labelled windows")
    print(f"scored from point {START} on; a window is caught when its highest score is above the 99th "
          f"percentile of the scores outside all windows (rank: 1 + outside scores above it)\n")
    methods = [(f"Forest, shingle {k}", lambda k=k: forest(values, k)) for k in (8, 24, 48, 96)]
    methods += [(f"OnlineIForest, shingles of {k}", lambda k=k: online_iforest(values, k)) for k in (24, 48)]
    methods += [("rolling z-score, past week", lambda: rolling_z(values)),
                ("seasonal naive, one week back", lambda: seasonal_naive(values))]
    header = f"{'method':32s} {'AUC':>6s}  " + "  ".join(f"{e:>12s}" for e in EVENTS) + f"  {'caught':>6s} {'time':>6s}"
    print(header)
    print("-" * len(header))
    for name, run in methods:
        start = time.perf_counter()
        scores = np.asarray(run(), dtype=np.float64)
        seconds = time.perf_counter() - start
        auc, catches = evaluate(scores, windows, START)
        cells = "  ".join(f"{('yes' if hit else 'no'):>4s} #{rank:<6d}" for hit, rank in catches)
        caught = sum(hit for hit, _ in catches)
        print(f"{name:32s} {auc:6.3f}  {cells}  {caught:>4d}/5 {seconds:5.1f}s")


if __name__ == "__main__":
    main()
