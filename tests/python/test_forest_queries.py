"""Forest query methods: worked values, result shapes, argument checks and their order, and the
read-only contract (no query changes the saved state, the generator included)."""

import json
import math
import random
import threading

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quillon

NOT_READY = "forest not ready: insufficient data"


def two_point_forest():
    # One tree holding 0 and 10 under one root (every point enters a filling sampler).
    f = quillon.Forest(1, num_trees=1, initial_accept_fraction=1.0, seed=3)
    f.update([0.0])
    f.update([10.0])
    return f


def fed_forest(input_dim=3, shingle_size=1, n=400, seed=1, **kwargs):
    f = quillon.Forest(input_dim, shingle_size=shingle_size, num_trees=20, capacity=64,
                       seed=seed, **kwargs)
    rng = random.Random(seed)
    length = input_dim if kwargs.get("internal_shingling", True) else input_dim * shingle_size
    for i in range(n):
        centre = 10.0 * (i % 3)
        f.update([centre + rng.gauss(0, 1) for _ in range(length)])
    return f


# ---- worked values ---------------------------------------------------------------------------


def test_two_point_tree_worked_example():
    f = two_point_forest()
    assert f.score([20.0]) == 1.188721875540867
    assert f.displacement_score([20.0]) == 0.5
    assert f.density([20.0]) == 1.0
    assert f.attribution([20.0]) == [{"below": 0.792481250360578, "above": 0.0}]
    assert f.attribution([-10.0]) == [{"below": 0.0, "above": 0.792481250360578}]


@pytest.mark.parametrize("num_trees", [1, 50])
def test_single_point_values_are_averaged_over_all_trees(num_trees):
    # With one tree the point sits in a root leaf; with 50 trees every tree holds it.
    f = quillon.Forest(2, num_trees=num_trees, seed=5)
    f.update([1.0, 2.0])
    assert f.score([1.0, 2.0]) == 0.5
    assert f.score([5.0, -1.0]) == 1.0
    assert f.displacement_score([1.0, 2.0]) == 0.125
    assert f.displacement_score([5.0, -1.0]) == 0.5
    assert f.density([1.0, 2.0]) == 1.0
    assert f.density([5.0, -1.0]) == 0.0
    assert f.attribution([5.0, -1.0]) == [{"below": 0.0, "above": 0.0}] * 2
    [record] = f.near_neighbors([2.0, 0.0], percentile=100)
    assert record == {"score": 1.0, "point": [1.0, 2.0], "distance": 3.0}


def test_empty_forest_answers_zero_or_refuses():
    f = quillon.Forest(3, shingle_size=2, seed=1)
    q = [1.0, 2.0, 3.0]
    assert (f.score(q), f.displacement_score(q), f.density(q)) == (0.0, 0.0, 0.0)
    assert f.attribution(q) == [{"below": 0.0, "above": 0.0}] * 6
    assert f.near_neighbors(q) == []
    with pytest.raises(RuntimeError, match=f"^{NOT_READY}$"):
        f.impute([0.0] * 6, [1])
    with pytest.raises(RuntimeError, match=f"^{NOT_READY}$"):
        f.extrapolate(1)


def test_stored_value_comes_back_as_the_nearest_32_bit_float():
    f = quillon.Forest(1, num_trees=3, seed=2)
    f.update([0.1])
    assert f.near_neighbors([0.0])[0]["point"] == [0.10000000149011612]
    assert f.impute([5.0], [0]) == [0.10000000149011612]


# ---- result shapes ---------------------------------------------------------------------------


def test_result_shapes():
    f = fed_forest(input_dim=2, shingle_size=3)
    attr = f.attribution([1.0, 2.0])
    assert len(attr) == 6 and all(list(d) == ["below", "above"] for d in attr)
    # Far from the data every box separates the query, so the walks reach many leaves.
    neighbours = f.near_neighbors([60.0, -40.0], top_k=7, percentile=10)
    assert 0 < len(neighbours) <= 7
    assert all(list(d) == ["score", "point", "distance"] for d in neighbours)
    assert all(len(d["point"]) == 6 for d in neighbours)
    distances = [d["distance"] for d in neighbours]
    assert distances == sorted(distances)
    assert len({tuple(d["point"]) for d in neighbours}) == len(neighbours)
    assert len(f.impute([0.0] * 6, [0, 5])) == 6
    assert len(f.extrapolate(2)) == 4
    assert f.extrapolate(0) == []
    assert f.near_neighbors([1.0, 2.0], top_k=0) == []


def test_query_point_completes_the_shingle():
    # input_dim values replace the newest observation of the shingle; the full shingled point
    # given directly is evaluated the same way.
    f = fed_forest(input_dim=2, shingle_size=3)
    shingle = json.loads(f.to_json())["point_store"]["shingle_buf"]
    newest = [4.0, 5.0]
    full = shingle[:4] + newest
    for method in ("score", "displacement_score", "density", "attribution"):
        assert getattr(f, method)(newest) == getattr(f, method)(full)
    assert f.near_neighbors(newest) == f.near_neighbors(full)


@pytest.mark.parametrize("method", ["score", "displacement_score", "density", "attribution",
                                    "near_neighbors"])
@pytest.mark.parametrize("length", [0, 1, 3, 5, 7])
def test_query_length_mismatch(method, length):
    f = fed_forest(input_dim=2, shingle_size=3, n=20)
    with pytest.raises(ValueError, match=f"^dimension mismatch: expected 6, got {length}$"):
        getattr(f, method)([1.0] * length)


NON_FINITE_QUERIES = [
    ("score", lambda f, q: f.score(q)),
    ("displacement_score", lambda f, q: f.displacement_score(q)),
    ("density", lambda f, q: f.density(q)),
    ("attribution", lambda f, q: f.attribution(q)),
    ("near_neighbors", lambda f, q: f.near_neighbors(q, percentile=0)),
    ("impute", lambda f, q: f.impute(q + [0.0] * (6 - len(q)), [5])),
    ("score_many", lambda f, q: f.score_many([q])),
    ("update_and_score", lambda f, q: f.update_and_score(q)),
    ("update_and_score_many", lambda f, q: f.update_and_score_many([q])),
]


@pytest.mark.parametrize("name, call", NON_FINITE_QUERIES, ids=[n for n, _ in NON_FINITE_QUERIES])
@pytest.mark.parametrize("bad", [math.nan, -math.nan, math.inf, -math.inf, 1e39])
@pytest.mark.parametrize("where", [0, 1])
def test_non_finite_query_coordinates_are_refused_like_updates(name, call, bad, where):
    # input_dim values completed from the shingle, the way updates take them; 1e39 becomes an
    # infinity in the conversion to 32-bit floats.
    f = fed_forest(input_dim=2, shingle_size=3, n=60)
    before = f.to_json()
    q = [1.0, 2.0]
    q[where] = bad
    with pytest.raises(ValueError, match="^point values must be finite$"):
        f.update(q)
    with pytest.raises(ValueError) as info:
        call(f, q)
    assert str(info.value) == "point values must be finite"
    assert f.to_json() == before


def test_non_finite_full_shingle_queries_are_refused():
    f = fed_forest(input_dim=2, shingle_size=3, n=60)
    full = [math.nan] + [1.0] * 5
    for name, call in NON_FINITE_QUERIES[:7]:
        with pytest.raises(ValueError) as info:
            call(f, full)
        assert str(info.value) == "point values must be finite", name
    # The ingesting step takes input_dim values: its length check comes first, as in the batch.
    for call in (f.update_and_score, lambda q: f.update_and_score_many([q])):
        with pytest.raises(ValueError) as info:
            call(full)
        assert str(info.value) == "dimension mismatch: expected 2, got 6"


def test_impute_ignores_whatever_the_missing_positions_hold():
    f = fed_forest(n=200)
    filled = f.impute([10.0, 0.0, 10.0], [1])
    for marker in (math.nan, math.inf, -math.inf, 1e39):
        assert f.impute([10.0, marker, 10.0], [1]) == filled
        assert f.impute([marker, marker, 10.0], [1, 0, 1])[2] == 10.0
    with pytest.raises(ValueError, match="^point values must be finite$"):
        f.impute([10.0, math.nan, math.inf], [1])


def test_equal_distances_come_in_storage_order():
    # Points on x + y = 20 are all at L1 distance 220 from (-100, -100).
    f = quillon.Forest(2, num_trees=3, capacity=64, initial_accept_fraction=1.0, seed=4)
    points = [[k * 0.5, 20.0 - k * 0.5] for k in (7 * i % 30 for i in range(30))]
    for p in points:
        f.update(p)
    for top_k in (100, 30, 12):
        found = f.near_neighbors([-100.0, -100.0], top_k=top_k)
        assert [d["distance"] for d in found] == [220.0] * min(top_k, 30)
        assert [d["point"] for d in found] == points[:min(top_k, 30)]


# ---- argument checks -------------------------------------------------------------------------


def test_near_neighbors_percentile_range():
    f = fed_forest(n=30)
    # The range is checked before the length.
    with pytest.raises(ValueError, match=r"^percentile must be in \[0, 100\]$"):
        f.near_neighbors([1.0], percentile=101)
    with pytest.raises(OverflowError):
        f.near_neighbors([1.0, 2.0, 3.0], percentile=-1)
    assert isinstance(f.near_neighbors([1.0, 2.0, 3.0], percentile=100), list)
    assert isinstance(f.near_neighbors([1.0, 2.0, 3.0], percentile=0), list)


@pytest.mark.parametrize(
    "point, missing, exc, message",
    [
        ([1.0], [], ValueError, "missing list is empty"),  # even with the wrong length
        ([1.0, 2.0], [0], ValueError, "dimension mismatch: expected 3, got 2"),
        ([1.0, 2.0, 3.0], [1, 3, 9], RuntimeError, "index out of bounds: 3"),
        ([1.0, 2.0], [9], ValueError, "dimension mismatch: expected 3, got 2"),
    ],
)
def test_impute_checks_in_order(point, missing, exc, message):
    f = fed_forest(n=30)
    with pytest.raises(exc) as info:
        f.impute(point, missing)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "kwargs, look_ahead, message",
    [
        (dict(shingle_size=3, internal_shingling=False), 1,
         "extrapolation requires internal_shingling = true"),
        (dict(shingle_size=1, internal_shingling=False), 0,
         "extrapolation requires internal_shingling = true"),
        (dict(shingle_size=1), 0, "extrapolation requires shingle_size > 1"),
        (dict(shingle_size=3), 4,
         "extrapolation requires look_ahead <= shingle_size (got 4, shingle_size=3)"),
    ],
)
def test_extrapolate_checks_in_order(kwargs, look_ahead, message):
    f = quillon.Forest(2, seed=1, **kwargs)
    with pytest.raises(ValueError) as info:
        f.extrapolate(look_ahead)
    assert str(info.value) == message


# ---- imputation ------------------------------------------------------------------------------


def test_impute_single_point_whatever_the_centrality():
    f = quillon.Forest(3, num_trees=4, seed=9)
    f.update([1.5, -2.0, 7.0])
    for c in (1.0, 0.5, 0.0, -2.0, math.nan):
        assert f.impute([9.0, 9.0, 9.0], [0, 2], centrality=c) == [1.5, 9.0, 7.0]


def held_values(f):
    """The first coordinate of the single point each tree holds (capacity-1 samplers)."""
    state = json.loads(f.to_json())
    data, dim = state["point_store"]["store"]["data"], state["point_store"]["dim"]
    # Saved 32-bit floats are written in their shortest form: widen them again exactly.
    return [float(np.float32(data[s["point_indices"][0] * dim])) for s in state["samplers"]]


@pytest.mark.parametrize("num_trees", [2, 3, 4, 5])
def test_impute_takes_the_median_of_the_trees_picks(num_trees):
    # Capacity-1 samplers: every tree is a single leaf, so its pick is the point it holds.
    f = quillon.Forest(1, num_trees=num_trees, capacity=1, seed=7)
    rng = random.Random(num_trees)
    for _ in range(50):
        f.update([rng.uniform(-5, 5)])
    values = sorted(held_values(f))
    n = len(values)
    if n % 2:
        expected = values[n // 2]
    else:
        expected = float(np.float32((np.float32(values[n // 2 - 1]) + np.float32(values[n // 2]))
                                    * np.float32(0.5)))
    assert f.impute([123.0], [0]) == [expected]


def test_impute_is_repeatable_and_repeated_indices_do_not_matter():
    f = fed_forest(input_dim=4, n=300)
    p = [10.0, 11.0, 9.0, 10.0]
    for c in (1.0, 0.6):
        assert f.impute(p, [1, 2], centrality=c) == f.impute(p, [1, 2], centrality=c)
    assert f.impute(p, [0, 0]) == f.impute(p, [0])


def test_impute_randomness_follows_the_forest_generator_without_advancing_it():
    # Two forests that differ only in the forest generator can disagree below centrality 1, and
    # neither call moves the generator.
    f = fed_forest(input_dim=4, n=300)
    base = json.loads(f.to_json())
    p = [10.0, 11.0, 9.0, 10.0]
    differs = False
    for s in range(20):
        state = dict(base, rng={"s": [s + 1, 2, 3, 4]})
        g = quillon.Forest.from_json(json.dumps(state))
        assert g.impute(p, [1, 2]) == f.impute(p, [1, 2])  # centrality 1: no random choice
        differs = differs or g.impute(p, [1, 2], centrality=0.5) != f.impute(p, [1, 2], 0.5)
        assert json.loads(g.to_json())["rng"] == {"s": [s + 1, 2, 3, 4]}
    assert differs


def test_extrapolate_first_block_matches_a_look_ahead_of_one():
    f = fed_forest(input_dim=2, shingle_size=3, n=300)
    full = f.extrapolate(3)
    assert len(full) == 6
    assert full[:2] == f.extrapolate(1)
    assert full[:4] == f.extrapolate(2)


# ---- read-only contract ----------------------------------------------------------------------

QUERIES = [
    lambda f, p: f.score(p),
    lambda f, p: f.displacement_score(p),
    lambda f, p: f.density(p),
    lambda f, p: f.attribution(p),
    lambda f, p: f.near_neighbors(p, top_k=3, percentile=20),
    lambda f, p: f.impute(p + [0.0] * 3, [0, 4], centrality=0.3),
    lambda f, p: f.extrapolate(2),
]


@settings(max_examples=25, deadline=None)
@given(
    points=st.lists(
        st.lists(st.floats(-1e3, 1e3, allow_nan=False, width=32), min_size=3, max_size=3),
        min_size=0, max_size=60),
    query=st.lists(st.floats(-1e4, 1e4, allow_nan=False, width=32), min_size=3, max_size=3),
)
def test_queries_never_change_the_forest(points, query):
    f = quillon.Forest(3, shingle_size=2, num_trees=5, capacity=16, seed=11)
    for p in points:
        f.update(p)
    before = f.to_json()
    for run in QUERIES:
        try:
            run(f, list(query))
        except RuntimeError as exc:  # an empty forest cannot impute or extrapolate
            assert str(exc) == NOT_READY and len(points) < 2  # the shingle is not complete
        assert f.to_json() == before


IMPUTE_FOREST = fed_forest(input_dim=4, n=200, seed=3)


def _stored_range(f):
    store = json.loads(f.to_json())["point_store"]
    data = [float(np.float32(v)) for v in store["store"]["data"]]
    dim = store["dim"]
    rows = [data[r * dim:(r + 1) * dim] for r, used in enumerate(store["occupied"]) if used]
    return [(min(r[i] for r in rows), max(r[i] for r in rows)) for i in range(dim)]


STORED_RANGE = _stored_range(IMPUTE_FOREST)


@settings(max_examples=25, deadline=None)
@given(
    query=st.lists(st.floats(-50, 50, allow_nan=False, width=32), min_size=4, max_size=4),
    missing=st.lists(st.integers(0, 3), min_size=1, max_size=6),
    centrality=st.floats(-1, 2, allow_nan=False),
)
def test_impute_keeps_known_coordinates_and_fills_within_the_stored_range(query, missing,
                                                                          centrality):
    out = IMPUTE_FOREST.impute(query, missing, centrality=centrality)
    for i in range(4):
        if i in missing:
            # A median of stored coordinates (or the mean of two of them).
            assert STORED_RANGE[i][0] <= out[i] <= STORED_RANGE[i][1]
        else:
            assert out[i] == np.float32(query[i])


def test_update_and_score_returns_the_score_before_ingesting():
    f = fed_forest(n=100)
    twin = fed_forest(n=100)
    for p in ([0.0, 0.0, 0.0], [50.0, -3.0, 2.0], [10.0, 10.0, 10.0]):
        expected = twin.score(p)
        twin.update(p)
        assert f.update_and_score(p) == expected
    assert f.to_json() == twin.to_json()


def test_all_queries_share_a_forest_across_threads():
    f = fed_forest(input_dim=3, shingle_size=2, n=300)
    rng = random.Random(4)
    queries = [[rng.gauss(5, 5) for _ in range(3)] for _ in range(15)]
    expected = [[run(f, q) for run in QUERIES] for q in queries]
    results, errors = [], []

    def reader():
        try:
            for _ in range(3):
                results.append([[run(f, q) for run in QUERIES] for q in queries])
        except BaseException as exc:  # noqa: BLE001 - reported below
            errors.append(exc)

    threads = [threading.Thread(target=reader) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    assert len(results) == 12 and all(r == expected for r in results)
