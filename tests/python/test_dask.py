"""quillon.dask: one detector per key on a local two-process cluster, against a plain loop."""

import fcntl
import hashlib
import json
import logging
import os
import re
import signal
import subprocess
import sys
import time
from dataclasses import dataclass
from typing import Any, Callable

import pytest

np = pytest.importorskip("numpy")
pd = pytest.importorskip("pandas")
dask = pytest.importorskip("dask")
dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")

from hypothesis import given, settings, strategies as st  # noqa: E402

import quillon  # noqa: E402
from quillon.dask import key_seed, score_by_key, state_name  # noqa: E402


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=2, processes=True,
                                       dashboard_address=None, silence_logs=logging.ERROR)
    with cluster, distributed.Client(cluster) as c:
        yield c


@dataclass
class Case:
    detector: str
    params: dict
    columns: list
    categorical: list
    build: Callable[[Any], Any]  # the reference detector of a key, built by hand
    args: Callable[[Any], tuple]  # one frame row (a namedtuple) as per-row call arguments


def _sketch_event(row):
    event = {"x": row.x, "y": row.y, "c=" + str(row.c): 1.0}
    if not np.isnan(row.z):
        event["z"] = row.z
    return (event,)


CASES = [
    Case("Forest", {"input_dim": 2, "shingle_size": 3, "num_trees": 8, "capacity": 32, "seed": 11},
         ["x", "y"], [],
         lambda k: quillon.Forest(2, shingle_size=3, num_trees=8, capacity=32,
                                  seed=key_seed(11, k)),
         lambda r: ([r.x, r.y],)),
    # Dimensions left out of params follow the columns.
    Case("OnlineIForest", {"num_trees": 6, "window_size": 40, "max_leaf_samples": 4, "seed": 11},
         ["x", "y", "c"], [],
         lambda k: quillon.OnlineIForest(3, num_trees=6, window_size=40, max_leaf_samples=4,
                                         seed=key_seed(11, k)),
         lambda r: ([r.x, r.y, r.c],)),
    Case("MStream", {"num_buckets": 64, "seed": 11}, ["x", "y"], ["c"],
         lambda k: quillon.MStream(2, 1, num_buckets=64, seed=key_seed(11, k)),
         lambda r: ([r.x, r.y], [r.c], r.t)),
    Case("FeatureSketch",
         {"value_projection_dims": 8, "presence_projection_dims": 8, "chains_per_ensemble": 4,
          "chain_depth": 4, "sketch_buckets": 64, "seed": 11},
         ["x", "y", "z"], ["c"],
         lambda k: quillon.FeatureSketch(8, 8, 4, 4, sketch_buckets=64, seed=key_seed(11, k)),
         _sketch_event),
]

AWKWARD = {
    "int": [0, -1, 7, 2**62, -(2**40), 12, 13, 99],
    "str": ["a/b", "../up", "", "ünïcödé ✓", "日本語", ".hidden", "a\\b:c*?", "x" * 300],
}


def make_frame(keys, rows, seed, first_tick=1):
    """Rows of several keys interleaved, with many equal times so frame order matters."""
    rng = np.random.default_rng(seed)
    n = len(keys) * rows
    frame = pd.DataFrame({
        "k": pd.Series(keys, dtype=object).iloc[rng.integers(0, len(keys), n)].to_numpy(),
        "t": first_tick + rng.integers(0, rows // 3, n),
        "x": rng.normal(size=n),
        "y": rng.normal(size=n) + (rng.random(n) < 0.02) * 9,
        "z": np.where(rng.random(n) < 0.3, np.nan, rng.exponential(size=n)),
        "c": rng.integers(0, 5, n),
    }, index=pd.Index(rng.permutation(n) * 3 + 1000, name="row"))
    frame["k"] = frame["k"].astype(type(keys[0]) if isinstance(keys[0], str) else "int64")
    return frame


def plain_loop(frame, case, states=None):
    """Per-row reference: each key's rows in (time, frame position) order through its detector."""
    scores = pd.Series(np.nan, index=frame.index, name="score")
    ordered = frame.assign(_pos=np.arange(len(frame))).sort_values(["t", "_pos"])
    for key, rows in ordered.groupby("k", sort=False):
        detector = case.build(key) if states is None or key not in states else states[key]
        for index, row in zip(rows.index, rows.itertuples()):
            scores[index] = detector.update_and_score(*case.args(row))
        if states is not None:
            states[key] = detector
    return scores


def to_dask(frame, npartitions):
    # sort=False keeps the frame's row order, which breaks ties between equal times.
    return dd.from_pandas(frame, npartitions=npartitions, sort=False)


def run(frame, case, **kw):
    return score_by_key(frame, "k", case.detector, case.params, time="t", columns=case.columns,
                        categorical=case.categorical or None, **kw)


def same_scores(result, expected):
    result = result.loc[expected.index]
    assert result["score"].dtype == np.float64
    np.testing.assert_array_equal(result["score"].to_numpy(), expected.to_numpy())


@pytest.mark.parametrize("case", CASES, ids=lambda c: c.detector)
@pytest.mark.parametrize("keys", AWKWARD.values(), ids=AWKWARD.keys())
def test_scores_equal_a_plain_loop_for_any_partitioning(client, case, keys):
    frame = make_frame(keys, 60, seed=len(keys[0]) if isinstance(keys[0], str) else 5)
    expected = plain_loop(frame, case)

    local = run(frame, case)
    assert list(local.columns) == ["k", "t", "score"]
    assert local.index.equals(frame.index)  # the pandas result keeps the input's row order
    assert local["k"].tolist() == frame["k"].tolist() and local["t"].equals(frame["t"])
    same_scores(local, expected)
    # Seven partitions of ~70 rows split every key; one partition holds them all. Few partitions
    # take the task shuffle; the P2P shuffle (Dask's default for many) must give the same.
    for partitions, method in ((1, None), (7, None), (7, "p2p")):
        with dask.config.set({"dataframe.shuffle.method": method}):
            result = run(to_dask(frame, partitions), case).compute()
        assert sorted(result.index) == sorted(frame.index)
        # (Dask may turn str columns into its own string dtype; the values are what matter.)
        assert result.loc[frame.index, "k"].tolist() == frame["k"].tolist()
        assert result.loc[frame.index, "t"].equals(frame["t"])
        same_scores(result, expected)


@pytest.mark.parametrize("case", CASES, ids=lambda c: c.detector)
def test_two_days_from_saved_states_equal_one_run(client, tmp_path, case):
    keys = AWKWARD["str"]
    day1 = make_frame(keys[:6], 50, seed=1)
    day2 = make_frame(keys[2:], 50, seed=2, first_tick=int(day1["t"].max()) + 1)
    day2.index = day2.index + 10**6
    states = {}
    plain_loop(day1, case, states)
    expected = plain_loop(day2, case, states)

    first, second = tmp_path / "day1", tmp_path / "day2"
    run(to_dask(day1, npartitions=3), case, states_out=first).compute()
    assert sorted(os.listdir(first)) == sorted(state_name(k) for k in keys[:6])
    result = run(to_dask(day2, npartitions=4), case, states_in=first,
                 states_out=str(second)).compute()
    same_scores(result, expected)
    assert sorted(os.listdir(second)) == sorted(state_name(k) for k in keys[2:])
    for key in keys[2:]:
        assert (second / state_name(key)).read_text() == states[key].to_json()
    # The pandas path reads the same files and gives the same scores.
    same_scores(run(day2, case, states_in=first), expected)
    # An fsspec URL takes the same road (in memory here, so only this process sees it).
    url = f"memory://{tmp_path.name}/day1"
    run(day1, case, states_out=url)
    same_scores(run(day2, case, states_in=url), expected)

    with pytest.raises(ValueError, match="must be different folders"):
        run(to_dask(day2, 2), case, states_in=first, states_out=str(first) + "/")


def plain_alerts(frame, case, states, alerts):
    """Per-row reference with alerts: each key's scores through its own Alerts, one by one."""
    graded = pd.DataFrame({"score": np.nan, "grade": np.nan, "alert": False}, index=frame.index)
    ordered = frame.assign(_pos=np.arange(len(frame))).sort_values(["t", "_pos"])
    for key, rows in ordered.groupby("k", sort=False):
        detector, grader = states.get(key) or (case.build(key), quillon.Alerts(**alerts))
        for index, row in zip(rows.index, rows.itertuples()):
            score = detector.update_and_score(*case.args(row))
            graded.loc[index] = (score, *grader.update(score))
        states[key] = detector, grader
    return graded


@pytest.mark.parametrize("case", CASES[::2], ids=lambda c: c.detector)
def test_alerts_equal_each_keys_loop_and_resume_with_the_detector(client, tmp_path, case):
    keys, alerts = [3, 1, 2], {"risk": 0.01, "warmup": 60, "episode_gap": 5}
    day1 = make_frame(keys[:2], 150, seed=6)
    day2 = make_frame(keys, 150, seed=7, first_tick=int(day1["t"].max()) + 1)
    day2.index = day2.index + 10**6
    states = {}
    plain_alerts(day1, case, states, alerts)
    expected = plain_alerts(day2, case, states, alerts)
    assert expected["alert"].sum() >= 3

    first = tmp_path / "day1"
    run(to_dask(day1, npartitions=2), case, states_out=first, alerts=alerts).compute()
    for kind, data in (("pandas", day2), ("dask", to_dask(day2, npartitions=3))):
        result = run(data, case, states_in=first, states_out=tmp_path / kind, alerts=alerts)
        if kind == "dask":
            result = result.compute()
        assert list(result.columns) == ["k", "t", "score", "grade", "alert"]
        assert result["alert"].dtype == bool and result["grade"].dtype == np.float64
        pd.testing.assert_frame_equal(result.loc[expected.index, ["score", "grade", "alert"]],
                                      expected, check_exact=True)
        for key in keys:  # each key's file: its detector and alerts, as quillon.Monitor saves them
            saved = quillon.Monitor.load_json(tmp_path / kind / state_name(key))
            assert saved.detector.to_json() == states[key][0].to_json()
            assert saved.alerts.to_json() == states[key][1].to_json()


def test_alerts_states_are_never_dropped_and_plain_states_start_new_alerts(tmp_path):
    case = CASES[0]
    frame = make_frame([1, 2], 100, seed=9)
    run(frame, case, states_out=tmp_path / "plain")
    run(frame, case, states_out=tmp_path / "paired", alerts=True)
    with pytest.raises(ValueError, match="carries alerts: pass alerts=True") as raised:
        run(frame, case, states_in=tmp_path / "paired")
    assert any("while reading the state of key" in n for n in raised.value.__notes__)
    with pytest.raises(ValueError, match="holds a Forest, not a OnlineIForest"):
        score_by_key(frame, "k", "OnlineIForest", time="t", columns=["x", "y"],
                     states_in=tmp_path / "paired", alerts=True)
    resumed = run(frame, case, states_in=tmp_path / "plain", alerts=0.01)
    states = {k: (quillon.Forest.from_json((tmp_path / "plain" / state_name(k)).read_text()),
                  quillon.Alerts(risk=0.01)) for k in (1, 2)}
    pd.testing.assert_frame_equal(resumed[["score", "grade", "alert"]],
                                  plain_alerts(frame, case, states, {}), check_exact=True)


@pytest.mark.parametrize("alerts, error, message", [
    ("yes", TypeError, "alerts must be True, a risk"),
    (0.5, ValueError, "risk"),
    ({"risk": 1e-3, "warmup": 0}, ValueError, "warmup"),
    ({"inputs": 2}, ValueError, "inputs must be 1"),
    ({"threshold": 3}, TypeError, "threshold"),
])
def test_wrong_alerts_are_refused_before_anything_runs(tmp_path, alerts, error, message):
    with pytest.raises(error, match=message):
        run(make_frame([1], 10, seed=0), CASES[0], states_out=tmp_path, alerts=alerts)
    assert os.listdir(tmp_path) == []
    with pytest.raises(ValueError, match="cannot be named 'grade'"):
        score_by_key(make_frame([1], 10, seed=0).rename(columns={"t": "grade"}), "k", "Forest",
                     time="grade", alerts=True)
    with pytest.raises(ValueError, match="alerts are saved only as JSON"):
        run(make_frame([1], 10, seed=0), CASES[0], states_out=tmp_path, alerts=True,
            state_format="binary")
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("frame_kind", ["pandas", "dask"])
@pytest.mark.parametrize("detector, params", [
    ("Forest", {"input_dim": 1, "trees": 5}),
    ("Forest", {"input_dim": 1, "capacity": 0}),
    ("Forest", {"input_dim": 3, "shingle_size": 0, "internal_shingling": False}),
    ("MStream", {"alpha": 1.5}),
    ("OnlineIForest", {"window_size": 4, "max_leaf_samples": 8}),
    ("FeatureSketch", {"seed": -1}),
])
def test_wrong_params_give_the_constructor_error(frame_kind, detector, params):
    frame = make_frame([1, 2], 10, seed=0)
    if frame_kind == "dask":
        frame = to_dask(frame, npartitions=2)
    cls = getattr(quillon, detector)
    required = {"Forest": {}, "MStream": {"numeric_dim": 3, "categorical_dim": 0},
                "OnlineIForest": {"input_dim": 3}, "FeatureSketch": {}}[detector]
    with pytest.raises(Exception) as expected:
        cls(**required, **params)
    with pytest.raises(type(expected.value)) as raised:
        score_by_key(frame, "k", detector, params, time="t", columns=["x", "y", "z"])
    assert str(raised.value) == str(expected.value)


def test_refused_arguments():
    frame = make_frame([1, 2], 10, seed=0)
    with pytest.raises(ValueError, match="unknown detector"):
        score_by_key(frame, "k", "RandomForest")
    with pytest.raises(KeyError, match="nope"):
        score_by_key(frame, "k", "Forest", columns=["x", "nope"])
    with pytest.raises(ValueError, match="MStream needs time"):
        score_by_key(frame, "k", "MStream", columns=["x"])
    with pytest.raises(ValueError, match="takes no categorical"):
        score_by_key(frame, "k", quillon.Forest, time="t", categorical=["c"])
    with pytest.raises(TypeError, match="time column 't' must hold integers"):
        score_by_key(frame.astype({"t": float}), "k", "MStream", time="t", columns=["x"])
    with pytest.raises(ValueError, match="missing values"):
        score_by_key(frame.astype({"k": float}).assign(k=np.nan), "k", "OnlineIForest",
                     columns=["x"])


def test_a_killed_worker_still_gives_exact_scores(client, tmp_path):
    params = {**CASES[0].params, "num_trees": 20, "capacity": 64}
    kw = dict(time="t", columns=["x", "y"])
    score_by_key(make_frame(list(range(24)), 40, seed=4), "k", "Forest", params, **kw,
                 states_out=tmp_path / "day1")
    frame = make_frame(list(range(24)), 2000, seed=3)
    expected = score_by_key(frame, "k", "Forest", params, **kw, states_in=tmp_path / "day1",
                            states_out=tmp_path / "reference")

    pids = client.run(os.getpid)
    future = client.compute(score_by_key(to_dask(frame, npartitions=4), "k", "Forest",
                                         params, **kw, states_in=tmp_path / "day1",
                                         states_out=tmp_path / "out"))
    deadline = time.monotonic() + 60
    busy = []
    while not busy and time.monotonic() < deadline:
        busy = [w for w, tasks in client.processing().items()
                if any("score_partition" in str(t) for t in tasks)]
        time.sleep(0.01)
    assert busy and not future.done()
    os.kill(pids[busy[0]], signal.SIGKILL)
    result = future.result(timeout=120)
    pd.testing.assert_series_equal(result.loc[frame.index, "score"], expected["score"])
    names = sorted(os.listdir(tmp_path / "reference"))
    assert len(names) == 24 and [n for n in sorted(os.listdir(tmp_path / "out"))
                                 if not n.endswith(".tmp")] == names
    for name in names:
        saved = (tmp_path / "out" / name).read_bytes()
        assert saved == (tmp_path / "reference" / name).read_bytes(), name
    client.wait_for_workers(2, timeout=60)


def test_key_seed_is_the_documented_hash():
    def documented(seed, encoding):
        digest = hashlib.blake2b(seed.to_bytes(8, "big") + encoding, digest_size=8,
                                 person=b"quillon.key_seed").digest()
        return int.from_bytes(digest, "big")

    table = [(42, "host-17", b"str:host-17"), (0, -5, b"int:-5"), (2**64 - 1, True, b"bool:true"),
             (7, 1.5, b"float:0x1.8000000000000p+0"), (7, b"\x00/", b"bytes:\x00/"),
             (7, pd.Timestamp("2024-05-01 12:00"), b"datetime:2024-05-01T12:00:00")]
    for seed, key, encoding in table:
        assert key_seed(seed, key) == documented(seed, encoding)
    assert key_seed(42, "host-17") == 3227105981050619878  # pinned: saved work depends on it
    assert key_seed(3, np.int64(5)) == key_seed(3, 5) != key_seed(3, 5.0) != key_seed(3, "5")
    assert key_seed(3, np.float32(0.5)) == key_seed(3, 0.5)
    assert key_seed(3, np.str_("é")) == key_seed(3, "é")
    for seed in (-1, 2**64):
        with pytest.raises(OverflowError):
            key_seed(seed, 1)
    with pytest.raises(TypeError, match="unsupported key type"):
        key_seed(1, (1, 2))
    with pytest.raises(ValueError, match="NaN"):
        state_name(float("nan"))


_KEYS = st.one_of(st.integers(), st.text(), st.floats(allow_nan=False), st.binary(), st.booleans())


def _identity(key):
    return (type(key).__name__, repr(key))


@settings(max_examples=100, deadline=None)
@given(st.lists(_KEYS, min_size=1, max_size=30))
def test_state_names_are_safe_and_distinct(keys):
    names = {state_name(k) for k in keys}
    assert len(names) == len({_identity(k) for k in keys})
    for name in names:
        assert name.endswith(".json") and len(name.encode()) <= 100
        assert not name.startswith((".", "-")) and "/" not in name and "\\" not in name
        assert re.fullmatch(r"[A-Za-z0-9_.-]+", name)
    # Case-insensitive file systems keep them apart too.
    assert len({n.lower() for n in names}) == len(names)


def test_import_stays_light_and_a_missing_extra_says_what_to_install():
    probe = (
        "import sys\n"
        "import quillon\n"
        "assert not {'dask', 'distributed', 'pandas'} & set(sys.modules), sys.modules.keys()\n"
        "sys.modules['dask'] = None\n"
        "from quillon.dask import score_by_key\n"
        "try:\n"
        "    score_by_key([], 'k', 'Forest')\n"
        "except ImportError as e:\n"
        "    print(e)\n"
    )
    out = subprocess.run([sys.executable, "-P", "-c", probe], capture_output=True, text=True,
                         env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "quillon.dask needs dask: pip install 'quillon[dask]'"


def test_the_command_line_and_dask_encode_values_alike(tmp_path):
    # A boolean, an integer and a text category, and a boolean among the columns: the same rows
    # score the same through both front ends (booleans become "name=true"/"name=false").
    from quillon.cli import main

    rng = np.random.default_rng(3)
    n = 80
    frame = pd.DataFrame({"k": "host", "x": rng.normal(size=n), "debug": rng.random(n) < 0.4,
                          "flag": rng.random(n) < 0.5, "port": rng.choice([53, 443], n),
                          "proto": rng.choice(["tcp", "udp"], n)})
    params = {"value_projection_dims": 8, "presence_projection_dims": 8, "sketch_buckets": 64, "seed": 4}
    result = score_by_key(frame, "k", "FeatureSketch", params, columns=["x", "debug"],
                          categorical=["flag", "port", "proto"])
    path = tmp_path / "rows.jsonl"
    path.write_text("".join(json.dumps(row) + "\n" for row in
                            frame.drop(columns="k").astype(object).to_dict("records")))
    out = tmp_path / "out.csv"
    options = [f"--param={name}={value}" for name, value in params.items() if name != "seed"]
    assert main(["score", "--detector", "feature-sketch", "--categorical", "flag,port,proto",
                 "--param", f"seed={key_seed(4, 'host')}", *options, "-o", str(out), str(path)]) == 0
    cli = pd.read_csv(out)["score"].to_numpy()
    np.testing.assert_array_equal(result["score"].to_numpy(), cli)



# ----- keys, commits and refused inputs ---------------------------------------------------------

@pytest.mark.parametrize("partitions", [None, 1, 40])  # 40: past the task-shuffle limit
def test_keys_pandas_takes_as_equal_stay_apart(client, tmp_path, partitions):
    keys = [1, 1.0, True, "1", 0.0, -0.0, np.int64(1), b"1", pd.Timestamp("2024-01-01"), 2**70]
    frame = pd.DataFrame({"k": pd.Series(keys * 12, dtype=object),
                          "x": np.random.default_rng(5).normal(size=len(keys) * 12)})
    detectors = {state_name(k): quillon.Forest(1, num_trees=4, seed=key_seed(3, k)) for k in keys}
    assert len(detectors) == len(keys) - 1  # np.int64(1) is the key 1
    expected = pd.Series([detectors[state_name(k)].update_and_score([x])
                          for k, x in zip(frame["k"], frame["x"])], index=frame.index)
    # (Dask turns object columns into text when a frame is made, unless told not to.)
    with dask.config.set({"dataframe.convert-string": False}):
        data = frame if partitions is None else to_dask(frame, partitions)
        result = score_by_key(data, "k", "Forest", {"num_trees": 4, "seed": 3}, columns=["x"],
                              states_out=tmp_path)
        same_scores(result if partitions is None else result.compute(), expected)
    assert _listing(tmp_path) == {n: d.to_json().encode() for n, d in detectors.items()}


def _listing(folder):
    return {p.name: p.read_bytes() if p.is_file() else "folder" for p in folder.iterdir()}


def _nan_in_last_row(frame, states_in, monkeypatch):
    frame.loc[frame.index[-1], "x"] = np.nan


def _corrupt_state(frame, states_in, monkeypatch):
    (states_in / state_name(11)).write_text("{")


def _interrupt_fifth_write(frame, states_in, monkeypatch):
    real_write, writes = quillon.dask._Folder.write, []

    def write(folder, name, text):
        writes.append(name)
        if len(writes) == 5:
            raise KeyboardInterrupt
        real_write(folder, name, text)

    monkeypatch.setattr(quillon.dask._Folder, "write", write)


@pytest.mark.parametrize("frame_kind, spoil, error, note", [
    ("pandas", _nan_in_last_row, ValueError, r"while scoring key \d+ at frame index \d+"),
    ("dask", _nan_in_last_row, ValueError, r"while scoring key \d+ at frame index \d+"),
    ("pandas", _corrupt_state, ValueError, r"while reading the state of key 11"),
    ("dask", _corrupt_state, ValueError, r"while reading the state of key 11"),
    ("pandas", _interrupt_fifth_write, KeyboardInterrupt, None),
])
def test_a_failed_run_changes_no_state_file(client, tmp_path, monkeypatch, frame_kind, spoil,
                                            error, note):
    case, keys = CASES[0], list(range(12))
    day1, day2 = make_frame(keys, 30, seed=1), make_frame(keys + [99], 30, seed=2, first_tick=99)
    states_in, states_out = tmp_path / "in", tmp_path / "out"
    run(day1, case, states_out=states_in)
    run(day1[day1["k"] < 6], case, states_in=states_in, states_out=states_out)  # some old files
    spoil(day2, states_in, monkeypatch)
    before = _listing(states_out)
    with pytest.raises(error) as raised:
        result = run(day2 if frame_kind == "pandas" else to_dask(day2, 4), case,
                     states_in=states_in, states_out=states_out)
        if frame_kind == "dask":
            result.compute()
    assert note is None or any(re.search(note, n) for n in raised.value.__notes__)
    after = _listing(states_out)  # a failed cluster run may leave its hidden staging folder
    assert {n: v for n, v in after.items() if frame_kind == "pandas" or n[0] != "."} == before


def test_states_in_may_be_states_out_for_a_pandas_frame(tmp_path):
    case, states = CASES[2], {}
    day1 = make_frame(list(range(6)), 40, seed=1)
    day2 = make_frame(list(range(3, 9)), 40, seed=2, first_tick=int(day1["t"].max()) + 1)
    plain_loop(day1, case, states)
    expected = plain_loop(day2, case, states)
    run(day1, case, states_out=tmp_path)
    same_scores(run(day2, case, states_in=tmp_path, states_out=tmp_path), expected)
    assert _listing(tmp_path) == {state_name(k): d.to_json().encode() for k, d in states.items()}


@pytest.mark.parametrize("case", CASES, ids=lambda c: c.detector)
def test_binary_states_resume_like_json_and_replace_the_other_form(client, tmp_path, case):
    day1 = make_frame(list(range(4)), 40, seed=1)
    day2 = make_frame(list(range(1, 5)), 40, seed=2, first_tick=int(day1["t"].max()) + 1)
    states = {}
    plain_loop(day1, case, states)
    after_day1 = {k: d.to_bytes() for k, d in states.items()}
    expected = plain_loop(day2, case, states)
    folder = tmp_path / "states"
    run(to_dask(day1, npartitions=2), case, states_out=folder, state_format="binary").compute()
    assert _listing(folder) == {state_name(k, "binary"): after_day1[k] for k in range(4)}
    # The next day reads the binary states and writes JSON: each key keeps one file, in the form
    # it was last written in.
    same_scores(run(day2, case, states_in=folder, states_out=folder), expected)
    assert _listing(folder) == {state_name(0, "binary"): after_day1[0],
                                **{state_name(k): states[k].to_json().encode() for k in range(1, 5)}}
    for wrong in ("pickle", "JSON"):
        with pytest.raises(ValueError, match="state_format must be 'json' or 'binary'"):
            run(day2, case, states_out=folder, state_format=wrong)
        with pytest.raises(ValueError, match="state_format must be 'json' or 'binary'"):
            state_name(1, wrong)
    assert state_name("a", "binary") == state_name("a").removesuffix(".json") + ".qstate"


def test_the_commit_checks_every_target_first_follows_links_and_keeps_modes(tmp_path):
    case, frame = CASES[0], make_frame([1, 2, 3], 20, seed=3)
    out, elsewhere, reference = tmp_path / "out", tmp_path / "elsewhere", tmp_path / "reference"
    run(frame, case, states_out=elsewhere)
    run(frame, case, states_in=elsewhere, states_out=reference)
    out.mkdir()
    (out / state_name(1)).write_text("old")
    (out / state_name(1)).chmod(0o600)
    (out / state_name(2)).symlink_to(elsewhere / state_name(2))
    (out / state_name(3)).mkdir()  # refused at the commit, before any file is replaced
    before = _listing(elsewhere), _listing(out)
    with pytest.raises(IsADirectoryError):
        run(frame, case, states_out=out, states_in=elsewhere)
    assert (_listing(elsewhere), _listing(out)) == before
    (out / state_name(3)).rmdir()
    run(frame, case, states_out=out, states_in=elsewhere)
    assert (out / state_name(1)).stat().st_mode & 0o777 == 0o600
    assert (out / state_name(2)).is_symlink() and _listing(out) == _listing(reference)
    assert (elsewhere / state_name(2)).read_bytes() == (reference / state_name(2)).read_bytes()


def test_the_commit_writes_a_fifo_only_once_every_target_passed_and_keeps_owners(tmp_path):
    case, frame = CASES[0], make_frame([1, 2, 3], 20, seed=3)
    out, fifo = tmp_path / "out", tmp_path / "fifo"
    run(frame, case, states_out=tmp_path / "reference")
    run(frame, case, states_out=out)  # states of another run, to be replaced
    os.mkfifo(fifo)
    (out / state_name(1)).unlink()
    (out / state_name(1)).symlink_to(fifo)
    (out / state_name(2)).unlink()
    (out / state_name(2)).mkdir()
    if os.geteuid() == 0:
        os.chown(out / state_name(3), 4321, 4321)
    reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
    try:
        fcntl.fcntl(reader, fcntl.F_SETPIPE_SZ, 1 << 20)  # a writer never waits for the reader
        with pytest.raises(IsADirectoryError):
            run(frame, case, states_out=out)
        assert os.read(reader, 1 << 20) == b""  # never opened for writing
        (out / state_name(2)).rmdir()
        run(frame, case, states_out=out)
        assert os.read(reader, 1 << 20) == (tmp_path / "reference" / state_name(1)).read_bytes()
    finally:
        os.close(reader)
    placed, reference = _listing(out), _listing(tmp_path / "reference")
    assert placed | {state_name(1): None} == reference | {state_name(1): None}  # (1: the FIFO)
    if os.geteuid() == 0:
        assert (out / state_name(3)).stat()[4:6] == (4321, 4321)


@pytest.mark.parametrize("frame_kind", ["pandas", "dask"])
def test_mstream_takes_ticks_of_2_63_and_more(client, frame_kind):
    case, frame = CASES[2], make_frame([1, 2, 3], 40, seed=6)
    ticks = frame["t"].to_numpy().astype(np.uint64)
    frame["t"] = ticks + np.uint64(2**64 - 1 - int(ticks.max()))  # up to 2**64 - 1
    result = run(frame if frame_kind == "pandas" else to_dask(frame, 3), case)
    same_scores(result if frame_kind == "pandas" else result.compute(), plain_loop(frame, case))


def _column(name, values):
    return lambda f: f.assign(**{name: values(f)})


def _object_column(name, value, at):
    return _column(name, lambda f: f[name].astype(object).where(f.index % at != 0, value))


HOSTILE = [
    # (detector, spoil the frame, extra arguments, error, message, note)
    ("Forest", _column("x", lambda f: f["x"] + 1j), {}, TypeError,
     r"column 'x' holds complex numbers", None),
    ("Forest", _object_column("x", 1j, 7), {}, TypeError, r"column 'x' must hold real numbers",
     None),
    ("OnlineIForest", _object_column("x", "a", 2), {}, TypeError,
     r"column 'x' must hold real numbers", None),
    ("Forest", _column("x", lambda f: f["x"].where(f.index % 5 != 0, np.inf)), {},
     ValueError, r".", r"while scoring key \d at frame index \d+"),
    # (Text with lone surrogates needs object columns and labels: pandas' own strings refuse it.)
    ("FeatureSketch", lambda f: f.set_axis(pd.Index(["k", "t", "x", "y\udc80", "z", "c"],
                                                    dtype=object), axis=1), {}, ValueError,
     r"feature name 'y\\udc80' from column 'y\\udc80' is not valid UTF-8", None),
    ("FeatureSketch", _column("c", lambda f: pd.Series([f"{v}\udcff" for v in f["c"]],
                                                       index=f.index, dtype=object)),
     {"categorical": ["c"]}, ValueError, r"from column 'c' is not valid UTF-8", None),
    ("MStream", _column("c", lambda f: f["c"].astype(np.uint64) + np.uint64(2**63)),
     {"categorical": ["c"]}, OverflowError, r"categorical column 'c' holds values of 2\*\*63",
     None),
    ("MStream", _column("t", lambda f: f["t"] - 20), {}, OverflowError, r".",
     r"while scoring key \d at frame index \d+"),
    ("Forest", _object_column("k", (1,), 7), {}, TypeError, r"unsupported key type tuple",
     r"in key column 'k' at frame index \d+"),
    ("Forest", _object_column("k", None, 7), {}, ValueError, r"key column 'k' has missing values",
     None),
    ("Forest", _column("k", lambda f: f["k"].where(f.index % 7 != 0, np.nan)), {}, ValueError,
     r"key column 'k' has missing values", None),
]


@pytest.mark.parametrize("frame_kind", ["pandas", "dask"])
@pytest.mark.parametrize("detector, spoil, extra, error, message, note", HOSTILE)
def test_hostile_frames_get_one_line_errors_and_change_nothing(
        client, tmp_path, frame_kind, detector, spoil, extra, error, message, note):
    frame = spoil(make_frame([1, 2, 3], 20, seed=8))
    columns = [c for c in frame.columns if c[0] in "xy"]
    with dask.config.set({"dataframe.convert-string": False}), pytest.raises(error) as raised:
        data = frame if frame_kind == "pandas" else to_dask(frame, 3)
        result = score_by_key(data, "k", detector, {"seed": 1}, time="t", columns=columns,
                              states_out=tmp_path, **extra)
        if frame_kind == "dask":
            result.compute()
    text = str(raised.value)
    assert re.search(message, text) and "\n" not in text.strip(), text
    notes = getattr(raised.value, "__notes__", [])
    assert note is None or any(re.search(note, n) for n in notes), notes
    assert not list(tmp_path.glob("*.json"))  # (a failed cluster run may leave its staging)
