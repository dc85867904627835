"""The command line's options and the detector parameters given with ``--param``."""

from __future__ import annotations

import argparse
import inspect
import textwrap
from typing import Any

from quillon._detectors import BY_NAME, KINDS

CHUNK_ROWS = 4096
PLOT_EXTRA = "pip install 'quillon[plot]'"
# A longer line is refused rather than read whole: input without line breaks (a device, a binary
# file) must not fill the memory.
MAX_LINE_BYTES = 64 << 20

_EPILOG = """\
examples:
  quillon score --time-column timestamp --param shingle_size=48 --param seed=1 \\
      --top 5 nyc_taxi.csv > scores.csv
  quillon score --detector mstream --categorical proto,port --tick-column minute \\
      --param seed=7 --state-out flows.state.json flows.csv
  quillon score --detector mstream --categorical proto,port --tick-column minute \\
      --param seed=7 --state-in flows.state.json --state-out flows.state.json flows-next.csv
  zcat events.jsonl.gz | quillon score --detector feature-sketch --input-format jsonl -
  quillon score --time-column timestamp --param seed=1 --alerts-only --state-out taxi.json \
      nyc_taxi.csv

columns:
  Forest and OnlineIForest take the --columns values of each row as one point (input_dim is their
  number); MStream takes --columns as numeric and --categorical as categorical fields, and the
  --tick-column integers (from 1, never decreasing) as its logical clock (without one, the row
  number from 1, continuing from a saved state). Without --columns they use every column whose
  first value is a number, apart from the time, tick and categorical columns. FeatureSketch makes
  one event of each record (of --columns and --categorical if given, else of every column but the
  time column): numbers are feature values, text, booleans and --categorical values become
  indicator features "name=text" with value 1, empty cells and nulls are left out.

categorical codes:
  MStream needs integers: each categorical value is mapped to the non-negative 64-bit integer
  formed by BLAKE2b with digest_size=8 and key b"quillon-categorical" over the value's UTF-8 text,
  read little-endian, top bit cleared. JSON numbers and booleans are hashed as their JSON text
  (443 as "443", true as "true"), so a CSV file and a JSON Lines file give the same codes, on every
  run and machine.

saved states:
  with --state-in the detector keeps its saved configuration; --param values must agree with it
  (seed, which only starts a new detector, is not saved and is accepted as it is). A --state-out
  name ending in .qstate gets the compact binary state, any other name JSON; --state-in reads
  either, whatever its name. With alerts, --state-out saves detector and alerts together as JSON,
  as quillon.Monitor.save_json does ({"detector": ..., "state": ..., "alerts": ...}); binary
  states hold a detector only. Without alerts the detector alone is saved, as before. A state
  saved with alerts resumes them (and so writes the alert columns), and --alert-risk must agree
  with its risk; a detector-only state given with --alerts starts new alerts.

output:
  the time column (if any), the input columns and "score" (then "grade" and "alert" with
  alerts), one row per input row (only alerting rows with --alerts-only), numbers written with
  full round-trip precision. Every target (output, plot, state) is checked before the work
  starts; output and plot are written to temporary names and renamed into place together at the
  end, the state last, so a failed or interrupted run changes none of them. Devices and FIFOs are
  written in place as the run goes; links are followed and a replaced file keeps its mode.

exit status: 0 on success, 2 for usage and input errors (one line on standard error), 128 plus the
signal number when interrupted (130 for Ctrl-C).
"""


class UserError(Exception):
    """An error the user can fix; reported as one line with exit status 2."""


def split_names(text: str | None) -> list[str]:
    if text is None:
        return []
    names = [name.strip() for name in text.split(",")]
    if any(not name for name in names):
        raise UserError(f"empty column name in {text!r}")
    return names


def one_line(error: BaseException) -> str:
    text = " ".join([str(error), *getattr(error, "__notes__", ())])
    return " ".join(text.split()) or type(error).__name__


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
        epilog=_EPILOG + _alerts_help() + _parameter_help(),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    score.add_argument("input", metavar="INPUT",
                       help="CSV file with a header, .jsonl file, or - for standard input")
    score.add_argument("--input-format", choices=["csv", "jsonl"],
                       help="input format (default: jsonl for *.jsonl files, csv otherwise)")
    score.add_argument("--detector", choices=list(BY_NAME),
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
    score.add_argument("--state-in", metavar="FILE",
                       help="start from a saved detector (JSON or binary; and its alerts, if saved "
                            "with them)")
    score.add_argument("--state-out", metavar="FILE",
                       help="save the detector (and its alerts, if on) at the end: binary for a name "
                            "ending in .qstate, JSON otherwise; alerts are saved only as JSON")
    score.add_argument("--alerts", action="store_true",
                       help="add the columns grade and alert (0 or 1) after score")
    score.add_argument("--alert-risk", type=_risk, metavar="R",
                       help=f"expected false-alarm rate per row, 0 < R < {_risk_limit()} "
                            f"(default {_risk_default()}; implies --alerts)")
    score.add_argument("--alerts-only", action="store_true",
                       help="write only the rows that alert (implies --alerts)")
    score.add_argument("--plot", metavar="FILE.png",
                       help=f"plot the series and its scores, alerts marked (needs matplotlib: "
                            f"{PLOT_EXTRA})")
    score.add_argument("--top", type=_positive_int, metavar="N",
                       help="print the N highest-scoring rows to standard error (and mark them in --plot)")
    score.add_argument("--chunk-rows", type=_positive_int, default=CHUNK_ROWS, metavar="N",
                       help=f"rows per batch call (default {CHUNK_ROWS})")
    score.add_argument("--no-progress", action="store_true", help="no progress bar, even on a terminal")
    return parser


def _parameter_help() -> str:
    lines = ["", "detector parameters (--param NAME=VALUE; the dimensions follow from the columns):"]
    for kind in KINDS:
        signature = str(inspect.signature(kind.cls))[1:-1]
        lines += textwrap.wrap(signature, 98, initial_indent=f"  {kind.name + ':':16s}",
                               subsequent_indent=" " * 18)
    return "\n".join(lines) + "\n"


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if value <= 0:
        raise argparse.ArgumentTypeError(f"must be > 0: {text!r}")
    return value


def _alerts_help() -> str:
    risk, warmup, gap = (_alerts_parameter(name) for name in ("risk", "warmup", "episode_gap"))
    return f"""
alerts:
  --alerts feeds every score to a streaming threshold (quillon.Alerts) and adds two columns after
  "score": "grade", in [0, 1], how unusual the score is for this stream so far (one minus its
  estimated chance), and "alert", 1 at the first row of an episode whose chance falls below the
  risk, else 0. The risk is the expected false-alarm rate per row (--alert-risk, default {risk}).
  No alert is raised during the first {warmup} rows (the warm-up), and one per episode: an episode
  ends after {gap} rows without a score that unusual. --alerts-only writes only the rows that
  alert; --plot marks the alerts.
"""


def _alerts_parameter(name: str) -> Any:
    from quillon import Alerts

    return inspect.signature(Alerts).parameters[name].default


def _risk_default() -> float:
    return _alerts_parameter("risk")


def _risk_limit() -> float:
    # The risk must stay below the share of scores the tail model covers.
    return _alerts_parameter("tail")


def _risk(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not 0.0 < value < _risk_limit():  # NaN fails too
        raise argparse.ArgumentTypeError(f"must be in (0, {_risk_limit()}): {text!r}")
    return value


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
        if kind is int and lowered.lstrip("+-").isdigit():  # past int()'s digit limit
            raise UserError(f"--param {name}: {len(lowered)} digits is out of range") from None
        what = "an integer" if kind is int else "a number"
        shown = text if len(text) <= 60 else text[:60] + "..."
        raise UserError(f"--param {name}: expected {what}, got {shown!r}") from None


def parse_params(cls: type, items: list[str]) -> dict[str, Any]:
    """The ``--param NAME=VALUE`` items as constructor arguments of `cls`."""
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
