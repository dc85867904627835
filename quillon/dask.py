"""One detector per key, on a Dask cluster or locally on a pandas frame.

`score_by_key` groups the rows of a frame by a key column, feeds each key's rows in time order to
that key's own detector through the detectors' batch methods, and returns the scores beside the
input's index. Each key's final state can be saved as JSON and picked up by the next run, so a
daily job gives exactly the scores of one long run.

Needs the optional extra: ``pip install 'quillon[dask]'`` (pandas alone is enough for pandas
frames).
"""

from __future__ import annotations

import datetime
import hashlib
import operator
import os
import re
import uuid
from collections.abc import Iterable, Mapping
from dataclasses import dataclass
from typing import Any

from quillon._detectors import BY_CLASS, feature_event
from quillon._files import write_file

__all__ = ["key_seed", "score_by_key", "state_name"]

_EXTRA = "pip install 'quillon[dask]'"
_DETECTORS = tuple(BY_CLASS)
# Frame order is recorded as (input partition << _ROW_BITS) + row within the partition, so that
# rows with equal times keep their order whatever the partitioning and the shuffle do.
_POSITION = "__quillon_position__"
_ROW_BITS = 40
_SCORE = "score"
_SEED_LIMIT = 1 << 64
_UNSAFE = re.compile(r"[^A-Za-z0-9_.-]")
_READABLE_LENGTH = 48
_TASK_SHUFFLE_LIMIT = 32


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


def state_name(key: Any) -> str:
    """Return the file name under which `key`'s state is saved.

    The name is ``"{readable}-{digest}.json"``: `digest` is the 32 lower-case hexadecimal digits
    of ``hashlib.blake2b(encoding, digest_size=16, person=b"quillon.state")`` over the key's
    canonical encoding (see `key_seed`), so distinct keys (``7``, ``"7"`` and ``7.0`` included)
    get distinct names, even on file systems that ignore case; `readable` is the key's text
    (decimal for integers, ``repr`` for floats, ISO 8601 for dates) with every character other
    than ASCII letters, digits, ``_``, ``.`` and ``-`` replaced by ``_``, leading dots and dashes
    removed, cut to 48 characters; it is left out (with its dash) when nothing remains, as for
    bytes keys. Names never contain a path separator and stay well under 255 bytes.

    Parameters
    ----------
    key : int, float, str, bytes, bool, datetime or date
        The key value.

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
    encoded, text = _canonical_key(key)
    digest = hashlib.blake2b(encoded, digest_size=16, person=b"quillon.state").hexdigest()
    readable = _UNSAFE.sub("_", text).lstrip(".-")[:_READABLE_LENGTH]
    return f"{readable}-{digest}.json" if readable else f"{digest}.json"


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

    def write(self, name: str, text: str) -> None:
        # A reader (or a rerun of this task) sees the old file or the new one, never half of one;
        # the temporary name is unique, so two runs of one task cannot clash either.
        data = text.encode()
        final = self.path(name)
        if self.fs:
            temporary = self.path(f".{name}.{uuid.uuid4().hex}.tmp")
            self.fs.pipe_file(temporary, data)
            self.fs.mv(temporary, final)
            return
        write_file(final, data)


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

    def build(self, key: Any, states_in: _Folder | None):
        import quillon

        cls = getattr(quillon, self.detector)
        if states_in is not None:
            name = state_name(key)
            saved = states_in.read(name)
            if saved is not None:
                try:
                    return cls.from_json(saved)
                except ValueError as exc:
                    where = states_in.path(name)
                    exc.add_note(f"while reading the state of key {key!r} from {where}")
                    raise
        params = self.params
        if params.get("seed") is not None:
            params = {**params, "seed": key_seed(params["seed"], key)}
        return cls(**params)

    def inputs(self, part, order) -> list:
        """The detector's batch arguments for all rows of `part`, in the order `order`."""
        numpy, pandas = _pandas()
        kind = BY_CLASS[self.detector]
        values = part[list(self.columns)].to_numpy(dtype=numpy.float64)[order]
        categorical = ticks = events = None
        if kind.ticks:
            categorical = part[list(self.categorical)].to_numpy(dtype=numpy.int64)[order]
            # Ticks are unsigned: an unsigned column keeps its values of 2**63 and more.
            unsigned = pandas.api.types.is_unsigned_integer_dtype(part[self.time].dtype)
            ticks = part[self.time].to_numpy(dtype=numpy.uint64 if unsigned else numpy.int64)[order]
        if kind.events:
            events = _events(self, part, order, values)
        return list(kind.batch_arguments(values, categorical, ticks, events))

    def score(self, part):
        """Score one partition whose keys are wholly inside it; returns the result frame."""
        numpy, pandas = _pandas()
        shown = [self.key] if self.time is None else [self.key, self.time]
        result = part[shown].copy()
        scores = numpy.empty(len(part), dtype=numpy.float64)
        if len(part):
            codes, keys = pandas.factorize(part[self.key], sort=False)
            if (codes < 0).any():
                raise ValueError(f"key column {self.key!r} has missing values")
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
            states_out = _Folder(self.states_out) if self.states_out else None
            if states_out is not None:
                states_out.make()
            ordered = numpy.empty(len(part), dtype=numpy.float64)
            for start, stop in zip(bounds[:-1], bounds[1:]):
                key = keys[grouped[start]]
                detector = self.build(key, states_in)
                ordered[start:stop] = detector.update_and_score_many(
                    *(a[start:stop] for a in arguments)
                )
                if states_out is not None:
                    states_out.write(state_name(key), detector.to_json())
            scores[order] = ordered
        result[_SCORE] = scores
        return result


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
    return [feature_event(zip(names, row, flags)) for row in zip(*(v for _, v, _ in cells))]


def _labels(pandas, series, order) -> list:
    labels = series.to_numpy(dtype=object)[order]
    return [None if missing else label for label, missing in zip(labels, pandas.isna(labels))]


def _tag_positions(part, partition_info=None):
    numpy, _ = _pandas()
    number = partition_info["number"] if partition_info else 0
    tagged = part.copy(deep=False)
    tagged[_POSITION] = (number << _ROW_BITS) + numpy.arange(len(part), dtype=numpy.int64)
    return tagged


def _score_partition(part, plan: _Plan):
    return plan.score(part)


def _names(value) -> tuple:
    if value is None:
        return ()
    if isinstance(value, (str, bytes)) or not isinstance(value, Iterable):
        return (value,)
    return tuple(value)


def _plan(frame_columns, dtypes, key, detector, params, time, columns, categorical,
          states_in, states_out) -> _Plan:
    import quillon

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
    if _SCORE in (key, time):
        raise ValueError(f"the key and time columns cannot be named {_SCORE!r}: the result has it")
    if _POSITION in present:
        raise ValueError(f"the frame cannot have a column named {_POSITION!r}")
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

    kind = BY_CLASS[name]
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
    if folders[0] is not None and folders[1] is not None and _same_place(*folders):
        raise ValueError(
            "states_in and states_out must be different folders: Dask reruns lost tasks, and a "
            "rerun must read the states the first run read"
        )
    return _Plan(name, params, key, time, columns, categorical, *folders)


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
        int, float, str, bytes, bool, datetime or date (see `key_seed`).
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
        Folder (or fsspec URL) of saved states: a key whose state file (`state_name`) exists
        there resumes from it, and `params` do not apply to it; other keys start fresh.
    states_out : str or path-like, optional
        Folder (or fsspec URL, created if needed) where each key of `frame` gets its final state
        as JSON, written to a temporary name and renamed into place when the rows are scored
        (computing a Dask result twice writes the same files twice). Must differ from
        `states_in`, so that a rerun of a lost task reads what the first run read. Keys of
        `states_in` that `frame` lacks are not copied: start `states_out` as a copy of
        `states_in` to carry them over.

    Returns
    -------
    dask.dataframe.DataFrame or pandas.DataFrame
        The input's index with the columns `key`, `time` (when given) and ``score`` (float64),
        ready to join back. A pandas result keeps the input's row order; a Dask result is in the
        shuffled order.

    Raises
    ------
    TypeError, ValueError, OverflowError
        From the detector's constructor for wrong `params`, at once; from the batch methods for
        wrong inputs, when the rows are scored.
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
    """
    numpy, pandas = _pandas()
    if isinstance(frame, pandas.DataFrame):
        plan = _plan(frame.columns, frame.dtypes, key, detector, params, time, columns, categorical,
                     states_in, states_out)
        return plan.score(_tag_positions(frame))
    try:
        import dask.dataframe as dd
    except ImportError as exc:
        raise _missing_extra(exc) from None
    if not isinstance(frame, dd.DataFrame):
        raise TypeError(f"frame must be a dask or pandas DataFrame, not {type(frame).__name__}")
    meta = frame._meta
    plan = _plan(meta.columns, meta.dtypes, key, detector, params, time, columns, categorical,
                 states_in, states_out)
    # Only the columns the detectors read travel through the shuffle.
    used = [key, *([] if time is None else [time]), *plan.columns, *plan.categorical]
    used = list(dict.fromkeys(used))
    frame = frame[used]
    tagged = frame.map_partitions(_tag_positions, meta=_tag_positions(frame._meta))
    # Per-key scoring wants a few large partitions, for which the task shuffle is the cheapest;
    # beyond them (or when the user configured one) Dask's own choice applies.
    import dask

    method = dask.config.get("dataframe.shuffle.method", None)
    if method is None and frame.npartitions <= _TASK_SHUFFLE_LIMIT:
        method = "tasks"
    by_key = tagged.shuffle(on=key, npartitions=frame.npartitions, shuffle_method=method)
    return by_key.map_partitions(_score_partition, plan, meta=plan.score(_tag_positions(meta)))
