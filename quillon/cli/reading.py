"""Reading the input: CSV rows in chunks, JSON Lines records one by one."""

from __future__ import annotations

import csv
import io
import itertools
import json
import operator
import os
import sys
from collections.abc import Iterator
from typing import IO, Any

from quillon.cli.arguments import MAX_LINE_BYTES, UserError


class _LineTooLong(UserError):
    pass


class _CountingReader(io.RawIOBase):
    """Counts the bytes read (for the progress bar) and refuses lines longer than the cap.

    The check sits below the text layer so that a line is refused before it is held whole.
    """

    def __init__(self, raw: IO[bytes], name: str, cap: int):
        self.raw = raw
        self.name = name
        self.cap = cap
        self.count = 0
        self.breaks = 0  # line feeds so far, to name the long line
        self.run = 0  # bytes since the last line break

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: Any) -> int:
        n = self.raw.readinto(buffer)
        if not n:
            return n or 0
        self.count += n
        block = bytes(memoryview(buffer)[:n])
        last = max(block.rfind(b"\n"), block.rfind(b"\r"))
        if last < 0:
            self.run += n
        else:
            self.breaks += block.count(b"\n")
            self.run = n - 1 - last
        if self.run > self.cap:
            raise _LineTooLong(f"{self.name}, line {self.breaks + 1}: longer than {self.cap:,} bytes")
        return n


def _plain_cells(lines: list[str], width: int) -> tuple[None, list[str], list[str]] | None:
    """The cells of CSV lines, row after row, split in one go, and the lines without their
    breaks; None unless every line is a plain record of `width` cells (no quotes, no blank line,
    no stray carriage return), which the csv module would split at every comma just the same."""
    block = "".join(lines)
    if '"' in block or "\x00" in block:
        return None
    if "\r" in block:
        block = block.replace("\r\n", "\n")
        if "\r" in block:
            return None
    if not block.endswith("\n"):  # the last line of the input
        block += "\n"
    n = len(lines)
    if (block.count("\n") != n or block.count(",") != n * (width - 1) or block.startswith("\n")
            or "\n\n" in block):
        return None
    if set(map(str.count, lines, itertools.repeat(",", n))) != {width - 1}:
        return None
    if len(block) > csv.field_size_limit() and max(map(len, lines)) > csv.field_size_limit():
        return None
    cells = block.replace("\n", ",").split(",")
    cells.pop()  # after the last line break
    bare = block.split("\n")
    bare.pop()
    return None, cells, bare


class CsvRows:
    """A chunk of CSV rows, each as wide as the header, with cells readable by column."""

    def __init__(self, width: int, rows: list[list[str]] | None = None, cells: list[str] | None = None,
                 lines: list[str] | None = None):
        self.width = width
        self._rows = rows
        self._cells = cells  # row-major, when the chunk was split in one go
        self.lines = lines  # then also its lines, without their line breaks
        self.count = len(rows) if rows is not None else len(cells) // width

    def __len__(self) -> int:
        return self.count

    def column(self, j: int) -> Any:
        if self._cells is not None:
            return self._cells[j::self.width]
        return tuple(map(operator.itemgetter(j), self._rows))

    @property
    def rows(self) -> list[list[str]]:
        if self._rows is None:
            cells, width = self._cells, self.width
            self._rows = [cells[i:i + width] for i in range(0, len(cells), width)]
        return self._rows


class Input:
    """An open input stream with its format, size and a count of the bytes read."""

    def __init__(self, path: str, input_format: str | None, cap: int = MAX_LINE_BYTES):
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
        self.counter = _CountingReader(binary, self.name, cap)
        self.text = io.TextIOWrapper(io.BufferedReader(self.counter), encoding="utf-8-sig", newline="")
        self.header: list[str] | None = None
        self.line = 0  # physical lines read so far

    def first(self) -> dict[str, Any]:
        """The first record (which decides the column layout); `chunks` starts with it."""
        try:
            if self.format == "csv":
                reader = csv.reader(self.text, strict=True)
                header = self._csv(reader, 0, lambda: next(reader, None))
                self.line = reader.line_num
                if header is None:
                    raise UserError(f"{self.name}: empty input, expected a CSV header line")
                self.header = [name.strip() for name in header]
                if len(set(self.header)) != len(self.header):
                    raise UserError(f"{self.name}: repeated column names in the header")
                while True:
                    rows, lines, more = self._csv_chunk(1)
                    if rows or not more:
                        break
                if not rows:
                    raise UserError(f"{self.name}: no rows to score")
                self._pending = (rows, lines)
                return dict(zip(self.header, rows.rows[0]))
            self._records = self._jsonl_records()
            first = next(self._records, None)
            if first is None:
                raise UserError(f"{self.name}: no rows to score")
            self._pending = first
            return first[1]
        except UnicodeDecodeError as error:
            raise UserError(f"{self.name}: not UTF-8 text ({error.reason})") from None

    def chunks(self, size: int) -> Iterator[tuple[Any, list[int]]]:
        """(rows, line numbers) of at most `size` rows each.

        CSV rows come as `CsvRows`; JSON Lines rows are the decoded records.
        """
        try:
            if self.format == "csv":
                rows, lines = self._pending
                more = True
                if size > 1:  # the first chunk is as long as the others
                    rest, rest_lines, more = self._csv_chunk(size - 1)
                    if rest:
                        rows = CsvRows(rows.width, rows=rows.rows + rest.rows)
                        lines = lines + rest_lines
                yield rows, lines
                while more:
                    rows, lines, more = self._csv_chunk(size)
                    if rows:
                        yield rows, lines
            else:
                first = [self._pending]
                while True:
                    batch = first + list(itertools.islice(self._records, size - len(first)))
                    first = []
                    if not batch:
                        return
                    yield [record for _, record in batch], [line for line, _ in batch]
        except UnicodeDecodeError as error:
            raise UserError(f"{self.name}: not UTF-8 text ({error.reason})") from None

    def _csv(self, reader: Any, offset: int, read: Any) -> Any:
        try:
            return read()
        except csv.Error as error:
            raise UserError(f"{self.name}, line {offset + reader.line_num}: {error}") from None

    def _csv_chunk(self, size: int) -> tuple[CsvRows | None, list[int], bool]:
        """Up to `size` lines as rows (blank lines skipped), their line numbers, and whether the
        input may hold more."""
        lines = list(itertools.islice(self.text, size))
        start, width = self.line, len(self.header)
        if not lines:
            return None, [], False
        plain = _plain_cells(lines, width)
        if plain is not None:
            self.line += len(lines)
            return CsvRows(width, *plain), list(range(start + 1, self.line + 1)), True
        # The csv module, row by row; a quoted field may run on past the chunk's last line.
        reader = csv.reader(itertools.chain(lines, self.text), strict=True)
        rows, numbers = [], []
        while reader.line_num < len(lines):
            row = self._csv(reader, start, lambda: next(reader))
            if not row:
                continue  # a blank line
            if len(row) != width:
                raise UserError(f"{self.name}, line {start + reader.line_num}: {len(row)} fields, "
                                f"the header has {width}")
            rows.append(row)
            numbers.append(start + reader.line_num)
        self.line = start + reader.line_num
        return (CsvRows(width, rows=rows) if rows else None), numbers, True

    def _jsonl_records(self) -> Iterator[tuple[int, dict[str, Any]]]:
        for number, line in enumerate(self.text, start=1):
            if not line.strip():
                continue
            try:
                record = json.loads(line)
            except json.JSONDecodeError as error:
                raise UserError(f"{self.name}, line {number}: invalid JSON ({error.msg})") from None
            except RecursionError:
                raise UserError(f"{self.name}, line {number}: invalid JSON (nested too deeply)") from None
            except ValueError as error:  # an integer past the digit limit of int()
                raise UserError(f"{self.name}, line {number}: invalid JSON ({one_line_text(error)})") from None
            if not isinstance(record, dict):
                raise UserError(f"{self.name}, line {number}: expected a JSON object")
            if "\\u" in line:  # only an escape can give a lone surrogate, which UTF-8 cannot hold
                try:
                    json.dumps(record, ensure_ascii=False).encode("utf-8")
                except UnicodeEncodeError:
                    raise UserError(f"{self.name}, line {number}: a string holds a lone surrogate "
                                    f"(an unpaired \\ud800-\\udfff escape)") from None
            yield number, record

    def close(self) -> None:
        if self.name != "<stdin>":
            self.text.close()


def one_line_text(error: BaseException) -> str:
    return " ".join(str(error).split()).split(";")[0]
