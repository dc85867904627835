"""Streams real and synthetic data through the quillon detectors.

The NYC taxi passenger series goes through a shingled Forest whose scores quillon.Alerts turns
into alerts (a table of the labelled events they catch and a picture); the other three detectors each get a short synthetic stream with injected
anomalies.

Run: .venv/bin/python -P examples/demo.py [PICTURE.png]   (default: build/demo/nyc_taxi.png)
"""

import csv
import json
import random
import sys
from datetime import datetime
from pathlib import Path

import numpy as np

import quillon

REPO = Path(__file__).resolve().parent.parent
DATA = REPO / "examples" / "data"


def section(title):
    print(f"\n== {title} ==")


EVENTS = ["NYC marathon", "Thanksgiving", "Christmas", "New Year", "snow storm"]
DAY = 48  # half-hour counts


def load_taxi():
    with open(DATA / "nyc_taxi.csv", newline="") as f:
        rows = list(csv.DictReader(f))
    times = [datetime.fromisoformat(r["timestamp"]) for r in rows]
    values = np.array([float(r["value"]) for r in rows])
    with open(DATA / "nyc_taxi_windows.json") as f:
        spans = json.load(f)["realKnownCause/nyc_taxi.csv"]
    windows = [(datetime.fromisoformat(a), datetime.fromisoformat(b)) for a, b in spans]
    return times, values, windows


def taxi_demo(picture):
    section("Forest: New York taxi passengers every half hour, shingles of one day (48 values)")
    times, values, windows = load_taxi()
    # The Monitor passes every score to its Alerts, which grade it against the stream's own
    # history and raise one alert per unusual episode.
    monitor = quillon.Monitor(quillon.Forest(1, shingle_size=DAY, seed=2), quillon.Alerts())
    scores, grades, flags = monitor.update_many(values.reshape(-1, 1))
    alarms = [int(i) for i in np.flatnonzero(flags)]
    print(f"{monitor!r}")
    print(f"  {len(values)} counts from {times[0]:%Y-%m-%d} to {times[-1]:%Y-%m-%d}; "
          f"{len(alarms)} alerts raised at risk {monitor.alerts.risk()} (the expected false-alarm "
          f"rate per half hour)")
    print(f"  {'event':13s} {'labelled window':26s} {'grade':>8s}  {'first alert':16s} caught")
    for name, (start, end) in zip(EVENTS, windows):
        span = f"{start:%m-%d %H:%M} to {end:%m-%d %H:%M}"
        inside = [i for i in alarms if start <= times[i] <= end]
        if inside:
            found = f"{grades[inside[0]]:8.5f}  {times[inside[0]]:%Y-%m-%d %H:%M} yes"
        else:
            found = f"{'-':>8s}  {'':16s} no"
        print(f"  {name:13s} {span:26s} {found}")
    false = [i for i in alarms if not any(a <= times[i] <= b for a, b in windows)]
    print(f"  alerts outside the labelled windows: "
          + (", ".join(f"{times[i]:%m-%d %H:%M}" for i in false) or "none"))

    # What the forest expected at the strongest alert: a forest fed up to just before it holds
    # exactly the state the stream had then (same seed, same inputs).
    if alarms:
        top = max(alarms, key=lambda i: scores[i])
        before = quillon.Forest(1, shingle_size=DAY, seed=2)
        before.update_many(values[:top].reshape(-1, 1))
        point = [float(v) for v in values[top - DAY + 1:top + 1]]
        expected = before.impute(point, [DAY - 1])[DAY - 1]
        print(f"  at the strongest alert, {times[top]:%Y-%m-%d %H:%M}: {values[top]:.0f} "
              f"passengers, where the forest would have expected about {expected:.0f}")
    print(f"  from the command line: quillon score --time-column timestamp --param shingle_size=48 "
          f"--param seed=2 --alerts-only --plot taxi.png {DATA.relative_to(REPO) / 'nyc_taxi.csv'}")
    draw_taxi(picture, times, values, scores, windows, alarms)


def draw_taxi(picture, times, values, scores, windows, alarms):
    try:
        import matplotlib
    except ImportError:
        print("  (no picture: matplotlib is missing; pip install 'quillon[plot]')")
        return
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    hits = [i for i in alarms if any(a <= times[i] <= b for a, b in windows)]
    misses = [i for i in alarms if i not in hits]
    figure, (top, bottom) = plt.subplots(2, 1, figsize=(13, 6.5), sharex=True,
                                         gridspec_kw={"height_ratios": [3, 2]})
    for axes in (top, bottom):
        for n, (start, end) in enumerate(windows):
            axes.axvspan(start, end, color="tab:orange", alpha=0.25, lw=0,
                         label="labelled event" if n == 0 and axes is top else None)
    top.plot(times, values, lw=0.6, color="tab:blue")
    for n, (name, (start, end)) in enumerate(zip(EVENTS, windows)):
        # Christmas and New Year lie close together: stagger the labels.
        height = values.max() * (1.0 if n % 2 == 0 else 1.07)
        top.annotate(name, (start + (end - start) / 2, height), ha="center", va="bottom", fontsize=8)
    bottom.plot(times, scores, lw=0.6, color="tab:gray")
    for axes, ys in ((top, values), (bottom, scores)):
        axes.scatter([times[i] for i in hits], ys[hits], color="tab:red", s=28, zorder=3,
                     label="alert in a labelled window" if axes is top else None)
        axes.scatter([times[i] for i in misses], ys[misses], color="black", marker="x", s=28, zorder=3,
                     label="other alert" if axes is top else None)
    top.set_ylabel("passengers per half hour")
    top.set_ylim(top=values.max() * 1.16)
    top.legend(loc="lower left", fontsize=8)
    top.set_title("NYC taxi passengers (Numenta Anomaly Benchmark): a quillon Forest (shingles of one "
                  "day) and its alerts")
    bottom.set_ylabel("anomaly score")
    figure.tight_layout()
    picture.parent.mkdir(parents=True, exist_ok=True)
    temp = picture.with_name(f".{picture.name}.tmp")
    figure.savefig(temp, format="png", dpi=110)
    plt.close(figure)
    temp.replace(picture)
    print(f"  picture written to {picture}")


def mstream_demo():
    section("MStream: flows (bytes, duration | protocol, port) with a burst at tick 60")
    rng = random.Random(3)
    detector = quillon.MStream(2, 2, seed=3)
    top = []
    for tick in range(1, 81):
        for _ in range(10):
            numeric = [rng.lognormvariate(6, 0.5), rng.expovariate(2.0)]
            categorical = [rng.choice([6, 17]), rng.choice([80, 443, 53])]
            detector.update(numeric, categorical, tick)
        if tick == 60:
            for _ in range(30):  # a scan: many tiny flows to one odd port
                detail = detector.update_and_score_detailed([40.0, 0.001], [6, 31337], tick)
            top.append((tick, detail))
    tick, detail = top[-1]
    print(f"{detector!r}")
    print(f"  burst record at tick {tick}: total={detail['total']:.1f} record={detail['record']:.1f} "
          f"numeric={[round(x, 1) for x in detail['numeric_features']]} "
          f"categorical={[round(x, 1) for x in detail['categorical_features']]}")
    normal = detector.score_detailed([400.0, 0.5], [6, 443], 81)
    print(f"  ordinary record at tick 81: total={normal['total']:.1f}")


def feature_sketch_demo():
    section("FeatureSketch: telemetry events whose feature names drift")
    rng = random.Random(5)
    sketch = quillon.FeatureSketch(seed=5)
    for i in range(3000):
        event = {f"country={rng.choice(['NL', 'DE', 'FR'])}": 1.0,
                 "latency_ms": rng.lognormvariate(4, 0.3),
                 f"build=v{1 + i // 1000}": 1.0}
        sketch.update(event)
    usual = sketch.score({"country=NL": 1.0, "latency_ms": 60.0, "build=v3": 1.0})
    odd = sketch.score({"country=KP": 1.0, "latency_ms": 9000.0, "debug_flag": 1.0})
    print(f"{sketch!r}")
    print(f"  usual event score={usual:.2f}   unusual event score={odd:.2f}")


def online_iforest_demo():
    section("OnlineIForest: 2-D points over a sliding window, with outliers every 500")
    rng = random.Random(11)
    forest = quillon.OnlineIForest(2, window_size=1024, seed=11)
    scores = []
    for i in range(3000):
        point = [rng.gauss(0, 1), rng.gauss(0, 1)]
        if i % 500 == 499:
            point = [6.0, -6.0]
        score = forest.update_and_score(point)
        if i >= 1024:  # once the window is full
            scores.append((score, i))
    print(f"{forest!r}")
    for score, i in sorted(scores, reverse=True)[:6]:
        print(f"  i={i:5d} score={score:.3f}{'  <- injected' if i % 500 == 499 else ''}")


def main():
    print(f"quillon {quillon.__version__} on Python {sys.version.split()[0]}; "
          f"GIL enabled: {sys._is_gil_enabled()}")
    picture = Path(sys.argv[1]) if len(sys.argv) > 1 else REPO / "build" / "demo" / "nyc_taxi.png"
    taxi_demo(picture.resolve())
    mstream_demo()
    feature_sketch_demo()
    online_iforest_demo()
    return 0


if __name__ == "__main__":
    sys.exit(main())
