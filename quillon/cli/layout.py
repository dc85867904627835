"""Which columns feed the detector, and a chunk of rows turned into one batch call."""

from __future__ import annotations

import argparse
import functools
import math
import operator
from collections import Counter
from typing import Any

from quillon._detectors import Kind, categorical_code, feature_event
from quillon.cli.arguments import UserError, split_names

_text_code = functools.lru_cache(maxsize=1 << 16)(categorical_code)


def _code(value: Any) -> int:
    # Categories repeat; only text is cached (1, 1.0 and True are equal keys with different codes).
    return _text_code(value) if type(value) is str else categorical_code(value)


def is_number(value: Any) -> bool:
    if isinstance(value, bool):
        return False
    if isinstance(value, (int, float, str)):
        try:
            return math.isfinite(float(value))
        except (ValueError, OverflowError):
            return False
    return False


def _is_number_word(text: str) -> bool:
    # "nan" and "inf" read as floats; they are refused rather than taken for category names.
    try:
        float(text)
        return True
    except ValueError:
        return False


class Layout:
    """Which columns feed the detector and which are written out, decided on the first record."""

    def __init__(self, args: argparse.Namespace, kind: Kind, first: dict[str, Any], source: str):
        self.kind = kind
        self.source = source
        self.time = args.time_column
        self.tick = args.tick_column
        self.categorical = split_names(args.categorical)
        self.categorical_set = set(self.categorical)
        named = [self.time, self.tick, *self.categorical]
        if args.columns is not None:
            self.numeric = split_names(args.columns)
        elif kind.events:
            self.numeric = []
        else:
            taken = {name for name in named if name}
            self.numeric = [name for name, value in first.items() if name not in taken and is_number(value)]
        if not kind.ticks and self.tick:
            raise UserError(f"--tick-column applies to --detector mstream only")
        if not kind.categorical and self.categorical:
            raise UserError(f"--categorical does not apply to --detector {kind.name}")
        for name in [*named, *self.numeric]:
            if name and name not in first:
                raise UserError(f"{source}: no column {name!r} (columns: {', '.join(first)})")
        counts = Counter(name for name in [*named, *self.numeric] if name)
        repeated = sorted(name for name, count in counts.items() if count > 1)
        if repeated:
            raise UserError(f"column {repeated[0]!r} is given more than one role")
        if not kind.categorical and not self.numeric:
            raise UserError(f"{source}: no numeric column to score (choose some with --columns)")
        if kind.ticks and not self.numeric and not self.categorical:
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
        shown = repr(value)
        if len(shown) > 60:
            shown = shown[:60] + "..."
        raise UserError(f"{self.source}, line {line}: column {name!r} is not a finite number: {shown}")

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
            shown = repr(value) if len(repr(value)) <= 60 else repr(value)[:60] + "..."
            raise UserError(f"{self.source}, line {line}: column {name!r} is not a tick (an integer from 1 "
                            f"to 2**64-1): {shown}")
        return number

    def field(self, line: int, record: dict[str, Any], name: str) -> Any:
        try:
            return record[name]
        except KeyError:
            raise UserError(f"{self.source}, line {line}: no column {name!r}") from None

    def event(self, line: int, record: dict[str, Any]) -> dict[str, float]:
        """A FeatureSketch event: numbers as values, text as indicator features."""
        categorical = self.categorical_set
        names = self.numeric or [name for name in record if name != self.time and name not in categorical]
        cells = []
        for name in [*names, *self.categorical]:
            value = self.field(line, record, name)
            if value is None or value == "":
                continue
            if name in categorical or isinstance(value, bool):
                cells.append((name, value, True))
            elif isinstance(value, (int, float)):
                cells.append((name, self.number(line, name, value), False))
            elif isinstance(value, str):
                try:
                    cells.append((name, self.number(line, name, value), False))
                except UserError:
                    if _is_number_word(value):
                        raise
                    cells.append((name, value, True))
            else:
                raise UserError(f"{self.source}, line {line}: column {name!r} holds a nested value")
        return feature_event(cells)


class Batch:
    """Rows of one chunk turned into the arguments of a batch call.

    CSV rows take a column-wise road (one conversion per column, no per-row work in Python); any
    row that road cannot take (a bad number or tick) sends the chunk through the row-wise road,
    which names the first faulty row exactly as a row-by-row reading would.
    """

    def __init__(self, layout: Layout, header: list[str] | None, next_tick: int, last_tick: int | None,
                 jsonl_out: bool):
        self.layout = layout
        self.next_tick = next_tick  # the clock when the input has no tick column
        self.last_tick = last_tick
        self.jsonl_out = jsonl_out
        self.index = {name: i for i, name in enumerate(header)} if header is not None else None
        self.header = header

    def fill(self, rows: list[Any], lines: list[int]) -> None:
        self.lines = lines
        self.echo_lines: list[str] | None = None
        self.echo_columns: list[Any] | None = None
        self._echo: list[Any] | None = None
        self.values: Any = None
        self.codes: Any = None
        self.ticks: Any = None
        self.events: list[dict[str, float]] | None = None
        if self.index is not None:
            if not self.layout.kind.events:
                saved = (self.next_tick, self.last_tick)
                if self._fill_columns(rows):
                    return
                self.next_tick, self.last_tick = saved
            rows = [dict(zip(self.header, row)) for row in rows.rows]
        self._fill_rows(rows)

    def __len__(self) -> int:
        return len(self.lines)

    @property
    def echo(self) -> list[Any]:
        """The output cells of every row (the time column, the input columns)."""
        if self._echo is None:
            self._echo = list(zip(*self.echo_columns)) if self.echo_columns else [() for _ in self.lines]
        return self._echo

    def _fill_columns(self, rows: Any) -> bool:
        import numpy as np

        layout, index = self.layout, self.index
        n = len(rows)

        columns: dict[str, tuple] = {}

        def column(name: str) -> Any:
            if name not in columns:
                columns[name] = rows.column(index[name])
            return columns[name]

        values = np.empty((n, len(layout.numeric)), dtype=np.float64)
        try:
            for j, name in enumerate(layout.numeric):
                values[:, j] = list(map(float, column(name)))
        except ValueError:
            return False
        if not np.isfinite(values).all():
            return False
        self.values = values
        numbers = {}
        if self.jsonl_out:  # JSON Lines output carries the numbers the detector saw
            numbers = {name: values[:, j].tolist() for j, name in enumerate(layout.numeric)}
        if layout.kind.ticks:
            codes = np.array([list(map(_text_code, column(name))) for name in layout.categorical],
                             dtype=np.int64)
            self.codes = np.ascontiguousarray(codes.T).reshape(n, len(layout.categorical))
            if layout.tick:
                try:
                    ticks = list(map(int, column(layout.tick)))
                except ValueError:
                    return False
                if ticks and not (0 < min(ticks) and max(ticks) < 2**64):
                    return False
            elif self.next_tick + n > 2**64:
                return False
            else:
                ticks = list(range(self.next_tick, self.next_tick + n))
                self.next_tick += n
            if self.last_tick is not None and ticks and ticks[0] < self.last_tick:
                return False
            if not all(map(operator.le, ticks, ticks[1:])):
                return False
            if ticks:
                self.last_tick = ticks[-1]
            self.ticks = np.array(ticks, dtype=np.uint64)
        out = []
        for name in layout.output:
            out.append(numbers[name] if self.jsonl_out and name in numbers else column(name))
        self.echo_columns = out
        if not self.jsonl_out and layout.output == self.header:
            self.echo_lines = rows.lines  # each output row is its input line and a score
        return True

    def _fill_rows(self, records: list[dict[str, Any]]) -> None:
        import numpy as np

        layout = self.layout
        kind = layout.kind
        values, codes, ticks, events, echo = [], [], [], [], []
        categorical = layout.categorical
        for line, record in zip(self.lines, records):
            numbers = layout.numbers(line, record)
            if kind.events:
                events.append(layout.event(line, record))
            else:
                values.append(numbers)
            if kind.ticks:
                codes.append([_code(layout.field(line, record, name)) for name in categorical])
                if layout.tick:
                    tick = layout.tick_value(line, layout.tick, layout.field(line, record, layout.tick))
                else:
                    tick = self.next_tick
                    self.next_tick += 1
                    if tick >= 2**64:
                        raise UserError(f"{layout.source}, line {line}: the row count passes the last "
                                        f"tick, 2**64-1")
                if self.last_tick is not None and tick < self.last_tick:
                    raise UserError(f"{layout.source}, line {line}: tick {tick} comes after tick "
                                    f"{self.last_tick}; ticks must not decrease")
                self.last_tick = tick
                ticks.append(tick)
            row = [record.get(name) for name in layout.output]
            if self.jsonl_out:  # JSON Lines output carries the numbers the detector saw
                start = 1 if layout.time else 0
                row[start:start + len(numbers)] = numbers
            echo.append(row)
        n = len(records)
        self._echo = echo
        if kind.events:
            self.events = events
        else:
            self.values = np.array(values, dtype=np.float64).reshape(n, len(layout.numeric))
        if kind.ticks:
            self.codes = np.array(codes, dtype=np.int64).reshape(n, len(categorical))
            self.ticks = np.array(ticks, dtype=np.uint64)

    def score(self, detector: Any) -> list[float]:
        arguments = self.layout.kind.batch_arguments(self.values, self.codes, self.ticks, self.events)
        return detector.update_and_score_many(*arguments).tolist()
