"""Every detector that exists can save itself and load back to the same text, in either form.

Random configurations (down to the edges the constructors accept) and random streams (down to the
largest values the detectors accept): after construction and after every call, accepted or not,
`from_json(to_json())` writes the same text again, and `from_bytes(to_bytes())` gives a detector
that writes the same text and the same bytes.
"""

import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import quillon

MAX_TIME_DECAY = sys.float_info.max / 2**64
F32_MAX = 3.4028234663852886e38

SETTINGS = settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.too_slow])


def assert_round_trip(det):
    text = det.to_json()
    again = type(det).from_json(text)
    assert again.to_json() == text
    data = det.to_bytes()
    from_bytes = type(det).from_bytes(data)
    assert from_bytes.to_json() == text
    assert from_bytes.to_bytes() == data
    assert again.to_bytes() == data


def run(det, calls):
    """Applies each (method name, args) call; a refused call must leave the text as it was."""
    assert_round_trip(det)
    for name, args in calls:
        before = det.to_json()
        try:
            getattr(det, name)(*args)
        except (ValueError, OverflowError):
            assert det.to_json() == before
        assert_round_trip(det)


edge_f32 = st.sampled_from([0.0, -0.0, 1.0, 1.7e38, -1.7e38, 1.7014118e38, -1.7014118e38,
                           1.7014119e38, 3e38, -F32_MAX, F32_MAX, 1e-45, -1e-38])
coord = st.floats(-F32_MAX, F32_MAX, allow_nan=False, width=32) | edge_f32
update_method = st.sampled_from(["update", "update_and_score"])


@SETTINGS
@given(
    dims=st.tuples(st.integers(1, 3), st.integers(1, 3)),
    sizes=st.tuples(st.integers(1, 12), st.integers(1, 3)),
    time_decay=st.sampled_from([0.0, MAX_TIME_DECAY, 1e288, 5e-324])
    | st.floats(0.0, MAX_TIME_DECAY),
    fraction=st.floats(0.0, 1.0),
    internal=st.booleans(),
    seed=st.integers(0, 2**64 - 1),
    data=st.data(),
)
def test_forest(dims, sizes, time_decay, fraction, internal, seed, data):
    input_dim, shingle = dims
    capacity, trees = sizes
    f = quillon.Forest(input_dim, shingle_size=shingle, capacity=capacity, num_trees=trees,
                       time_decay=time_decay, internal_shingling=internal,
                       initial_accept_fraction=fraction, seed=seed)
    width = input_dim if internal else input_dim * shingle
    points = st.lists(coord, min_size=width, max_size=width)
    calls = data.draw(st.lists(st.tuples(update_method, points.map(lambda p: (p,))), max_size=30))
    run(f, calls)


@SETTINGS
@given(
    dims=st.tuples(st.integers(0, 2), st.integers(0, 2)).filter(lambda d: d != (0, 0)),
    rows=st.integers(1, 3),
    buckets=st.integers(2, 40),
    alpha=st.sampled_from([5e-324, 1e-300, 0.5, 1 - 2**-53]) | st.floats(0.0, 1.0, exclude_min=True,
                                                                         exclude_max=True),
    seed=st.integers(0, 2**64 - 1),
    data=st.data(),
)
def test_mstream(dims, rows, buckets, alpha, seed, data):
    numeric_dim, categorical_dim = dims
    m = quillon.MStream(numeric_dim, categorical_dim, num_rows=rows, num_buckets=buckets,
                        alpha=alpha, seed=seed)
    number = st.floats(allow_nan=False, allow_infinity=False) | st.sampled_from(
        [sys.float_info.max, -sys.float_info.max, 0.0, -0.0])
    gaps = data.draw(st.lists(st.integers(0, 2**40) | st.sampled_from([0, 1]), max_size=25))
    calls, now = [], 1
    for gap in gaps:
        now = min(now + gap, 2**64 - 1)
        record = (
            data.draw(st.lists(number, min_size=numeric_dim, max_size=numeric_dim)),
            data.draw(st.lists(st.integers(-(2**63), 2**63 - 1), min_size=categorical_dim,
                               max_size=categorical_dim)),
            now,
        )
        calls.append((data.draw(st.sampled_from(["update", "update_and_score",
                                                 "update_and_score_detailed"])), record))
    run(m, calls)


@SETTINGS
@given(
    projections=st.tuples(st.integers(1, 6), st.integers(1, 6)),
    chains=st.integers(1, 3),
    depth=st.integers(1, 6) | st.sampled_from([1023, 1024]),
    rows=st.integers(1, 3),
    buckets=st.integers(2, 16),
    half_life=st.integers(1, 4) | st.sampled_from([2**64 - 1]),
    seed=st.integers(0, 2**64 - 1),
    data=st.data(),
)
def test_feature_sketch(projections, chains, depth, rows, buckets, half_life, seed, data):
    value_dims, presence_dims = projections
    s = quillon.FeatureSketch(value_dims, presence_dims, chains, depth, rows, buckets, half_life,
                              seed=seed)
    value = st.floats(allow_nan=False, allow_infinity=False) | st.sampled_from(
        [sys.float_info.max, -sys.float_info.max, 5e-324])
    events = st.dictionaries(st.sampled_from(["a", "b", "c", "longer name"]), value, max_size=4)
    calls = data.draw(st.lists(st.tuples(update_method, events.map(lambda e: (e,))), max_size=20))
    run(s, calls)


@SETTINGS
@given(
    shape=st.tuples(st.integers(1, 3), st.integers(1, 3)),
    eta=st.integers(1, 4),
    extra=st.integers(1, 24),
    seed=st.integers(0, 2**64 - 1),
    data=st.data(),
)
def test_online_iforest(shape, eta, extra, seed, data):
    input_dim, trees = shape
    d = quillon.OnlineIForest(input_dim, num_trees=trees, window_size=eta + extra,
                              max_leaf_samples=eta, seed=seed)
    points = st.lists(coord, min_size=input_dim, max_size=input_dim)
    calls = data.draw(st.lists(st.tuples(update_method, points.map(lambda p: (p,))), max_size=60))
    run(d, calls)


@pytest.mark.parametrize("time_decay", [MAX_TIME_DECAY, 1e288, 0.0])
def test_forest_weights_stay_finite_at_the_last_count(time_decay):
    f = quillon.Forest(1, capacity=2, num_trees=2, time_decay=time_decay, seed=5)
    for x in (1.0, 2.0, 3.0):
        f.update([x])
    # The largest count an update can reach: weights subtract 2^64 * time_decay.
    text = f.to_json().replace('"entries_seen":3,"rng"', f'"entries_seen":{2**64 - 2},"rng"')
    f = quillon.Forest.from_json(text)
    f.update([4.0])
    assert f.entries_seen() == 2**64 - 1
    assert "null" not in f.to_json()
    assert_round_trip(f)
