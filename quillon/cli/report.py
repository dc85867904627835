"""What the run shows besides the scores: progress, the top rows and the plot."""

from __future__ import annotations

import heapq
import math
import sys
import time
from datetime import datetime
from typing import IO, Any

from quillon.cli.arguments import PLOT_EXTRA, UserError
from quillon.cli.layout import Batch, Layout
from quillon.cli.reading import Input
from quillon.cli.writing import csv_writer


class Progress:
    """A one-line progress display on standard error, shown only when it is a terminal."""

    def __init__(self, enabled: bool, source: Input):
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


class Top:
    """The highest-scoring rows seen so far (ties: the earlier row ranks first)."""

    def __init__(self, n: int):
        self.n = n
        self.heap: list[tuple[float, int, int, Any]] = []

    def add(self, scores: list[float], lines: list[int], echo: list[Any], first_row: int) -> None:
        heap = self.heap
        for i, score in enumerate(scores):
            if math.isnan(score):
                continue
            item = (score, -(first_row + i), lines[i], echo[i])
            if len(heap) < self.n:
                heapq.heappush(heap, item)
            elif item[:2] > heap[0][:2]:
                heapq.heapreplace(heap, item)

    def ranked(self) -> list[tuple[float, int, int, Any]]:
        return sorted(self.heap, key=lambda item: item[:2], reverse=True)

    def print(self, layout: Layout, cell: Any) -> None:
        ranked = self.ranked()
        print(f"top {len(ranked)} of the scores:", file=sys.stderr)
        out = csv_writer(sys.stderr)
        out.writerow(["rank", "line", *layout.output, "score"])
        for rank, (score, _, line, echo) in enumerate(ranked, start=1):
            out.writerow([rank, line, *map(cell, echo), repr(score)])


class PlotData:
    """What the plot needs of every row: an x position, the first series value and the score."""

    def __init__(self, layout: Layout):
        from array import array

        self.layout = layout
        self.series_name = layout.numeric[0] if layout.numeric else None
        self.series = array("d")
        self.scores = array("d")
        self.times: array | None = array("d") if layout.time else None

    def add(self, batch: Batch, scores: list[float]) -> None:
        self.scores.extend(scores)
        if self.series_name is not None:
            if batch.events is None:
                self.series.extend(batch.values[:, 0].tolist())
            else:
                self.series.extend(event.get(self.series_name, math.nan) for event in batch.events)
        if self.times is not None:
            column = self.layout.output.index(self.layout.time)
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


def import_pyplot() -> Any:
    try:
        import matplotlib
    except ImportError:
        raise UserError(f"--plot needs matplotlib: {PLOT_EXTRA}") from None
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    return plt


def draw_plot(target: IO[bytes], data: PlotData, top: Top, title: str) -> None:
    plt = import_pyplot()
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
    try:
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
        figure.savefig(target, format="png", dpi=110)
    finally:
        plt.close(figure)
