"""What the command line and `quillon.dask` need to know about each detector, in one table.

Both front ends read frames (a CSV or JSON Lines file, a pandas partition) and hand them to a
detector's batch method; this module says, per detector, which columns it takes, how their values
are encoded and how a saved state is recognised, so the two front ends score the same data the
same way.
"""

from __future__ import annotations

import hashlib
import json
import struct
from dataclasses import dataclass
from typing import Any, Iterable

_CATEGORICAL_KEY = b"quillon-categorical"

# The binary state (docs/binary-state.md): files whose name ends in BINARY_SUFFIX are written in
# it; a state is read as binary when it starts with the magic bytes, whatever its name.
BINARY_SUFFIX = ".qstate"
BINARY_MAGIC = b"\x89QLN"
_HEADER = struct.Struct("<4sHBBQ")  # magic, format version, detector kind, flags, payload length


@dataclass(frozen=True)
class Kind:
    """One detector: its names, its dimensions, the columns it takes and its saved records."""

    name: str  # on the command line
    class_name: str
    dimensions: tuple[str, ...]  # constructor parameters that follow from the columns
    categorical: bool  # takes categorical columns (codes for MStream, indicators for FeatureSketch)
    ticks: bool  # takes a column of integer ticks
    events: bool  # rows become FeatureSketch events rather than numeric rows
    # The top-level record's fields in saved order (a record may be saved as an array of them), one
    # field no other detector's record has, and the fields of its "config" record in order.
    fields: tuple[str, ...]
    marker: str
    config: tuple[str, ...]
    # In the binary state: the detector's kind byte, and where and how its config record lies
    # (little-endian fixed-width fields in the order of `config`).
    binary_kind: int
    binary_config: tuple[int, str]

    @property
    def cls(self) -> type:
        import quillon

        return getattr(quillon, self.class_name)

    def derived_dimensions(self, params: dict[str, Any], numeric: int, categorical: int) -> dict[str, int]:
        """The dimension parameters that `numeric` and `categorical` columns give.

        A Forest without internal shingling takes whole shingled points, so its columns are
        `shingle_size` times its `input_dim`; a `shingle_size` the constructor will refuse is left
        for it to name. Raises ValueError when the columns do not split into shingles.
        """
        if self.class_name == "Forest":
            width = params.get("shingle_size", 1)
            if (not params.get("internal_shingling", True) and isinstance(width, int)
                    and not isinstance(width, bool) and width > 0):
                if numeric % width:
                    raise ValueError(f"{numeric} columns do not split into shingles of {width} "
                                     f"(internal_shingling=false takes whole shingled points)")
                numeric //= width
            return {"input_dim": numeric}
        if self.class_name == "OnlineIForest":
            return {"input_dim": numeric}
        if self.class_name == "MStream":
            return {"numeric_dim": numeric, "categorical_dim": categorical}
        return {}

    def batch_arguments(self, values: Any, codes: Any, ticks: Any, events: Any) -> tuple:
        """The arguments of `update_and_score_many` from a batch's columns."""
        if self.events:
            return (events,)
        if self.ticks:
            return (values, codes, ticks)
        return (values,)


KINDS = (
    Kind("forest", "Forest", ("input_dim",), False, False, False,
         ("config", "trees", "samplers", "point_store", "entries_seen", "rng"), "samplers",
         ("input_dim", "shingle_size", "capacity", "num_trees", "time_decay", "output_after",
          "internal_shingling", "initial_accept_fraction"), 1, (16, "<QQQQdQ?d")),
    Kind("online-iforest", "OnlineIForest", ("input_dim",), False, False, False,
         ("config", "trees", "window", "entries_seen"), "window",
         ("input_dim", "num_trees", "window_size", "max_leaf_samples"), 4, (16, "<QQQQ")),
    Kind("mstream", "MStream", ("numeric_dim", "categorical_dim"), True, True, False,
         ("config", "clock", "entries_seen", "record_counts", "numeric_counts", "categorical_counts",
          "numeric_normalizer"), "clock",
         ("numeric_dim", "categorical_dim", "num_rows", "num_buckets", "alpha"), 2, (16, "<QQQQd")),
    Kind("feature-sketch", "FeatureSketch", (), True, False, True,
         ("format_version", "config", "projection_seeds", "value_layout", "presence_layout",
          "value_sketch", "presence_sketch", "current_epoch", "entries_seen"), "projection_seeds",
         ("value_projection_dims", "presence_projection_dims", "chains_per_ensemble", "chain_depth",
          "sketch_rows", "sketch_buckets", "decay_half_life"), 3, (20, "<QQQQQQQ")),
)
BY_NAME = {kind.name: kind for kind in KINDS}
BY_CLASS = {kind.class_name: kind for kind in KINDS}
_BY_BINARY_KIND = {kind.binary_kind: kind for kind in KINDS}


def is_binary(data: bytes) -> bool:
    """Whether a saved state is in the binary form (a JSON text never starts with its magic)."""
    return data[:len(BINARY_MAGIC)] == BINARY_MAGIC


def binary_path(path: str) -> bool:
    """Whether a state file of this name is written in the binary form."""
    return str(path).endswith(BINARY_SUFFIX)


def load(cls: type, data: bytes) -> Any:
    """The detector of class `cls` that a saved state holds, in either form."""
    return cls.from_bytes(data) if is_binary(data) else cls.from_json(data)


def dump(detector: Any, binary: bool) -> bytes:
    """A detector's state, binary or as JSON text."""
    return detector.to_bytes() if binary else detector.to_json().encode()


def category_text(value: Any) -> str:
    """The text of a categorical value, the same in every front end.

    Text stands as it is; booleans are ``true`` and ``false`` and other numbers their JSON text
    (``443``, ``1.5``), whether they come from JSON, Python or numpy, so that a CSV cell, a JSON
    Lines value and a frame column holding the same value give the same category.
    """
    if isinstance(value, str):
        return value
    if type(value).__name__ == "bool_" or isinstance(value, bool):  # numpy.bool_ without numpy
        return "true" if value else "false"
    if hasattr(value, "dtype") and hasattr(value, "item"):  # a numpy scalar: its Python value
        value = value.item()
    try:
        return json.dumps(value)
    except (TypeError, ValueError):
        return str(value)


def categorical_code(value: Any) -> int:
    """Map a categorical value to the integer code fed to `MStream`.

    Parameters
    ----------
    value : str or JSON scalar
        Text is used as it stands; other values by their text (see `category_text`).

    Returns
    -------
    int
        The first 8 bytes of keyed BLAKE2b-64 of the UTF-8 text, little-endian, top bit cleared:
        stable across runs, machines and Python versions.

    Examples
    --------
    >>> categorical_code("443") == categorical_code(443)
    True
    """
    text = category_text(value).encode("utf-8")
    digest = hashlib.blake2b(text, digest_size=8, key=_CATEGORICAL_KEY).digest()
    return int.from_bytes(digest, "little") & 0x7FFF_FFFF_FFFF_FFFF


def feature_event(cells: Iterable[tuple[str, Any, bool]]) -> dict[str, float]:
    """A FeatureSketch event from a row's ``(name, value, categorical)`` cells, in column order.

    Missing values (None) are left out; categorical values and booleans become the indicator
    feature ``"name=text"`` (text by `category_text`) with value 1.0; numbers are feature values.
    """
    event: dict[str, float] = {}
    for name, value, categorical in cells:
        if value is None:
            continue
        if categorical or isinstance(value, bool) or type(value).__name__ == "bool_":
            event[f"{name}={category_text(value)}"] = 1.0
        else:
            event[name] = float(value)
    return event


class StateError(ValueError):
    """A text that is not the saved state of any detector."""


@dataclass(frozen=True)
class SavedState:
    """What one parse of a saved state tells: its detector, its configuration, and whether the
    state carries the detector's alerts too (`quillon.Monitor`'s layout)."""

    kind: Kind
    config: dict[str, Any]
    alerts: bool = False


# A detector saved with its alerts: `quillon.Monitor.to_json`'s object. A detector alone is saved
# as its own record, so files written without alerts read (and are written) as before.
PAIRED_FIELDS = frozenset({"detector", "state", "alerts"})


def read_state(text: bytes | str) -> SavedState:
    """Tell a saved state's detector and configuration from one JSON parse.

    Only the top-level shape is looked at; the detector's own `from_json` checks the rest. A
    binary state is told by its header, and its configuration read from the record after it.
    Raises StateError when the text is not recognisably any detector's state.
    """
    if isinstance(text, bytes) and is_binary(text):
        return _read_binary_state(text)
    try:
        record = json.loads(text)
    except (ValueError, RecursionError, MemoryError):  # malformed, too deep, oversized integers
        raise StateError("not JSON") from None
    if isinstance(record, dict) and set(record) == PAIRED_FIELDS:
        kind = BY_CLASS.get(record["detector"]) if isinstance(record["detector"], str) else None
        if kind is None:
            raise StateError("not a saved quillon detector")
        found = _shape(record["state"])
        if found is None or found[0] is not kind or found[1] is None:
            raise StateError(f"not a saved {kind.class_name} with its alerts")
        return SavedState(kind, found[1], alerts=True)
    found = _shape(record)
    if found is None:
        raise StateError("not a saved quillon detector")
    kind, config = found
    if config is None:
        raise StateError(f"not a saved {kind.class_name}: no configuration")
    return SavedState(kind, config)


def _shape(record: Any) -> tuple[Kind, dict[str, Any] | None] | None:
    """The detector whose record this is, and its configuration (None when there is none)."""
    if isinstance(record, dict):
        found = [kind for kind in KINDS if kind.marker in record]
        config = record.get("config")
    elif isinstance(record, list):
        found = [kind for kind in KINDS if len(record) == len(kind.fields)]
        config = record[found[0].fields.index("config")] if len(found) == 1 else None
    else:
        found, config = [], None
    if len(found) != 1:
        return None
    kind = found[0]
    if isinstance(config, list):
        config = dict(zip(kind.config, config))
    if not isinstance(config, dict):
        return kind, None
    return kind, {name: config[name] for name in kind.config if name in config}


def _read_binary_state(data: bytes) -> SavedState:
    if len(data) < _HEADER.size:
        raise StateError("not a saved quillon detector: a truncated binary header")
    _, _, kind_byte, _, _ = _HEADER.unpack_from(data)
    kind = _BY_BINARY_KIND.get(kind_byte)
    if kind is None:
        raise StateError("not a saved quillon detector: an unknown binary detector kind")
    offset, layout = kind.binary_config
    try:
        values = struct.unpack_from(layout, data, offset)
    except struct.error:
        values = ()  # cut short: the detector's own reader says where
    return SavedState(kind, dict(zip(kind.config, values)))


def disagreements(saved: dict[str, Any], given: dict[str, Any]) -> list[tuple[str, Any, Any]]:
    """Given parameters whose value differs from a saved configuration: (name, saved, given).

    Parameters the configuration does not hold (the seed, which only starts a new detector's
    generators) cannot disagree.
    """
    out = []
    for name, value in given.items():
        if name not in saved:
            continue
        old = saved[name]
        same = type(old) is type(value) and old == value if isinstance(value, bool) else (
            not isinstance(old, bool) and isinstance(old, (int, float)) and old == value)
        if not same:
            out.append((name, old, value))
    return out
