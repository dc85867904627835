"""scikit-learn outlier detectors over quillon's streaming detectors.

One estimator per detector, following scikit-learn's outlier-detector conventions:

=================================  ======================
estimator                          detector
=================================  ======================
`ForestOutlierDetector`            `quillon.Forest`
`MStreamOutlierDetector`           `quillon.MStream`
`FeatureSketchOutlierDetector`     `quillon.FeatureSketch`
`OnlineIForestOutlierDetector`     `quillon.OnlineIForest`
=================================  ======================

Needs the optional extra: ``pip install 'quillon[sklearn]'`` (scikit-learn 1.6 or newer).

`fit` builds a new detector and streams the rows through it in order (one batch call), then scores
them against what it learned (one more); `partial_fit` streams further rows into the same
detector. `score_samples` previews each row against the detector without changing it and returns
the negated anomaly score, so that higher means more normal as scikit-learn defines it;
`decision_function` is `score_samples` minus `offset_`, and `predict` gives -1 where that is
negative (an outlier) and +1 elsewhere. Right after `fit`, `score_samples` of the same rows reuses
the scores `fit` computed instead of scoring them again.

`contamination` sets `offset_` from the scores of the rows of the last `fit` or `partial_fit`:
a fraction in (0, 0.5] of them is predicted to be outliers (scikit-learn's convention for
`IsolationForest`); ``"auto"`` marks as outliers the rows whose anomaly score lies above the upper
Tukey fence of those scores (third quartile plus 1.5 interquartile ranges), as the detectors'
scores have no fixed scale a constant offset could rest on.

The attributes benchmark harnesses written for PyOD read are set by every `fit` and
`partial_fit`, for the rows it was given: `decision_scores_` (their anomaly scores, higher is more
anomalous), `threshold_` (the anomaly score above which a row is an outlier, ``-offset_``) and
`labels_` (1 for the rows above `threshold_`, 0 elsewhere, which is `predict` of those rows
mapped to PyOD's labels).

The fitted native detector is `detector_`. `random_state` gives the detector's seed: an int is
the seed itself, so ``ForestOutlierDetector(random_state=7)`` learns exactly as
``quillon.Forest(d, seed=7)``; None draws fresh entropy on every fit.
"""

from __future__ import annotations

from numbers import Integral, Real
from typing import Any

import numpy as np

try:
    from sklearn.base import BaseEstimator, OutlierMixin
    from sklearn.utils import check_random_state
    from sklearn.utils._param_validation import Interval, StrOptions
    from sklearn.utils.validation import check_is_fitted, validate_data
except ImportError as exc:  # the classes derive from scikit-learn's: nothing works without it
    raise ImportError(f"quillon.sklearn needs scikit-learn 1.6 or newer "
                      f"({exc}): pip install 'quillon[sklearn]'") from exc

import quillon

from ._detectors import BY_CLASS

__all__ = [
    "FeatureSketchOutlierDetector",
    "ForestOutlierDetector",
    "MStreamOutlierDetector",
    "OnlineIForestOutlierDetector",
]


class _StreamingOutlierDetector(OutlierMixin, BaseEstimator):
    """What the four estimators share; each names its detector and how rows reach it."""

    _detector_class: type
    _detector_params: tuple[str, ...]

    _parameter_constraints: dict[str, list[Any]] = {
        "contamination": [StrOptions({"auto"}), Interval(Real, 0, 0.5, closed="right")],
        "random_state": ["random_state"],
    }

    def fit(self, X: Any, y: Any = None) -> Any:
        """Build a new detector and stream the rows of `X` through it in order.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
        y : ignored

        Returns
        -------
        self
        """
        return self._stream(X, reset=True)

    def partial_fit(self, X: Any, y: Any = None) -> Any:
        """Stream the rows of `X` in order into the fitted detector (a new one on the first call).

        `decision_scores_`, `offset_`, `threshold_` and `labels_` then describe these rows.
        """
        return self._stream(X, reset=not hasattr(self, "detector_"))

    def score_samples(self, X: Any) -> np.ndarray:
        """The negated anomaly score of each row: higher is more normal; the detector is unchanged."""
        check_is_fitted(self)
        X = validate_data(self, X, dtype=np.float64, reset=False)
        fitted = getattr(self, "_fitted_rows", None)
        if (fitted is not None and fitted[0] is self.detector_
                and fitted[1] == self.detector_.entries_seen()
                and fitted[2].shape == X.shape and np.array_equal(fitted[2], X)):
            return -fitted[3]
        return -self._score(self.detector_, X)

    def decision_function(self, X: Any) -> np.ndarray:
        """`score_samples` shifted by `offset_`: negative for outliers, otherwise inliers."""
        return self.score_samples(X) - self.offset_

    def predict(self, X: Any) -> np.ndarray:
        """-1 for outliers and +1 for inliers."""
        return np.where(self.decision_function(X) < 0, -1, 1)

    def _stream(self, X: Any, reset: bool) -> Any:
        # A failed call leaves the estimator as it was: the new attributes are assigned at the end,
        # and validate_data's (n_features_in_, feature_names_in_) are put back on failure.
        saved = dict(self.__dict__)
        try:
            if reset:
                self._validate_params()
            X = validate_data(self, X, dtype=np.float64, reset=reset)
            detector = self._new_detector(X.shape[1]) if reset else self.detector_
            self._update(detector, X)
            raw = self._score(detector, X)
            if self.contamination == "auto":
                q1, q3 = np.percentile(raw, [25.0, 75.0])
                threshold = float(q3 + 1.5 * (q3 - q1))
            else:
                threshold = float(np.percentile(raw, 100.0 * (1.0 - self.contamination)))
        except BaseException:
            self.__dict__.clear()
            self.__dict__.update(saved)
            raise
        self.detector_ = detector
        self.decision_scores_ = raw
        self.threshold_ = threshold
        self.offset_ = -threshold
        self.labels_ = (raw > threshold).astype(np.int64)
        # What score_samples must match to reuse these scores: the same detector with as many rows
        # learned, and the same rows (a private copy, so that rows changed in place do not match).
        self._fitted_rows = (detector, detector.entries_seen(), X.copy(), raw.copy())
        return self

    def __getstate__(self) -> dict[str, Any]:
        state = super().__getstate__()
        state.pop("_fitted_rows", None)  # a cache: pickles carry the model, not its training rows
        return state

    def _seed(self) -> int | None:
        state = self.random_state
        if state is None:
            return None
        if isinstance(state, Integral):
            return int(state)
        return int(check_random_state(state).randint(np.iinfo(np.int64).max, dtype=np.int64))

    def _new_detector(self, n_features: int) -> Any:
        params = {name: getattr(self, name) for name in self._detector_params}
        params.update(self._dimensions(params, n_features))
        return self._detector_class(**params, seed=self._seed())

    def _dimensions(self, params: dict[str, Any], n_features: int) -> dict[str, int]:
        return BY_CLASS[self._detector_class.__name__].derived_dimensions(params, n_features, 0)

    # Numeric detectors take the rows as they are; MStream and FeatureSketch override these.
    def _update(self, detector: Any, X: np.ndarray) -> None:
        detector.update_many(X)

    def _score(self, detector: Any, X: np.ndarray) -> np.ndarray:
        return detector.score_many(X)


class ForestOutlierDetector(_StreamingOutlierDetector):
    """Random Cut Forest (`quillon.Forest`) as a scikit-learn outlier detector.

    The columns of `X` are the forest's `input_dim` (with ``internal_shingling=False``, whole
    shingles of `shingle_size` observations). The other parameters are the forest's, with
    `random_state` as its seed; `contamination` sets `offset_` (see `quillon.sklearn`).
    """

    _detector_class = quillon.Forest
    _detector_params = ("shingle_size", "num_trees", "capacity", "time_decay", "output_after",
                        "internal_shingling", "initial_accept_fraction")

    def __init__(self, *, shingle_size: int = 1, num_trees: int = 50, capacity: int = 256,
                 time_decay: float = 0.0, output_after: int = 0, internal_shingling: bool = True,
                 initial_accept_fraction: float = 0.125, contamination: Any = "auto",
                 random_state: Any = None) -> None:
        self.shingle_size = shingle_size
        self.num_trees = num_trees
        self.capacity = capacity
        self.time_decay = time_decay
        self.output_after = output_after
        self.internal_shingling = internal_shingling
        self.initial_accept_fraction = initial_accept_fraction
        self.contamination = contamination
        self.random_state = random_state


class OnlineIForestOutlierDetector(_StreamingOutlierDetector):
    """Online Isolation Forest (`quillon.OnlineIForest`) as a scikit-learn outlier detector.

    The columns of `X` are the detector's `input_dim`; `random_state` is its seed and
    `contamination` sets `offset_` (see `quillon.sklearn`).
    """

    _detector_class = quillon.OnlineIForest
    _detector_params = ("num_trees", "window_size", "max_leaf_samples")

    def __init__(self, *, num_trees: int = 32, window_size: int = 2048, max_leaf_samples: int = 32,
                 contamination: Any = "auto", random_state: Any = None) -> None:
        self.num_trees = num_trees
        self.window_size = window_size
        self.max_leaf_samples = max_leaf_samples
        self.contamination = contamination
        self.random_state = random_state


class MStreamOutlierDetector(_StreamingOutlierDetector):
    """MStream (`quillon.MStream`) as a scikit-learn outlier detector.

    Parameters
    ----------
    categorical_columns : tuple of int, optional
        Columns of `X` holding categorical codes (integral values); the others are numeric.
    tick_column : int, optional
        Column of `X` holding each row's logical timestamp (a positive integer, non-decreasing
        over the stream); `score_samples` previews a row older than the last one learned at the
        last one's time. Without one, `fit` and `partial_fit` give each row the next tick after
        the last one learned (the first row tick 1), and `score_samples` previews every row at the
        next tick after the last one learned.
    num_rows, num_buckets, alpha
        The detector's parameters.
    contamination, random_state
        See `quillon.sklearn`.
    """

    _detector_class = quillon.MStream
    _detector_params = ("num_rows", "num_buckets", "alpha")

    _parameter_constraints = {
        **_StreamingOutlierDetector._parameter_constraints,
        "categorical_columns": [tuple, list],
        "tick_column": [Interval(Integral, None, None, closed="neither"), None],
    }

    def __init__(self, *, categorical_columns: tuple[int, ...] = (), tick_column: int | None = None,
                 num_rows: int = 2, num_buckets: int = 1024, alpha: float = 0.8,
                 contamination: Any = "auto", random_state: Any = None) -> None:
        self.categorical_columns = categorical_columns
        self.tick_column = tick_column
        self.num_rows = num_rows
        self.num_buckets = num_buckets
        self.alpha = alpha
        self.contamination = contamination
        self.random_state = random_state

    def _columns(self, n_features: int) -> tuple[list[int], list[int]]:
        """The numeric and categorical column indices; ValueError when they do not fit `X`."""
        special = [int(c) for c in self.categorical_columns]
        if self.tick_column is not None:
            special.append(int(self.tick_column))
        if any(not -n_features <= c < n_features for c in special):
            raise ValueError(f"categorical_columns and tick_column must be columns of X "
                             f"({n_features} features)")
        special = [c % n_features for c in special]
        if len(set(special)) != len(special):
            raise ValueError("categorical_columns and tick_column name a column twice")
        categorical = special[:len(self.categorical_columns)]
        numeric = [c for c in range(n_features) if c not in special]
        return numeric, categorical

    def _dimensions(self, params: dict[str, Any], n_features: int) -> dict[str, int]:
        numeric, categorical = self._columns(n_features)
        return {"numeric_dim": len(numeric), "categorical_dim": len(categorical)}

    def _arguments(self, detector: Any, X: np.ndarray, learning: bool) -> tuple:
        numeric, categorical = self._columns(X.shape[1])
        codes = X[:, categorical]
        if not np.array_equal(codes, np.trunc(codes)):
            raise ValueError("categorical columns must hold integral codes")
        if self.tick_column is not None:
            ticks = X[:, self.tick_column]
            if not np.array_equal(ticks, np.trunc(ticks)) or (ticks.size and ticks.min() < 1):
                raise ValueError("the tick column must hold positive integers")
            ticks = ticks.astype(np.uint64)
            if not learning and detector.current_time() is not None:
                # The clock never runs back: rows from before it are previewed at its time.
                ticks = np.maximum(ticks, np.uint64(detector.current_time()))
        else:
            last = detector.current_time() or 0
            if learning:
                ticks = np.arange(last + 1, last + 1 + X.shape[0], dtype=np.uint64)
            else:
                ticks = np.full(X.shape[0], last + 1, dtype=np.uint64)
        values = X if len(numeric) == X.shape[1] else X[:, numeric]
        return values, codes.astype(np.int64), ticks

    def _update(self, detector: Any, X: np.ndarray) -> None:
        detector.update_many(*self._arguments(detector, X, True))

    def _score(self, detector: Any, X: np.ndarray) -> np.ndarray:
        return detector.score_many(*self._arguments(detector, X, False))


class FeatureSketchOutlierDetector(_StreamingOutlierDetector):
    """FeatureSketch (`quillon.FeatureSketch`) as a scikit-learn outlier detector.

    Each row becomes one event holding every column as a feature: named by `feature_names_in_`
    when `X` came with column names, else ``"x0"``, ``"x1"``, …. The other parameters are the
    detector's, with `random_state` as its seed; `contamination` sets `offset_` (see
    `quillon.sklearn`).
    """

    _detector_class = quillon.FeatureSketch
    _detector_params = ("value_projection_dims", "presence_projection_dims", "chains_per_ensemble",
                        "chain_depth", "sketch_rows", "sketch_buckets", "decay_half_life")

    def __init__(self, *, value_projection_dims: int = 32, presence_projection_dims: int = 32,
                 chains_per_ensemble: int = 16, chain_depth: int = 8, sketch_rows: int = 2,
                 sketch_buckets: int = 2048, decay_half_life: int = 2048,
                 contamination: Any = "auto", random_state: Any = None) -> None:
        self.value_projection_dims = value_projection_dims
        self.presence_projection_dims = presence_projection_dims
        self.chains_per_ensemble = chains_per_ensemble
        self.chain_depth = chain_depth
        self.sketch_rows = sketch_rows
        self.sketch_buckets = sketch_buckets
        self.decay_half_life = decay_half_life
        self.contamination = contamination
        self.random_state = random_state

    def _events(self, X: np.ndarray) -> list[list[tuple[str, float]]]:
        names = getattr(self, "feature_names_in_", None)
        if names is None:
            names = [f"x{j}" for j in range(X.shape[1])]
        names = [str(n) for n in names]
        # Sequences of pairs: the cheapest event form to build and to read.
        return [list(zip(names, row)) for row in X.tolist()]

    def _update(self, detector: Any, X: np.ndarray) -> None:
        detector.update_many(self._events(X))

    def _score(self, detector: Any, X: np.ndarray) -> np.ndarray:
        return detector.score_many(self._events(X))
