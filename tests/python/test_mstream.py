"""MStream: construction rules, scoring semantics, the decomposed score and the saved state."""

import copy
import json
import functools
import math
import operator
import pickle

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import quillon
from quillon import MStream

T = 1.2800000000000002  # the term of a record seen at ticks 1 and 2 with alpha 0.8


# --- construction -------------------------------------------------------------------------------

@pytest.mark.parametrize("args, kwargs, message", [
    ((0, 0), {}, "at least one of numeric_dim or categorical_dim must be > 0"),
    ((0, 0), {"num_rows": 0, "num_buckets": 1, "alpha": 2.0},
     "at least one of numeric_dim or categorical_dim must be > 0"),
    ((1, 0), {"num_rows": 0}, "num_rows must be > 0"),
    ((1, 0), {"num_rows": 0, "alpha": float("nan")}, "num_rows must be > 0"),
    ((1, 0), {"num_buckets": 1}, "num_buckets must be >= 2"),
    ((0, 1), {"num_buckets": 0, "alpha": -1.0}, "num_buckets must be >= 2"),
    ((1, 0), {"alpha": 1.0}, "alpha must be in range (0, 1)"),
    ((1, 0), {"alpha": 0.0}, "alpha must be in range (0, 1)"),
    ((1, 0), {"alpha": -0.0}, "alpha must be in range (0, 1)"),
    ((1, 0), {"alpha": float("nan")}, "alpha must be in range (0, 1)"),
    ((1, 0), {"alpha": float("inf")}, "alpha must be in range (0, 1)"),
    ((1, 0), {"alpha": -0.25}, "alpha must be in range (0, 1)"),
])
def test_constructor_reports_the_first_broken_rule(args, kwargs, message):
    with pytest.raises(ValueError) as info:
        MStream(*args, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize("kwargs", [
    {"alpha": 5e-324}, {"alpha": 0.9999999999999999}, {"num_buckets": 2}, {"num_rows": 1},
    {"seed": 2**64 - 1}, {"seed": 0}, {"alpha": np.float64(0.5)},
])
def test_constructor_accepts_edge_values(kwargs):
    assert MStream(1, 1, **kwargs).entries_seen() == 0


@pytest.mark.parametrize("kwargs, error", [
    ({"numeric_dim": -1}, OverflowError), ({"numeric_dim": 2.0}, TypeError),
    ({"seed": 2**64}, OverflowError), ({"seed": -1}, OverflowError),
    ({"alpha": "0.5"}, TypeError),
])
def test_constructor_argument_conversion(kwargs, error):
    base = {"numeric_dim": 1, "categorical_dim": 1}
    with pytest.raises(error):
        MStream(**{**base, **kwargs})


@pytest.mark.parametrize("kwargs", [
    {"numeric_dim": 2**40, "categorical_dim": 0}, {"numeric_dim": 1, "categorical_dim": 2**40},
    {"numeric_dim": 1, "categorical_dim": 1, "num_rows": 2**40},
    {"numeric_dim": 1, "categorical_dim": 1, "num_buckets": 2**64 - 1},
])
def test_configurations_beyond_memory_fail_cleanly(kwargs):
    with pytest.raises(MemoryError) as info:
        MStream(**kwargs)
    # The message names the parameters behind the size and the size asked for.
    for name, value in kwargs.items():
        assert f"{name}={value}" in str(info.value)
    assert " bytes asked, " in str(info.value)


@pytest.mark.parametrize("alpha, text", [(0.8, "0.8"), (0.5, "0.5"), (1e-7, "0.0000001"),
                                          (0.1, "0.1"), (1 / 3, "0.3333333333333333")])
def test_repr_and_str(alpha, text):
    m = MStream(2, 1, alpha=alpha)
    expected = (f"MStream(numeric_dim=2, categorical_dim=1, num_rows=2, num_buckets=1024, "
                f"alpha={text}, entries_seen=0)")
    assert repr(m) == str(m) == expected
    m.update([1.0, 2.0], [3], 1)
    assert repr(m).endswith("entries_seen=1)")


# --- scoring ------------------------------------------------------------------------------------

def test_fresh_detector_state_and_zero_scores():
    m = MStream(2, 1)
    assert (m.is_ready(), m.entries_seen(), m.current_time()) == (False, 0, None)
    for call in (m.score, m.update):
        with pytest.raises(ValueError, match=r"^timestamp must be > 0$"):
            call([1.0, -4.0], [9], 0)
    detail = m.score_detailed([1.0, -4.0], [9], 17)
    assert (m.is_ready(), m.entries_seen(), m.current_time()) == (False, 0, None)
    assert detail == {"total": 0.0, "record": 0.0, "numeric_features": [0.0, 0.0],
                      "categorical_features": [0.0]}
    assert list(detail) == ["total", "record", "numeric_features", "categorical_features"]
    assert m.update_and_score([1.0, -4.0], [9], 17) == 0.0
    assert (m.is_ready(), m.entries_seen(), m.current_time()) == (True, 1, 17)
    assert m.__getnewargs__() == (2, 1)


def test_same_record_one_tick_later_scores_the_known_terms():
    m = MStream(2, 1, seed=3)
    m.update([0.5, -3.0], [7], 1)
    expected = {"total": (T + T) + T + T, "record": T, "numeric_features": [T, T],
                "categorical_features": [T]}
    assert m.score_detailed([0.5, -3.0], [7], 2) == expected
    assert m.update_and_score_detailed([0.5, -3.0], [7], 2) == expected


# Computed with a separate model of the planes, keyed hashes, decay and chi-squared terms, for
# MStream(2, 2, num_rows=2, num_buckets=16, alpha=0.6, seed=42): pins every step of scoring at once.
KNOWN_STREAM = [
    (([0.5, -3.0], [7, -1], 3), (0.0, 0.0, [0.0, 0.0], [0.0, 0.0])),
    (([0.5, -3.0], [7, -1], 3), (0.0, 0.0, [0.0, 0.0], [0.0, 0.0])),
    (([2.0, 10.0], [7, 2**63 - 1], 4),
     (4.653333333333334, 1.0, [1.0, 1.0], [0.6533333333333337, 1.0])),
    (([-1.0, 0.0], [-2**63, -1], 9),
     (20.405791259761784, 6.000000000000002, [1.202895629880889, 6.000000000000002],
      [6.000000000000002, 1.202895629880889])),
    (([0.5, -3.0], [7, -1], 10),
     (13.711165128930256, 1.41331372667075, [7.0, 1.41331372667075],
      [0.8301230320142626, 3.0544146435744914])),
    (([100.0, -3.0], [8, 0], 10),
     (29.43524052853906, 7.0, [2.9013064335360004, 5.533934095003061], [7.0, 7.0])),
    (([0.25, 1e6], [7, -1], 40),
     (83.80000903045186, 17.51351389486847, [37.00000000000001, 17.51351389486847],
      [5.886489791158633, 5.886491449556281])),
]


def test_known_scores_of_a_fixed_stream():
    m = MStream(2, 2, num_rows=2, num_buckets=16, alpha=0.6, seed=42)
    for record, (total, rec, numeric, categorical) in KNOWN_STREAM:
        expected = {"total": total, "record": rec, "numeric_features": numeric,
                    "categorical_features": categorical}
        assert m.score_detailed(*record) == expected
        assert m.update_and_score_detailed(*record) == expected


def test_records_within_one_tick_do_not_decay():
    m = MStream(2, 1)
    m.update([0.5, -3.0], [7], 1)
    assert m.update_and_score([0.5, -3.0], [7], 1) == 0.0
    state = json.loads(m.to_json())
    assert state["clock"] == {"current_time": 1, "current_tick": 1}
    counts = state["record_counts"]
    assert counts["current"]["count"] == counts["total"]["count"]


@pytest.mark.parametrize("gap", [1, 2, 7, 50])
def test_a_gap_of_k_ticks_applies_alpha_to_the_power_k_once(gap):
    m = MStream(0, 1, num_rows=1, num_buckets=16, alpha=0.7, seed=gap)
    m.update([], [1], 5)
    m.update([], [2], 5 + gap)
    state = json.loads(m.to_json())
    for counts in (state["categorical_counts"][0]["current"], state["record_counts"]["current"]):
        # One cell holds 0.7**gap + 1 or two cells hold 0.7**gap and 1; the sum is the same.
        assert sum(counts["count"]["data"]) == 0.7 ** gap + 1.0
        assert max(counts["count"]["data"]) in (1.0, 0.7 ** gap + 1.0)


def test_huge_gap_underflows_to_zero_and_scores_stay_finite():
    m = MStream(1, 1, num_buckets=16)
    for ts in range(1, 6):
        m.update([float(ts)], [1], ts)
    detail = m.update_and_score_detailed([2.0], [1], 10**9)
    assert all(math.isfinite(v) for v in [detail["total"], detail["record"],
                                          *detail["numeric_features"],
                                          *detail["categorical_features"]])
    state = json.loads(m.to_json())
    assert sum(state["record_counts"]["current"]["count"]["data"]) == 2.0  # the new record only
    assert sum(state["record_counts"]["total"]["count"]["data"]) == 12.0


def test_only_timestamp_differences_matter():
    a, b = MStream(2, 2, seed=1), MStream(2, 2, seed=1)
    for i, ts in enumerate([1, 1, 2, 5, 5, 9]):
        record = ([float(i), 1.0 / (i + 1)], [i % 2, 4], )
        assert a.update_and_score(*record, ts) == b.update_and_score(*record, ts + 10**12)


def test_inputs_as_numpy_arrays_and_tuples():
    a, b = MStream(2, 2, seed=4), MStream(2, 2, seed=4)
    for ts in range(1, 20):
        x = [ts * 0.5, -ts]
        c = [ts % 3, 2**63 - 1]
        assert a.update_and_score(x, c, ts) == b.update_and_score(
            np.array(x), np.array(c, dtype=np.int64), np.uint64(ts))
    assert a.to_json() == b.to_json()


def plain_sum(values):
    """Left-to-right float addition (the built-in sum() compensates rounding errors)."""
    return functools.reduce(operator.add, values, 0.0)


# Random streams: values, categorical codes and timestamp steps (repeats, steps, long gaps).
records = st.tuples(
    st.lists(st.one_of(st.just(0.0), st.sampled_from([1.0, -2.5]),
                       st.floats(-1e6, 1e6, allow_nan=False)), min_size=3, max_size=3),
    st.lists(st.one_of(st.integers(-2, 3), st.integers(-2**63, 2**63 - 1)), min_size=2, max_size=2),
    st.one_of(st.just(0), st.just(1), st.integers(0, 5), st.integers(0, 10**6)),
)


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(records, min_size=1, max_size=40), st.integers(0, 2**64 - 1),
       st.sampled_from([2, 3, 64]))
def test_preview_equals_the_following_update(stream, seed, buckets):
    m = MStream(3, 2, num_buckets=buckets, seed=seed)
    ts = 1
    for numeric, categorical, step in stream:
        ts += step
        preview = m.score_detailed(numeric, categorical, ts)
        assert m.score(numeric, categorical, ts) == preview["total"]
        before = m.to_json()
        assert m.score(numeric, categorical, ts) == preview["total"]
        assert m.to_json() == before
        detail = m.update_and_score_detailed(numeric, categorical, ts)
        assert detail == preview
        assert detail["total"] == (plain_sum(detail["numeric_features"]) + detail["record"]
                                   + plain_sum(detail["categorical_features"]))
    assert m.entries_seen() == len(stream)


@settings(max_examples=25, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(records, min_size=1, max_size=30), st.sampled_from([3, 64]))
def test_current_and_total_sketches_with_different_keys_hash_on_their_own(stream, buckets):
    # A restored state may give a total sketch other keys than its current twin: each then counts
    # in its own buckets, as the detector whose keys it has would, row by row and in batches.
    a, b = MStream(3, 2, num_buckets=buckets, seed=1), MStream(3, 2, num_buckets=buckets, seed=2)
    mixed = json.loads(a.to_json())
    other = json.loads(b.to_json())
    mixed["record_counts"]["total"] = other["record_counts"]["total"]
    for j in range(2):
        mixed["categorical_counts"][j]["total"] = other["categorical_counts"][j]["total"]
    row_by_row, batch = MStream.from_json(json.dumps(mixed)), MStream.from_json(json.dumps(mixed))
    ts, timestamps, expected = 1, [], []
    for numeric, categorical, step in stream:
        ts += step
        timestamps.append(ts)
        preview = row_by_row.score(numeric, categorical, ts)
        expected.append(row_by_row.update_and_score(numeric, categorical, ts))
        assert expected[-1] == preview
        a.update(numeric, categorical, ts)
        b.update(numeric, categorical, ts)
    scores = batch.update_and_score_many([r[0] for r in stream], [r[1] for r in stream], timestamps)
    assert batch.to_json() == row_by_row.to_json()
    state, sa, sb = (json.loads(d.to_json()) for d in (row_by_row, a, b))
    assert state["record_counts"]["current"] == sa["record_counts"]["current"]
    assert state["record_counts"]["total"] == sb["record_counts"]["total"]
    for j in range(2):
        assert state["categorical_counts"][j]["current"] == sa["categorical_counts"][j]["current"]
        assert state["categorical_counts"][j]["total"] == sb["categorical_counts"][j]["total"]
    assert scores.tolist() == expected


@settings(max_examples=25, deadline=None)
@given(st.lists(records, min_size=0, max_size=25), st.integers(0, 2**64 - 1))
def test_same_seed_same_state_and_round_trips_continue(stream, seed):
    a, b = MStream(3, 2, num_buckets=32, seed=seed), MStream(3, 2, num_buckets=32, seed=seed)
    ts = 1
    for numeric, categorical, step in stream:
        ts += step
        a.update(numeric, categorical, ts)
        b.update(numeric, categorical, ts)
    text = a.to_json()
    assert b.to_json() == text
    restored = [MStream.from_json(text), MStream.from_json(text.encode()), copy.copy(a),
                copy.deepcopy(a), pickle.loads(pickle.dumps(a))]
    for r in restored:
        assert r.to_json() == text
    for numeric, categorical, step in stream[::-1]:
        ts += step
        expected = a.update_and_score_detailed(numeric, categorical, ts)
        for r in restored:
            assert r.update_and_score_detailed(numeric, categorical, ts) == expected
    for r in restored:
        assert r.to_json() == a.to_json()


def test_different_seeds_draw_different_keys():
    assert MStream(2, 2, seed=1).to_json() != MStream(2, 2, seed=2).to_json()
    assert MStream(2, 2).to_json() != MStream(2, 2).to_json()  # entropy seeds


# --- refused calls ------------------------------------------------------------------------------

NAN, INF = float("nan"), float("inf")


@pytest.mark.parametrize("record, error, message", [
    (([1.0], [3], 12), ValueError, "dimension mismatch: expected 2, got 1"),
    (([1.0, 2.0, 3.0], [], 12), ValueError, "dimension mismatch: expected 2, got 3"),
    (([1.0, 2.0], [], 12), ValueError, "dimension mismatch: expected 1, got 0"),
    (([1.0, 2.0], [3], 0), ValueError, "timestamp must be > 0"),
    (([NAN, 2.0], [3], 0), ValueError, "timestamp must be > 0"),
    (([1.0, 2.0], [3], 9), ValueError, "timestamps must be non-decreasing: previous=11, got=9"),
    (([1.0, NAN], [3], 50), ValueError, "numeric values must be finite"),
    (([INF, 1.0], [3], 11), ValueError, "numeric values must be finite"),
    (([1.0, -INF], [3], 12), ValueError, "numeric values must be finite"),
    (("12", [3], 12), TypeError, "Can't extract `str` to `Vec`"),
    (([1.0, 2.0], [1.5], 12), TypeError, None),
    (([1.0, 2.0], [2**63], 12), OverflowError, None),
    (([1.0, 2.0], [3], -1), OverflowError, None),
    (([1.0, 2.0], [3], 1.5), TypeError, None),
    ((None, [3], 12), TypeError, "'None' is not an instance of 'Sequence'"),
])
@pytest.mark.parametrize("method", ["update", "update_and_score", "update_and_score_detailed",
                                    "score", "score_detailed"])
def test_refused_calls_change_nothing(record, error, message, method):
    m = MStream(2, 1, num_buckets=32, seed=5)
    m.update([1.0, 2.0], [3], 10)
    m.update([-1.0, 0.5], [4], 11)
    before = m.to_json()
    with pytest.raises(error) as info:
        getattr(m, method)(*record)
    if message is not None:
        assert str(info.value) == message
    assert m.to_json() == before
    # The next valid record scores as if the refused one had never been offered.
    twin = MStream.from_json(before)
    assert m.update_and_score([0.0, 1.0], [3], 13) == twin.update_and_score([0.0, 1.0], [3], 13)


def test_conversion_failures_name_the_parameter():
    m = MStream(1, 1)
    for args, param in [(("x", [1], 1), "numeric"), (([1.0], [0.5], 1), "categorical"),
                        (([1.0], [1], -3), "timestamp")]:
        with pytest.raises((TypeError, OverflowError)) as info:
            m.update(*args)
        assert info.value.__notes__ == [f"while processing '{param}'"]


# --- saved state --------------------------------------------------------------------------------

def test_state_layout_and_array_representation():
    m = MStream(2, 1, num_rows=3, num_buckets=1000, alpha=0.5, seed=9)
    m.update([1.0, 2.0], [5], 4)
    state = json.loads(m.to_json())
    assert list(state) == ["config", "clock", "entries_seen", "record_counts", "numeric_counts",
                           "categorical_counts", "numeric_normalizer"]
    assert state["config"] == {"numeric_dim": 2, "categorical_dim": 1, "num_rows": 3,
                               "num_buckets": 1000, "alpha": 0.5}
    assert state["clock"] == {"current_time": 4, "current_tick": 1}
    record = state["record_counts"]["current"]
    assert list(record) == ["num_rows", "num_buckets", "numeric_dim", "categorical_dim",
                            "numeric_planes", "categorical_coeffs", "count"]
    assert record["numeric_planes"]["dim"] == [3, 10, 2]
    assert len(record["numeric_planes"]["data"]) == 60
    assert record["categorical_coeffs"]["dim"] == [3, 1]
    assert record["count"]["dim"] == [3, 1000]
    assert list(record["count"]) == ["v", "dim", "data"]
    numeric = state["numeric_counts"][0]["total"]
    assert list(numeric) == ["num_buckets", "count"] and numeric["count"]["dim"] == [1000]
    categorical = state["categorical_counts"][0]["current"]
    assert list(categorical) == ["num_rows", "num_buckets", "hash_a", "hash_b", "count"]
    assert categorical["hash_a"]["dim"] == [3]
    assert all(1 <= a <= 999 for a in categorical["hash_a"]["data"])
    assert state["numeric_normalizer"] == {"min_numeric": [math.asinh(1.0), math.asinh(2.0)],
                                           "max_numeric": [math.asinh(1.0), math.asinh(2.0)]}


def test_seed_42_draws_the_known_keys_and_planes():
    state = json.loads(MStream(0, 1, num_rows=1, num_buckets=1024, seed=42).to_json())
    for which in ("current", "total"):
        assert state["record_counts"][which]["categorical_coeffs"]["data"] == [159]
        assert state["categorical_counts"][0][which]["hash_a"]["data"] == [342]
        assert state["categorical_counts"][0][which]["hash_b"]["data"] == [396]
    m = MStream(2, 0, num_rows=1, num_buckets=4, seed=42)
    planes = json.loads(m.to_json())["record_counts"]["current"]["numeric_planes"]
    assert planes == {"v": 1, "dim": [1, 2, 2], "data": [
        0.8343975468437959, -0.514962928147295, 1.40772757311975, 0.46445486122523566]}


def test_fresh_detectors_write_null_bounds_and_read_them_back():
    m = MStream(2, 1, seed=1)
    text = m.to_json()
    assert '"numeric_normalizer":{"min_numeric":[null,null],"max_numeric":[null,null]}' in text
    others = [MStream.from_json(text), pickle.loads(pickle.dumps(m)), copy.deepcopy(m)]
    others.append(copy.copy(m))
    for other in others:
        assert other.to_json() == text
    for det in [m, *others]:
        assert det.update_and_score([1.0, 2.0], [3], 1) == 0.0
    expected = m.score_detailed([4.0, 2.0], [3], 2)
    assert expected["total"] > 0
    for other in others:
        assert other.score_detailed([4.0, 2.0], [3], 2) == expected


def _edit(text, path, value):
    state = json.loads(text)
    node = state
    for key in path[:-1]:
        node = node[key]
    node[path[-1]] = value
    return json.dumps(state, separators=(",", ":"))


@pytest.mark.parametrize("path, value, message", [
    (("config", "numeric_dim"), 0, None),  # both dims 0 after the next edit
    (("config", "num_rows"), 0, "num_rows must be > 0"),
    (("config", "num_buckets"), 1, "num_buckets must be >= 2"),
    (("config", "alpha"), 1.0, "alpha must be in range (0, 1)"),
    (("config", "alpha"), -0.5, "alpha must be in range (0, 1)"),
    (("config", "num_rows"), 3, "record_counts.current.num_rows is 2, expected 3"),
    (("config", "num_buckets"), 9, "record_counts.current.num_buckets is 8, expected 9"),
    (("record_counts", "total", "count"), {"v": 1, "dim": [8, 2], "data": [0.0] * 16},
     "record_counts.total.count has dim [8, 2], expected [2, 8]"),
    (("record_counts", "current", "numeric_planes"), {"v": 1, "dim": [2, 2, 2], "data": [0.5] * 8},
     "record_counts.current.numeric_planes has dim [2, 2, 2], expected [2, 3, 2]"),
    (("numeric_counts",), [], "numeric_counts has 0 entries, expected 2"),
    (("categorical_counts", 0, "total", "hash_b"), {"v": 1, "dim": [1], "data": [3]},
     "categorical_counts[0].total.hash_b has dim [1], expected [2]"),
    (("numeric_counts", 1, "current", "count"), {"v": 1, "dim": [4], "data": [0.0] * 4},
     "numeric_counts[1].current.count has dim [4], expected [8]"),
    (("numeric_normalizer", "max_numeric"), [1.0], "numeric_normalizer.max_numeric has 1 entries, "
                                                   "expected 2"),
    # Counts that no stream of records can give: negative ones, and ones whose square in the
    # score leaves the finite range.
    (("record_counts", "current", "count"), {"v": 1, "dim": [2, 8], "data": [0.0] * 15 + [-1.0]},
     "record_counts.current.count holds a count that is negative, not finite or above 2^64"),
    (("record_counts", "total", "count"), {"v": 1, "dim": [2, 8], "data": [1e308] + [0.0] * 15},
     "record_counts.total.count holds a count that is negative, not finite or above 2^64"),
    (("numeric_counts", 1, "total", "count"), {"v": 1, "dim": [8], "data": [0.0] * 7 + [-1e-300]},
     "numeric_counts[1].total.count holds a count that is negative, not finite or above 2^64"),
    (("categorical_counts", 0, "current", "count"), {"v": 1, "dim": [2, 8], "data": [2.0**64 * 2] * 16},
     "categorical_counts[0].current.count holds a count that is negative, not finite or above 2^64"),
])
def test_inconsistent_states_are_refused(path, value, message):
    text = MStream(2, 1, num_buckets=8, seed=1).to_json()
    edited = _edit(text, path, value)
    if message is None:
        edited = _edit(edited, ("config", "categorical_dim"), 0)
        message = "at least one of numeric_dim or categorical_dim must be > 0"
    with pytest.raises(ValueError) as info:
        MStream.from_json(edited)
    assert str(info.value) == "invalid MStream JSON: " + message
    m = MStream(2, 1, num_buckets=8, seed=1)
    with pytest.raises(ValueError):
        m.__setstate__(edited)
    assert m.to_json() == text


@pytest.mark.parametrize("text, start", [
    ("{}", "invalid MStream JSON: missing field `config` at line 1 column 2"),
    ("", "invalid MStream JSON: EOF while parsing a value at line 1 column 0"),
    ('{"config":[1,1,2,8,0.8],"clock":null}', "invalid MStream JSON: invalid type: null"),
])
def test_malformed_states_are_refused(text, start):
    with pytest.raises(ValueError) as info:
        MStream.from_json(text)
    assert str(info.value).startswith(start)


def test_records_may_be_written_as_arrays_and_current_time_may_be_missing():
    m = MStream(1, 1, num_rows=1, num_buckets=2, seed=42)
    m.update([3.0], [1], 2)
    state = json.loads(m.to_json())
    state["config"] = list(state["config"].values())
    state["clock"] = {"current_tick": 1, "current_time": 2, "note": "unknown keys are skipped"}
    restored = MStream.from_json(json.dumps(state))
    assert restored.to_json() == m.to_json()
    del state["clock"]["current_time"]
    state["clock"]["current_tick"] = 0
    state["entries_seen"] = 0
    assert MStream.from_json(json.dumps(state)).current_time() is None


def test_save_and_load(tmp_path):
    m = MStream(2, 2, seed=8)
    m.update([1.0, 2.0], [1, 2], 3)
    m.save_json(tmp_path / "m.json")
    loaded = MStream.load_json(str(tmp_path / "m.json"))
    assert loaded.to_json() == m.to_json()
    assert type(loaded) is MStream
