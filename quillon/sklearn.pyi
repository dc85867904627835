from typing import Any, Literal, Self

import numpy as np
import numpy.typing as npt
from sklearn.base import BaseEstimator, OutlierMixin  # type: ignore[import-untyped, unused-ignore]

from . import FeatureSketch, Forest, MStream, OnlineIForest

__all__ = [
    "FeatureSketchOutlierDetector",
    "ForestOutlierDetector",
    "MStreamOutlierDetector",
    "OnlineIForestOutlierDetector",
]

_Contamination = Literal["auto"] | float
_RandomState = int | np.random.RandomState | None
_Scores = npt.NDArray[np.float64]

class _StreamingOutlierDetector(OutlierMixin, BaseEstimator):
    contamination: _Contamination
    random_state: _RandomState
    n_features_in_: int
    feature_names_in_: npt.NDArray[np.object_]
    offset_: float
    threshold_: float
    decision_scores_: _Scores
    labels_: npt.NDArray[np.int64]
    def fit(self, X: npt.ArrayLike, y: object = None) -> Self: ...
    def partial_fit(self, X: npt.ArrayLike, y: object = None) -> Self: ...
    def score_samples(self, X: npt.ArrayLike) -> _Scores: ...
    def decision_function(self, X: npt.ArrayLike) -> _Scores: ...
    def predict(self, X: npt.ArrayLike) -> npt.NDArray[np.int64]: ...

class ForestOutlierDetector(_StreamingOutlierDetector):
    shingle_size: int
    num_trees: int
    capacity: int
    time_decay: float
    output_after: int
    internal_shingling: bool
    initial_accept_fraction: float
    detector_: Forest
    def __init__(
        self,
        *,
        shingle_size: int = 1,
        num_trees: int = 50,
        capacity: int = 256,
        time_decay: float = 0.0,
        output_after: int = 0,
        internal_shingling: bool = True,
        initial_accept_fraction: float = 0.125,
        contamination: _Contamination = "auto",
        random_state: _RandomState = None,
    ) -> None: ...

class OnlineIForestOutlierDetector(_StreamingOutlierDetector):
    num_trees: int
    window_size: int
    max_leaf_samples: int
    detector_: OnlineIForest
    def __init__(
        self,
        *,
        num_trees: int = 32,
        window_size: int = 2048,
        max_leaf_samples: int = 32,
        contamination: _Contamination = "auto",
        random_state: _RandomState = None,
    ) -> None: ...

class MStreamOutlierDetector(_StreamingOutlierDetector):
    categorical_columns: tuple[int, ...]
    tick_column: int | None
    num_rows: int
    num_buckets: int
    alpha: float
    detector_: MStream
    def __init__(
        self,
        *,
        categorical_columns: tuple[int, ...] = (),
        tick_column: int | None = None,
        num_rows: int = 2,
        num_buckets: int = 1024,
        alpha: float = 0.8,
        contamination: _Contamination = "auto",
        random_state: _RandomState = None,
    ) -> None: ...

class FeatureSketchOutlierDetector(_StreamingOutlierDetector):
    value_projection_dims: int
    presence_projection_dims: int
    chains_per_ensemble: int
    chain_depth: int
    sketch_rows: int
    sketch_buckets: int
    decay_half_life: int
    detector_: FeatureSketch
    def __init__(
        self,
        *,
        value_projection_dims: int = 32,
        presence_projection_dims: int = 32,
        chains_per_ensemble: int = 16,
        chain_depth: int = 8,
        sketch_rows: int = 2,
        sketch_buckets: int = 2048,
        decay_half_life: int = 2048,
        contamination: _Contamination = "auto",
        random_state: _RandomState = None,
    ) -> None: ...
