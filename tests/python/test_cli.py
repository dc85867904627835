"""The command line end to end: `python -m quillon score` on small generated files."""

import csv
import io
import json
import os
import pathlib
import pty
import random
import subprocess
import sys
from dataclasses import dataclass
from typing import Any, Callable

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import quillon
from quillon.cli import categorical_code, main

PACKAGE_ROOT = str(pathlib.Path(quillon.__file__).resolve().parent.parent)


def run(args, cwd, stdin=None, stderr=subprocess.PIPE, code=None):
    """Runs the command line (or `code` through -c) in a fresh interpreter."""
    env = {**os.environ, "PYTHONPATH": PACKAGE_ROOT}
    command = [sys.executable, "-P", *(["-c", code] if code else ["-m", "quillon"]), *args]
    return subprocess.run(command, cwd=cwd, input=stdin, stdout=subprocess.PIPE, stderr=stderr,
                          text=True, env=env, timeout=120)


def write_csv(path, header, rows):
    with open(path, "w", newline="") as f:
        out = csv.writer(f)
        out.writerow(header)
        out.writerows(rows)
    return path


def scores_of(stdout):
    rows = list(csv.DictReader(io.StringIO(stdout)))
    return rows, [float(row["score"]) for row in rows]


# Each kind: a generated input, the command's options, and the same detector fed row by row.


def _numeric_rows(rng, n):
    return [[f"2024-01-01T{i // 60:02d}:{i % 60:02d}:00", repr(rng.gauss(0, 1)),
             repr(rng.gauss(5, 2) + (9.0 if i % 71 == 70 else 0.0))] for i in range(n)]


def _mstream_rows(rng, n):
    return [[str(i), repr(rng.lognormvariate(5, 1)), repr(rng.random()), rng.choice(["tcp", "udp", "icmp"]),
             str(rng.choice([53, 80, 443, 31337])), str(1 + i // 7)] for i in range(n)]


def _event_records(rng, n):
    records = []
    for i in range(n):
        record = {"time": i, "country": rng.choice(["NL", "DE", "FR"]), "latency": rng.lognormvariate(3, 1),
                  "retries": rng.randrange(3), "gone": None}
        if i % 5 == 0:
            record["debug"] = rng.random() < 0.5
        records.append(record)
    return records


@dataclass
class Case:
    name: str
    options: list  # options of `quillon score`
    make: Callable[[], Any]  # the detector the options describe
    write: Callable[[pathlib.Path, random.Random, int], pathlib.Path]  # generates the input file
    feed: Callable[[Any, dict], float]  # one row (as read back from the input) into the detector


def _write_numeric(folder, rng, n):
    return write_csv(folder / "series.csv", ["time", "x", "y"], _numeric_rows(rng, n))


def _write_flows(folder, rng, n):
    return write_csv(folder / "flows.csv", ["time", "bytes", "duration", "proto", "port", "tick"],
                     _mstream_rows(rng, n))


def _write_events(folder, rng, n):
    path = folder / "events.jsonl"
    path.write_text("".join(json.dumps(r) + "\n" for r in _event_records(rng, n)))
    return path


def _event(record):
    event = {"country=" + record["country"]: 1.0, "latency": float(record["latency"]),
             "retries": float(record["retries"])}
    if "debug" in record:
        event["debug=" + json.dumps(record["debug"])] = 1.0
    return event


CASES = [
    Case("forest",
         ["--time-column", "time", "--param", "shingle_size=4", "--param", "num_trees=10",
          "--param", "capacity=32", "--param", "seed=3"],
         lambda: quillon.Forest(2, shingle_size=4, num_trees=10, capacity=32, seed=3),
         _write_numeric, lambda d, r: d.update_and_score([float(r["x"]), float(r["y"])])),
    Case("online-iforest",
         ["--detector", "online-iforest", "--time-column", "time", "--columns", "y,x",
          "--param", "num_trees=8", "--param", "window_size=64", "--param", "max_leaf_samples=4",
          "--param", "seed=3"],
         lambda: quillon.OnlineIForest(2, num_trees=8, window_size=64, max_leaf_samples=4, seed=3),
         _write_numeric, lambda d, r: d.update_and_score([float(r["y"]), float(r["x"])])),
    Case("mstream",
         ["--detector", "mstream", "--time-column", "time", "--categorical", "proto,port",
          "--tick-column", "tick", "--param", "num_buckets=64", "--param", "seed=3"],
         lambda: quillon.MStream(2, 2, num_buckets=64, seed=3),
         _write_flows,
         lambda d, r: d.update_and_score([float(r["bytes"]), float(r["duration"])],
                                         [categorical_code(r["proto"]), categorical_code(r["port"])],
                                         int(r["tick"]))),
    Case("feature-sketch",
         ["--detector", "feature-sketch", "--time-column", "time", "--param", "value_projection_dims=8",
          "--param", "presence_projection_dims=8", "--param", "chains_per_ensemble=4",
          "--param", "sketch_buckets=64", "--param", "seed=3"],
         lambda: quillon.FeatureSketch(value_projection_dims=8, presence_projection_dims=8,
                                       chains_per_ensemble=4, sketch_buckets=64, seed=3),
         _write_events, lambda d, r: d.update_and_score(_event(r))),
]


def read_input(path):
    if path.suffix == ".jsonl":
        return [json.loads(line) for line in path.read_text().splitlines()]
    with open(path, newline="") as f:
        return list(csv.DictReader(f))


def loop_scores(case, rows, detector=None):
    detector = case.make() if detector is None else detector
    return [case.feed(detector, row) for row in rows], detector


# ---------------------------------------------------------------------------------------------
# Scores


@pytest.mark.parametrize("chunk_rows", [7, 4096])
@pytest.mark.parametrize("case", CASES, ids=lambda c: c.name)
def test_scores_equal_a_python_loop_bit_for_bit(tmp_path, case, chunk_rows):
    path = case.write(tmp_path, random.Random(1), 150)
    result = run(["score", *case.options, "--chunk-rows", str(chunk_rows), path.name], tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    rows, scores = scores_of(result.stdout)
    expected, _ = loop_scores(case, read_input(path))
    assert [s.hex() for s in scores] == [s.hex() for s in expected]
    # The time column and the input columns are passed through as they were written.
    source = read_input(path)
    assert [r["time"] for r in rows] == [str(r["time"]) for r in source]
    assert max(scores) > min(scores)


@pytest.mark.parametrize("forms", [("json", "json"), ("qstate", "qstate"), ("qstate", "json")])
@pytest.mark.parametrize("case", CASES, ids=lambda c: c.name)
def test_resuming_from_a_saved_state_equals_one_pass(tmp_path, case, forms):
    path = case.write(tmp_path, random.Random(2), 120)
    lines = path.read_text().splitlines(keepends=True)
    header = [] if path.suffix == ".jsonl" else lines[:1]
    body = lines[len(header):]
    first, second = tmp_path / f"a{path.suffix}", tmp_path / f"b{path.suffix}"
    first.write_text("".join(header + body[:53]))
    second.write_text("".join(header + body[53:]))

    # A name ending in .qstate takes the binary state; --state-in reads either form.
    half, end = f"half.{forms[0]}", f"end.{forms[1]}"
    whole = run(["score", *case.options, "--state-out", "whole.json", path.name], tmp_path)
    a = run(["score", *case.options, "--state-out", half, first.name], tmp_path)
    # The daily job: the same options, parameters included, plus the saved state.
    b = run(["score", *case.options, "--state-in", half, "--state-out", end, second.name], tmp_path)
    for result in (whole, a, b):
        assert result.returncode == 0, result.stderr
    assert scores_of(a.stdout)[1] + scores_of(b.stdout)[1] == scores_of(whole.stdout)[1]
    saved = (tmp_path / end).read_bytes()
    assert saved.startswith(b"\x89QLN") == (forms[1] == "qstate")
    assert (tmp_path / half).read_bytes().startswith(b"\x89QLN") == (forms[0] == "qstate")
    whole_text = (tmp_path / "whole.json").read_text()
    if forms[1] == "json":
        assert saved.decode() == whole_text
    else:
        cls = next(c for c in (quillon.Forest, quillon.MStream, quillon.FeatureSketch, quillon.OnlineIForest)
                   if _holds(c, saved))
        assert cls.from_bytes(saved).to_json() == whole_text
    assert sorted(p.name for p in tmp_path.iterdir() if p.name.startswith(".")) == []  # no temp files left


def _holds(cls, data):
    return data[6] == {"Forest": 1, "MStream": 2, "FeatureSketch": 3, "OnlineIForest": 4}[cls.__name__]


def test_mstream_without_a_tick_column_counts_rows_across_a_resume(tmp_path):
    rows = _mstream_rows(random.Random(3), 60)
    write_csv(tmp_path / "a.csv", ["time", "bytes", "duration", "proto", "port", "tick"], rows[:25])
    write_csv(tmp_path / "b.csv", ["time", "bytes", "duration", "proto", "port", "tick"], rows[25:])
    options = ["--columns", "bytes,duration", "--categorical", "proto,port"]
    a = run(["score", "--detector", "mstream", "--param", "seed=5", *options, "--state-out", "s.json", "a.csv"],
            tmp_path)
    b = run(["score", *options, "--state-in", "s.json", "b.csv"], tmp_path)
    assert a.returncode == 0 and b.returncode == 0, a.stderr + b.stderr
    detector = quillon.MStream(2, 2, seed=5)
    expected = [detector.update_and_score([float(r[1]), float(r[2])],
                                          [categorical_code(r[3]), categorical_code(r[4])], i)
                for i, r in enumerate(rows, start=1)]
    assert scores_of(a.stdout)[1] + scores_of(b.stdout)[1] == expected


def test_standard_input_and_json_lines_give_the_same_scores(tmp_path):
    case = CASES[0]
    path = case.write(tmp_path, random.Random(4), 80)
    from_file = run(["score", *case.options, path.name], tmp_path)
    from_stdin = run(["score", *case.options, "-"], tmp_path, stdin=path.read_text())
    records = [{"time": r["time"], "x": float(r["x"]), "y": float(r["y"])} for r in read_input(path)]
    jsonl = "".join(json.dumps(r) + "\n" for r in records)
    from_jsonl = run(["score", *case.options, "--input-format", "jsonl", "--format", "jsonl", "-"], tmp_path,
                     stdin=jsonl)
    assert from_file.returncode == from_stdin.returncode == from_jsonl.returncode == 0
    assert from_stdin.stdout == from_file.stdout
    out = [json.loads(line) for line in from_jsonl.stdout.splitlines()]
    assert [list(r) for r in out] == [["time", "x", "y", "score"]] * len(records)
    assert [r["score"] for r in out] == scores_of(from_file.stdout)[1]
    assert [{k: r[k] for k in ("time", "x", "y")} for r in out] == records


_cells = st.text(st.characters(exclude_categories=["Cs"], exclude_characters="\x00"), max_size=6)
_finite = st.floats(allow_nan=False, allow_infinity=False, width=64)


@settings(max_examples=30, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(rows=st.lists(st.tuples(_cells, _finite, _cells), min_size=1, max_size=12),
       chunk_rows=st.integers(1, 5), fmt=st.sampled_from(["csv", "jsonl"]))
def test_any_text_passes_through_and_codes_match(tmp_path, capsys, rows, chunk_rows, fmt):
    # Quotes, commas, line breaks and any Unicode in the text columns survive the round trip, and
    # the categorical column is coded exactly as documented.
    path = tmp_path / "mixed.csv"
    write_csv(path, ["when", "x", "kind"], [[w, repr(x), k] for w, x, k in rows])
    assert main(["score", "--detector", "mstream", "--param", "seed=1", "--time-column", "when",
                 "--categorical", "kind", "--chunk-rows", str(chunk_rows), "--format", fmt, str(path)]) == 0
    out = capsys.readouterr().out
    if fmt == "csv":
        got = [(r["when"], float(r["x"]), r["kind"], float(r["score"])) for r in csv.DictReader(io.StringIO(out))]
    else:
        got = [(r["when"], r["x"], r["kind"], r["score"]) for r in map(json.loads, out.splitlines())]
    detector = quillon.MStream(1, 1, seed=1)
    expected = [(w, x, k, detector.update_and_score([x], [categorical_code(k)], i))
                for i, (w, x, k) in enumerate(rows, start=1)]
    assert got == expected


def test_categorical_codes_are_pinned_and_agree_across_formats():
    # Saved MStream states depend on these codes: they must never change.
    assert categorical_code("tcp") == 8007250068329564102
    assert categorical_code("") == 4308924747895078176
    assert categorical_code("443") == categorical_code(443) == 274460575149105021
    assert categorical_code(True) == categorical_code("true") == 2400923700403262070
    assert categorical_code("é") == 5480423198293962834


# ---------------------------------------------------------------------------------------------
# Alerts


def _alerts_of(case, path, risk=None):
    """Scores, grades and alerts of a loop: the detector's scores fed to Alerts one by one."""
    scores, detector = loop_scores(case, read_input(path))
    alerts = quillon.Alerts() if risk is None else quillon.Alerts(risk=risk)
    graded = [alerts.update(score) for score in scores]
    return scores, [g for g, _ in graded], [int(a) for _, a in graded], detector, alerts


def _graded_rows(out, fmt):
    if fmt == "csv":
        rows = list(csv.DictReader(io.StringIO(out)))
        assert rows and list(rows[0])[-3:] == ["score", "grade", "alert"]
        return [(r["time"], float(r["score"]), float(r["grade"]), int(r["alert"])) for r in rows]
    rows = [json.loads(line) for line in out.splitlines()]
    assert all(list(r)[-3:] == ["score", "grade", "alert"] for r in rows)
    return [(r["time"], r["score"], r["grade"], r["alert"]) for r in rows]


@pytest.mark.parametrize("fmt, chunk_rows, only", [("csv", 4096, False), ("csv", 37, True),
                                                   ("jsonl", 50, False), ("jsonl", 4096, True)])
@pytest.mark.parametrize("case", CASES[::2], ids=lambda c: c.name)
def test_alert_columns_equal_alerts_fed_the_loops_scores(tmp_path, capsys, case, fmt, chunk_rows, only):
    path = case.write(tmp_path, random.Random(11), 700)
    flags = ["--alerts-only"] if only else ["--alert-risk", "0.005"]
    assert main(["score", *case.options, "--format", fmt, "--chunk-rows", str(chunk_rows), *flags,
                 str(path)]) == 0
    got = _graded_rows(capsys.readouterr().out, fmt)
    scores, grades, alerts, _, _ = _alerts_of(case, path, None if only else 0.005)
    times = [str(r["time"]) for r in read_input(path)]
    expected = [(str(t), s, g, a) for t, s, g, a in zip(times, scores, grades, alerts)
                if a or not only]
    assert [str(g[0]) for g in got] == [e[0] for e in expected]
    assert [tuple(x.hex() for x in g[1:3]) + g[3:] for g in got] == [
        tuple(x.hex() for x in e[1:3]) + e[3:] for e in expected]
    assert sum(alerts) >= 1 and all(grade == 0.0 for grade in grades[:150])  # warm-up: no grade


@pytest.mark.parametrize("case", CASES[:2], ids=lambda c: c.name)
def test_alerts_resume_from_a_state_with_the_detector(tmp_path, capsys, case):
    path = case.write(tmp_path, random.Random(12), 500)
    lines = path.read_text().splitlines(keepends=True)
    (tmp_path / "a.csv").write_text("".join(lines[:260]))
    (tmp_path / "b.csv").write_text("".join(lines[:1] + lines[260:]))
    whole, a, b = (str(tmp_path / n) for n in ("whole.json", "a.json", "ab.json"))
    assert main(["score", *case.options, "--alerts", "--state-out", whole, str(path)]) == 0
    one_pass = capsys.readouterr().out
    assert main(["score", *case.options, "--alerts", "--state-out", a, str(tmp_path / "a.csv")]) == 0
    first = capsys.readouterr().out
    # The saved alerts come back without --alerts: a state carries them.
    assert main(["score", *case.options, "--state-in", a, "--state-out", b, str(tmp_path / "b.csv")]) == 0
    second = capsys.readouterr().out
    assert first + second.split("\n", 1)[1] == one_pass
    assert pathlib.Path(b).read_text() == pathlib.Path(whole).read_text()
    _, _, _, detector, alerts = _alerts_of(case, path)
    resumed = quillon.Monitor.load_json(b)  # the file is the library's own pairing
    assert resumed.detector.to_json() == detector.to_json()
    assert resumed.alerts.to_json() == alerts.to_json()


def test_states_without_alerts_stay_the_detectors_own_and_start_alerts_fresh(tmp_path, capsys):
    case = CASES[0]
    path = case.write(tmp_path, random.Random(13), 400)
    state = tmp_path / "plain.json"
    assert main(["score", *case.options, "--state-out", str(state), str(path)]) == 0
    _, _, _, detector, _ = _alerts_of(case, path)
    assert state.read_text() == detector.to_json()  # written exactly as before
    capsys.readouterr()
    assert main(["score", *case.options, "--state-in", str(state), "--alerts", str(path)]) == 0
    got = _graded_rows(capsys.readouterr().out, "csv")
    fresh = quillon.Alerts()
    assert [g[2:] for g in got] == [(grade, int(alert)) for grade, alert in
                                    (fresh.update(case.feed(detector, r)) for r in read_input(path))]


def test_plot_marks_alerts(tmp_path):
    pytest.importorskip("matplotlib")
    path = _write_numeric(tmp_path, random.Random(14), 600)
    result = run(["score", "--param", "seed=1", "--time-column", "time", "--alerts", "--plot", "a.png",
                  path.name], tmp_path)
    assert result.returncode == 0, result.stderr
    assert (tmp_path / "a.png").read_bytes().startswith(PNG_SIGNATURE)


# ---------------------------------------------------------------------------------------------
# Errors: one line on standard error, exit status 2, nothing written


def _files(folder):
    write_csv(folder / "ok.csv", ["t", "x", "y"], [["1", "0.5", "1.5"], ["2", "0.25", "2.5"]])
    write_csv(folder / "text.csv", ["t", "x", "y"], [["1", "0.5", "1.5"], ["2", "0.25", "2.5"], ["3", "high", "1"]])
    write_csv(folder / "nan.csv", ["t", "x", "y"], [["1", "0.5", "1.5"], ["2", "nan", "2.5"]])
    (folder / "short.csv").write_text("t,x,y\n1,2,3\n4,5\n")
    write_csv(folder / "ticks.csv", ["tick", "x", "c"], [["3", "1", "a"], ["5", "1", "b"], ["4", "2", "a"]])
    write_csv(folder / "zero.csv", ["tick", "x", "c"], [["0", "1", "a"]])
    (folder / "huge.jsonl").write_text('{"x": 1}\n{"x": 1' + "0" * 400 + '}\n')
    (folder / "broken.jsonl").write_text('{"x": 1}\n{"x": 2\n')
    (folder / "array.jsonl").write_text('{"x": 1}\n[1, 2]\n')
    (folder / "empty.csv").write_text("")
    (folder / "garbage.json").write_text("not json at all")
    quillon.MStream(1, 1, seed=1).save_json(str(folder / "mstream.json"))
    quillon.OnlineIForest(3, seed=1).save_json(str(folder / "oif3.json"))
    quillon.Monitor(quillon.Forest(3, seed=1)).save_json(str(folder / "paired.json"))
    write_csv(folder / "graded.csv", ["x", "grade"], [["1", "2"]])
    quillon.MStream(1, 1, seed=1).save_bytes(str(folder / "mstream.qstate"))
    quillon.OnlineIForest(3, seed=1).save_bytes(str(folder / "oif3.qstate"))
    (folder / "cut.qstate").write_bytes(quillon.MStream(1, 1, seed=1).to_bytes()[:40])


ERRORS = [
    # (arguments, expected text on the one line)
    (["nope.csv"], "cannot read nope.csv: No such file or directory"),
    (["--columns", "x,z", "ok.csv"], "ok.csv: no column 'z' (columns: t, x, y)"),
    (["text.csv"], "text.csv, line 4: column 'x' is not a finite number: 'high'"),
    (["nan.csv"], "nan.csv, line 3: column 'x' is not a finite number: 'nan'"),
    (["short.csv"], "short.csv, line 3: 2 fields, the header has 3"),
    (["empty.csv"], "empty.csv: empty input"),
    (["--param", "depth=3", "ok.csv"], "Forest has no parameter 'depth'"),
    (["--param", "capacity=many", "ok.csv"], "--param capacity: expected an integer, got 'many'"),
    (["--param", "capacity=0", "ok.csv"], "invalid Forest parameters: capacity must be > 0"),
    (["--param", "seed", "ok.csv"], "--param expects NAME=VALUE, got 'seed'"),
    (["--param", "input_dim=2", "ok.csv"], "--param input_dim=2 disagrees with the input, which gives 3"),
    (["--detector", "mstream", "--param", "alpha=2", "--tick-column", "t", "ok.csv"],
     "invalid MStream parameters: alpha must be in range (0, 1)"),
    (["--state-in", "mstream.json", "--detector", "forest", "ok.csv"],
     "state mstream.json holds an MStream, not a Forest (use --detector mstream)"),
    (["--state-in", "garbage.json", "ok.csv"], "state garbage.json is not a saved quillon detector"),
    (["--state-in", "garbage.json", "--detector", "forest", "ok.csv"], "state garbage.json is not a saved Forest"),
    (["--state-in", "missing.json", "ok.csv"], "cannot read state missing.json"),
    (["--state-in", "oif3.json", "--columns", "x,y", "ok.csv"], "state oif3.json takes 3 values per row"),
    (["--state-in", "mstream.json", "--param", "alpha=0.5", "--param", "seed=9", "ok.csv"],
     "--param alpha=0.5 disagrees with state mstream.json, which was saved with alpha=0.8"),
    (["--state-in", "oif3.json", "--param", "input_dim=2", "ok.csv"],
     "--param input_dim=2 disagrees with state oif3.json, which was saved with input_dim=3"),
    # Binary states are told apart and checked the same way.
    (["--state-in", "mstream.qstate", "--detector", "forest", "ok.csv"],
     "state mstream.qstate holds an MStream, not a Forest (use --detector mstream)"),
    (["--state-in", "mstream.qstate", "--param", "alpha=0.5", "--param", "seed=9", "ok.csv"],
     "--param alpha=0.5 disagrees with state mstream.qstate, which was saved with alpha=0.8"),
    (["--state-in", "oif3.qstate", "--columns", "x,y", "ok.csv"], "state oif3.qstate takes 3 values per row"),
    (["--state-in", "cut.qstate", "ok.csv"],
     "state cut.qstate is not a saved MStream: invalid MStream bytes: unexpected end of data at byte 40"),
    (["--detector", "mstream", "--tick-column", "tick", "--categorical", "c", "ticks.csv"],
     "ticks.csv, line 4: tick 4 comes after tick 5"),
    (["--detector", "mstream", "--tick-column", "tick", "--categorical", "c", "zero.csv"],
     "zero.csv, line 2: column 'tick' is not a tick (an integer from 1 to 2**64-1): '0'"),
    (["--tick-column", "t", "ok.csv"], "--tick-column applies to --detector mstream only"),
    (["--alerts", "graded.csv"], "an input column named 'grade' would clash with the output's grade"),
    (["--state-in", "paired.json", "--alert-risk", "0.001", "ok.csv"],
     "--alert-risk 0.001 disagrees with state paired.json, which was saved with risk 0.002"),
    (["--state-in", "paired.json", "--detector", "mstream", "ok.csv"],
     "state paired.json holds a Forest, not an MStream"),
    (["--alerts", "--state-out", "s.qstate", "ok.csv"],
     "--state-out s.qstate: a binary state cannot hold alerts; save them as JSON (a name not "
     "ending in .qstate)"),
    (["--state-in", "paired.json", "--state-out", "s.qstate", "ok.csv"],
     "--state-out s.qstate: a binary state cannot hold alerts"),
    (["--state-out", "gone/s.json", "ok.csv"], "--state-out gone/s.json: no such folder"),
    (["--columns", "x,x", "ok.csv"], "column 'x' is given more than one role"),
    (["broken.jsonl"], "broken.jsonl, line 2: invalid JSON"),
    (["huge.jsonl"], "huge.jsonl, line 2: column 'x' is not a finite number: 1000"),
    (["array.jsonl"], "array.jsonl, line 2: expected a JSON object"),
    # argparse's own usage errors, on one line too
    (["--detector", "lof", "ok.csv"], "argument --detector: invalid choice: 'lof'"),
    (["--top", "0", "ok.csv"], "argument --top: must be > 0"),
    (["--alert-risk", "0.02", "ok.csv"], "argument --alert-risk: must be in (0, 0.02): '0.02'"),
    (["--alert-risk", "0", "ok.csv"], "argument --alert-risk: must be in (0, 0.02): '0'"),
    (["--alert-risk", "nan", "ok.csv"], "argument --alert-risk: must be in (0, 0.02): 'nan'"),
    (["--alert-risk", "low", "ok.csv"], "argument --alert-risk: not a number: 'low'"),
    ([], "the following arguments are required: INPUT"),
]


@pytest.mark.parametrize("args, message", ERRORS, ids=[" ".join(a) for a, _ in ERRORS])
def test_user_errors_are_one_line_with_exit_status_2(tmp_path, args, message):
    _files(tmp_path)
    before = sorted(p.name for p in tmp_path.iterdir())
    result = run(["score", "--output", "out.csv", "--state-out", "after.json", *args], tmp_path)
    assert result.returncode == 2
    assert result.stderr.count("\n") == 1 and "Traceback" not in result.stderr, result.stderr
    assert result.stderr.startswith("quillon score: error: ")
    assert message in result.stderr
    assert result.stdout == ""
    assert sorted(p.name for p in tmp_path.iterdir()) == before  # no output, state or temp file


def test_a_refused_batch_names_its_line_and_leaves_no_output(tmp_path):
    # The state takes rows of 2 values; the third row of an input holding 3 columns never reaches it.
    quillon.Forest(2, seed=1).save_json(str(tmp_path / "f2.json"))
    write_csv(tmp_path / "three.csv", ["a", "b", "c"], [["1", "2", "3"]] * 5)
    result = run(["score", "--state-in", "f2.json", "--output", "out.csv", "three.csv"], tmp_path)
    assert result.returncode == 2 and result.stderr.count("\n") == 1, result.stderr
    assert "three.csv, line 2: Forest refused the input: dimension mismatch: expected 2, got 3" in result.stderr
    assert not (tmp_path / "out.csv").exists()


# ---------------------------------------------------------------------------------------------
# Progress, top rows and plot


def test_progress_only_on_a_terminal(tmp_path):
    path = _write_numeric(tmp_path, random.Random(5), 50)
    piped = run(["score", "--param", "seed=1", path.name], tmp_path)
    assert piped.returncode == 0 and piped.stderr == ""

    leader, follower = pty.openpty()
    try:
        on_terminal = run(["score", "--param", "seed=1", path.name], tmp_path, stderr=follower)
        os.close(follower)
        follower = None
        shown = b""
        while True:
            try:
                chunk = os.read(leader, 4096)
            except OSError:
                break
            if not chunk:
                break
            shown += chunk
    finally:
        os.close(leader)
        if follower is not None:
            os.close(follower)
    assert on_terminal.returncode == 0
    assert on_terminal.stdout == piped.stdout
    assert b"50 rows" in shown and b"rows/s" in shown


def test_top_rows_on_standard_error(tmp_path):
    path = _write_numeric(tmp_path, random.Random(6), 200)
    result = run(["score", "--param", "seed=1", "--time-column", "time", "--top", "3", path.name], tmp_path)
    assert result.returncode == 0, result.stderr
    _, scores = scores_of(result.stdout)
    lines = result.stderr.splitlines()
    assert lines[0] == "top 3 of the scores:"
    top = list(csv.DictReader(lines[1:]))
    assert [float(r["score"]) for r in top] == sorted(scores, reverse=True)[:3]
    assert all(scores[int(r["line"]) - 2] == float(r["score"]) for r in top)


PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def test_plot_writes_a_png(tmp_path):
    pytest.importorskip("matplotlib")
    path = _write_numeric(tmp_path, random.Random(7), 300)
    result = run(["score", "--param", "seed=1", "--time-column", "time", "--plot", "scores.png", path.name],
                 tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stderr == "plot written to scores.png\n"
    data = (tmp_path / "scores.png").read_bytes()
    assert data.startswith(PNG_SIGNATURE) and data[12:16] == b"IHDR"
    width, height = int.from_bytes(data[16:20], "big"), int.from_bytes(data[20:24], "big")
    assert width > 400 and height > 300


def test_plotting_is_imported_only_when_asked_for(tmp_path):
    path = _write_numeric(tmp_path, random.Random(8), 20)
    check = ("import sys\nfrom quillon.cli import main\nrc = main(sys.argv[1:])\n"
             "print('matplotlib' in sys.modules, file=sys.stderr)\nsys.exit(rc)\n")
    result = run(["score", "--param", "seed=1", path.name], tmp_path, code=check)
    assert result.returncode == 0 and result.stderr == "False\n"
    bare = run([], tmp_path, code="import sys, quillon\nprint(sorted(m for m in ('quillon.cli', 'numpy', "
                                  "'matplotlib') if m in sys.modules))")
    assert bare.stdout == "[]\n"


def test_a_missing_plot_extra_names_what_to_install(tmp_path):
    path = _write_numeric(tmp_path, random.Random(9), 20)
    without = ("import sys\nsys.modules['matplotlib'] = None\nfrom quillon.cli import main\n"
               "sys.exit(main(sys.argv[1:]))\n")
    result = run(["score", "--plot", "p.png", path.name], tmp_path, code=without)
    assert result.returncode == 2 and result.stdout == ""
    assert result.stderr == "quillon score: error: --plot needs matplotlib: pip install 'quillon[plot]'\n"


# ---------------------------------------------------------------------------------------------
# Hostile inputs and targets: one line, exit status 2, every file as it was, no temporary left


def _hostile(folder):
    write_csv(folder / "ok.csv", ["t", "x", "y"], [[str(i), str(i % 7), str(i % 3)] for i in range(40)])
    (folder / "deep.jsonl").write_text('{"x": 1}\n{"x": ' + "[" * 100_000 + "]" * 100_000 + "}\n")
    (folder / "digits.jsonl").write_text('{"x": 1}\n{"x": ' + "9" * 5000 + "}\n")
    (folder / "surrogate.jsonl").write_text('{"x": 1, "c": "a"}\n{"x": 2, "c": "\\ud800"}\n')
    (folder / "folder").mkdir()
    (folder / "out.csv").write_text("old output\n")
    (folder / "s.json").write_text("old state")


def _fsize(limit):
    import resource

    return lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))


HOSTILE = [
    # (arguments after "score -o out.csv --state-out s.json", message, extra subprocess settings)
    (["deep.jsonl"], "deep.jsonl, line 2: invalid JSON (nested too deeply)", {}),
    (["digits.jsonl"], "digits.jsonl, line 2: invalid JSON (Exceeds the limit", {}),
    (["--detector", "feature-sketch", "surrogate.jsonl"], "surrogate.jsonl, line 2: a string holds a lone surrogate", {}),
    (["-o", "folder", "ok.csv"], "--output folder: cannot write: Is a directory", {}),
    (["--state-out", "folder", "ok.csv"], "--state-out folder: cannot write: Is a directory", {}),
    (["--plot", "folder", "ok.csv"], "--plot folder: cannot write: Is a directory", {}),
    (["--param", "capacity=1000000000000", "ok.csv"], "invalid Forest parameters:", {}),
    (["--param", "capacity=" + "9" * 5000, "ok.csv"], "--param capacity: 5000 digits is out of range", {}),
    (["/dev/zero"], "/dev/zero, line 1: longer than 67,108,864 bytes", {}),
    (["-o", "-", "ok.csv"], "cannot write standard output: No space left on device", {"stdout": "/dev/full"}),
    # The output fits under the size limit, the state does not: neither is replaced.
    (["ok.csv"], "cannot write state s.json: I/O error: File too large", {"preexec_fn": _fsize(60_000)}),
    (["--param", "capacity=8", "--param", "num_trees=1", "-o", "new.csv", "big.csv"],
     "--output new.csv: cannot write: File too large", {"preexec_fn": _fsize(40_000), "big": True}),
]


@pytest.mark.parametrize("args, message, extra", HOSTILE, ids=[" ".join(a)[:40] for a, _, _ in HOSTILE])
def test_hostile_inputs_and_targets_change_no_file(tmp_path, args, message, extra):
    if "--plot" in args:
        pytest.importorskip("matplotlib")
    _hostile(tmp_path)
    if extra.get("big"):
        write_csv(tmp_path / "big.csv", ["x"], [[str(i)] for i in range(8000)])
    before = {p.name: p.read_bytes() for p in tmp_path.iterdir() if p.is_file()}
    env = {**os.environ, "PYTHONPATH": PACKAGE_ROOT}
    stdout = open(extra["stdout"], "w") if "stdout" in extra else subprocess.PIPE
    try:
        result = subprocess.run([sys.executable, "-P", "-m", "quillon", "score", "-o", "out.csv",
                                 "--state-out", "s.json", *args], cwd=tmp_path, stdout=stdout,
                                stderr=subprocess.PIPE, text=True, env=env, timeout=120,
                                preexec_fn=extra.get("preexec_fn"))
    finally:
        if stdout is not subprocess.PIPE:
            stdout.close()
    assert result.returncode == 2, result.stderr
    assert result.stderr.count("\n") == 1 and "Traceback" not in result.stderr, result.stderr
    assert result.stderr.startswith("quillon score: error: ") and message in result.stderr, result.stderr
    after = {p.name: p.read_bytes() for p in tmp_path.iterdir() if p.is_file()}
    assert after == before  # nothing replaced, nothing left behind


def _fifo_reader(path, got):
    with open(path, "rb") as f:
        got.append(f.read())


@pytest.mark.parametrize("target", ["link", "dangling link", "mode 0600", "mode 0444", "fifo", "device"])
def test_outputs_follow_links_keep_modes_and_write_devices_in_place(tmp_path, target):
    import stat
    import threading

    path = _write_numeric(tmp_path, random.Random(10), 30)
    expected = run(["score", "--param", "seed=1", path.name], tmp_path).stdout
    out, real, got = tmp_path / "out.csv", tmp_path / "real.csv", []
    if target in ("link", "dangling link"):
        if target == "link":
            real.write_text("old")
        out.symlink_to("real.csv")
    elif target.startswith("mode"):
        out.write_text("old")
        out.chmod(int(target[-4:], 8))
    elif target == "fifo":
        os.mkfifo(out)
        reader = threading.Thread(target=_fifo_reader, args=(out, got))
        reader.start()
    else:
        out = pathlib.Path(os.devnull)
    mode = out.lstat().st_mode
    result = run(["score", "--param", "seed=1", "-o", str(out), path.name], tmp_path)
    assert result.returncode == 0, result.stderr
    assert out.lstat().st_mode == mode or target == "dangling link"
    if target == "fifo":
        reader.join(timeout=60)
        assert got == [expected.encode()]
    elif target != "device":
        assert out.read_text() == expected
        assert out.is_symlink() == target.endswith("link")
    assert [p.name for p in tmp_path.iterdir() if p.name.startswith(".")] == []
    if target == "dangling link":
        assert stat.S_IMODE(real.stat().st_mode) == 0o666 & ~_umask_of_children()


def _umask_of_children():
    for line in pathlib.Path("/proc/self/status").read_text().splitlines():
        if line.startswith("Umask:"):
            return int(line.split()[1], 8)
    raise AssertionError("no umask in /proc/self/status")


def test_new_files_take_the_umask_without_the_process_changing_it(tmp_path):
    # The process-wide mask is never touched (other threads create files meanwhile).
    path = _write_numeric(tmp_path, random.Random(11), 20)
    code = ("import os, sys\nos.umask(0o027)\n"
            "def refuse(mask): raise AssertionError('umask changed')\n"
            "os.umask = refuse\nfrom quillon.cli import main\nsys.exit(main(sys.argv[1:]))\n")
    result = run(["score", "--param", "seed=1", "-o", "out.csv", "--state-out", "s.json", path.name],
                 tmp_path, code=code)
    assert result.returncode == 0, result.stderr
    assert {oct(p.stat().st_mode & 0o777) for p in (tmp_path / "out.csv", tmp_path / "s.json")} == {"0o640"}


@pytest.mark.parametrize("signum", [2, 15])
def test_a_signal_before_the_commit_leaves_every_file_as_it_was(tmp_path, signum):
    import time

    (tmp_path / "out.csv").write_text("old output\n")
    (tmp_path / "s.json").write_text("old state")
    env = {**os.environ, "PYTHONPATH": PACKAGE_ROOT}
    process = subprocess.Popen([sys.executable, "-P", "-m", "quillon", "score", "--param", "seed=1",
                                "--chunk-rows", "1", "-o", "out.csv", "--state-out", "s.json", "-"],
                               cwd=tmp_path, stdin=subprocess.PIPE, stderr=subprocess.PIPE, env=env, text=True)
    process.stdin.write("x\n" + "1.5\n" * 50)
    process.stdin.flush()
    deadline = time.monotonic() + 60
    while len([p for p in tmp_path.iterdir() if p.name.startswith(".")]) < 2 and time.monotonic() < deadline:
        time.sleep(0.05)  # both temporary files exist: the run has begun
    time.sleep(0.5)
    process.send_signal(signum)
    _, stderr = process.communicate(timeout=60)
    assert process.returncode == 128 + signum and stderr == "quillon: interrupted\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["out.csv", "s.json"]
    assert (tmp_path / "out.csv").read_text() == "old output\n" and (tmp_path / "s.json").read_text() == "old state"


def test_many_columns_are_handled_in_linear_time(tmp_path):
    # 40,000 columns once took 12 s before the first score; the subprocess timeout bounds it now.
    names = [f"c{i}" for i in range(40_000)]
    write_csv(tmp_path / "wide.csv", names, [[str(i % 5)] * len(names) for i in range(3)])
    result = run(["score", "--detector", "mstream", "--categorical", ",".join(names[:20_000]),
                  "--param", "num_buckets=2", "wide.csv"], tmp_path)
    assert result.returncode == 0, result.stderr
    assert len(result.stdout.splitlines()) == 4


_awkward = st.text(alphabet='a,"\r\n é', max_size=4)


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(rows=st.lists(st.one_of(st.just([]), st.lists(_awkward, min_size=3, max_size=3)), min_size=1, max_size=25),
       terminator=st.sampled_from(["\n", "\r\n", "\r"]), size=st.integers(1, 6), width=st.integers(1, 3))
def test_chunks_keep_every_row_and_its_line_number(tmp_path, rows, terminator, size, width):
    # Plain chunks are split in one go, others by the csv module: both must give the rows and line
    # numbers of reading row by row.
    from quillon.cli.reading import Input
    from quillon.cli.writing import csv_writer

    text = io.StringIO()  # with every line break in a cell quoted, as Python 3.13 writes it
    csv_writer(text, lineterminator=terminator).writerows([["a", "b", "c"][:width], *(r[:width] for r in rows)])
    path = tmp_path / "rows.csv"
    path.write_bytes(text.getvalue().encode())
    with open(path, newline="") as f:
        reader = csv.reader(f)
        next(reader)
        expected = [(reader.line_num, row) for row in reader if row]
    source = Input(str(path), "csv")
    try:
        if not expected:
            with pytest.raises(Exception, match="no rows to score"):
                source.first()
            return
        source.first()
        got = [(line, row) for chunk, lines in source.chunks(size) for line, row in zip(lines, chunk.rows)]
    finally:
        source.close()
    assert got == expected


@settings(max_examples=200, deadline=None)
@given(rows=st.lists(st.lists(st.text(max_size=3), min_size=2, max_size=2), min_size=1, max_size=6),
       scores=st.lists(_finite, min_size=6, max_size=6), graded=st.booleans())
def test_plain_writing_is_what_the_csv_module_writes(rows, scores, graded):
    from quillon.cli.writing import _plain_csv

    tails = [(repr(s), repr(s / 2), "1") if graded else (repr(s),) for s in scores[:len(rows)]]
    expected = io.StringIO()
    csv.writer(expected, lineterminator="\n").writerows([*row, *t] for row, t in zip(rows, tails))
    text = _plain_csv(list(zip(*rows)), [",".join(t) for t in tails], len(tails[0]))
    assert text is None or text == expected.getvalue()


@settings(max_examples=200, deadline=None)
@given(rows=st.lists(st.lists(_awkward, min_size=1, max_size=3), min_size=1, max_size=4),
       terminator=st.sampled_from(["\n", "\r\n", "\r"]))
def test_written_csv_reads_back_the_same_on_every_python(rows, terminator):
    # Before 3.13 the csv module left a line break unquoted unless it was part of the terminator,
    # which ends the row for any reader; both writers must quote it, and agree byte for byte.
    from quillon.cli.writing import _QuotingCsvWriter, csv_writer

    texts = []
    for make in (csv_writer, _QuotingCsvWriter):
        out = io.StringIO()
        writer = make(out, terminator)
        writer.writerow(rows[0])
        writer.writerows(iter(rows[1:]))
        texts.append(out.getvalue())
        assert list(csv.reader(io.StringIO(out.getvalue(), newline=""))) == rows
    assert texts[0] == texts[1] and texts[0].endswith(terminator)
