"""The ``quillon`` command line: score a CSV or JSON Lines stream with one of the detectors.

The input is read in chunks and each chunk goes through the detector's batch method, so a run gives
exactly the scores of a loop calling ``update_and_score`` row by row, while memory stays bounded.
"""

from __future__ import annotations

import argparse
import csv
import hashlib
import heapq
import inspect
import io
import json
import math
import os
import re
import sys
import tempfile
import textwrap
import time
from collections.abc import Iterator
from datetime import datetime
from typing import IO, Any

DETECTORS = {
    "forest": "Forest",
    "online-iforest": "OnlineIForest",
    "mstream": "MStream",
    "feature-sketch": "FeatureSketch",
}
CHUNK_ROWS = 4096
PLOT_EXTRA = "pip install 'quillon[plot]'"

_CATEGORICAL_KEY = b"quillon-categorical"

_EPILOG = """\
examples:
  quillon score --time-column timestamp --param shingle_size=48 --param seed=1 \\
      --top 5 nyc_taxi.csv > scores.csv
  quillon score --detector mstream --categorical proto,port --tick-column minute \\
      --param seed=7 --state-out flows.state.json flows.csv
  quillon score --detector mstream --categorical proto,port --tick-column minute \\
      --state-in flows.state.json --state-out flows.state.json flows-next.csv
  zcat events.jsonl.gz | quillon score --detector feature-sketch --input-format jsonl -

columns:
  Forest and OnlineIForest take the --columns values of each row as one point (input_dim is their
  number); MStream takes --columns as numeric and --categorical as categorical fields, and the
  --tick-column integers (from 1, never decreasing) as its logical clock (without one, the row
  number from 1, continuing from a saved state). Without --columns they use every column whose
  first value is a number, apart from the time, tick and categorical columns. FeatureSketch makes
  one event of each record (of --columns and --categorical if given, else of every column but the
  time column): numbers are feature values, text and --categorical values become indicator
  features "name=text" with value 1, empty cells and nulls are left out.

categorical codes:
  MStream needs integers: each categorical value is mapped to the non-negative 64-bit integer
  formed by BLAKE2b with digest_size=8 and key b"quillon-categorical" over the value's UTF-8 text,
  read little-endian, top bit cleared. JSON numbers and booleans are hashed as their JSON text
  (443 as "443", true as "true"), so a CSV file and a JSON Lines file give the same codes, on every
  run and machine.

output:
  the time column (if any), the input columns and "score", one row per input row, scores written
  with full round-trip precision. Output, plot and state files are written to a temporary name and
  renamed into place at the end, so a failed run leaves no partial file behind.

exit status: 0 on success, 2 for usage and input errors (one line on standard error).
"""


class UserError(Exception):
    """An error the user can fix; reported as one line with exit status 2."""


def categorical_code(value: Any) -> int:
    """Map a categorical value to the integer code fed to `MStream`.

    Parameters
    ----------
    value : str or JSON scalar
        Text is used as it stands; other JSON values (numbers, booleans, null) by their JSON text.

    Returns
    -------
    int
        The first 8 bytes of keyed BLAKE2b-64 of the UTF-8 text, little-endian, top bit cleared:
        stable across runs, machines and Python versions.

    Examples
    --------
    >>> categorical_code("443") == categorical_code(443)
    True
    """
    text = value if isinstance(value, str) else json.dumps(value)
    digest = hashlib.blake2b(text.encode("utf-8"), digest_size=8, key=_CATEGORICAL_KEY).digest()
    return int.from_bytes(digest, "little") & 0x7FFF_FFFF_FFFF_FFFF


# ---------------------------------------------------------------------------------------------
# Arguments


def _split_names(text: str | None) -> list[str]:
    if text is None:
        return []
    names = [name.strip() for name in text.split(",")]
    if any(not name for name in names):
        raise UserError(f"empty column name in {text!r}")
    return names


class _Parser(argparse.ArgumentParser):
    """argparse with its errors on one line, like every other error of the command."""

    def error(self, message: str) -> Any:
        self.exit(2, f"{self.prog}: error: {message} (see '{self.prog} --help')\n")


def build_parser() -> argparse.ArgumentParser:
    """The argument parser of the ``quillon`` command line.

    Returns
    -------
    argparse.ArgumentParser
        The parser with its ``score`` subcommand; its errors are one line with exit status 2.

    Examples
    --------
    >>> build_parser().parse_args(["score", "series.csv"]).detector is None
    True
    """
    from quillon import __version__

    parser = _Parser(
        prog="quillon",
        description="Streaming anomaly detection from the command line.",
        epilog="Run 'quillon score --help' for the options and examples.",
    )
    parser.add_argument("--version", action="version", version=f"quillon {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    score = commands.add_parser(
        "score",
        help="score every row of a CSV or JSON Lines stream",
        description="Feed every row of INPUT to a detector and write one score per row.",
        epilog=_EPILOG + _parameter_help(),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    score.add_argument("input", metavar="INPUT",
                       help="CSV file with a header, .jsonl file, or - for standard input")
    score.add_argument("--input-format", choices=["csv", "jsonl"],
                       help="input format (default: jsonl for *.jsonl files, csv otherwise)")
    score.add_argument("--detector", choices=list(DETECTORS),
                       help="detector kind (default: forest, or the kind saved in --state-in)")
    score.add_argument("--param", action="append", default=[], metavar="NAME=VALUE",
                       help="constructor parameter, repeatable (names and defaults are the "
                            "constructor's, e.g. shingle_size=48, seed=1)")
    score.add_argument("--columns", metavar="A,B,...",
                       help="numeric input columns (default: every numeric column)")
    score.add_argument("--time-column", metavar="NAME",
                       help="timestamp column, passed through to the output")
    score.add_argument("--categorical", metavar="C,D,...",
                       help="categorical columns (mstream; indicator features for feature-sketch)")
    score.add_argument("--tick-column", metavar="NAME",
                       help="logical clock column, integers from 1, never decreasing (mstream; "
                            "default: the row number)")
    score.add_argument("--output", "-o", metavar="FILE", default="-",
                       help="output file (default: standard output)")
    score.add_argument("--format", choices=["csv", "jsonl"], default="csv",
                       help="output format (default: csv)")
    score.add_argument("--state-in", metavar="FILE", help="start from a detector saved as JSON")
    score.add_argument("--state-out", metavar="FILE", help="save the detector as JSON at the end")
    score.add_argument("--plot", metavar="FILE.png",
                       help=f"plot the series and its scores (needs matplotlib: {PLOT_EXTRA})")
    score.add_argument("--top", type=_positive_int, metavar="N",
                       help="print the N highest-scoring rows to standard error (and mark them in --plot)")
    score.add_argument("--chunk-rows", type=_positive_int, default=CHUNK_ROWS, metavar="N",
                       help=f"rows per batch call (default {CHUNK_ROWS})")
    score.add_argument("--no-progress", action="store_true", help="no progress bar, even on a terminal")
    return parser


def _parameter_help() -> str:
    lines = ["", "detector parameters (--param NAME=VALUE; the dimensions follow from the columns):"]
    for kind in DETECTORS:
        signature = str(inspect.signature(_detector_class(kind)))[1:-1]
        lines += textwrap.wrap(signature, 98, initial_indent=f"  {kind + ':':16s}", subsequent_indent=" " * 18)
    return "\n".join(lines) + "\n"


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if value <= 0:
        raise argparse.ArgumentTypeError(f"must be > 0: {text!r}")
    return value


def _detector_class(kind: str) -> type:
    import quillon

    return getattr(quillon, DETECTORS[kind])


def _parameter_kinds(cls: type) -> dict[str, type]:
    """Constructor parameter names with the type their values are parsed as."""
    kinds = {}
    for name, parameter in inspect.signature(cls).parameters.items():
        default = parameter.default
        if isinstance(default, bool):
            kinds[name] = bool
        elif isinstance(default, float):
            kinds[name] = float
        else:  # sizes without a default, sizes with one, and the seed (None or an integer)
            kinds[name] = int
    return kinds


def _parse_value(name: str, kind: type, text: str) -> Any:
    lowered = text.strip().lower()
    if kind is bool:
        if lowered in ("1", "true", "yes", "on"):
            return True
        if lowered in ("0", "false", "no", "off"):
            return False
        raise UserError(f"--param {name}: expected true or false, got {text!r}")
    if name == "seed" and lowered == "none":
        return None
    try:
        return kind(text)
    except ValueError:
        what = "an integer" if kind is int else "a number"
        raise UserError(f"--param {name}: expected {what}, got {text!r}") from None


def _parse_params(cls: type, items: list[str]) -> dict[str, Any]:
    kinds = _parameter_kinds(cls)
    params: dict[str, Any] = {}
    for item in items:
        name, sep, text = item.partition("=")
        name = name.strip()
        if not sep:
            raise UserError(f"--param expects NAME=VALUE, got {item!r}")
        if name not in kinds:
            raise UserError(f"{cls.__name__} has no parameter {name!r} (parameters: {', '.join(kinds)})")
        if name in params:
            raise UserError(f"--param {name} given twice")
        params[name] = _parse_value(name, kinds[name], text)
    return params


# ---------------------------------------------------------------------------------------------
# Input


class _CountingReader(io.RawIOBase):
    """Counts the bytes read from a binary stream, for the progress bar."""

    def __init__(self, raw: IO[bytes]):
        self.raw = raw
        self.count = 0

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: Any) -> int:
        n = self.raw.readinto(buffer)
        self.count += n or 0
        return n


class _Input:
    """An open input stream with its format, size and a count of the bytes read."""

    def __init__(self, path: str, input_format: str | None):
        self.name = "<stdin>" if path == "-" else path
        if input_format is None:
            input_format = "jsonl" if path.lower().endswith((".jsonl", ".ndjson")) else "csv"
        self.format = input_format
        if path == "-":
            binary, self.size = sys.stdin.buffer, None
        else:
            try:
                binary = open(path, "rb")
                self.size = os.fstat(binary.fileno()).st_size
            except OSError as error:
                raise UserError(f"cannot read {path}: {error.strerror}") from None
        self.counter = _CountingReader(binary)
        self.text = io.TextIOWrapper(io.BufferedReader(self.counter), encoding="utf-8-sig", newline="")

    def records(self) -> Iterator[tuple[int, dict[str, Any]]]:
        """(line number, record) pairs; a record maps column names to text (CSV) or JSON values."""
        try:
            if self.format == "csv":
                yield from self._csv_records()
            else:
                yield from self._jsonl_records()
        except UnicodeDecodeError as error:
            raise UserError(f"{self.name}: not UTF-8 text ({error.reason})") from None

    def _csv_records(self) -> Iterator[tuple[int, dict[str, Any]]]:
        reader = csv.reader(self.text, strict=True)
        try:
            header = next(reader, None)
            if header is None:
                raise UserError(f"{self.name}: empty input, expected a CSV header line")
            header = [name.strip() for name in header]
            if len(set(header)) != len(header):
                raise UserError(f"{self.name}: repeated column names in the header")
            width = len(header)
            for row in reader:
                if not row:
                    continue
                if len(row) != width:
                    raise UserError(f"{self.name}, line {reader.line_num}: {len(row)} fields, "
                                    f"the header has {width}")
                yield reader.line_num, dict(zip(header, row))
        except csv.Error as error:
            raise UserError(f"{self.name}, line {reader.line_num}: {error}") from None

    def _jsonl_records(self) -> Iterator[tuple[int, dict[str, Any]]]:
        for number, line in enumerate(self.text, start=1):
            if not line.strip():
                continue
            try:
                record = json.loads(line)
            except json.JSONDecodeError as error:
                raise UserError(f"{self.name}, line {number}: invalid JSON ({error.msg})") from None
            if not isinstance(record, dict):
                raise UserError(f"{self.name}, line {number}: expected a JSON object")
            yield number, record

    def close(self) -> None:
        if self.name != "<stdin>":
            self.text.close()


def _is_number(value: Any) -> bool:
    if isinstance(value, bool):
        return False
    if isinstance(value, (int, float, str)):
        try:
            return math.isfinite(float(value))
        except (ValueError, OverflowError):
            return False
    return False


# ---------------------------------------------------------------------------------------------
# Rows to detector arguments


class _Layout:
    """Which columns feed the detector and which are written out, decided on the first record."""

    def __init__(self, args: argparse.Namespace, kind: str, first: dict[str, Any], source: str):
        self.kind = kind
        self.source = source
        self.time = args.time_column
        self.tick = args.tick_column
        self.categorical = _split_names(args.categorical)
        named = [self.time, self.tick, *self.categorical]
        if args.columns is not None:
            self.numeric = _split_names(args.columns)
        elif kind == "feature-sketch":
            self.numeric = []
        else:
            taken = {name for name in named if name}
            self.numeric = [name for name, value in first.items() if name not in taken and _is_number(value)]
        if kind != "mstream" and self.tick:
            raise UserError("--tick-column applies to --detector mstream only")
        if kind in ("forest", "online-iforest") and self.categorical:
            raise UserError(f"--categorical does not apply to --detector {kind}")
        for name in [*named, *self.numeric]:
            if name and name not in first:
                raise UserError(f"{source}: no column {name!r} (columns: {', '.join(first)})")
        seen = [name for name in [*named, *self.numeric] if name]
        repeated = sorted({name for name in seen if seen.count(name) > 1})
        if repeated:
            raise UserError(f"column {repeated[0]!r} is given more than one role")
        if kind in ("forest", "online-iforest") and not self.numeric:
            raise UserError(f"{source}: no numeric column to score (choose some with --columns)")
        if kind == "mstream" and not self.numeric and not self.categorical:
            raise UserError(f"{source}: no numeric or categorical column to score")
        self.output = [name for name in [self.time, *self.numeric, *self.categorical, self.tick] if name]
        if "score" in self.output:
            raise UserError("an input column named 'score' would clash with the output's score column")

    def number(self, line: int, name: str, value: Any) -> float:
        try:
            number = float(value)
            if math.isfinite(number) and value is not True and value is not False:
                return number
        except (TypeError, ValueError, OverflowError):
            pass
        raise UserError(f"{self.source}, line {line}: column {name!r} is not a finite number: {value!r}")

    def numbers(self, line: int, record: dict[str, Any]) -> list[float]:
        number = self.number
        try:
            return [number(line, name, record[name]) for name in self.numeric]
        except KeyError as missing:
            raise UserError(f"{self.source}, line {line}: no column {missing.args[0]!r}") from None

    def tick_value(self, line: int, name: str, value: Any) -> int:
        try:
            if isinstance(value, int) and not isinstance(value, bool):
                number = value
            else:
                number = int(str(value).strip())
        except ValueError:
            number = 0
        if not 0 < number < 2**64:
            raise UserError(f"{self.source}, line {line}: column {name!r} is not a tick (an integer from 1 "
                            f"to 2**64-1): {value!r}")
        return number

    def field(self, line: int, record: dict[str, Any], name: str) -> Any:
        try:
            return record[name]
        except KeyError:
            raise UserError(f"{self.source}, line {line}: no column {name!r}") from None

    def event(self, line: int, record: dict[str, Any]) -> dict[str, float]:
        """A FeatureSketch event: numbers as values, text as indicator features."""
        names = self.numeric or [name for name in record if name != self.time and name not in self.categorical]
        event: dict[str, float] = {}
        for name in [*names, *self.categorical]:
            value = self.field(line, record, name)
            if value is None or value == "":
                continue
            if name in self.categorical or isinstance(value, bool):
                event[f"{name}={value if isinstance(value, str) else json.dumps(value)}"] = 1.0
            elif isinstance(value, (int, float)):
                event[name] = self.number(line, name, value)
            elif isinstance(value, str):
                try:
                    event[name] = self.number(line, name, value)
                except UserError:
                    if _is_number_word(value):
                        raise
                    event[f"{name}={value}"] = 1.0
            else:
                raise UserError(f"{self.source}, line {line}: column {name!r} holds a nested value")
        return event


def _is_number_word(text: str) -> bool:
    # "nan" and "inf" read as floats; they are refused rather than taken for category names.
    try:
        float(text)
        return True
    except ValueError:
        return False


class _Batch:
    """Rows of one chunk turned into the arguments of a batch call."""

    def __init__(self, layout: _Layout, next_tick: int, last_tick: int | None, jsonl_out: bool):
        self.layout = layout
        self.next_tick = next_tick  # the clock when the input has no tick column
        self.last_tick = last_tick
        self.jsonl_out = jsonl_out
        self.clear()

    def clear(self) -> None:
        self.lines: list[int] = []
        self.echo: list[list[Any]] = []
        self.values: list[list[float]] = []
        self.codes: list[list[int]] = []
        self.ticks: list[int] = []
        self.events: list[dict[str, float]] = []

    def add(self, line: int, record: dict[str, Any]) -> None:
        layout = self.layout
        numbers = layout.numbers(line, record)
        if layout.kind == "feature-sketch":
            self.events.append(layout.event(line, record))
        else:
            self.values.append(numbers)
        if layout.kind == "mstream":
            self.codes.append([categorical_code(layout.field(line, record, name))
                               for name in layout.categorical])
            if layout.tick:
                tick = layout.tick_value(line, layout.tick, layout.field(line, record, layout.tick))
            else:
                tick = self.next_tick
                self.next_tick += 1
            if self.last_tick is not None and tick < self.last_tick:
                raise UserError(f"{layout.source}, line {line}: tick {tick} comes after tick {self.last_tick}; "
                                f"ticks must not decrease")
            self.last_tick = tick
            self.ticks.append(tick)
        echo = [record.get(name) for name in layout.output]
        if self.jsonl_out:  # JSON Lines output carries the numbers the detector saw
            start = 1 if layout.time else 0
            echo[start:start + len(numbers)] = numbers
        self.lines.append(line)
        self.echo.append(echo)

    def __len__(self) -> int:
        return len(self.lines)

    def score(self, detector: Any) -> list[float]:
        import numpy as np

        kind = self.layout.kind
        if kind == "feature-sketch":
            scores = detector.update_and_score_many(self.events)
        elif kind == "mstream":
            numeric = np.array(self.values, dtype=np.float64).reshape(len(self), len(self.layout.numeric))
            codes = np.array(self.codes, dtype=np.int64).reshape(len(self), len(self.layout.categorical))
            scores = detector.update_and_score_many(numeric, codes, np.array(self.ticks, dtype=np.uint64))
        else:
            points = np.array(self.values, dtype=np.float64).reshape(len(self), len(self.layout.numeric))
            scores = detector.update_and_score_many(points)
        return scores.tolist()


# ---------------------------------------------------------------------------------------------
# Detector set-up and state files


def _load_state(path: str, kind: str | None) -> tuple[str, Any]:
    try:
        with open(path, "rb") as f:
            text = f.read()
    except OSError as error:
        raise UserError(f"cannot read state {path}: {error.strerror}") from None
    kinds = [kind] if kind else list(DETECTORS)
    failures = {}
    for candidate in kinds:
        try:
            return candidate, _detector_class(candidate).from_json(text)
        except (ValueError, RuntimeError, OverflowError) as error:
            failures[candidate] = error
    if kind:
        for other in DETECTORS:
            if other == kind:
                continue
            try:
                _detector_class(other).from_json(text)
            except (ValueError, RuntimeError, OverflowError):
                continue
            raise UserError(f"state {path} holds {_a(DETECTORS[other])}, not {_a(DETECTORS[kind])} "
                            f"(use --detector {other})")
        raise UserError(f"state {path} is not a saved {DETECTORS[kind]}: {_one_line(failures[kind])}")
    raise UserError(f"state {path} is not a saved quillon detector")


def _a(name: str) -> str:
    return f"{'an' if name[0] in 'MO' else 'a'} {name}"


def _one_line(error: BaseException) -> str:
    text = " ".join([str(error), *getattr(error, "__notes__", ())])
    return " ".join(text.split()) or type(error).__name__


def _new_detector(kind: str, params: dict[str, Any], layout: _Layout) -> Any:
    cls = _detector_class(kind)
    width = len(layout.numeric)
    derived: dict[str, int] = {}
    if kind == "forest":
        # Without internal shingling a row is the whole shingled point.
        shingle = params.get("shingle_size", 1)
        if not params.get("internal_shingling", True) and shingle > 0:
            if width % shingle:
                raise UserError(f"{width} columns do not split into shingles of {shingle} "
                                f"(internal_shingling=false takes whole shingled points)")
            width //= shingle
        derived["input_dim"] = width
    elif kind == "online-iforest":
        derived["input_dim"] = width
    elif kind == "mstream":
        derived["numeric_dim"] = width
        derived["categorical_dim"] = len(layout.categorical)
    for name, value in derived.items():
        if name in params and params[name] != value:
            columns = layout.categorical if name == "categorical_dim" else layout.numeric
            raise UserError(f"--param {name}={params[name]} disagrees with the input, which gives {value} "
                            f"({', '.join(columns)})")
        params.setdefault(name, value)
    try:
        return cls(**params)
    except (ValueError, OverflowError, TypeError) as error:
        raise UserError(f"invalid {cls.__name__} parameters: {_one_line(error)}") from None


def _check_state_fits(kind: str, detector: Any, layout: _Layout, path: str) -> None:
    # A Forest's rows are checked by its batch call: without internal shingling they are whole
    # shingled points.
    if kind == "online-iforest":
        (input_dim,) = detector.__getnewargs__()
        if input_dim != len(layout.numeric):
            raise UserError(f"state {path} takes {input_dim} values per row, the input gives "
                            f"{len(layout.numeric)} ({', '.join(layout.numeric)})")
    elif kind == "mstream":
        numeric_dim, categorical_dim = detector.__getnewargs__()
        if (numeric_dim, categorical_dim) != (len(layout.numeric), len(layout.categorical)):
            raise UserError(f"state {path} takes {numeric_dim} numeric and {categorical_dim} categorical "
                            f"fields, the input gives {len(layout.numeric)} and {len(layout.categorical)}")


# ---------------------------------------------------------------------------------------------
# Output


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


class _AtomicFile:
    """A file written under a temporary name in the target's folder and renamed into place."""

    def __init__(self, path: str, binary: bool = False):
        self.path = path
        folder = os.path.dirname(os.path.abspath(path))
        try:
            fd, self.temp = tempfile.mkstemp(prefix=f".{os.path.basename(path)}.", suffix=".tmp", dir=folder)
        except OSError as error:
            raise UserError(f"cannot write {path}: {error.strerror}") from None
        os.chmod(self.temp, 0o666 & ~_umask())
        self.file = os.fdopen(fd, "wb") if binary else open(fd, "w", encoding="utf-8", newline="")

    def commit(self) -> None:
        self.file.flush()
        os.fsync(self.file.fileno())
        self.file.close()
        os.replace(self.temp, self.path)

    def discard(self) -> None:
        self.file.close()
        try:
            os.unlink(self.temp)
        except FileNotFoundError:
            pass


def _save_state(detector: Any, path: str) -> None:
    # save_json writes a temporary file, syncs it and renames it over the old state.
    try:
        detector.save_json(path)
    except (OSError, RuntimeError) as error:
        raise UserError(f"cannot write state {path}: {_one_line(error)}") from None


def _csv_cell(value: Any) -> str:
    if isinstance(value, str):
        return value
    if isinstance(value, float):
        return repr(value)
    return "" if value is None else json.dumps(value)


def _json_score(score: float) -> float | None:
    return score if math.isfinite(score) else None


class _Writer:
    def __init__(self, stream: IO[str], columns: list[str], fmt: str):
        self.stream = stream
        self.columns = columns
        self.jsonl = fmt == "jsonl"
        self.csv = None if self.jsonl else csv.writer(stream, lineterminator="\n")
        self.started = False

    def write(self, echo: list[list[Any]], scores: list[float]) -> None:
        # The header waits for the first scores, so an input the detector refuses prints nothing.
        if not self.started and self.csv is not None:
            self.csv.writerow([*self.columns, "score"])
        self.started = True
        if self.jsonl:
            columns = self.columns
            self.stream.write("".join(
                json.dumps({**dict(zip(columns, row)), "score": _json_score(score)}) + "\n"
                for row, score in zip(echo, scores)))
        else:
            self.csv.writerows([*map(_csv_cell, row), repr(score)] for row, score in zip(echo, scores))


# ---------------------------------------------------------------------------------------------
# Progress, top rows and plot


class _Progress:
    """A one-line progress display on standard error, shown only when it is a terminal."""

    def __init__(self, enabled: bool, source: _Input):
        self.enabled = enabled
        self.source = source
        self.rows = 0
        self.start = self.shown = time.monotonic()

    def update(self, rows: int) -> None:
        self.rows += rows
        now = time.monotonic()
        if self.enabled and now - self.shown >= 0.2:
            self.shown = now
            self._draw(now)

    def _draw(self, now: float) -> None:
        rate = self.rows / max(now - self.start, 1e-9)
        text = f"{self.rows:,} rows, {rate:,.0f} rows/s"
        if self.source.size:
            share = min(self.source.counter.count / self.source.size, 1.0)
            filled = int(share * 24)
            text = f"{share:4.0%} |{'#' * filled}{'.' * (24 - filled)}| {text}"
        sys.stderr.write(f"\r{text}\x1b[K")
        sys.stderr.flush()

    def close(self) -> None:
        if self.enabled:
            self._draw(time.monotonic())
            sys.stderr.write("\n")
            sys.stderr.flush()


class _Top:
    """The highest-scoring rows seen so far (ties: the earlier row ranks first)."""

    def __init__(self, n: int):
        self.n = n
        self.heap: list[tuple[float, int, int, list[Any]]] = []

    def add(self, scores: list[float], lines: list[int], echo: list[list[Any]], first_row: int) -> None:
        heap = self.heap
        for i, score in enumerate(scores):
            if math.isnan(score):
                continue
            item = (score, -(first_row + i), lines[i], echo[i])
            if len(heap) < self.n:
                heapq.heappush(heap, item)
            elif item[:2] > heap[0][:2]:
                heapq.heapreplace(heap, item)

    def ranked(self) -> list[tuple[float, int, int, list[Any]]]:
        return sorted(self.heap, key=lambda item: item[:2], reverse=True)


class _PlotData:
    """What the plot needs of every row: an x position, the first series value and the score."""

    def __init__(self, layout: _Layout):
        from array import array

        self.layout = layout
        self.series_name = layout.numeric[0] if layout.numeric else None
        self.series = array("d")
        self.scores = array("d")
        self.times: array | None = array("d") if layout.time else None

    def add(self, batch: _Batch, scores: list[float]) -> None:
        self.scores.extend(scores)
        if self.series_name is not None:
            if batch.values:
                self.series.extend(row[0] for row in batch.values)
            else:
                self.series.extend(event.get(self.series_name, math.nan) for event in batch.events)
        if self.times is not None:
            column = batch.layout.output.index(batch.layout.time)
            for row in batch.echo:
                try:
                    self.times.append(_epoch_seconds(datetime.fromisoformat(str(row[column]))))
                except ValueError:
                    self.times = None  # not ISO dates throughout: plot against the row number
                    break


def _epoch_seconds(moment: datetime) -> float:
    # Naive times stay wall-clock times on the plot, whatever the machine's time zone.
    if moment.tzinfo is None:
        return (moment - _EPOCH).total_seconds()
    return moment.timestamp()


_EPOCH = datetime(1970, 1, 1)


def _import_pyplot() -> Any:
    try:
        import matplotlib
    except ImportError:
        raise UserError(f"--plot needs matplotlib: {PLOT_EXTRA}") from None
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    return plt


def _write_plot(path: str, data: _PlotData, top: _Top, title: str) -> None:
    plt = _import_pyplot()
    import numpy as np

    n = len(data.scores)
    if data.times is not None and len(data.times) == n:
        x = np.asarray(data.times, dtype=np.int64).astype("datetime64[s]")
        xlabel = data.layout.time
    else:
        x = np.arange(n)
        xlabel = "row"
    rows = sorted(-item[1] for item in top.ranked())
    panels = 2 if data.series_name is not None else 1
    figure, axes = plt.subplots(panels, 1, figsize=(12, 3 + 2 * panels), sharex=True, squeeze=False)
    axes = axes[:, 0]
    scores = np.asarray(data.scores)
    if data.series_name is not None:
        series = np.asarray(data.series)
        axes[0].plot(x, series, linewidth=0.7, color="tab:blue")
        axes[0].scatter([x[i] for i in rows], series[rows], color="tab:red", s=18, zorder=3,
                        label=f"top {len(rows)} scores")
        axes[0].set_ylabel(data.series_name)
        axes[0].legend(loc="upper right")
    axes[-1].plot(x, scores, linewidth=0.7, color="tab:gray")
    axes[-1].scatter([x[i] for i in rows], scores[rows], color="tab:red", s=18, zorder=3)
    axes[-1].set_ylabel("score")
    axes[-1].set_xlabel(xlabel)
    axes[0].set_title(title)
    figure.tight_layout()
    target = _AtomicFile(path, binary=True)
    try:
        figure.savefig(target.file, format="png", dpi=110)
        target.commit()
    except BaseException:
        target.discard()
        raise
    finally:
        plt.close(figure)


# ---------------------------------------------------------------------------------------------
# The score command


def _chunks(records: Iterator[tuple[int, dict[str, Any]]], first: tuple[int, dict[str, Any]],
            batch: _Batch, size: int) -> Iterator[_Batch]:
    batch.add(*first)
    for line, record in records:
        if len(batch) >= size:
            yield batch
            batch.clear()
        batch.add(line, record)
    if len(batch):
        yield batch


def _score(args: argparse.Namespace) -> int:
    if args.state_in and args.param:
        raise UserError("--param configures a new detector; "
                        "a --state-in detector keeps its saved configuration")
    # Fail before the work, not after it.
    if args.plot:
        _import_pyplot()
    for option, path in (("--output", args.output), ("--state-out", args.state_out), ("--plot", args.plot)):
        if path and path != "-" and not os.path.isdir(os.path.dirname(os.path.abspath(path))):
            raise UserError(f"{option} {path}: no such folder")
    kind = args.detector
    state = None
    if args.state_in:
        kind, state = _load_state(args.state_in, kind)
    kind = kind or "forest"
    params = _parse_params(_detector_class(kind), args.param)

    source = _Input(args.input, args.input_format)
    output: _AtomicFile | None = None
    try:
        records = source.records()
        first = next(records, None)
        if first is None:
            raise UserError(f"{source.name}: no rows to score")
        layout = _Layout(args, kind, first[1], source.name)
        if state is None:
            detector = _new_detector(kind, params, layout)
        else:
            detector = state
            _check_state_fits(kind, detector, layout, args.state_in)

        last_tick = detector.current_time() if kind == "mstream" else None
        batch = _Batch(layout, 1 if last_tick is None else last_tick + 1, last_tick, args.format == "jsonl")
        if args.output == "-":
            stream: IO[str] = sys.stdout
        else:
            output = _AtomicFile(args.output)
            stream = output.file
        writer = _Writer(stream, layout.output, args.format)
        progress = _Progress(not args.no_progress and sys.stderr.isatty(), source)
        top = _Top(args.top or 10) if (args.top or args.plot) else None
        plot = _PlotData(layout) if args.plot else None
        rows = 0
        for chunk in _chunks(records, first, batch, args.chunk_rows):
            try:
                scores = chunk.score(detector)
            except (ValueError, OverflowError) as error:
                raise UserError(_refusal(source.name, chunk.lines, DETECTORS[kind], error)) from None
            writer.write(chunk.echo, scores)
            if top is not None:
                top.add(scores, chunk.lines, chunk.echo, rows)
            if plot is not None:
                plot.add(chunk, scores)
            rows += len(chunk)
            progress.update(len(chunk))
        progress.close()
        stream.flush()
        if output is not None:
            output.commit()
            output = None
    finally:
        if output is not None:
            output.discard()
        source.close()

    if args.state_out:
        _save_state(detector, args.state_out)
    if args.plot:
        _write_plot(args.plot, plot, top, f"{DETECTORS[kind]} scores of {os.path.basename(source.name)}")
        print(f"plot written to {args.plot}", file=sys.stderr)
    if args.top:
        _print_top(top, layout, args.top)
    return 0


def _refusal(source: str, lines: list[int], name: str, error: BaseException) -> str:
    """A refused batch, named by the input line of the row the detector reported."""
    notes = list(getattr(error, "__notes__", ()))
    where = f"line {lines[0]}" if lines[0] == lines[-1] else f"lines {lines[0]}-{lines[-1]}"
    for note in notes:
        found = re.fullmatch(r"while processing row (\d+)", note.strip())
        if found and int(found.group(1)) < len(lines):
            where = f"line {lines[int(found.group(1))]}"
            notes.remove(note)
            break
    message = " ".join(" ".join([str(error), *notes]).split())
    return f"{source}, {where}: {name} refused the input: {message}"


def _print_top(top: _Top, layout: _Layout, n: int) -> None:
    ranked = top.ranked()
    print(f"top {len(ranked)} of the scores:", file=sys.stderr)
    out = csv.writer(sys.stderr, lineterminator="\n")
    out.writerow(["rank", "line", *layout.output, "score"])
    for rank, (score, _, line, echo) in enumerate(ranked, start=1):
        out.writerow([rank, line, *map(_csv_cell, echo), repr(score)])


def main(argv: list[str] | None = None) -> int:
    """Run the ``quillon`` command line.

    Parameters
    ----------
    argv : list of str, optional
        The arguments after the program name (default: ``sys.argv[1:]``).

    Returns
    -------
    int
        The exit status: 0 on success, 2 for a usage or input error (reported as one line on
        standard error).

    Examples
    --------
    >>> main(["score", "--param", "seed=1", "series.csv"])  # doctest: +SKIP
    0
    """
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        return _score(args)
    except UserError as error:
        print(f"quillon {args.command}: error: {error}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("quillon: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader went away (e.g. `| head`); silence the flush at exit as well.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
