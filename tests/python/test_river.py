"""The River detectors: River's own estimator checks, the native detectors' scores behind them,
and River's filters and progressive validation on top."""

import random

import pytest

pytest.importorskip("river")  # River has no free-threaded build: skipped there

import river.checks  # noqa: E402
from river import anomaly, datasets, evaluate, metrics, preprocessing  # noqa: E402

import quillon  # noqa: E402
from quillon._detectors import categorical_code  # noqa: E402
from quillon.river import (  # noqa: E402
    FeatureSketchAnomalyDetector,
    ForestAnomalyDetector,
    MStreamAnomalyDetector,
    OnlineIForestAnomalyDetector,
)

CLASSES = [ForestAnomalyDetector, OnlineIForestAnomalyDetector, MStreamAnomalyDetector,
           FeatureSketchAnomalyDetector]


def _shuttle_instead_of_credit_card(model, scale=1):
    # River streams its anomaly checks over a credit-card data set it downloads at run time, which
    # cannot be fetched here; the same checks run over the Shuttle copy River bundles. Only the
    # data set is substituted.
    yield datasets.Shuttle().take(1000 * scale)


def _checks():
    for cls in CLASSES:
        for params in cls._unit_test_params():
            model = cls(**params)
            for check in river.checks.yield_checks(model):
                if check.__name__ not in model._unit_test_skips():
                    yield pytest.param(model, check, id=f"{cls.__name__}-{check.__name__}")


_original_datasets = river.checks._yield_datasets
river.checks._yield_datasets = _shuttle_instead_of_credit_card
try:
    CHECKS = list(_checks())  # the dataset checks are bound to their data set here
finally:
    river.checks._yield_datasets = _original_datasets


@pytest.mark.parametrize("model, check", CHECKS)
def test_river_checks(model, check):
    check(model.clone())


def _stream(n):
    return list(datasets.Shuttle().take(n))


def _vector(x, keys):
    return [x.get(k, 0.0) for k in keys]


def test_scores_equal_the_native_detectors():
    stream = _stream(400)
    keys = sorted(stream[0][0], key=str)
    native = {
        ForestAnomalyDetector: (quillon.Forest(len(keys), num_trees=10, seed=3),
                                lambda x, t: (_vector(x, keys),)),
        OnlineIForestAnomalyDetector: (quillon.OnlineIForest(len(keys), seed=3),
                                       lambda x, t: (_vector(x, keys),)),
        MStreamAnomalyDetector: (quillon.MStream(len(keys), 0, seed=3),
                                 lambda x, t: (_vector(x, keys), [], t)),
        FeatureSketchAnomalyDetector: (quillon.FeatureSketch(seed=3),
                                       lambda x, t: (sorted((str(k), v) for k, v in x.items()),)),
    }
    for cls, (detector, args) in native.items():
        model = cls(seed=3, **({"num_trees": 10} if cls is ForestAnomalyDetector else {}))
        assert model.score_one(stream[0][0]) == 0.0  # nothing learned yet
        for t, (x, _) in enumerate(stream, start=1):
            # Keys in a different order each time: the vector order is the sorted one.
            shuffled = dict(random.Random(t).sample(sorted(x.items()), len(x)))
            if t > 1:
                assert model.score_one(shuffled) == detector.score(*args(x, t)), (cls, t)
            model.learn_one(shuffled)
            detector.update(*args(x, t))
        assert model.detector.to_json() == detector.to_json()


def test_mstream_categories_ticks_and_given_features():
    model = MStreamAnomalyDetector(features=("b", "a"), categorical=("port", "up"), tick="t",
                                   seed=9)
    detector = quillon.MStream(2, 2, seed=9)
    rng = random.Random(9)
    for i in range(300):
        x = {"a": rng.gauss(0, 1), "b": rng.random(), "port": rng.choice(["80", 443, "ssh"]),
             "up": rng.random() < 0.5, "t": 1 + i // 3, "ignored": 1e9}
        if i % 50 == 7:
            del x["port"]  # a missing category is the category None
        record = ([x["b"], x["a"]], [categorical_code(x.get("port")), categorical_code(x["up"])],
                  x["t"])
        assert model.score_one(x) == (detector.score(*record) if i else 0.0)
        model.learn_one(x)
        detector.update(*record)
    assert model.detector.to_json() == detector.to_json()
    with pytest.raises(ValueError, match="non-decreasing"):
        model.learn_one({"a": 0.0, "b": 0.0, "port": "80", "up": True, "t": 1})
    assert model.detector.to_json() == detector.to_json()


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_pipelines_filters_and_progressive_validation(cls):
    params = {"seed": 1, **({"num_trees": 10} if cls is ForestAnomalyDetector else {})}
    scaled = preprocessing.MinMaxScaler() | cls(**params)
    auc = evaluate.progressive_val_score(datasets.Shuttle().take(600), scaled, metrics.ROCAUC())
    assert -1e-9 <= auc.get() <= 1.0, (cls, auc)
    for model in [anomaly.QuantileFilter(cls(**params), q=0.95),
                  anomaly.ThresholdFilter(cls(**params), threshold=0.5)]:
        evaluate.progressive_val_score(datasets.Shuttle().take(300), model, metrics.ROCAUC())
        assert model.anomaly_detector.detector.entries_seen() > 0
    # A filter learns only what it does not flag.
    for threshold, learned in [(-1.0, None), (1e300, 10)]:  # flags every score, or none
        flagging = anomaly.ThresholdFilter(cls(**params), threshold=threshold)
        for x, _ in _stream(10):
            flagging.learn_one(x)
        detector = flagging.anomaly_detector.detector
        assert (detector and detector.entries_seen()) == learned


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_a_refused_first_observation_leaves_nothing_behind(cls):
    model = cls(seed=1)
    refused = {"a": float("nan")} if cls is MStreamAnomalyDetector else {"a": object()}
    with pytest.raises((TypeError, ValueError)):
        model.learn_one(refused)
    assert model.detector is None and model.score_one({"a": 1.0}) == 0.0
    model.learn_one({"a": 1.0, "b": 2.0})
    assert model.detector.entries_seen() == 1
