import datetime
from collections.abc import Hashable, Mapping, Sequence
from os import PathLike
from typing import Any, Literal, TypeVar

from . import FeatureSketch, Forest, MStream, OnlineIForest

__all__ = ["key_seed", "score_by_key", "state_name"]

_Frame = TypeVar("_Frame")
_Key = int | float | str | bytes | bool | datetime.date | datetime.datetime
_Columns = Hashable | Sequence[Hashable]
_Location = str | PathLike[str]

def key_seed(seed: int, key: _Key) -> int: ...
def state_name(key: _Key, state_format: Literal["json", "binary"] = "json") -> str: ...
def score_by_key(
    frame: _Frame,
    key: Hashable,
    detector: Literal["Forest", "MStream", "FeatureSketch", "OnlineIForest"]
    | type[Forest]
    | type[MStream]
    | type[FeatureSketch]
    | type[OnlineIForest],
    params: Mapping[str, Any] | None = None,
    *,
    time: Hashable | None = None,
    columns: _Columns | None = None,
    categorical: _Columns | None = None,
    states_in: _Location | None = None,
    states_out: _Location | None = None,
    alerts: bool | float | Mapping[str, Any] | None = None,
    state_format: Literal["json", "binary"] = "json",
) -> _Frame: ...
