"""``quillon score``: read, score in batches, write; commit every file at the end or none."""

from __future__ import annotations

import argparse
import copy
import os
import queue
import re
import signal
import sys
import threading
from collections.abc import Iterator
from typing import Any

from quillon._detectors import BINARY_SUFFIX, BY_NAME, binary_path
from quillon.cli.arguments import UserError, parse_params
from quillon.cli.detector import (check_alerts, check_params, check_state_fits, load_state, new_alerts,
                                  new_detector)
from quillon.cli.layout import Batch, Layout
from quillon.cli.reading import Input
from quillon.cli.report import PlotData, Progress, Top, draw_plot, import_pyplot
from quillon.cli.writing import Outputs, Writer, csv_cell


class Interrupted(BaseException):
    """A signal asked the run to stop; every file is left as it was (unless already committed)."""

    def __init__(self, signum: int):
        super().__init__(signum)
        self.signum = signum


def _stop(signum: int, frame: Any) -> None:
    raise Interrupted(signum)


def score(args: argparse.Namespace, outputs_seen: list) -> int:
    # Fail before the work, not after it.
    if args.plot:
        import_pyplot()
    kind = BY_NAME[args.detector] if args.detector else None
    saved = state = alerts = None
    if args.state_in:
        saved, state, alerts = load_state(args.state_in, args.detector)
        kind = saved.kind
    # Saved alerts resume, so a state's alerts are carried on even without --alerts.
    if alerts is not None:
        check_alerts(alerts, args.alert_risk, args.state_in)
    elif args.alerts or args.alert_risk is not None or args.alerts_only:
        alerts = new_alerts(args.alert_risk)
    if alerts is not None and args.state_out and binary_path(args.state_out):
        # A binary state holds the detector alone: saving there would drop the alerts.
        raise UserError(f"--state-out {args.state_out}: a binary state cannot hold alerts; "
                        f"save them as JSON (a name not ending in {BINARY_SUFFIX})")
    kind = kind or BY_NAME["forest"]
    params = parse_params(kind.cls, args.param)
    if saved is not None:
        check_params(saved, params, args.state_in)

    outputs = Outputs(args.output, args.plot, args.state_out)
    outputs_seen.append(outputs)
    source = None
    try:
        source = Input(args.input, args.input_format)
        first = source.first()
        layout = Layout(args, kind, first, source.name)
        if state is None:
            detector = new_detector(kind, params, layout)
        else:
            detector = state
            check_state_fits(saved, layout, args.state_in)

        if alerts is not None:
            for name in ("grade", "alert"):
                if name in layout.output:
                    raise UserError(f"an input column named {name!r} would clash with the output's "
                                    f"{name} column (written with alerts)")

        last_tick = detector.current_time() if kind.ticks else None
        batch = Batch(layout, source.header, 1 if last_tick is None else last_tick + 1, last_tick,
                      args.format == "jsonl")
        writer = Writer(outputs.stream, layout.output, args.format, alerts is not None,
                        args.alerts_only)
        progress = Progress(not args.no_progress and sys.stderr.isatty(), source)
        top = Top(args.top or 10) if (args.top or args.plot) else None
        plot = PlotData(layout) if args.plot else None
        rows = 0
        for batch in _read_ahead(_batches(source, batch, args.chunk_rows)):
            lines = batch.lines
            try:
                scores = batch.score(detector)
            except (ValueError, OverflowError) as error:
                raise UserError(_refusal(source.name, lines, kind.class_name, error)) from None
            grades = flags = None
            if alerts is not None:
                try:
                    grades, flags = (a.tolist() for a in alerts.update_many(scores))
                except (ValueError, OverflowError) as error:
                    raise UserError(_refusal(source.name, lines, "Alerts", error)) from None
            try:
                writer.write(batch, scores, grades, flags)
            except BrokenPipeError:
                raise
            except OSError as error:
                raise outputs.write_error(error) from None
            if top is not None:
                top.add(scores, lines, batch.echo, rows)
            if plot is not None:
                plot.add(batch, scores, flags)
            rows += len(batch)
            progress.update(len(batch))
        progress.close()
        outputs.flush()
        title = f"{kind.class_name} scores of {os.path.basename(source.name)}"
        saved_state = detector if alerts is None else _Paired(detector, alerts)
        outputs.commit(saved_state, lambda target: draw_plot(target, plot, top, title))
    finally:
        if not outputs.committed:
            outputs.discard()
        if source is not None:
            source.close()

    if args.plot:
        print(f"plot written to {args.plot}", file=sys.stderr)
    if args.top:
        top.print(layout, csv_cell)
    return 0


class _Paired:
    """Detector and alerts saved as one file, in `quillon.Monitor`'s layout."""

    def __init__(self, detector: Any, alerts: Any):
        from quillon import Monitor

        self.monitor = Monitor(detector, alerts)

    def save_json(self, path: str) -> None:
        # Written where it is told, like a detector's own save_json: the caller stages the file.
        with open(path, "w", encoding="utf-8") as f:
            f.write(self.monitor.to_json())


def _batches(source: Input, batch: Batch, size: int) -> Iterator[Batch]:
    for chunk, lines in source.chunks(size):
        batch.fill(chunk, lines)
        yield copy.copy(batch)  # fill replaces every array and list: the copy keeps this chunk's


def _read_ahead(batches: Iterator[Batch], depth: int = 2) -> Iterator[Batch]:
    """The batches, read and converted by a second thread while this one scores and writes.

    The thread is a daemon: when the run ends early it may still wait on a read from standard
    input, and must not hold up the exit. Errors reach the caller in the order of the rows.
    """
    handoff: queue.Queue = queue.Queue(depth)
    stop = threading.Event()

    def put(item: tuple) -> bool:
        while not stop.is_set():
            try:
                handoff.put(item, timeout=0.1)
                return True
            except queue.Full:
                continue
        return False

    def work() -> None:
        try:
            for batch in batches:
                if not put((batch, None)):
                    return
            put((None, None))
        except BaseException as error:  # handed over to the scoring thread, which raises it
            put((None, error))

    threading.Thread(target=work, name="quillon-reader", daemon=True).start()
    try:
        while True:
            batch, error = handoff.get()
            if error is not None:
                raise error
            if batch is None:
                return
            yield batch
    finally:
        stop.set()


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


def run(args: argparse.Namespace) -> int:
    """Run the command with SIGTERM turned into a clean stop (as Ctrl-C already is)."""
    outputs_seen: list[Outputs] = []
    previous = None
    if threading.current_thread() is threading.main_thread():
        previous = signal.signal(signal.SIGTERM, _stop)
    try:
        return score(args, outputs_seen)
    except UserError as error:
        print(f"quillon {args.command}: error: {error}", file=sys.stderr)
        return 2
    except (KeyboardInterrupt, Interrupted) as stop:
        signum = stop.signum if isinstance(stop, Interrupted) else signal.SIGINT
        done = outputs_seen and outputs_seen[0].committed
        print("quillon: interrupted" + (" after the files were written" if done else ""), file=sys.stderr)
        return 128 + signum
    except BrokenPipeError:
        # The reader went away (e.g. `| head`); silence the flush at exit as well.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
    except MemoryError:
        print(f"quillon {args.command}: error: out of memory", file=sys.stderr)
        return 2
    finally:
        if previous is not None:
            signal.signal(signal.SIGTERM, previous)
