"""The scikit-learn estimators: scikit-learn's own estimator checks, and the native detectors'
scores and states behind them."""

import numpy as np
import pytest

pytest.importorskip("sklearn")

from sklearn.utils.estimator_checks import parametrize_with_checks  # noqa: E402

import quillon  # noqa: E402
from quillon.sklearn import (  # noqa: E402
    FeatureSketchOutlierDetector,
    ForestOutlierDetector,
    MStreamOutlierDetector,
    OnlineIForestOutlierDetector,
)

SMALL = [
    ForestOutlierDetector(num_trees=10, capacity=64),
    OnlineIForestOutlierDetector(num_trees=8, window_size=256),
    MStreamOutlierDetector(),
    FeatureSketchOutlierDetector(chains_per_ensemble=4),
]


# Every check runs; check_array_api_input reports itself skipped unless SCIPY_ARRAY_API is set.
@parametrize_with_checks(SMALL, expected_failed_checks=lambda estimator: {})
def test_scikit_learn_checks(estimator, check):
    check(estimator)


def _rows(n, d, seed):
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(n, d))
    X[::37] += 6.0  # a few clear outliers
    return X


def _events(X):
    return [{f"x{j}": v for j, v in enumerate(row)} for row in X.tolist()]


# estimator, the native detector it should hold, and the native batch arguments of rows X.
NATIVE = [
    pytest.param(ForestOutlierDetector(num_trees=10, capacity=64, random_state=7),
                 lambda: quillon.Forest(3, num_trees=10, capacity=64, seed=7),
                 lambda X, t0: (X,), id="Forest"),
    pytest.param(OnlineIForestOutlierDetector(num_trees=8, window_size=256, random_state=7),
                 lambda: quillon.OnlineIForest(3, num_trees=8, window_size=256, seed=7),
                 lambda X, t0: (X,), id="OnlineIForest"),
    pytest.param(MStreamOutlierDetector(random_state=7), lambda: quillon.MStream(3, 0, seed=7),
                 lambda X, t0: (X, np.zeros((len(X), 0), np.int64), np.arange(t0, t0 + len(X))),
                 id="MStream"),
    pytest.param(FeatureSketchOutlierDetector(chains_per_ensemble=4, random_state=7),
                 lambda: quillon.FeatureSketch(chains_per_ensemble=4, seed=7),
                 lambda X, t0: (_events(X),), id="FeatureSketch"),
]


@pytest.mark.parametrize("estimator, native, args", NATIVE)
def test_scores_and_state_equal_the_native_detectors(estimator, native, args):
    X, later = _rows(300, 3, 1), _rows(50, 3, 2)
    detector = native()
    detector.update_many(*args(X, 1))
    estimator.fit(X)
    assert estimator.detector_.to_json() == detector.to_json()
    # Rows are previewed (the learned ones from the scores fit kept); MStream previews them at
    # the tick after the last one learned.
    for rows in [later, X]:
        np.testing.assert_array_equal(estimator.score_samples(rows),
                                      -detector.score_many(*_preview(args, rows, 301)))
    # partial_fit in pieces learns exactly what one fit of the whole stream learns.
    pieces = type(estimator)(**estimator.get_params())
    for part in np.array_split(np.vstack([X, later]), 4):
        pieces.partial_fit(part)
    detector.update_many(*args(later, 301))
    assert pieces.detector_.to_json() == detector.to_json()


def _preview(args, X, tick):
    numeric, *rest = args(X, tick)
    if rest and len(rest) == 2:  # MStream: every row at the same next tick
        return numeric, rest[0], np.full(len(X), tick)
    return (numeric, *rest)


@pytest.mark.parametrize("estimator", SMALL, ids=lambda e: type(e).__name__)
def test_thresholds_labels_and_the_scores_fit_keeps(estimator):
    X = _rows(400, 3, 3)
    fitted = type(estimator)(**{**estimator.get_params(), "contamination": 0.05,
                                "random_state": 3}).fit(X)
    predicted = fitted.predict(X)
    assert np.sum(predicted == -1) == 20
    np.testing.assert_array_equal(fitted.labels_, (predicted == -1).astype(int))
    np.testing.assert_array_equal(fitted.decision_scores_, -fitted.score_samples(X))
    assert fitted.threshold_ == -fitted.offset_
    # The scores fit keeps stand for these rows only: changed in place, they are scored afresh.
    before = fitted.score_samples(X)
    X[1] += 50.0
    assert fitted.score_samples(X)[1] != before[1]
    np.testing.assert_array_equal(fitted.score_samples(X)[:2], fitted.score_samples(X[:2]))
    auto = type(estimator)(**{**estimator.get_params(), "random_state": 3}).fit(X)
    assert 0 < np.sum(auto.predict(X) == -1) < len(X) // 4


def test_mstream_columns_ticks_and_failed_calls():
    rng = np.random.default_rng(4)
    n = 200
    ticks = np.repeat(np.arange(1, 51), 4)
    codes = rng.integers(0, 5, size=n)
    numeric = rng.normal(size=(n, 2))
    X = np.column_stack([ticks, numeric[:, 0], codes, numeric[:, 1]])
    estimator = MStreamOutlierDetector(categorical_columns=(2,), tick_column=0, random_state=5)
    estimator.fit(X)
    detector = quillon.MStream(2, 1, seed=5)
    expected = detector.update_and_score_many(numeric, codes[:, None], ticks)
    assert estimator.detector_.to_json() == detector.to_json()
    assert not np.array_equal(expected, 0)
    np.testing.assert_array_equal(estimator.score_samples(X[-8:]),  # the last two ticks, at 50
                                  -detector.score_many(numeric[-8:], codes[-8:, None], [50] * 8))
    # Refused rows leave the fitted estimator as it was.
    state = estimator.detector_.to_json()
    attributes = set(vars(estimator))
    bad = X.copy()
    bad[5, 2] = 0.5  # not a code
    going_back = X.copy()
    going_back[:, 0] = 1  # ticks before the last one learned
    for call, rows in [("fit", bad), ("partial_fit", bad), ("partial_fit", going_back)]:
        with pytest.raises(ValueError):
            getattr(estimator, call)(rows)
        assert set(vars(estimator)) == attributes
        assert estimator.detector_.to_json() == state
    for columns in [dict(categorical_columns=(4,)), dict(categorical_columns=(1,), tick_column=1)]:
        with pytest.raises(ValueError, match="column"):
            MStreamOutlierDetector(**columns).fit(X)
