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


@pytest.mark.parametrize("case", CASES, ids=lambda c: c.name)
def test_resuming_from_a_saved_state_equals_one_pass(tmp_path, case):
    path = case.write(tmp_path, random.Random(2), 120)
    lines = path.read_text().splitlines(keepends=True)
    header = [] if path.suffix == ".jsonl" else lines[:1]
    body = lines[len(header):]
    first, second = tmp_path / f"a{path.suffix}", tmp_path / f"b{path.suffix}"
    first.write_text("".join(header + body[:53]))
    second.write_text("".join(header + body[53:]))

    whole = run(["score", *case.options, "--state-out", "whole.json", path.name], tmp_path)
    a = run(["score", *case.options, "--state-out", "half.json", first.name], tmp_path)
    # The kind comes from the state; the options that only pick columns stay the same.
    columns = [o for i, o in enumerate(case.options)
               if not (o == "--param" or (i and case.options[i - 1] == "--param"))]
    b = run(["score", *columns, "--state-in", "half.json", "--state-out", "half.json", second.name], tmp_path)
    for result in (whole, a, b):
        assert result.returncode == 0, result.stderr
    assert scores_of(a.stdout)[1] + scores_of(b.stdout)[1] == scores_of(whole.stdout)[1]
    assert (tmp_path / "half.json").read_text() == (tmp_path / "whole.json").read_text()
    assert sorted(p.name for p in tmp_path.iterdir() if p.name.startswith(".")) == []  # no temp files left


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
    (["--state-in", "mstream.json", "--param", "seed=1", "ok.csv"], "--param configures a new detector"),
    (["--detector", "mstream", "--tick-column", "tick", "--categorical", "c", "ticks.csv"],
     "ticks.csv, line 4: tick 4 comes after tick 5"),
    (["--detector", "mstream", "--tick-column", "tick", "--categorical", "c", "zero.csv"],
     "zero.csv, line 2: column 'tick' is not a tick (an integer from 1 to 2**64-1): '0'"),
    (["--tick-column", "t", "ok.csv"], "--tick-column applies to --detector mstream only"),
    (["--state-out", "gone/s.json", "ok.csv"], "--state-out gone/s.json: no such folder"),
    (["--columns", "x,x", "ok.csv"], "column 'x' is given more than one role"),
    (["broken.jsonl"], "broken.jsonl, line 2: invalid JSON"),
    (["huge.jsonl"], "huge.jsonl, line 2: column 'x' is not a finite number: 1000"),
    (["array.jsonl"], "array.jsonl, line 2: expected a JSON object"),
    # argparse's own usage errors, on one line too
    (["--detector", "lof", "ok.csv"], "argument --detector: invalid choice: 'lof'"),
    (["--top", "0", "ok.csv"], "argument --top: must be > 0"),
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
