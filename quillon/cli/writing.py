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


def _json_score(score: float) -> float | None:
    return score if math.isfinite(score) else None


def _plain_csv(columns: list[Any], scores: list[float]) -> str | None:
    """CSV lines of text cells and scores when no cell needs quoting, else None.

    Joining is several times faster than the csv module; the counts prove that no cell holds a
    comma or a line break, so the text is what the csv module would write.
    """
    text = "\n".join(map(",".join, zip(*columns, map(repr, scores)))) + "\n"
    if (text.count(",") == len(scores) * len(columns) and text.count("\n") == len(scores)
            and '"' not in text and "\r" not in text):
        return text
    return None


class Writer:
    def __init__(self, stream: IO[str], columns: list[str], fmt: str):
        self.stream = stream
        self.columns = columns
        self.jsonl = fmt == "jsonl"
        self.csv = None if self.jsonl else csv.writer(stream, lineterminator="\n")
        self.started = False

    def write(self, batch: Batch, scores: list[float]) -> None:
        # The header waits for the first scores, so an input the detector refuses prints nothing.
        if not self.started and self.csv is not None:
            self.csv.writerow([*self.columns, "score"])
        self.started = True
        if self.jsonl:
            columns = self.columns
            self.stream.write("".join(
                json.dumps({**dict(zip(columns, row)), "score": _json_score(score)}) + "\n"
                for row, score in zip(batch.echo, scores)))
        elif batch.echo_lines is not None:
            self.stream.write("".join(itertools.chain.from_iterable(zip(
                batch.echo_lines, itertools.repeat(","), map(repr, scores), itertools.repeat("\n")))))
        elif batch.echo_columns is not None:  # text cells as read
            text = _plain_csv(batch.echo_columns, scores)
            if text is None:
                self.csv.writerows(zip(*batch.echo_columns, map(repr, scores)))
            else:
                self.stream.write(text)
        else:
            self.csv.writerows([*map(csv_cell, row), repr(score)] for row, score in zip(batch.echo, scores))


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
