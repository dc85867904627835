"""Writing the scores, and putting output, plot and state in place together or not at all."""

from __future__ import annotations

import csv
import io
import itertools
import json
import math
import os
import signal
import sys
from typing import IO, Any

from quillon._detectors import binary_path
from quillon._files import StagedFile
from quillon.cli.arguments import UserError, one_line
from quillon.cli.layout import Batch


def csv_cell(value: Any) -> str:
    if isinstance(value, str):
        return value
    if isinstance(value, float):
        return repr(value)
    return "" if value is None else json.dumps(value)


def _csv_quotes_line_breaks(lineterminator: str) -> bool:
    probe = io.StringIO()
    csv.writer(probe, lineterminator=lineterminator).writerow(["\r", "\n"])
    return probe.getvalue() == '"\r","\n"' + lineterminator


class _QuotingCsvWriter:
    """csv.writer that quotes every cell holding a line break, whatever its line terminator.

    Before Python 3.13 the csv module quotes only the breaks that are part of the line terminator,
    and every CSV reader then ends the row at the other one. Rows with a break go through a writer
    whose terminator is "\r\n" (so it quotes both), that terminator swapped for the wanted one.
    """

    def __init__(self, stream: IO[str], lineterminator: str = "\n"):
        self._plain = csv.writer(stream, lineterminator=lineterminator)
        self._stream = stream
        self._end = lineterminator
        self._buffer = io.StringIO()
        self._quoting = csv.writer(self._buffer, lineterminator="\r\n")

    def writerow(self, row: Any) -> None:
        self.writerows((row,))

    def writerows(self, rows: Any) -> None:
        rows = [list(row) for row in rows]
        if not any("\r" in cell or "\n" in cell for row in rows for cell in row if isinstance(cell, str)):
            self._plain.writerows(rows)
            return
        buffer = self._buffer
        for row in rows:
            buffer.seek(0)
            buffer.truncate()
            self._quoting.writerow(row)
            self._stream.write(buffer.getvalue()[:-2] + self._end)


def csv_writer(stream: IO[str], lineterminator: str = "\n") -> Any:
    """A CSV writer that writes the same text on every Python version."""
    if _csv_quotes_line_breaks(lineterminator):
        return csv.writer(stream, lineterminator=lineterminator)
    return _QuotingCsvWriter(stream, lineterminator)


def _json_score(score: float) -> float | None:
    return score if math.isfinite(score) else None


def _plain_csv(columns: list[Any], tails: list[str], width: int) -> str | None:
    """CSV lines of text cells and their tails (`width` number cells joined by commas) when no
    cell needs quoting, else None.

    Joining is several times faster than the csv module; the counts prove that no cell holds a
    comma or a line break, so the text is what the csv module would write.
    """
    if not tails:
        return ""
    text = "\n".join(map(",".join, zip(*columns, tails))) + "\n"
    if (text.count(",") == len(tails) * (len(columns) + width - 1) and text.count("\n") == len(tails)
            and '"' not in text and "\r" not in text):
        return text
    return None


class Writer:
    def __init__(self, stream: IO[str], columns: list[str], fmt: str, alerts: bool = False,
                 alerts_only: bool = False):
        self.stream = stream
        self.columns = columns
        self.jsonl = fmt == "jsonl"
        self.csv = None if self.jsonl else csv_writer(stream)
        self.alerts = alerts
        self.alerts_only = alerts_only
        self.started = False

    def write(self, batch: Batch, scores: list[float], grades: list[float] | None = None,
              flags: list[bool] | None = None) -> None:
        # The header waits for the first scores, so an input the detector refuses prints nothing.
        if not self.started and self.csv is not None:
            self.csv.writerow([*self.columns, "score", *(("grade", "alert") if self.alerts else ())])
        self.started = True
        if self.alerts:
            self._write_graded(batch, scores, grades, flags)
        elif self.jsonl:
            columns = self.columns
            self.stream.write("".join(
                json.dumps({**dict(zip(columns, row)), "score": _json_score(score)}) + "\n"
                for row, score in zip(batch.echo, scores)))
        elif batch.echo_lines is not None:
            self.stream.write("".join(itertools.chain.from_iterable(zip(
                batch.echo_lines, itertools.repeat(","), map(repr, scores), itertools.repeat("\n")))))
        elif batch.echo_columns is not None:  # text cells as read
            text = _plain_csv(batch.echo_columns, list(map(repr, scores)), 1)
            if text is None:
                self.csv.writerows(zip(*batch.echo_columns, map(repr, scores)))
            else:
                self.stream.write(text)
        else:
            self.csv.writerows([*map(csv_cell, row), repr(score)] for row, score in zip(batch.echo, scores))

    def _write_graded(self, batch: Batch, scores: list[float], grades: list[float],
                      flags: list[bool]) -> None:
        """Rows with their score, grade and alert; only the alerting rows with --alerts-only."""
        rows = range(len(scores))
        if self.alerts_only:
            rows = [i for i in rows if flags[i]]
            if not rows:
                return
        if self.jsonl:
            columns, echo = self.columns, batch.echo
            self.stream.write("".join(json.dumps({
                **dict(zip(columns, echo[i])), "score": _json_score(scores[i]), "grade": grades[i],
                "alert": 1 if flags[i] else 0}) + "\n" for i in rows))
            return
        tails = [(repr(scores[i]), repr(grades[i]), "1" if flags[i] else "0") for i in rows]
        if batch.echo_lines is not None:
            lines = batch.echo_lines
            self.stream.write("".join(f"{lines[i]},{','.join(tail)}\n" for i, tail in zip(rows, tails)))
            return
        if batch.echo_columns is not None:  # text cells as read
            columns = [[column[i] for i in rows] for column in batch.echo_columns]
            text = _plain_csv(columns, [",".join(tail) for tail in tails], 3)
            if text is None:
                self.csv.writerows((*row, *tail) for row, tail in zip(zip(*columns), tails))
            else:
                self.stream.write(text)
            return
        echo = batch.echo
        self.csv.writerows([*map(csv_cell, echo[i]), *tail] for i, tail in zip(rows, tails))


_SIGNALS = (signal.SIGINT, signal.SIGTERM)


class Outputs:
    """The run's output, plot and state files, opened before the work and committed together.

    Output and plot go to temporary files beside their targets; the state is saved by the
    detector's own `save_json` (or `save_bytes`, for a name ending in ``.qstate``) into a
    temporary file too. `commit` writes the plot and the state,
    then renames all of them into place with signals held back, the state last.
    """

    def __init__(self, output: str, plot: str | None, state: str | None):
        self.staged: dict[str, StagedFile] = {}
        self.committed = False
        self.stream: IO[str] = sys.stdout
        try:
            for option, path in (("--output", output if output != "-" else None), ("--plot", plot),
                                 ("--state-out", state)):
                if path is not None:
                    self.staged[option] = self._stage(option, path)
        except BaseException:
            self.discard()
            raise
        if "--output" in self.staged:
            self.stream = io.TextIOWrapper(self.staged["--output"].file, encoding="utf-8", newline="")

    @staticmethod
    def _stage(option: str, path: str) -> StagedFile:
        if not os.path.isdir(os.path.dirname(os.path.abspath(path))):
            raise UserError(f"{option} {path}: no such folder")
        try:
            return StagedFile(path)
        except OSError as error:
            raise UserError(f"{option} {path}: cannot write: {error.strerror}") from None

    def flush(self) -> None:
        try:
            self.stream.flush()
        except BrokenPipeError:
            raise
        except OSError as error:
            raise self.write_error(error) from None

    def write_error(self, error: OSError) -> UserError:
        if "--output" not in self.staged:
            # Whatever is still buffered for standard output cannot be written either; send it
            # nowhere so that the exit does not report the same failure again.
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
            os.close(devnull)
        reason = error.strerror or one_line(error)
        if "--output" in self.staged:
            return UserError(f"--output {self.staged['--output'].path}: cannot write: {reason}")
        return UserError(f"cannot write standard output: {reason}")

    def commit(self, detector: Any, draw: Any) -> None:
        """Write plot and state, then put every file in place; `draw(file)` writes the plot."""
        staged = self.staged
        option = "--output"
        try:
            if option in staged:
                self.stream.flush()
                staged[option].finish()
            option = "--plot"
            if option in staged:
                draw(staged[option].file)
                staged[option].finish()
        except OSError as error:
            raise UserError(f"{option} {staged[option].path}: cannot write: {error.strerror}") from None
        state = staged.get("--state-out")
        if state is not None and state.temporary is not None:
            state.file.close()
            self._save(detector, state.temporary, state.path)
        held = signal.pthread_sigmask(signal.SIG_BLOCK, _SIGNALS)
        try:
            # Renames within a folder need no room; a state going to a device is written here, last.
            for option in ("--output", "--plot", "--state-out"):
                if option in staged and staged[option].temporary is not None:
                    staged[option].commit()
            if state is not None and state.temporary is None:
                state.file.close()
                self._save(detector, state.target, state.path)
            self.committed = True
        except OSError as error:
            raise UserError(f"{option} {staged[option].path}: cannot write: {error.strerror}") from None
        finally:
            signal.pthread_sigmask(signal.SIG_SETMASK, held)

    @staticmethod
    def _save(detector: Any, path: str, shown: str) -> None:
        # The name the user gave picks the form: the binary state for its suffix, else JSON.
        try:
            if binary_path(shown):
                detector.save_bytes(path)
            else:
                detector.save_json(path)
        except (OSError, RuntimeError) as error:
            raise UserError(f"cannot write state {shown}: {one_line(error)}") from None

    def discard(self) -> None:
        if self.stream is not sys.stdout:
            try:
                self.stream.close()  # closes the staged file even when its last flush fails
            except (OSError, ValueError):
                pass
        for staged in self.staged.values():
            staged.discard()
