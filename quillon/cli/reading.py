"""Reading the input: CSV rows in chunks, JSON Lines records one by one."""

from __future__ import annotations

import csv
import io
import itertools
import json
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


def _line_breaks(row: list[str]) -> int:
    """Line breaks inside a CSV record's quoted fields (CRLF counts once)."""
    return sum(f.count("\n") + f.count("\r") - f.count("\r\n") for f in row)


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
        self._reader: Any = None

    def first(self) -> dict[str, Any]:
        """The first record (which decides the column layout); `chunks` starts with it."""
        try:
            if self.format == "csv":
                self._reader = csv.reader(self.text, strict=True)
                header = self._csv(lambda: next(self._reader, None))
                if header is None:
                    raise UserError(f"{self.name}: empty input, expected a CSV header line")
                self.header = [name.strip() for name in header]
                if len(set(self.header)) != len(self.header):
                    raise UserError(f"{self.name}: repeated column names in the header")
                self._pending = self._csv_chunk(1)
                if not self._pending[0]:
                    raise UserError(f"{self.name}: no rows to score")
                return dict(zip(self.header, self._pending[0][0]))
            self._reader = self._jsonl_records()
            first = next(self._reader, None)
            if first is None:
                raise UserError(f"{self.name}: no rows to score")
            self._pending = first
            return first[1]
        except UnicodeDecodeError as error:
            raise UserError(f"{self.name}: not UTF-8 text ({error.reason})") from None

    def chunks(self, size: int) -> Iterator[tuple[list[Any], list[int]]]:
        """(rows, line numbers) of at most `size` rows each.

        CSV rows are lists of cells in header order, each as wide as the header; JSON Lines rows
        are the decoded records.
        """
        try:
            if self.format == "csv":
                rows, lines = self._pending
                more, more_lines = self._csv_chunk(size - 1)
                yield rows + more, lines + more_lines
                while True:
                    rows, lines = self._csv_chunk(size)
                    if not rows:
                        return
                    yield rows, lines
            else:
                first = [self._pending]
                while True:
                    batch = first + list(itertools.islice(self._reader, size - len(first)))
                    first = []
                    if not batch:
                        return
                    yield [record for _, record in batch], [line for line, _ in batch]
        except UnicodeDecodeError as error:
            raise UserError(f"{self.name}: not UTF-8 text ({error.reason})") from None

    def _csv(self, read: Any) -> Any:
        try:
            return read()
        except csv.Error as error:
            raise UserError(f"{self.name}, line {self._reader.line_num}: {error}") from None

    def _csv_chunk(self, size: int) -> tuple[list[list[str]], list[int]]:
        reader = self._reader
        start = reader.line_num
        rows = self._csv(lambda: list(itertools.islice(reader, size)))
        width = len(self.header)
        if reader.line_num - start == len(rows):  # one line per record: the common case
            lines = list(range(start + 1, reader.line_num + 1))
        else:
            lines, line = [], start
            for row in rows:
                line += 1 + _line_breaks(row)
                lines.append(line)
        if rows and min(map(len, rows)) == width == max(map(len, rows)):
            return rows, lines
        kept, kept_lines = [], []
        for row, line in zip(rows, lines):
            if not row:
                continue  # a blank line
            if len(row) != width:
                raise UserError(f"{self.name}, line {line}: {len(row)} fields, the header has {width}")
            kept.append(row)
            kept_lines.append(line)
        if not kept and rows:
            return self._csv_chunk(size)  # only blank lines: read on
        return kept, kept_lines

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
