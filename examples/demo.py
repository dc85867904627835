"""Streams synthetic data with injected anomalies through the quillon detectors."""

import math
import random
import sys

import quillon


def section(title):
    print(f"\n== {title} ==")


def forest_demo():
    section("Forest: a noisy sine wave (shingle 8) with three injected spikes")
    rng = random.Random(7)
    forest = quillon.Forest(1, shingle_size=8, seed=7)
    spikes = {600: 4.0, 900: -3.5, 1300: 5.0}
    flagged = []
    history = []
    for t in range(1500):
        value = math.sin(t / 12) + rng.gauss(0, 0.05) + spikes.get(t, 0.0)
        if t == 1300:
            # Before ingesting the last spike: which shingle position carries it, and what value
            # the forest would have expected there.
            point = history[-7:] + [value]
            parts = forest.attribution([value])
            top = max(range(len(parts)), key=lambda i: parts[i]["above"] + parts[i]["below"])
            expected = forest.impute(point, [7])[7]
        score = forest.update_and_score([value])
        history.append(value)
        # A spike echoes through the shingle for a while; report the first tick of each run.
        if forest.is_ready() and score > 2.5 and not (flagged and t - flagged[-1][0] < 16):
            flagged.append((t, value, score))
    print(f"{forest!r}")
    for t, value, score in flagged:
        print(f"  t={t:5d} value={value:+.3f} score={score:.2f}"
              f"{'  <- injected' if t in spikes else ''}")
    print(f"  attribution of the spike at t=1300: largest at shingle position {top} of 0-7 "
          f"(above={parts[top]['above']:.2f}, below={parts[top]['below']:.2f})")
    print(f"  imputed value for t=1300: {expected:+.3f} (the wave alone: {math.sin(1300 / 12):+.3f})")


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
    forest_demo()
    mstream_demo()
    feature_sketch_demo()
    online_iforest_demo()
    return 0


if __name__ == "__main__":
    sys.exit(main())
