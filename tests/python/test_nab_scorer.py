"""The benchmark scorer in benchmarks/nab.py against cases worked out by hand, and its threshold sweep
against scoring each threshold's decisions directly."""

import importlib.util
import math
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

_path = Path(__file__).resolve().parents[2] / "benchmarks" / "nab.py"
_spec = importlib.util.spec_from_file_location("nab_benchmark", _path)
nab = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(nab)

STANDARD = nab.Profile(tp=1.0, fp=0.11, fn=1.0)
LOW_FN = nab.Profile(tp=1.0, fp=0.11, fn=2.0)
# sigma(y) = 2 / (1 + exp(5 y)) - 1 is -tanh(5 y / 2); a window reward is divided by sigma(-1).
TOP = math.tanh(2.5)


def series_with_window():
    # 20 rows: rows 0-2 are probation (15% of 20), rows 10-14 the one window (5 rows).
    return nab.label(np.arange(20), [(10, 14)])


def detect(*rows, n=20):
    d = np.zeros(n, dtype=bool)
    d[list(rows)] = True
    return d


@pytest.mark.parametrize("rows, profile, expected", [
    ((), STANDARD, 0.0),
    ((10,), STANDARD, 100.0),
    ((14,), STANDARD, 100 * (1 + math.tanh(0.5) / TOP) / 2),  # y = -1/5
    ((14,), LOW_FN, 100 * (2 + math.tanh(0.5) / TOP) / 3),
    ((12, 14), STANDARD, 100 * (1 + math.tanh(1.5) / TOP) / 2),  # only the first, y = -3/5, counts
    ((10, 11, 12, 13, 14), STANDARD, 100.0),  # later detections in a window cost nothing
    ((2,), STANDARD, 0.0),  # probation
    ((5,), STANDARD, -100 * 0.11 / 2),  # before any window: a full false positive
    ((15,), STANDARD, -100 * 0.11 * math.tanh(0.625) / 2),  # y = 1/4 after the window
    ((10, 19), STANDARD, 100 * (2 - 0.11 * math.tanh(3.125)) / 2),  # y = 5/4
])
def test_hand_scored_decisions(rows, profile, expected):
    assert nab.score_decisions([series_with_window()], [detect(*rows)], profile) == pytest.approx(expected, abs=1e-9)


def test_one_threshold_for_the_corpus():
    # A second series without windows adds false positives but no windows to the normalisation.
    corpus = [series_with_window(), nab.label(np.arange(20), [])]
    a, b = np.zeros(20), np.zeros(20)
    a[12], a[6], b[8] = 0.9, 0.5, 0.7
    thresholds, figures = nab.sweep(corpus, [a, b], STANDARD)
    caught = 100 * (1 + math.tanh(1.5) / TOP) / 2
    assert thresholds[:4].tolist() == [np.inf, 0.9, 0.7, 0.5]
    assert figures[:4] == pytest.approx([0.0, caught, caught - 5.5, caught - 11.0])
    assert nab.best_threshold(corpus, [a, b], STANDARD) == pytest.approx((0.9, caught))


def test_written_scores_are_per_series_files_of_grade_and_alert(tmp_path):
    times = np.array(["2015-01-01T00:00:00", "2015-01-01T00:05:00"], dtype="datetime64[s]")
    series = [nab.Series(f"{c}/s.csv", times, np.zeros(2), None) for c in ("realA", "artificialB")]
    grades = [np.array([0.0, 0.25]), np.array([0.1, 1.0])]
    nab.write_scores(tmp_path, series, grades, [np.array([0, 1], bool), np.array([1, 0], bool)])
    assert (tmp_path / "realA" / "s.csv").read_text().splitlines() == [
        "timestamp,anomaly_score,alert", "2015-01-01 00:00:00,0.0,0", "2015-01-01 00:05:00,0.25,1"]
    assert (tmp_path / "artificialB" / "s.csv").read_text().splitlines()[1:] == [
        "2015-01-01 00:00:00,0.1,1", "2015-01-01 00:05:00,1.0,0"]


def test_windows_must_hold_rows():
    with pytest.raises(ValueError):
        nab.label(np.arange(20, dtype=float), [(10.5, 10.7)])
    with pytest.raises(ValueError):
        nab.label(np.arange(20), [(3, 8), (5, 12)])


@st.composite
def corpora(draw):
    corpus, scores = [], []
    for _ in range(draw(st.integers(1, 3))):
        n = draw(st.integers(8, 60))
        cuts = sorted(draw(st.sets(st.integers(0, n - 1), max_size=6)))
        spans = [(cuts[i], cuts[i + 1]) for i in range(0, len(cuts) - 1, 2)]
        corpus.append(nab.label(np.arange(n), spans))
        # Few distinct values, so ties across rows and series are common.
        scores.append(np.array(draw(st.lists(st.sampled_from([0.0, 0.25, 0.5, 0.75, 1.0]),
                                             min_size=n, max_size=n))))
    return corpus, scores


@settings(max_examples=60, deadline=None)
@given(corpora(), st.sampled_from([STANDARD, LOW_FN, nab.Profile(1.0, 0.22, 1.0)]))
def test_sweep_equals_scoring_each_threshold(case, profile):
    corpus, scores = case
    if sum(lab.windows for lab in corpus) == 0:
        return  # nothing to normalise by
    thresholds, figures = nab.sweep(corpus, scores, profile)
    assert len(set(thresholds.tolist())) == len(thresholds)
    for t, f in zip(thresholds, figures):
        assert f == pytest.approx(nab.score_decisions(corpus, [s >= t for s in scores], profile), abs=1e-9)


# The streaming threshold's reference prototype, which benchmarks/nab.py runs.
_apath = _path.parent / "alerts_prototype.py"
_aspec = importlib.util.spec_from_file_location("alerts_prototype", _apath)
proto = importlib.util.module_from_spec(_aspec)
_aspec.loader.exec_module(proto)


@pytest.mark.parametrize("draw", [lambda r: r.gauss(0, 1), lambda r: r.expovariate(1.0)],
                         ids=["normal", "exponential"])
def test_prototype_alerts_on_stationary_noise(draw):
    import random

    rng = random.Random(3)
    risk, gap, steps = 2e-3, 100, 40_000
    grades, alerts = proto.run([[draw(rng) for _ in range(steps)]], risk=risk, episode_gap=gap)
    grades, alerts = np.array(grades), np.array(alerts)
    assert ((grades >= 0) & (grades <= 1)).all()
    assert not alerts[:150].any() and not grades[:150].any()  # warm-up
    # An alert is the only row of its episode above the alert level.
    assert (grades[alerts] > 1 - risk).all()
    assert ((grades > 1 - risk) == alerts).all()
    # Alerts come at about the configured rate.
    assert 0.6 * risk * steps <= alerts.sum() <= 1.6 * risk * steps


def test_prototype_refuses_bad_input():
    with pytest.raises(ValueError):
        proto.Alerts(risk=0.5)
    al = proto.Alerts(inputs=2)
    for bad in ([1.0], [1.0, float("nan")], [float("inf"), 0.0]):
        with pytest.raises(ValueError):
            al.update(bad)
    assert al.n == 0
