from collections.abc import Hashable
from typing import Any

from river.base import AnomalyDetector  # type: ignore[import-not-found, import-untyped, unused-ignore]

from . import FeatureSketch, Forest, MStream, OnlineIForest

__all__ = [
    "FeatureSketchAnomalyDetector",
    "ForestAnomalyDetector",
    "MStreamAnomalyDetector",
    "OnlineIForestAnomalyDetector",
]

_Features = tuple[Hashable, ...]

class _VectorDetector(AnomalyDetector):
    features: _Features | None
    seed: int | None
    def learn_one(self, x: dict[Hashable, Any]) -> None: ...
    def score_one(self, x: dict[Hashable, Any]) -> float: ...

class ForestAnomalyDetector(_VectorDetector):
    shingle_size: int
    num_trees: int
    capacity: int
    time_decay: float
    output_after: int
    internal_shingling: bool
    initial_accept_fraction: float
    detector: Forest | None
    def __init__(
        self,
        features: _Features | None = None,
        shingle_size: int = 1,
        num_trees: int = 50,
        capacity: int = 256,
        time_decay: float = 0.0,
        output_after: int = 0,
        internal_shingling: bool = True,
        initial_accept_fraction: float = 0.125,
        seed: int | None = None,
    ) -> None: ...

class OnlineIForestAnomalyDetector(_VectorDetector):
    num_trees: int
    window_size: int
    max_leaf_samples: int
    detector: OnlineIForest | None
    def __init__(
        self,
        features: _Features | None = None,
        num_trees: int = 32,
        window_size: int = 2048,
        max_leaf_samples: int = 32,
        seed: int | None = None,
    ) -> None: ...

class MStreamAnomalyDetector(AnomalyDetector):
    features: _Features | None
    categorical: _Features | None
    tick: Hashable | None
    num_rows: int
    num_buckets: int
    alpha: float
    seed: int | None
    detector: MStream | None
    def __init__(
        self,
        features: _Features | None = None,
        categorical: _Features | None = None,
        tick: Hashable | None = None,
        num_rows: int = 2,
        num_buckets: int = 1024,
        alpha: float = 0.8,
        seed: int | None = None,
    ) -> None: ...
    def learn_one(self, x: dict[Hashable, Any]) -> None: ...
    def score_one(self, x: dict[Hashable, Any]) -> float: ...

class FeatureSketchAnomalyDetector(AnomalyDetector):
    value_projection_dims: int
    presence_projection_dims: int
    chains_per_ensemble: int
    chain_depth: int
    sketch_rows: int
    sketch_buckets: int
    decay_half_life: int
    seed: int | None
    detector: FeatureSketch | None
    def __init__(
        self,
        value_projection_dims: int = 32,
        presence_projection_dims: int = 32,
        chains_per_ensemble: int = 16,
        chain_depth: int = 8,
        sketch_rows: int = 2,
        sketch_buckets: int = 2048,
        decay_half_life: int = 2048,
        seed: int | None = None,
    ) -> None: ...
    def learn_one(self, x: dict[Hashable, Any]) -> None: ...
    def score_one(self, x: dict[Hashable, Any]) -> float: ...
