"""River anomaly detectors over quillon's streaming detectors.

One detector per quillon class, each a `river.anomaly.base.AnomalyDetector`, so that River's
pipelines, `anomaly.ThresholdFilter`, `anomaly.QuantileFilter` and
`evaluate.progressive_val_score` take them:

================================  ======================
detector                          quillon class
================================  ======================
`ForestAnomalyDetector`           `quillon.Forest`
`MStreamAnomalyDetector`          `quillon.MStream`
`FeatureSketchAnomalyDetector`    `quillon.FeatureSketch`
`OnlineIForestAnomalyDetector`    `quillon.OnlineIForest`
================================  ======================

Needs the optional extra: ``pip install 'quillon[river]'`` (River has no free-threaded build yet).

`learn_one(x)` ingests one observation (a dict of features) and `score_one(x)` previews its
anomaly score without learning it: higher means more anomalous, as River defines it. Before the
first `learn_one`, `score_one` returns 0.0.

Feature order. `Forest`, `OnlineIForest` and `MStream` take fixed-length vectors. Their features
are the `features` parameter in the order given, or else the keys of the first dict learned,
sorted by their text (``str(key)``, then the type's name), so that the order does not depend on the
order of a dict's keys. Afterwards a missing feature counts as 0.0 and a key that is not a feature
is ignored. `FeatureSketch` takes every key of every dict as a feature named ``str(key)``, in that
sorted order: numbers as values, text and booleans as the indicator feature ``"key=value"``
with value 1.0; None is left out.

`seed` is the detector's seed (None: fresh entropy). The native detector is `detector` once the
first observation was learned.
"""

from __future__ import annotations

from typing import Any

try:
    from river.base import AnomalyDetector
except ImportError as exc:  # the classes derive from River's: nothing works without it
    raise ImportError(f"quillon.river needs River ({exc}): pip install 'quillon[river]'") from exc

import quillon

from ._detectors import BY_CLASS, categorical_code, category_text

__all__ = [
    "FeatureSketchAnomalyDetector",
    "ForestAnomalyDetector",
    "MStreamAnomalyDetector",
    "OnlineIForestAnomalyDetector",
]


def _order(key: Any) -> tuple[str, str]:
    return (str(key), type(key).__name__)


class _VectorDetector(AnomalyDetector):
    """`Forest` and `OnlineIForest`: a fixed vector of the numeric features."""

    _detector_class: type
    _detector_params: tuple[str, ...]

    def _start(self, x: dict) -> None:
        features = self.features if self.features is not None else sorted(x, key=_order)
        params = {name: getattr(self, name) for name in self._detector_params}
        params.update(BY_CLASS[self._detector_class.__name__].derived_dimensions(
            params, len(features), 0))
        detector = self._detector_class(**params, seed=self.seed)
        # Kept only once the first observation is learned: a refused one leaves no half state.
        detector.update([x.get(k, 0.0) for k in features])
        self._features = tuple(features)
        self.detector = detector

    def _vector(self, x: dict) -> list[float]:
        get = x.get
        return [get(k, 0.0) for k in self._features]

    def learn_one(self, x: dict) -> None:
        if self.detector is None:
            self._start(x)
        else:
            self.detector.update(self._vector(x))

    def score_one(self, x: dict) -> float:
        if self.detector is None:
            return 0.0
        return self.detector.score(self._vector(x))


class ForestAnomalyDetector(_VectorDetector):
    """Random Cut Forest (`quillon.Forest`) as a River anomaly detector.

    Parameters
    ----------
    features
        Feature names in vector order; None takes the sorted keys of the first dict learned.
    shingle_size, num_trees, capacity, time_decay, output_after, internal_shingling,
    initial_accept_fraction
        The forest's parameters.
    seed
        The forest's seed; None draws fresh entropy.

    Examples
    --------
    >>> from river import datasets
    >>> from quillon.river import ForestAnomalyDetector
    >>> model = ForestAnomalyDetector(num_trees=20, seed=1)
    >>> for x, _ in datasets.Shuttle().take(200):
    ...     score = model.score_one(x)
    ...     model.learn_one(x)
    >>> model.detector.entries_seen()
    200
    """

    _detector_class = quillon.Forest
    _detector_params = ("shingle_size", "num_trees", "capacity", "time_decay", "output_after",
                        "internal_shingling", "initial_accept_fraction")

    def __init__(self, features: tuple | None = None, shingle_size: int = 1, num_trees: int = 50,
                 capacity: int = 256, time_decay: float = 0.0, output_after: int = 0,
                 internal_shingling: bool = True, initial_accept_fraction: float = 0.125,
                 seed: int | None = None) -> None:
        self.features = features
        self.shingle_size = shingle_size
        self.num_trees = num_trees
        self.capacity = capacity
        self.time_decay = time_decay
        self.output_after = output_after
        self.internal_shingling = internal_shingling
        self.initial_accept_fraction = initial_accept_fraction
        self.seed = seed
        self.detector: Any = None

    @classmethod
    def _unit_test_params(cls):
        yield {"num_trees": 10, "capacity": 64}


class OnlineIForestAnomalyDetector(_VectorDetector):
    """Online Isolation Forest (`quillon.OnlineIForest`) as a River anomaly detector.

    Parameters
    ----------
    features
        Feature names in vector order; None takes the sorted keys of the first dict learned.
    num_trees, window_size, max_leaf_samples
        The detector's parameters.
    seed
        The detector's seed; None draws fresh entropy.
    """

    _detector_class = quillon.OnlineIForest
    _detector_params = ("num_trees", "window_size", "max_leaf_samples")

    def __init__(self, features: tuple | None = None, num_trees: int = 32, window_size: int = 2048,
                 max_leaf_samples: int = 32, seed: int | None = None) -> None:
        self.features = features
        self.num_trees = num_trees
        self.window_size = window_size
        self.max_leaf_samples = max_leaf_samples
        self.seed = seed
        self.detector: Any = None


class MStreamAnomalyDetector(AnomalyDetector):
    """MStream (`quillon.MStream`) as a River anomaly detector.

    Parameters
    ----------
    features
        Numeric feature names in vector order; None takes the sorted keys of the first dict
        learned, leaving out `categorical` and `tick`.
    categorical
        Keys whose values are categories (text, integers, booleans), coded as the command line
        codes them; a missing one counts as the category None.
    tick
        Key holding each observation's logical timestamp, a positive integer that never
        decreases. Without one each `learn_one` moves the clock one tick on, and `score_one`
        previews at the next tick.
    num_rows, num_buckets, alpha
        The detector's parameters.
    seed
        The detector's seed; None draws fresh entropy.
    """

    def __init__(self, features: tuple | None = None, categorical: tuple | None = None,
                 tick: Any = None, num_rows: int = 2, num_buckets: int = 1024, alpha: float = 0.8,
                 seed: int | None = None) -> None:
        self.features = features
        self.categorical = categorical
        self._categorical = tuple(categorical or ())
        self.tick = tick
        self.num_rows = num_rows
        self.num_buckets = num_buckets
        self.alpha = alpha
        self.seed = seed
        self.detector: Any = None

    def _start(self, x: dict) -> None:
        if self.features is not None:
            features = tuple(self.features)
        else:
            skip = set(self._categorical) | {self.tick}
            features = tuple(sorted((k for k in x if k not in skip), key=_order))
        detector = quillon.MStream(len(features), len(self._categorical), num_rows=self.num_rows,
                                   num_buckets=self.num_buckets, alpha=self.alpha, seed=self.seed)
        # Kept only once the first observation is learned: a refused one leaves no half state.
        self._features, self._time = features, 0
        try:
            record = self._record(x)
            detector.update(*record)
        except BaseException:
            del self._features, self._time
            raise
        self._time = record[2]
        self.detector = detector

    def _record(self, x: dict) -> tuple[list[float], list[int], int]:
        get = x.get
        numeric = [get(k, 0.0) for k in self._features]
        codes = [categorical_code(get(k)) for k in self._categorical]
        if self.tick is not None:
            when = x[self.tick]
        else:
            # The detector's clock, kept here too: one call less per observation.
            when = self._time + 1
        return numeric, codes, when

    def learn_one(self, x: dict) -> None:
        if self.detector is None:
            self._start(x)
            return
        record = self._record(x)
        self.detector.update(*record)
        self._time = record[2]

    def score_one(self, x: dict) -> float:
        if self.detector is None:
            return 0.0
        return self.detector.score(*self._record(x))


class FeatureSketchAnomalyDetector(AnomalyDetector):
    """FeatureSketch (`quillon.FeatureSketch`) as a River anomaly detector.

    Every key of every dict is a feature, so features may come and go (see `quillon.river`).

    Parameters
    ----------
    value_projection_dims, presence_projection_dims, chains_per_ensemble, chain_depth,
    sketch_rows, sketch_buckets, decay_half_life
        The detector's parameters.
    seed
        The detector's seed; None draws fresh entropy.
    """

    def __init__(self, value_projection_dims: int = 32, presence_projection_dims: int = 32,
                 chains_per_ensemble: int = 16, chain_depth: int = 8, sketch_rows: int = 2,
                 sketch_buckets: int = 2048, decay_half_life: int = 2048,
                 seed: int | None = None) -> None:
        self.value_projection_dims = value_projection_dims
        self.presence_projection_dims = presence_projection_dims
        self.chains_per_ensemble = chains_per_ensemble
        self.chain_depth = chain_depth
        self.sketch_rows = sketch_rows
        self.sketch_buckets = sketch_buckets
        self.decay_half_life = decay_half_life
        self.seed = seed
        self.detector: Any = None

    @staticmethod
    def _event(x: dict) -> list[tuple[str, float]]:
        event = []
        for key in sorted(x, key=_order):
            value = x[key]
            if value is None:
                continue
            if isinstance(value, (str, bool)) or type(value).__name__ == "bool_":
                event.append((f"{key}={category_text(value)}", 1.0))
            else:
                event.append((str(key), float(value)))
        return event

    def learn_one(self, x: dict) -> None:
        if self.detector is not None:
            self.detector.update(self._event(x))
            return
        detector = quillon.FeatureSketch(
            value_projection_dims=self.value_projection_dims,
            presence_projection_dims=self.presence_projection_dims,
            chains_per_ensemble=self.chains_per_ensemble, chain_depth=self.chain_depth,
            sketch_rows=self.sketch_rows, sketch_buckets=self.sketch_buckets,
            decay_half_life=self.decay_half_life, seed=self.seed)
        detector.update(self._event(x))  # kept only once learned: a refused event leaves nothing
        self.detector = detector

    def score_one(self, x: dict) -> float:
        if self.detector is None:
            return 0.0
        return self.detector.score(self._event(x))
