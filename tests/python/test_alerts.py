"""quillon.Alerts against the reference prototype in benchmarks/alerts_prototype.py, its
persistence, refusals and threads, and quillon.Monitor."""

import copy
import importlib.util
import json
import pickle
import threading
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quillon

_path = Path(__file__).resolve().parents[2] / "benchmarks" / "alerts_prototype.py"
_spec = importlib.util.spec_from_file_location("alerts_prototype", _path)
proto = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(proto)

SMALL = dict(tail=0.1, risk=0.01, warmup=12, peaks=4, episode_gap=5, half_life=30.0)


def noise(seed, n, inputs, kind="lognormal"):
    rng = np.random.default_rng(seed)
    x = {"lognormal": rng.lognormal(0.0, 1.0, (n, inputs)),
         "normal": rng.normal(0.0, 1.0, (n, inputs)),
         "ties": rng.integers(-2, 3, (n, inputs)).astype(float)}[kind]
    x[rng.random(n) < 0.01] *= 1e3  # spikes
    return x


def bits(a):
    return np.asarray(a, dtype=np.float64).view(np.uint64)


# Score rows as the prototype reads them: zeros of both signs, ties, spikes up to the bound.
score = st.one_of(st.floats(-1e100, 1e100, allow_nan=False), st.sampled_from([0.0, -0.0, 1.0]),
                  st.floats(0.0, 10.0))


@settings(max_examples=60, deadline=None)
@given(inputs=st.integers(1, 3), cfg=st.sampled_from([{}, SMALL, dict(SMALL, peaks=1, max_shape=0.0)]),
       data=st.data())
def test_native_equals_the_prototype_bit_for_bit(inputs, cfg, data):
    rows = data.draw(st.lists(st.lists(score, min_size=inputs, max_size=inputs), max_size=300))
    rows += noise(len(rows), 400, inputs).tolist()
    pg, pa = proto.run([[r[i] for r in rows] for i in range(inputs)], **cfg)
    a = quillon.Alerts(inputs=inputs, **cfg)
    grades, alerts = a.update_many(np.array(rows).reshape(-1, inputs) if inputs > 1 else [r[0] for r in rows])
    assert np.array_equal(bits(grades), bits(pg))
    assert alerts.tolist() == pa
    b = quillon.Alerts(inputs=inputs, **cfg)
    single = [b.update(r if inputs > 1 else r[0]) for r in rows]
    assert single == list(zip(pg, pa))
    assert b.to_json() == a.to_json()


@pytest.mark.parametrize("kind", ["lognormal", "normal", "ties"])
@pytest.mark.parametrize("inputs", [1, 3])
def test_native_equals_the_prototype_on_long_streams(kind, inputs):
    x = noise(5, 6000, inputs, kind)
    pg, pa = proto.run([x[:, i].tolist() for i in range(inputs)])
    grades, alerts = quillon.Alerts(inputs=inputs).update_many(x if inputs > 1 else x[:, 0])
    assert np.array_equal(bits(grades), bits(pg)) and alerts.tolist() == pa


@settings(max_examples=40, deadline=None)
@given(cut=st.integers(0, 600), inputs=st.integers(1, 2), how=st.sampled_from(["json", "pickle", "copy", "file"]))
def test_saved_and_resumed_equals_one_pass(cut, inputs, how, tmp_path_factory):
    x = noise(cut, 600, inputs)
    x = x if inputs > 1 else x[:, 0]
    whole = quillon.Alerts(inputs=inputs, **SMALL)
    g, a = whole.update_many(x)
    first = quillon.Alerts(inputs=inputs, **SMALL)
    first.update_many(x[:cut])
    if how == "json":
        second = quillon.Alerts.from_json(first.to_json())
    elif how == "pickle":
        second = pickle.loads(pickle.dumps(first))
    elif how == "copy":
        second = copy.deepcopy(first)
    else:
        path = tmp_path_factory.mktemp("alerts") / "a.json"
        first.save_json(path)
        second = quillon.Alerts.load_json(path)
    g2, a2 = second.update_many(x[cut:])
    assert np.array_equal(bits(g2), bits(g[cut:])) and np.array_equal(a2, a[cut:])
    assert second.to_json() == whole.to_json()
    assert second.steps() == 600 and second.is_ready()


def test_alert_rate_and_grades_on_stationary_noise():
    a = quillon.Alerts()
    grades, alerts = a.update_many(np.random.default_rng(3).lognormal(size=200_000))
    assert grades.dtype == np.float64 and alerts.dtype == np.bool_
    assert grades.min() >= 0.0 and grades.max() <= 1.0
    assert not alerts[:150].any() and not grades[:150].any()
    rate = alerts.sum() / (200_000 - 150)
    assert 0.7 * a.risk() < rate < 1.5 * a.risk()
    # The episode cap: thresholding the grades at 1 - risk gives exactly the alerts.
    assert np.array_equal(grades >= 1 - a.risk(), alerts)


@pytest.mark.parametrize("kwargs, message", [
    (dict(inputs=0), "inputs must be between 1 and 64"),
    (dict(inputs=65, risk=-1.0), "inputs must be between 1 and 64"),
    (dict(risk=0.0), "risk must be > 0"),
    (dict(risk=float("nan")), "risk must be > 0"),
    (dict(risk=0.03), "tail must be > risk and < 1"),
    (dict(peaks=0), "peaks must be between 1 and 65536"),
    (dict(warmup=10), "warmup must be at least 1/tail + 1"),
    (dict(warmup=10**6), "warmup must be at most 100000"),
    (dict(half_life=float("inf")), "half_life must be > 0 and finite"),
    (dict(step=0.0), "step must be > 0 and at most 100"),
    (dict(episode_gap=0), "episode_gap must be > 0"),
    (dict(max_shape=0.5), "max_shape must be >= 0 and < 0.5"),
])
def test_constructor_reports_the_first_violated_rule(kwargs, message):
    with pytest.raises(ValueError) as e:
        quillon.Alerts(**kwargs)
    assert str(e.value) == message


def test_refused_calls_change_nothing():
    a = quillon.Alerts(inputs=2, **SMALL)
    a.update_many(noise(1, 50, 2))
    before = a.to_json()
    cases = [(a.update, [1.0, float("nan")], ValueError, "scores must be finite"),
             (a.update, [float("inf"), 1.0], ValueError, "scores must be finite"),
             (a.update, [1.0, 2e100], ValueError, "scores must be within +-1e100"),
             (a.update, [1.0], ValueError, "dimension mismatch: expected 2, got 1"),
             (a.update, 1.0, ValueError, "dimension mismatch: expected 2, got 1"),
             (a.update, "ab", TypeError, ""),
             (a.update_many, np.ones(5), ValueError, "expected 2-D scores"),
             (a.update_many, np.ones((5, 3)), ValueError, "dimension mismatch: expected 2, got 3")]
    bad = noise(2, 20, 2)
    bad[13, 1] = np.nan
    cases.append((a.update_many, bad, ValueError, "scores must be finite"))
    for call, arg, exc, message in cases:
        with pytest.raises(exc) as e:
            call(arg)
        assert str(e.value).startswith(message)
        assert a.to_json() == before
    with pytest.raises(ValueError) as e:
        a.update_many(bad)
    assert "while processing row 13" in "".join(getattr(e.value, "__notes__", []))


def hostile_states():
    a = quillon.Alerts(**SMALL)
    a.update_many(noise(4, 100, 1)[:, 0])
    good = json.loads(a.to_json())
    t = good["inputs"][0]
    edits = {
        "config": lambda s: s["config"].update(peaks=10**9),
        "steps": lambda s: s.update(n=2**64 - 1),
        "sign": lambda s: s.update(quiet=-1),
        "nan": lambda s: s["inputs"][0].update(mean=float("nan")),
        "var": lambda s: s["inputs"][0].update(var=-1e-300),
        "ring": lambda s: s["inputs"][0]["ring"].append(0.0),
        "head": lambda s: s["inputs"][0].update(head=t["count"] + 1),
        "fit": lambda s: s["inputs"][0].update(sigma=t["sigma"] * 2 + 1),
        "inputs": lambda s: s["inputs"].append(t),
        "type": lambda s: s.update(episode="yes"),
    }
    for name, edit in edits.items():
        s = json.loads(json.dumps(good))
        edit(s)
        yield pytest.param(json.dumps(s), id=name)


@pytest.mark.parametrize("text", list(hostile_states()))
def test_hostile_states_are_refused(text):
    with pytest.raises(ValueError, match="^invalid Alerts JSON: "):
        quillon.Alerts.from_json(text)
    a = quillon.Alerts()
    with pytest.raises(ValueError):
        a.__setstate__(text)
    assert a.steps() == 0


def test_threads_share_one_object_without_losing_steps():
    a = quillon.Alerts()
    rows = noise(9, 2000, 1)[:, 0]
    done, errors = [], []

    def body():
        for _ in range(20):
            try:
                a.update_many(rows)
                done.append(len(rows))
            except RuntimeError as e:  # another thread holds it
                errors.append(str(e))

    threads = [threading.Thread(target=body) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert a.steps() == sum(done)
    assert quillon.Alerts.from_json(a.to_json()).to_json() == a.to_json()


# ---------------------------------------------------------------------------------------------
# Monitor


def test_monitor_equals_detector_then_alerts_and_resumes(tmp_path):
    x = noise(6, 700, 1)
    m = quillon.Monitor(quillon.Forest(1, seed=2), quillon.Alerts(**SMALL))
    s1, g1, a1 = m.update_many(x[:400])
    rows = [m.update(list(r)) for r in x[400:500]]
    for how in ("json", "file", "pickle", "copy"):
        if how == "json":
            r = quillon.Monitor.from_json(m.to_json())
        elif how == "file":
            m.save_json(tmp_path / "m.json")
            r = quillon.Monitor.load_json(tmp_path / "m.json")
        elif how == "pickle":
            r = pickle.loads(pickle.dumps(m))
        else:
            r = copy.deepcopy(m)
        assert r.to_json() == m.to_json()
        assert r.detector is not m.detector
        rest = r.update_many(x[500:])
        detector, alerts = quillon.Forest(1, seed=2), quillon.Alerts(**SMALL)
        scores = detector.update_and_score_many(x)
        grades, alerted = alerts.update_many(scores)
        assert np.array_equal(np.concatenate([s1, [s for s, _, _ in rows], rest[0]]), scores)
        assert np.array_equal(np.concatenate([g1, [g for _, g, _ in rows], rest[1]]), grades)
        assert np.array_equal(np.concatenate([a1, [a for _, _, a in rows], rest[2]]), alerted)


@pytest.mark.parametrize("text, message", [
    ("[", "invalid Monitor JSON"),
    ("[]", "expected an object"),
    ('{"detector":"Alerts","state":{},"alerts":{}}', "unknown detector"),
    ('{"detector":"Forest","state":{},"alerts":{},"x":1}', "expected an object"),
    ('{"detector":"Forest","state":{},"alerts":{}}', "invalid forest JSON"),
])
def test_monitor_refuses_bad_states(text, message):
    with pytest.raises(ValueError, match=message):
        quillon.Monitor.from_json(text)


def test_monitor_refuses_a_mismatched_pair():
    with pytest.raises(TypeError):
        quillon.Monitor(quillon.Alerts())
    with pytest.raises(ValueError, match="one input"):
        quillon.Monitor(quillon.Forest(1), quillon.Alerts(inputs=2))
    text = quillon.Monitor(quillon.Forest(1)).to_json().replace('"inputs":1', '"inputs":2', 1)
    with pytest.raises(ValueError):
        quillon.Monitor.from_json(text)
