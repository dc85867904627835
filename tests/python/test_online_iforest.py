"""OnlineIForest: construction, sliding window, scores, saved state and its checks."""

import copy
import json
import math
import pickle
import struct

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from quillon import OnlineIForest

PREFIX = "invalid OnlineIForest JSON: "


def f32(x):
    return struct.unpack("f", struct.pack("f", x))[0]


def small(input_dim=2, seed=7, num_trees=4, window_size=32, max_leaf_samples=2):
    return OnlineIForest(input_dim, num_trees=num_trees, window_size=window_size,
                         max_leaf_samples=max_leaf_samples, seed=seed)


def drifting(n, dim=2, seed=0):
    rng = np.random.default_rng(seed)
    for i in range(n):
        p = rng.normal(i / 40.0, 1.0, size=dim)
        if i % 53 == 0:
            p[0] += 50.0
        yield [float(v) for v in p]


# --------------------------------------------------------------------------------------------
# Construction


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((0,), {}, "input_dim must be > 0"),
        ((2,), {"num_trees": 0}, "num_trees must be > 0"),
        ((2,), {"window_size": 0}, "window_size must be > 0"),
        ((2,), {"window_size": 0, "max_leaf_samples": 0}, "window_size must be > 0"),
        ((2,), {"window_size": 2**64 - 1}, "window_size is too large"),
        ((2,), {"max_leaf_samples": 0}, "max_leaf_samples must be > 0"),
        ((2,), {"window_size": 32}, "window_size must be greater than max_leaf_samples"),
        ((2, 1, 4, 5), {}, "window_size must be greater than max_leaf_samples"),
        ((0,), {"num_trees": 0, "window_size": 0}, "input_dim must be > 0"),
    ],
)
def test_constructor_rules_in_order(args, kwargs, message):
    with pytest.raises(ValueError) as info:
        OnlineIForest(*args, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "kwargs",
    [
        {"window_size": 2**62, "max_leaf_samples": 1},
        {"window_size": 2**64 - 2},
        {"num_trees": 2**60},
    ],
)
def test_configurations_beyond_memory_fail_cleanly(kwargs):
    with pytest.raises(MemoryError) as info:
        OnlineIForest(4, **kwargs)
    name, value = next(iter(kwargs.items()))
    assert f"{name}={value}" in str(info.value)
    assert " bytes asked, " in str(info.value)


def test_argument_conversion_errors():
    with pytest.raises(OverflowError):
        OnlineIForest(-1)
    with pytest.raises(TypeError):
        OnlineIForest(2.0)
    with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'input_dim'"):
        OnlineIForest()
    with pytest.raises(TypeError, match=r"takes from 1 to 5 positional arguments but 6 were given"):
        OnlineIForest(1, 2, 3, 1, None, 6)


def test_fresh_detector():
    d = OnlineIForest(3)
    assert repr(d) == str(d) == (
        "OnlineIForest(input_dim=3, num_trees=32, window_size=2048, max_leaf_samples=32, "
        "entries_seen=0)"
    )
    assert not d.is_ready()
    assert d.entries_seen() == 0
    assert d.num_trees() == 32
    assert d.__getnewargs__() == (3,)
    for p in ([0, 0, 0], [1e30, -1, 5], (1, 2, 3)):
        assert d.score(p) == 1.0


# --------------------------------------------------------------------------------------------
# Scores and the window


def test_repeated_point_never_splits_and_scores_by_count():
    d = OnlineIForest(2, seed=1)
    scores = [d.update_and_score([0.5, -1.0]) for _ in range(64)]
    assert scores[:32] == [1.0] * 32
    assert scores[32] == 0.9948845190874696 == 2 ** (-math.log2(33 / 32) / 6)
    assert scores[63] == 0.8908987181403393
    assert '"split":{' not in d.to_json()
    assert d.is_ready() and d.entries_seen() == 64


def test_worked_split_example():
    d = OnlineIForest(1, num_trees=1, window_size=4, max_leaf_samples=1, seed=42)
    assert d.update_and_score([0.0]) == 1.0
    assert d.update_and_score([1.0]) == 0.7071067811865476
    root = json.loads(d.to_json())["trees"][0]["root"]
    assert root["height"] == 2
    split = root["split"]
    assert split["dimension"] == 0
    assert f32(split["value"]) == 0.7967147827148438
    assert split["left"]["height"] == split["right"]["height"] == 1
    assert f32(split["left"]["support"]["min"][0]) == 0.5100990533828735
    assert f32(split["right"]["support"]["max"][0]) == 0.9045734405517578


def test_seed_42_tree_generator():
    state = json.loads(OnlineIForest(2, seed=42).to_json())
    assert state["trees"][0] == {
        "root": None,
        "rng": {"s": [0x6D1309D31BA18212, 0x118955BD4636A065, 0xDF2CF0B5AE47DBC4, 0x2BEDC9F235DC2366]},
    }
    assert len({tuple(t["rng"]["s"]) for t in state["trees"]}) == 32


def test_window_holds_exactly_the_last_w_points():
    w = 20
    d = OnlineIForest(2, num_trees=3, window_size=w, max_leaf_samples=2, seed=3)
    points = list(drifting(w + 5))
    for p in points:
        d.update(p)
    assert d.entries_seen() == w + 5
    state = json.loads(d.to_json())
    window = [[f32(v) for v in p] for p in state["window"]]
    assert window == [[float(np.float32(v)) for v in p] for p in points[5:]]
    assert all(t["root"]["height"] == w for t in state["trees"])


def test_update_and_score_is_update_then_score():
    a, b = small(seed=11), small(seed=11)
    differed = False
    for p in drifting(300):
        before = b.score(p)
        combined = a.update_and_score(p)
        b.update(p)
        assert combined == b.score(p)
        differed |= before != combined
        assert 0.0 < before <= 1.0
    assert differed
    assert a.to_json() == b.to_json()


def test_same_seed_same_state():
    a, b, c = small(seed=5), small(seed=5), small(seed=6)
    for p in drifting(200):
        assert a.update_and_score(p) == b.update_and_score(p)
        c.update(p)
    assert a.to_json() == b.to_json() != c.to_json()
    assert OnlineIForest(2).to_json() != OnlineIForest(2).to_json()  # entropy seeds


def test_point_conversions():
    d = small()
    d.update(np.array([1.0, 2.0]))
    d.update((1, 2))
    d.update(b"\x01\x02")
    assert d.entries_seen() == 3
    with pytest.raises(TypeError) as info:
        d.update("1,2")
    assert info.value.__notes__ == ["while processing 'point'"]


@pytest.mark.parametrize(
    "point, exc, message",
    [
        ([1.0], ValueError, "dimension mismatch: expected 2, got 1"),
        ([1.0, 2.0, 3.0], ValueError, "dimension mismatch: expected 2, got 3"),
        ([], ValueError, "dimension mismatch: expected 2, got 0"),
        ([float("nan"), 1.0], ValueError, "point values must be finite"),
        ([1.0, float("inf")], ValueError, "point values must be finite"),
        ([1e39, 0.0], ValueError, "point values must be finite"),
        ([0.0, -1e39], ValueError, "point values must be finite"),
        ([float("nan")], ValueError, "dimension mismatch: expected 2, got 1"),
    ],
)
def test_refused_points_change_nothing(point, exc, message):
    d = small()
    for p in drifting(60):
        d.update(p)
    before = d.to_json()
    for method in (d.update, d.score, d.update_and_score):
        with pytest.raises(exc) as info:
            method(point)
        assert str(info.value) == message
        assert d.to_json() == before


# --------------------------------------------------------------------------------------------
# Saved state


def test_json_layout():
    d = small()
    for p in drifting(40):
        d.update(p)
    state = json.loads(d.to_json())
    assert list(state) == ["config", "trees", "window", "entries_seen"]
    assert list(state["config"]) == ["input_dim", "num_trees", "window_size", "max_leaf_samples"]
    assert list(state["trees"][0]) == ["root", "rng"]
    nodes = [state["trees"][0]["root"]]
    saw_split = False
    while nodes:
        node = nodes.pop()
        assert list(node) == ["height", "support", "split"]
        assert list(node["support"]) == ["min", "max"]
        if node["split"] is not None:
            saw_split = True
            assert list(node["split"]) == ["dimension", "value", "left", "right"]
            nodes += [node["split"]["left"], node["split"]["right"]]
    assert saw_split
    assert " " not in d.to_json()


def test_missing_optional_keys_and_array_records_load():
    d = small(input_dim=1, num_trees=1, window_size=4, max_leaf_samples=1, seed=42)
    d.update([0.0])
    d.update([1.0])
    text = d.to_json()
    state = json.loads(text)
    left = state["trees"][0]["root"]["split"]["left"]
    del left["split"]
    state["config"] = [1, 1, 4, 1]
    state["trees"][0]["root"]["split"]["right"] = [1, [[0.90457344], [0.90457344]], None]
    assert OnlineIForest.from_json(json.dumps(state)).to_json() == text
    fresh = small(input_dim=1, seed=1).to_json()
    state = json.loads(fresh)
    del state["trees"][0]["root"]
    assert OnlineIForest.from_json(json.dumps(state)).to_json() == fresh


def _loaded_state():
    d = OnlineIForest(2, num_trees=2, window_size=8, max_leaf_samples=2, seed=7)
    for i in range(10):
        d.update([float(i), float(i * i % 5)])
    return json.loads(d.to_json())


def _first_split(state):
    return state["trees"][0]["root"]["split"]


def _first_leaf(state):
    node = state["trees"][0]["root"]
    while node["split"] is not None:
        node = node["split"]["left"]
    return node


def _set(path, value):
    def mutate(state):
        target = state
        for key in path[:-1]:
            target = target[key]
        target[path[-1]] = value
    return mutate


HOSTILE = [
    (_set(["config", "input_dim"], 0), "input_dim must be > 0"),
    (_set(["config", "max_leaf_samples"], 0), "max_leaf_samples must be > 0"),
    (_set(["config", "max_leaf_samples"], 8), "window_size must be greater than max_leaf_samples"),
    (_set(["config", "window_size"], 2**64 - 1), "window_size is too large"),
    (_set(["config", "num_trees"], 3), "expected 3 trees, found 2"),
    (_set(["entries_seen"], 3), "window holds 8 points, expected 3 after 3 entries"),
    (lambda s: s["window"].pop(), "window holds 7 points, expected 8"),
    (_set(["window", 2], [1.0]), "window point 2 has 1 values, expected 2"),
    (_set(["window", 0], [1e39, 1.0]), "window point 0 values must be finite"),
    (_set(["trees", 1, "root", "support", "min"], [0.0]), "tree 1: support has 1 values, expected 2"),
    (lambda s: _first_split(s).update(dimension=2), "tree 0: split dimension 2 out of range"),
    (lambda s: _first_split(s).update(value=1e39), "tree 0: split value must be finite"),
    (_set(["trees", 0, "root", "height"], 9), "tree 0: root height 9 differs from the 8 points"),
    (_set(["trees", 0, "root"], None), "tree 0: tree is empty but the window holds 8 points"),
    (lambda s: _first_split(s)["left"].update(height=0) or _first_split(s)["right"].update(height=1),
     "tree 0: node height 8 exceeds the sum of its children's heights"),
    (lambda s: s["config"].update(window_size=4) or s["window"].__delitem__(slice(0, 4)),
     "tree 0: root height 8 differs"),
    # A leaf counting more than its window can give would draw that many synthetic points when
    # it splits: the next update would never end.
    (lambda s: _first_leaf(s).update(height=2**64 - 1), "tree 0: node height 18446744073709551615 at depth"),
    (lambda s: _first_leaf(s).update(height=2**31), "tree 0: node height 2147483648 at depth"),
]


@pytest.mark.parametrize("mutate, message", HOSTILE)
def test_inconsistent_states_are_refused(mutate, message):
    state = _loaded_state()
    assert OnlineIForest.from_json(json.dumps(state)).to_json() == json.dumps(state, separators=(",", ":"))
    mutate(state)
    with pytest.raises(ValueError) as info:
        OnlineIForest.from_json(json.dumps(state))
    assert str(info.value).startswith(PREFIX + message)
    victim = small()
    before = victim.to_json()
    with pytest.raises(ValueError):
        victim.__setstate__(json.dumps(state))
    assert victim.to_json() == before


def test_split_beyond_the_depth_limit_is_refused():
    d = OnlineIForest(1, num_trees=1, window_size=4, max_leaf_samples=1, seed=42)
    d.update([0.0])
    d.update([1.0])
    state = json.loads(d.to_json())
    # window 4 / eta 1: depth limit 2, so depth-1 nodes may split (count >= 2) and depth-2 may not.
    leaf = {"height": 1, "support": {"min": [0.0], "max": [0.0]}, "split": None}
    inner = {"height": 2, "support": {"min": [0.0], "max": [0.5]},
             "split": {"dimension": 0, "value": 0.25, "left": leaf, "right": leaf}}
    state["trees"][0]["root"]["split"]["left"] = inner
    OnlineIForest.from_json(json.dumps(state))
    inner["height"] = 1
    with pytest.raises(ValueError, match="split node height 1 below its split threshold at depth 1"):
        OnlineIForest.from_json(json.dumps(state))
    inner["height"] = 2
    inner["split"]["left"] = {**leaf, "split": {"dimension": 0, "value": 0.0, "left": leaf, "right": leaf}}
    with pytest.raises(ValueError, match="split at depth 2 beyond the depth limit"):
        OnlineIForest.from_json(json.dumps(state))


def _nodes(node, depth=0):
    """Every node below `node` (pre-order) with its depth."""
    yield node, depth
    if node["split"] is not None:
        yield from _nodes(node["split"]["left"], depth + 1)
        yield from _nodes(node["split"]["right"], depth + 1)


def _route(node, point):
    path = [node]
    while node["split"] is not None:
        split = node["split"]
        node = split["left"] if split["value"] > f32(point[split["dimension"]]) else split["right"]
        path.append(node)
    return path


def _count_bound(state, root, node, depth):
    """What a node at `depth` may count: depth * (points + 1) plus the window points it routes."""
    window = state["window"]
    through = sum(any(n is node for n in _route(root, p)) for p in window)
    return depth * (len(window) + 1) + through


def _reloads_after_updates(text, points):
    d = OnlineIForest.from_json(text)
    for p in points:
        d.update(p)
        again = d.to_json()
        assert OnlineIForest.from_json(again).to_json() == again


@pytest.mark.parametrize("window_size, eta", [(16, 1), (16, 2), (40, 4)])
def test_leaf_counts_are_bounded_by_their_depth_and_routed_window_points(window_size, eta):
    d = OnlineIForest(2, num_trees=1, window_size=window_size, max_leaf_samples=eta, seed=5)
    stream = list(drifting(window_size + 24))
    for p in stream:
        d.update(p)
    state = json.loads(d.to_json())
    root = state["trees"][0]["root"]
    leaves = [(n, depth) for n, depth in _nodes(root) if n["split"] is None and depth > 0]
    assert leaves
    for leaf, depth in leaves:
        saved = leaf["height"]
        most = _count_bound(state, root, leaf, depth)
        leaf["height"] = most
        # The largest count accepted stays acceptable through any later updates: the points
        # that left the window are fed again, then a drift away from it.
        _reloads_after_updates(json.dumps(state), stream[:window_size] + list(drifting(30, seed=9)))
        leaf["height"] = most + 1
        with pytest.raises(ValueError) as info:
            OnlineIForest.from_json(json.dumps(state))
        assert str(info.value) == (PREFIX + f"tree 0: node height {most + 1} at depth {depth} is "
                                   f"more than {len(state['window'])} window points can give")
        leaf["height"] = saved


@pytest.mark.parametrize("levels", [100, 5000, 200000])
def test_deeply_nested_node_chains_are_refused(levels):
    head = '{"height":2,"support":{"min":[0.0],"max":[0.0]},"split":{"dimension":0,"value":0.0,"left":'
    leaf = '{"height":1,"support":{"min":[0.0],"max":[0.0]},"split":null}'
    chain = head * levels + leaf + (',"right":' + leaf + "}}") * levels
    text = (
        '{"config":{"input_dim":1,"num_trees":1,"window_size":4,"max_leaf_samples":1},'
        '"trees":[{"root":' + chain + ',"rng":{"s":[1,2,3,4]}}],"window":[[0.0],[0.0]],"entries_seen":2}'
    )
    with pytest.raises(ValueError, match="recursion limit exceeded"):
        OnlineIForest.from_json(text)


def test_saved_configuration_beyond_memory_fails_cleanly():
    state = json.loads(small(input_dim=1, seed=1).to_json())
    state["config"]["window_size"] = 2**62
    with pytest.raises(MemoryError):
        OnlineIForest.from_json(json.dumps(state))


# --------------------------------------------------------------------------------------------
# Properties

configs = st.tuples(
    st.integers(1, 3),  # input_dim
    st.integers(1, 3),  # num_trees
    st.integers(1, 4),  # max_leaf_samples
    st.integers(1, 40),  # window beyond eta
)
values = st.floats(-1e6, 1e6, allow_nan=False, width=32) | st.sampled_from([0.0, 1.0, -0.0])


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(config=configs, seed=st.integers(0, 2**64 - 1), data=st.data())
def test_restored_state_continues_identically(config, seed, data):
    dim, trees, eta, extra = config
    d = OnlineIForest(dim, num_trees=trees, window_size=eta + extra, max_leaf_samples=eta, seed=seed)
    stream = data.draw(st.lists(st.lists(values, min_size=dim, max_size=dim), min_size=0, max_size=120))
    cut = data.draw(st.integers(0, len(stream)))
    for p in stream[:cut]:
        d.update(p)
    text = d.to_json()
    restored = OnlineIForest.from_json(text)
    assert restored.to_json() == text
    twin = pickle.loads(pickle.dumps(d))
    clone = copy.deepcopy(d)
    for p in stream[cut:]:
        s = d.update_and_score(p)
        assert restored.update_and_score(p) == s
        assert twin.update_and_score(p) == s
        assert clone.update_and_score(p) == s
    assert restored.to_json() == d.to_json() == twin.to_json() == clone.to_json()
    assert OnlineIForest.from_json(d.to_json()).to_json() == d.to_json()


@settings(max_examples=40, deadline=None)
@given(
    dim=st.integers(1, 3),
    bad=st.one_of(
        st.lists(st.floats(-10, 10), min_size=0, max_size=5),
        st.lists(st.sampled_from([float("nan"), float("inf"), -float("inf"), 1e39, -3.5e38]),
                 min_size=1, max_size=3),
    ),
)
def test_refused_points_leave_the_state_unchanged(dim, bad):
    d = OnlineIForest(dim, num_trees=2, window_size=16, max_leaf_samples=2, seed=3)
    for p in drifting(30, dim):
        d.update(p)
    before = d.to_json()
    if len(bad) == dim and all(abs(v) <= 10 for v in bad):
        return  # a valid point
    for method in (d.update, d.update_and_score, d.score):
        with pytest.raises(ValueError):
            method(bad)
    assert d.to_json() == before


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(config=configs, seed=st.integers(0, 2**64 - 1), data=st.data())
def test_a_loaded_state_saves_what_it_can_reload_after_updates(config, seed, data):
    # One node's count moved by a small step: if the state loads, every later state saves a text
    # that loads again.
    dim, trees, eta, extra = config
    d = OnlineIForest(dim, num_trees=trees, window_size=eta + extra, max_leaf_samples=eta, seed=seed)
    points = st.lists(values, min_size=dim, max_size=dim)
    for p in data.draw(st.lists(points, min_size=1, max_size=80)):
        d.update(p)
    state = json.loads(d.to_json())
    tree = data.draw(st.sampled_from(state["trees"]))
    if tree["root"] is None:
        return
    node, _ = data.draw(st.sampled_from(list(_nodes(tree["root"]))))
    node["height"] = max(0, node["height"] + data.draw(st.integers(-3, 2 * (eta + extra) + 3)))
    try:
        OnlineIForest.from_json(json.dumps(state))
    except ValueError as exc:
        assert str(exc).startswith(PREFIX + "tree ")
        return
    again = state["window"] + data.draw(st.lists(points, max_size=40))
    _reloads_after_updates(json.dumps(state), data.draw(st.permutations(again)))
