"""One detector per key, on a Dask cluster or locally on a pandas frame.

`score_by_key` groups the rows of a frame by a key column, feeds each key's rows in time order to
that key's own detector through the detectors' batch methods, and returns the scores beside the
input's index, with each score's grade and alert when asked for (`quillon.Alerts`). Each key's
final state (its alerts' included) can be saved (as JSON, or without alerts in the compact binary
form) and picked up by the next run, so a daily job gives exactly the scores of one long run.

Needs the optional extra: ``pip install 'quillon[dask]'`` (pandas alone is enough for pandas
frames).
"""

from __future__ import annotations

import datetime
import hashlib
import itertools
import operator
import os
import re
import shutil
import uuid
import warnings
from collections.abc import Iterable, Mapping
from dataclasses import dataclass
from typing import Any

from quillon._detectors import BINARY_SUFFIX, BY_CLASS, PAIRED_FIELDS, dump, feature_event, load
from quillon._files import replace_all

__all__ = ["key_seed", "score_by_key", "state_name"]

_EXTRA = "pip install 'quillon[dask]'"
_DETECTORS = tuple(BY_CLASS)
# Frame order is recorded as (input partition << _ROW_BITS) + row within the partition, so that
# rows with equal times keep their order whatever the partitioning and the shuffle do.
_POSITION = "__quillon_position__"
_SHUFFLE = "__quillon_key_hash__"
_ROW_BITS = 40
_SCORE = "score"
_GRADE = "grade"
_ALERT = "alert"
_SEED_LIMIT = 1 << 64
_UNSAFE = re.compile(r"[^A-Za-z0-9_.-]")
_READABLE_LENGTH = 48
_TASK_SHUFFLE_LIMIT = 32
# A run's states are written here, inside states_out, and moved into place once every key is
# scored. No state name starts with a dot, so it never clashes with a key's file.
_STAGING = ".quillon-staging-"
# The note the batch methods add to a refused row's error.
_ROW_NOTE = re.compile(r"while processing row (\d+)")
# Object key columns whose values are all of one of these kinds compare equal exactly when their
# canonical encodings do, so pandas may group them itself; any other mix (1, 1.0 and True, which
# pandas takes as one value; 0.0 and -0.0) is grouped by the encoding.
_PLAIN_KEY_KINDS = frozenset({"string", "bytes", "integer", "boolean"})
_STATE_FORMATS = ("json", "binary")


def _missing_extra(exc: ImportError) -> ImportError:
    return ImportError(f"quillon.dask needs {(exc.name or 'dask').partition('.')[0]}: {_EXTRA}")


def _pandas():
    try:
        import numpy
        import pandas
    except ImportError as exc:
        raise _missing_extra(exc) from None
    return numpy, pandas


def _canonical_key(key: Any) -> tuple[bytes, str]:
    """The bytes that identify a key value (type and value), and a readable text of it."""
    import numpy  # key values from frames are often numpy scalars

    if isinstance(key, (bool, numpy.bool_)):
        text = "true" if key else "false"
        return b"bool:" + text.encode(), text
    if isinstance(key, (int, numpy.integer)):
        text = str(operator.index(key))
        return b"int:" + text.encode(), text
    if isinstance(key, (float, numpy.floating)):
        value = float(key)
        if value != value:
            raise ValueError("a key cannot be NaN")
        return b"float:" + value.hex().encode(), repr(value)
    if isinstance(key, str):
        return b"str:" + key.encode("utf-8", "surrogatepass"), key
    if isinstance(key, (bytes, bytearray, memoryview)):
        return b"bytes:" + bytes(key), ""
    if isinstance(key, datetime.datetime):  # pandas.Timestamp included
        text = key.isoformat()
        return b"datetime:" + text.encode(), text
    if isinstance(key, datetime.date):
        text = key.isoformat()
        return b"date:" + text.encode(), text
    raise TypeError(
        f"unsupported key type {type(key).__name__}: use int, float, str, bytes, bool, "
        "datetime or date keys"
    )


def _key_codes(column, label) -> tuple[Any, list]:
    """Group codes (in order of first appearance) of a key column's values, and one value per code.

    Two values share a code exactly when their canonical encodings (`key_seed`) are equal, so
    every path groups, seeds and names keys alike.
    """
    numpy, pandas = _pandas()
    if column.isna().any():
        raise ValueError(f"key column {label!r} has missing values")
    dtype = column.dtype
    if dtype.kind == "f":
        # The bits tell 0.0 from -0.0, which pandas takes as one value.
        width = dtype.itemsize
        codes, _ = pandas.factorize(column.to_numpy(dtype=f"f{width}").view(f"i{width}"),
                                    sort=False)
    elif (dtype.kind in "iubM" or isinstance(dtype, pandas.StringDtype)
          or pandas.api.types.infer_dtype(
              dtype.categories if isinstance(dtype, pandas.CategoricalDtype) else column
          ) in _PLAIN_KEY_KINDS):
        codes, _ = pandas.factorize(column, sort=False)
    else:
        codes, _ = pandas.factorize(_encodings(column, label), sort=False)
    _, first = numpy.unique(codes, return_index=True)
    return codes, column.to_numpy(dtype=object)[first].tolist()


def _encodings(column, label):
    """The canonical encoding of every value of a key column, as an object array of bytes."""
    numpy, _ = _pandas()
    encoded = numpy.empty(len(column), dtype=object)
    for row, value in enumerate(column.to_numpy(dtype=object)):
        try:
            encoded[row] = _canonical_key(value)[0]
        except (TypeError, ValueError) as exc:
            exc.add_note(f"in key column {label!r} at frame index {_label(column.index, row)!r}")
            raise
    return encoded


def _shuffle_hashes(column, label):
    """A 64-bit hash of each key's canonical encoding: Dask's own hash of an object column goes
    through str(), which refuses some keys and can split one key (numpy.float32(0.1) and the
    float it equals print differently) over two tasks."""
    numpy, _ = _pandas()
    if column.isna().any():
        raise ValueError(f"key column {label!r} has missing values")
    digests = [hashlib.blake2b(e, digest_size=8).digest() for e in _encodings(column, label)]
    return numpy.frombuffer(b"".join(digests), dtype=numpy.uint64)


def key_seed(seed: int, key: Any) -> int:
    """Return the seed of `key`'s detector, derived from the run's `seed`.

    The value depends only on `seed` and on the key's type and value, so it is the same on every
    machine, process and Python version (Python's salted ``hash`` is never used). It is the
    8-byte digest, read as a big-endian unsigned integer, of
    ``hashlib.blake2b(data, digest_size=8, person=b"quillon.key_seed")`` where `data` is
    ``seed.to_bytes(8, "big")`` followed by the key's canonical encoding:

    ================================== ======================================================
    key                                encoding
    ================================== ======================================================
    ``bool``, ``numpy.bool_``          ``b"bool:true"`` or ``b"bool:false"``
    ``int``, ``numpy.integer``         ``b"int:"`` + decimal digits (``-`` for negatives)
    ``float``, ``numpy.floating``      ``b"float:"`` + ``float(key).hex()`` (NaN refused)
    ``str``                            ``b"str:"`` + UTF-8 (lone surrogates passed through)
    ``bytes``, ``bytearray``           ``b"bytes:"`` + the bytes
    ``datetime``, ``pandas.Timestamp`` ``b"datetime:"`` + ``key.isoformat()``
    ``date``                           ``b"date:"`` + ``key.isoformat()``
    ================================== ======================================================

    So ``numpy.int64(7)`` and ``7`` share a seed, while ``7``, ``7.0`` and ``"7"`` do not.

    Parameters
    ----------
    seed : int
        The run's seed, in ``[0, 2**64 - 1]`` like the detectors' own `seed`.
    key : int, float, str, bytes, bool, datetime or date
        The key value.

    Returns
    -------
    int
        A seed in ``[0, 2**64 - 1]``, accepted by every detector's constructor.

    Raises
    ------
    OverflowError
        If `seed` is outside ``[0, 2**64 - 1]``.
    TypeError
        If `seed` is not an integer or `key` is of an unsupported type.

    Examples
    --------
    >>> import quillon
    >>> from quillon.dask import key_seed
    >>> forest = quillon.Forest(1, shingle_size=8, seed=key_seed(42, "host-17"))
    """
    seed = operator.index(seed)
    if not 0 <= seed < _SEED_LIMIT:
        raise OverflowError("seed must be in [0, 2**64 - 1]")
    encoded, _ = _canonical_key(key)
    digest = hashlib.blake2b(
        seed.to_bytes(8, "big") + encoded, digest_size=8, person=b"quillon.key_seed"
    ).digest()
    return int.from_bytes(digest, "big")


def state_name(key: Any, state_format: str = "json") -> str:
    """Return the file name under which `key`'s state is saved.

    The name is ``"{readable}-{digest}.json"`` (``.qstate`` for the binary state): `digest` is
    the 32 lower-case hexadecimal digits of ``hashlib.blake2b(encoding, digest_size=16,
    person=b"quillon.state")`` over the key's canonical encoding (see `key_seed`), so distinct
    keys (``7``, ``"7"`` and ``7.0`` included) get distinct names, even on file systems that
    ignore case; `readable` is the key's text (decimal for integers, ``repr`` for floats, ISO
    8601 for dates) with every character other than ASCII letters, digits, ``_``, ``.`` and ``-``
    replaced by ``_``, leading dots and dashes removed, cut to 48 characters; it is left out
    (with its dash) when nothing remains, as for bytes keys. Names never contain a path
    separator and stay well under 255 bytes.

    Parameters
    ----------
    key : int, float, str, bytes, bool, datetime or date
        The key value.
    state_format : {"json", "binary"}, optional
        The form of the state the file holds (default "json").

    Returns
    -------
    str
        The file name, without a folder.

    Examples
    --------
    >>> from quillon.dask import state_name
    >>> state_name("eu/host 1").startswith("eu_host_1-")
    True
    """
    if state_format not in _STATE_FORMATS:
        raise ValueError(f"state_format must be 'json' or 'binary', not {state_format!r}")
    suffix = BINARY_SUFFIX if state_format == "binary" else ".json"
    encoded, text = _canonical_key(key)
    digest = hashlib.blake2b(encoded, digest_size=16, person=b"quillon.state").hexdigest()
    readable = _UNSAFE.sub("_", text).lstrip(".-")[:_READABLE_LENGTH]
    return f"{readable}-{digest}{suffix}" if readable else f"{digest}{suffix}"


def _other_form(name: str) -> str:
    """The name of the same key's state in the other form."""
    if name.endswith(BINARY_SUFFIX):
        return name.removesuffix(BINARY_SUFFIX) + ".json"
    return name.removesuffix(".json") + BINARY_SUFFIX


def _local_path(location: str) -> str | None:
    """The path of a local folder (plain or ``file://``); None for any other fsspec URL."""
    if "://" in location and not location.startswith("file://"):
        return None
    return location.removeprefix("file://")


class _Folder:
    """A local folder or an fsspec URL holding one state file per key."""

    def __init__(self, location: str):
        local = _local_path(location)
        if local is None:
            try:
                import fsspec
            except ImportError as exc:
                raise _missing_extra(exc) from None
            self.fs, self.root = fsspec.core.url_to_fs(location)
        else:
            self.fs = None
            self.root = local

    def path(self, name: str) -> str:
        return f"{self.root.rstrip('/')}/{name}" if self.fs else os.path.join(self.root, name)

    def make(self) -> None:
        if self.fs:
            self.fs.makedirs(self.root, exist_ok=True)
        else:
            os.makedirs(self.root, exist_ok=True)

    def read(self, name: str) -> bytes | None:
        try:
            if self.fs:
                return self.fs.cat_file(self.path(name))
            with open(self.path(name), "rb") as f:
                return f.read()
        except FileNotFoundError:
            return None

    def write(self, name: str, data: bytes) -> None:
        """Write a file of a staging folder, which only `_commit` reads."""
        # The commit sees the old file or the new one, never half of one; the temporary name is
        # unique, so two runs of one task cannot clash either. No sync: the commit syncs what it
        # places.
        final = self.path(name)
        temporary = self.path(f".{name}.{uuid.uuid4().hex}.tmp")
        if self.fs:
            self.fs.pipe_file(temporary, data)
            self.fs.mv(temporary, final)
            return
        with open(temporary, "xb") as f:
            f.write(data)
        os.replace(temporary, final)

    def staged(self) -> list[str]:
        """The complete files of a staging folder (temporary files of lost writes are skipped)."""
        try:
            if self.fs:
                listed = self.fs.ls(self.root, detail=False)
                found = [p.rstrip("/").rpartition("/")[2] for p in listed]
            else:
                found = os.listdir(self.root)
        except FileNotFoundError:
            return []
        return sorted(n for n in found if not n.startswith("."))

    def unlink(self, name: str) -> None:
        """Remove a file if it is there."""
        try:
            if self.fs:
                if self.fs.exists(self.path(name)):
                    self.fs.rm(self.path(name))
            else:
                os.unlink(self.path(name))
        except FileNotFoundError:
            pass

    def remove(self) -> None:
        if self.fs:
            if self.fs.exists(self.root):
                self.fs.rm(self.root, recursive=True)
        else:
            shutil.rmtree(self.root, ignore_errors=True)


def _commit(staging: str, states_out: str, *_after) -> None:
    """Move every state file of a finished run from its staging folder into `states_out`.

    Each file replaces the file of the same key, if any; files of keys the run did not score stay
    as they were. Running it again after it finished does nothing, so a recomputed Dask task is
    harmless. (`_after` is what a Dask commit waits for.)
    """
    source, target = _Folder(staging), _Folder(states_out)
    names = source.staged()
    if target.fs:
        for name in names:
            target.fs.mv(source.path(name), target.path(name))
    else:
        # Every target is checked by the rules of save_json (links followed, modes kept) before
        # the first rename; plain files take the staged file itself.
        replace_all([(source.path(name), target.path(name)) for name in names])
    # A key's state in the other form is now out of date: a run reading that form would resume
    # from it.
    for name in names:
        target.unlink(_other_form(name))
    source.remove()


@dataclass(frozen=True)
class _Plan:
    """Everything a task needs to score its keys; small and picklable."""

    detector: str
    params: dict[str, Any]
    key: Any
    time: Any
    columns: tuple[Any, ...]
    categorical: tuple[Any, ...]
    states_in: str | None
    states_out: str | None
    staging: str | None  # where this run's states wait until every key is scored
    alerts: dict[str, Any] | None  # the Alerts parameters, None without alerts
    state_format: str = "json"

    def build(self, key: Any, states_in: _Folder | None) -> tuple[Any, Any]:
        """The key's detector and its alerts (None without alerts), saved or new."""
        import quillon

        cls = getattr(quillon, self.detector)
        if states_in is not None:
            # The run's own form first; a state in the other form is read as well.
            name = state_name(key, self.state_format)
            for name in (name, _other_form(name)):
                saved = states_in.read(name)
                if saved is None:
                    continue
                try:
                    return self._resume(cls, saved)
                except ValueError as exc:
                    where = states_in.path(name)
                    exc.add_note(f"while reading the state of key {key!r} from {where}")
                    raise
        params = self.params
        if params.get("seed") is not None:
            params = {**params, "seed": key_seed(params["seed"], key)}
        return cls(**params), self._new_alerts()

    def _new_alerts(self):
        import quillon

        return None if self.alerts is None else quillon.Alerts(**self.alerts)

    def _resume(self, cls, saved: bytes) -> tuple[Any, Any]:
        """A saved detector alone (new alerts start beside it), or with its alerts."""
        import quillon

        try:
            return load(cls, saved), self._new_alerts()
        except ValueError:
            if not _paired(saved):
                raise
        monitor = quillon.Monitor.from_json(saved)
        if type(monitor.detector) is not cls:
            raise ValueError(f"the state holds a {type(monitor.detector).__name__}, not a "
                             f"{cls.__name__}")
        if self.alerts is None:
            # Going on without them would drop the alerts' state from states_out.
            raise ValueError("the state carries alerts: pass alerts=True to resume them")
        return monitor.detector, monitor.alerts

    def saved(self, detector, alerts) -> bytes:
        import quillon

        if alerts is None:
            return dump(detector, self.state_format == "binary")
        return quillon.Monitor(detector, alerts).to_json().encode()

    def inputs(self, part, order) -> list:
        """The detector's batch arguments for all rows of `part`, in the order `order`."""
        numpy, pandas = _pandas()
        kind = BY_CLASS[self.detector]
        values = _real_values(part, self.columns)[order]
        categorical = ticks = events = None
        if kind.ticks:
            categorical = _integers(part, self.categorical)[order]
            # Ticks are unsigned: an unsigned column keeps its values of 2**63 and more.
            unsigned = pandas.api.types.is_unsigned_integer_dtype(part[self.time].dtype)
            ticks = part[self.time].to_numpy(dtype=numpy.uint64 if unsigned else numpy.int64)[order]
        if kind.events:
            events = _events(self, part, order, values)
        return list(kind.batch_arguments(values, categorical, ticks, events))

    def score(self, part):
        """Score one partition whose keys are wholly inside it; returns the result frame.

        The keys' final states go to the staging folder; `_commit` moves them into place.
        """
        numpy, pandas = _pandas()
        shown = [self.key] if self.time is None else [self.key, self.time]
        result = part[shown].copy()
        scores = numpy.empty(len(part), dtype=numpy.float64)
        grades = numpy.empty(len(part), dtype=numpy.float64)
        flags = numpy.zeros(len(part), dtype=bool)
        if len(part):
            codes, keys = _key_codes(part[self.key], self.key)
            # One stable sort by (key, time) over the rows in frame order; both codes are below
            # len(part), so their combination fits in 64 bits.
            sort_key = codes.astype(numpy.int64)
            if self.time is not None:
                ticks, _ = pandas.factorize(part[self.time], sort=True)
                if (ticks < 0).any():
                    raise ValueError(f"time column {self.time!r} has missing values")
                sort_key = sort_key * len(part) + ticks
            in_frame_order = numpy.argsort(part[_POSITION].to_numpy())
            order = in_frame_order[numpy.argsort(sort_key[in_frame_order], kind="stable")]
            grouped = codes[order]
            bounds = [0, *(numpy.flatnonzero(grouped[1:] != grouped[:-1]) + 1).tolist(), len(part)]
            arguments = self.inputs(part, order)
            states_in = _Folder(self.states_in) if self.states_in else None
            staging = _Folder(self.staging) if self.staging else None
            if staging is not None:
                staging.make()
            ordered = numpy.empty(len(part), dtype=numpy.float64)
            ordered_grades = numpy.empty(len(part), dtype=numpy.float64)
            ordered_flags = numpy.zeros(len(part), dtype=bool)
            for start, stop in zip(bounds[:-1], bounds[1:]):
                key = keys[grouped[start]]
                try:
                    detector, alerts = self.build(key, states_in)
                    ordered[start:stop] = detector.update_and_score_many(
                        *(a[start:stop] for a in arguments)
                    )
                    if alerts is not None:
                        ordered_grades[start:stop], ordered_flags[start:stop] = alerts.update_many(
                            ordered[start:stop])
                except Exception as exc:
                    _note_row(exc, key, part.index, order[start:stop])
                    raise
                if staging is not None:
                    staging.write(state_name(key, self.state_format), self.saved(detector, alerts))
            scores[order] = ordered
            grades[order] = ordered_grades
            flags[order] = ordered_flags
        result[_SCORE] = scores
        if self.alerts is not None:
            result[_GRADE] = grades
            result[_ALERT] = flags
        return result


def _paired(saved: bytes) -> bool:
    """Whether a state file holds a detector with its alerts (`quillon.Monitor`'s layout)."""
    import json

    try:
        record = json.loads(saved)
    except (ValueError, RecursionError, MemoryError):
        return False
    return isinstance(record, dict) and set(record) == PAIRED_FIELDS


def _alerts_params(alerts) -> dict[str, Any] | None:
    """The Alerts parameters `alerts` asks for, checked by building them once."""
    import quillon

    if alerts is None or alerts is False:
        return None
    if alerts is True:
        params: dict[str, Any] = {}
    elif isinstance(alerts, Mapping):
        params = dict(alerts)
    elif isinstance(alerts, (int, float)) and not isinstance(alerts, bool):
        params = {"risk": alerts}
    else:
        raise TypeError("alerts must be True, a risk (a number) or a mapping of Alerts parameters")
    if quillon.Alerts(**params).inputs() != 1:
        raise ValueError("alerts take one score per row: inputs must be 1")
    return params


def _note_row(exc: BaseException, key: Any, index, rows) -> None:
    """Names the key and, when the batch named a row, that row's label in the frame's index."""
    row = next((int(m[1]) for n in getattr(exc, "__notes__", ()) if (m := _ROW_NOTE.search(n))),
               None)
    if row is not None and row < len(rows):
        exc.add_note(f"while scoring key {key!r} at frame index {_label(index, rows[row])!r}")
    else:
        exc.add_note(f"while scoring key {key!r}")


def _label(index, position: int):
    """A row's index label as a plain Python value (numpy scalars' repr names their type)."""
    return index[position:position + 1].tolist()[0]


def _real_values(part, columns):
    """The numeric columns as float64 rows; complex values and text are refused, column named."""
    numpy, _ = _pandas()
    for column in columns:
        dtype = part[column].dtype
        if dtype.kind == "O":
            # Object columns are checked one by one, so that the error names the column.
            with warnings.catch_warnings():
                warnings.simplefilter("error", numpy.exceptions.ComplexWarning)
                try:
                    part[column].to_numpy(dtype=numpy.float64)
                except (TypeError, ValueError, numpy.exceptions.ComplexWarning) as exc:
                    message = str(exc).splitlines()[0] if str(exc) else type(exc).__name__
                    raise TypeError(
                        f"column {column!r} must hold real numbers: {message}"
                    ) from None
    return part[list(columns)].to_numpy(dtype=numpy.float64)


def _integers(part, columns):
    """MStream's categorical columns as int64 rows; values a signed 64-bit integer cannot hold
    are refused, column named, instead of wrapping around."""
    numpy, _ = _pandas()
    for column in columns:
        if part[column].dtype.kind == "u" and len(part) and part[column].max() >= 1 << 63:
            raise OverflowError(f"MStream's categorical column {column!r} holds values of 2**63 "
                                "or more: categorical values are signed 64-bit integers")
    return part[list(columns)].to_numpy(dtype=numpy.int64)


def _events(plan: _Plan, part, order, values) -> list[dict[str, float]]:
    """FeatureSketch events: each row's non-missing columns, categorical and boolean ones as
    indicators (see `quillon._detectors.feature_event`)."""
    numpy, pandas = _pandas()
    cells = []  # per column: its name, its values (None where missing), whether a category
    for j, column in enumerate(plan.columns):
        if pandas.api.types.is_bool_dtype(part[column].dtype):
            cells.append((str(column), _labels(pandas, part[column], order), True))
        else:
            cells.append((str(column), numpy.where(numpy.isnan(values[:, j]), None,
                                                   values[:, j].astype(object)), False))
    for column in plan.categorical:
        cells.append((str(column), _labels(pandas, part[column], order), True))
    names = [name for name, _, _ in cells]
    flags = [flag for _, _, flag in cells]
    events = [feature_event(zip(names, row, flags)) for row in zip(*(v for _, v, _ in cells))]
    for name in set(itertools.chain.from_iterable(events)):
        column = next((c for c in (*plan.columns, *plan.categorical)
                       if name == str(c) or name.startswith(f"{c}=")), name)
        _feature_name(column, name)
    return events


def _labels(pandas, series, order) -> list:
    labels = series.to_numpy(dtype=object)[order]
    return [None if missing else label for label, missing in zip(labels, pandas.isna(labels))]


def _tag_positions(part, key=None, partition_info=None):
    """Adds each row's position and, when `key` is given, the hash its key is shuffled by."""
    numpy, _ = _pandas()
    number = partition_info["number"] if partition_info else 0
    tagged = part.copy(deep=False)
    tagged[_POSITION] = (number << _ROW_BITS) + numpy.arange(len(part), dtype=numpy.int64)
    if key is not None:
        tagged[_SHUFFLE] = _shuffle_hashes(part[key], key)
    return tagged


def _score_partition(part, plan: _Plan):
    return plan.score(part)


def _after_commit(part, _commit_done):
    return part


def _names(value) -> tuple:
    if value is None:
        return ()
    if isinstance(value, (str, bytes)) or not isinstance(value, Iterable):
        return (value,)
    return tuple(value)


def _feature_name(column, name: str) -> str:
    # The native message for text that is not UTF-8 names the binding's internal types.
    try:
        name.encode()
    except UnicodeEncodeError:
        raise ValueError(f"FeatureSketch feature name {name!r} from column {column!r} is not "
                         "valid UTF-8 text (it holds a lone surrogate)") from None
    return name


def _plan(frame_columns, dtypes, key, detector, params, time, columns, categorical,
          states_in, states_out, lazy, alerts=None, state_format="json") -> _Plan:
    import quillon

    if state_format not in _STATE_FORMATS:
        raise ValueError(f"state_format must be 'json' or 'binary', not {state_format!r}")

    if isinstance(detector, str):
        if detector not in _DETECTORS:
            raise ValueError(
                f"unknown detector {detector!r}: expected one of {', '.join(_DETECTORS)}"
            )
        name = detector
    elif detector in tuple(getattr(quillon, n) for n in _DETECTORS):
        name = detector.__name__
    else:
        raise TypeError(f"detector must be one of {', '.join(_DETECTORS)} (a class or its name)")
    if params is not None and not isinstance(params, Mapping):
        raise TypeError("params must be a mapping of constructor arguments")
    params = dict(params or {})

    present = list(frame_columns)
    for role, column in (("key", key), ("time", time)):
        if column is not None and column not in present:
            raise KeyError(f"{role} column {column!r} is not in the frame")
    if key == time:
        raise ValueError("key and time must be different columns")
    alerts = _alerts_params(alerts)
    if alerts is not None and state_format == "binary":
        # The binary form holds one detector; a key's alerts would be lost from its state.
        raise ValueError("alerts are saved only as JSON: use state_format='json' with alerts")
    for taken in (_SCORE, *((_GRADE, _ALERT) if alerts is not None else ())):
        if taken in (key, time):
            raise ValueError(f"the key and time columns cannot be named {taken!r}: the result has it")
    for reserved in (_POSITION, _SHUFFLE):
        if reserved in present:
            raise ValueError(f"the frame cannot have a column named {reserved!r}")
    categorical = _names(categorical)
    if columns is None:
        _, pandas = _pandas()
        taken = {key, time, *categorical}
        types = pandas.api.types
        columns = tuple(
            c for c in present
            if c not in taken
            and (types.is_numeric_dtype(dtypes[c]) or types.is_bool_dtype(dtypes[c]))
        )
    else:
        columns = _names(columns)
    for column in (*columns, *categorical):
        if column not in present:
            raise KeyError(f"column {column!r} is not in the frame")
    for column in columns:
        if dtypes[column].kind == "c":
            raise TypeError(f"column {column!r} holds complex numbers: the detectors take real "
                            "numbers")
    kind = BY_CLASS[name]
    if kind.events:
        for column in (*columns, *categorical):
            _feature_name(column, str(column))

    if kind.ticks:
        if time is None:
            raise ValueError("MStream needs time: the column of integer ticks")
        # Floats would be cut to integers without a word, so only integer columns are taken.
        _, pandas = _pandas()
        for role, column in (("time", time), *(("categorical", c) for c in categorical)):
            if not pandas.api.types.is_integer_dtype(dtypes[column]):
                raise TypeError(f"MStream's {role} column {column!r} must hold integers, "
                                f"not {dtypes[column]}")
    elif categorical and not kind.categorical:
        raise ValueError(f"{name} takes no categorical columns")
    if any(dimension not in params for dimension in kind.dimensions):
        derived = kind.derived_dimensions(params, len(columns), len(categorical))
        for dimension, value in derived.items():
            params.setdefault(dimension, value)
    # Built once here so that a wrong parameter fails now with the constructor's own error.
    getattr(quillon, name)(**params)

    folders = [os.fspath(s) if s is not None else None for s in (states_in, states_out)]
    if lazy and folders[0] is not None and folders[1] is not None and _same_place(*folders):
        raise ValueError(
            "states_in and states_out must be different folders for a Dask frame: Dask reruns "
            "lost tasks, and a rerun must read the states the first run read"
        )
    staging = None
    if folders[1] is not None:
        hidden = f"{_STAGING}{uuid.uuid4().hex}"
        local = _local_path(folders[1])
        staging = (f"{folders[1].rstrip('/')}/{hidden}" if local is None
                   else os.path.join(local, hidden))
    return _Plan(name, params, key, time, columns, categorical, *folders, staging, alerts,
                 state_format)


def _same_place(a: str, b: str) -> bool:
    local = [_local_path(s) for s in (a, b)]
    if None not in local:
        return os.path.realpath(local[0]) == os.path.realpath(local[1])
    return a.rstrip("/") == b.rstrip("/")


def score_by_key(
    frame,
    key,
    detector,
    params: Mapping[str, Any] | None = None,
    *,
    time=None,
    columns=None,
    categorical=None,
    states_in=None,
    states_out=None,
    alerts=None,
    state_format="json",
):
    """Score every key's rows with that key's own detector.

    Rows are grouped by `key`; each key's rows go, in `time` order, through one detector's
    ``update_and_score_many``. Rows with equal times (or all rows, without `time`) keep their
    order in `frame`, whatever its partitioning, so the scores equal those of a plain loop over
    each key's rows, on any number of partitions, workers or threads.

    On a Dask frame the rows are shuffled so that each key lands in one partition, and one task
    scores all keys of a partition; the result is lazy like any Dask frame. A pandas frame is
    scored at once, in this process, by the same code.

    Parameters
    ----------
    frame : dask.dataframe.DataFrame or pandas.DataFrame
        The rows to score.
    key : column label
        The column whose value picks the detector. Its values must not be missing; they may be
        int, float, str, bytes, bool, datetime or date (see `key_seed`). Keys are told apart by
        type and value as `key_seed` tells them, so ``1``, ``1.0``, ``True`` and ``"1"`` in an
        object column are four keys, though pandas takes the first three as one.
    detector : {"Forest", "MStream", "FeatureSketch", "OnlineIForest"} or class
        The detector class, or its name.
    params : mapping, optional
        Constructor arguments, the same for every key. When it has a `seed`, each key's
        detector gets ``key_seed(seed, key)`` instead, so keys do not share random choices and
        any key's detector can be rebuilt by hand. Dimensions that are not given follow the
        columns: `input_dim` is the number of `columns` (divided by `shingle_size` for a
        `Forest` with ``internal_shingling=False``); for `MStream`, `numeric_dim` and
        `categorical_dim` are the numbers of `columns` and `categorical` columns. The
        parameters are checked once, before anything runs, by the constructor itself.
    time : column label, optional
        The column that orders each key's rows (any sortable type, no missing values). For
        `MStream` it is required and holds the integer ticks.
    columns : column label or list of them, optional
        The numeric input columns, in the order the detector sees them. By default every numeric
        or boolean column other than `key`, `time` and `categorical`.
    categorical : column label or list of them, optional
        `MStream`: its integer categorical columns. `FeatureSketch`: columns whose value becomes
        an indicator feature ``"{column}={value}"`` of value 1.0. Not accepted by the others.
    states_in : str or path-like, optional
        Folder (or fsspec URL) of saved states: a key whose state file (`state_name`, in either
        form) exists there resumes from it, and `params` do not apply to it; other keys start
        fresh.
    states_out : str or path-like, optional
        Folder (or fsspec URL, created if needed) where each key of `frame` gets its final state
        (as JSON, or binary: see `state_format`). All or nothing: the states wait in a hidden
        staging folder inside `states_out` until every key is scored, then replace the files of
        the same keys (computing a Dask result twice writes the same files twice); if any key
        fails, no file in `states_out`
        changes. Files of keys that `frame` lacks stay as they were, so `states_out` may be a
        copy of `states_in`, or, for a pandas frame, `states_in` itself. For a Dask frame it must
        differ from `states_in`, so that a rerun of a lost task reads what the first run read.
    alerts : bool, float or mapping, optional
        Grade every key's scores with its own `quillon.Alerts` and add the columns ``grade`` and
        ``alert``: True for the defaults, a number for the risk (expected false-alarm rate per
        row), or a mapping of Alerts parameters (``{"risk": 1e-3, "warmup": 300}``), checked once,
        before anything runs, by the constructor. Each key's alerts are saved with its detector,
        in one state file (`quillon.Monitor`'s layout), and resume from it with their saved
        parameters; a key whose saved state is its detector alone starts new alerts. A state
        with alerts is refused when `alerts` is not given, so that they are never dropped.
    state_format : {"json", "binary"}, optional
        The form of the states written to `states_out`: JSON text in ``.json`` files (the
        default), or the compact binary state (`to_bytes`) in ``.qstate`` files, several times
        smaller and faster to read and write. A key's file in the other form is removed when its
        new state is put in place. States in either form are read from `states_in`. States with
        alerts are JSON only.

    Returns
    -------
    dask.dataframe.DataFrame or pandas.DataFrame
        The input's index with the columns `key`, `time` (when given) and ``score`` (float64),
        then ``grade`` (float64) and ``alert`` (bool) with `alerts`, ready to join back. A pandas result keeps the input's row order; a Dask result is in the
        shuffled order.

    Raises
    ------
    TypeError, ValueError, OverflowError
        From the detector's constructor for wrong `params`, at once; from the batch methods for
        wrong inputs, when the rows are scored, with a note naming the key and the row's label
        in the frame's index.
    KeyError
        If a named column is not in `frame`.
    ImportError
        If pandas (or, for a Dask frame, dask) is missing.

    Notes
    -----
    The shuffle keeps the frame's number of partitions, and each partition is one task:
    repartition a frame of few partitions to use more workers.

    A `FeatureSketch` event is made of each row's non-missing `columns`, named by ``str(column)``
    with their float values, plus one indicator per non-missing `categorical` column. Values are
    encoded as on the command line: booleans (among `columns` too) are the indicators
    ``"{column}=true"`` and ``"{column}=false"``, other numbers their JSON text, so a frame and a
    JSON Lines file of the same rows score the same.

    Examples
    --------
    >>> import dask.dataframe as dd
    >>> from quillon.dask import score_by_key
    >>> frame = dd.read_parquet("metrics/day=2024-05-01")          # doctest: +SKIP
    >>> scores = score_by_key(frame, "host", "Forest", {"input_dim": 1, "shingle_size": 8,
    ...                       "seed": 42}, time="ts", columns=["cpu"],
    ...                       states_in="states/2024-04-30", states_out="states/2024-05-01")
    >>> scores.compute()                                              # doctest: +SKIP
    >>> alerts = score_by_key(frame, "host", "Forest", {"seed": 42}, time="ts", columns=["cpu"],
    ...                       alerts={"risk": 1e-3})                  # doctest: +SKIP
    >>> alerts[alerts["alert"]].compute()                             # doctest: +SKIP
    """
    numpy, pandas = _pandas()
    if isinstance(frame, pandas.DataFrame):
        plan = _plan(frame.columns, frame.dtypes, key, detector, params, time, columns, categorical,
                     states_in, states_out, lazy=False, alerts=alerts, state_format=state_format)
        if plan.staging is None:
            return plan.score(_tag_positions(frame))
        try:
            result = plan.score(_tag_positions(frame))
            _commit(plan.staging, plan.states_out)
        except BaseException:
            _Folder(plan.staging).remove()
            raise
        return result
    try:
        import dask.dataframe as dd
    except ImportError as exc:
        raise _missing_extra(exc) from None
    if not isinstance(frame, dd.DataFrame):
        raise TypeError(f"frame must be a dask or pandas DataFrame, not {type(frame).__name__}")
    meta = frame._meta
    plan = _plan(meta.columns, meta.dtypes, key, detector, params, time, columns, categorical,
                 states_in, states_out, lazy=True, alerts=alerts, state_format=state_format)
    # Only the columns the detectors read travel through the shuffle.
    used = [key, *([] if time is None else [time]), *plan.columns, *plan.categorical]
    used = list(dict.fromkeys(used))
    frame = frame[used]
    # Object and categorical key columns may mix types: they are shuffled by their encoding.
    hashed = frame._meta[key].dtype.kind == "O" and not isinstance(
        frame._meta[key].dtype, pandas.StringDtype)
    hashed_key = key if hashed else None
    tagged = frame.map_partitions(_tag_positions, hashed_key,
                                  meta=_tag_positions(frame._meta, hashed_key))
    # Per-key scoring wants a few large partitions, for which the task shuffle is the cheapest;
    # beyond them (or when the user configured one) Dask's own choice applies. An object key
    # column takes the task shuffle too: the P2P shuffle carries only what Arrow can hold.
    import dask

    method = dask.config.get("dataframe.shuffle.method", None)
    if method is None and (hashed or frame.npartitions <= _TASK_SHUFFLE_LIMIT):
        method = "tasks"
    by_key = tagged.shuffle(on=_SHUFFLE if hashed else key, npartitions=frame.npartitions,
                            shuffle_method=method)
    result_meta = plan.score(_tag_positions(meta))
    scored = by_key.map_partitions(_score_partition, plan, meta=result_meta)
    if plan.staging is None:
        return scored
    # Every partition waits for one commit task, which runs once all partitions are scored: a
    # failed partition leaves every state file as it was.
    counts = scored.map_partitions(len, meta=(None, "int64")).sum()
    commit = dask.delayed(_commit, pure=False)(plan.staging, plan.states_out, counts)
    return scored.map_partitions(_after_commit, commit, meta=result_meta)
