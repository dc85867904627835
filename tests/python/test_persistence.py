"""Saving, loading, pickling and copying behave the same for every detector."""

import copy
import json
import pathlib
import pickle
import random

import pytest

import quillon

PREFIX = {
    "Forest": "invalid forest JSON: ",
    "MStream": "invalid MStream JSON: ",
    "FeatureSketch": "invalid FeatureSketch JSON: ",
    "OnlineIForest": "invalid OnlineIForest JSON: ",
}


def continue_both(kind, a, b, n=40, seed=99):
    """Feeds the same stream to both detectors, comparing scores and states after every step."""
    rng_a, rng_b = random.Random(seed), random.Random(seed)
    for i in range(n):
        args_a = kind.sample(rng_a, 1000 + i)
        args_b = kind.sample(rng_b, 1000 + i)
        assert a.update_and_score(*args_a) == b.update_and_score(*args_b)
        assert a.to_json() == b.to_json()


@pytest.mark.parametrize("how", ["json", "bytes", "bytearray", "pickle", "copy", "deepcopy", "setstate"])
def test_restored_detectors_continue_identically(kind, how):
    det = kind.make()
    kind.feed(det, 150)
    text = det.to_json()
    cls = type(det)
    restored = {
        "json": lambda: cls.from_json(text),
        "bytes": lambda: cls.from_json(text.encode()),
        "bytearray": lambda: cls.from_json(bytearray(text.encode())),
        "pickle": lambda: pickle.loads(pickle.dumps(det, protocol=pickle.HIGHEST_PROTOCOL)),
        "copy": lambda: copy.copy(det),
        "deepcopy": lambda: copy.deepcopy(det),
        "setstate": lambda: _setstate_into_fresh(kind, text),
    }[how]()
    assert type(restored) is cls
    assert restored.to_json() == text
    assert restored.__getstate__() == text
    continue_both(kind, det, restored)


def _setstate_into_fresh(kind, text):
    other = kind.make()
    other.__setstate__(text)
    return other


def test_fresh_detectors_round_trip(kind):
    det = kind.make()
    text = det.to_json()
    assert type(det).from_json(text).to_json() == text
    assert pickle.loads(pickle.dumps(det)).to_json() == text


def test_copies_are_independent(kind):
    det = kind.make()
    kind.feed(det, 30)
    twin = copy.deepcopy(det)
    kind.feed(twin, 10, seed=5)
    assert twin.to_json() != det.to_json()
    assert twin.entries_seen() == det.entries_seen() + 10


def test_save_and_load_files(kind, tmp_path):
    det = kind.make()
    kind.feed(det, 50)
    for path in (tmp_path / "state.json", str(tmp_path / "state2.json")):
        det.save_json(path)
        raw = pathlib.Path(path).read_text()
        assert raw == det.to_json()
        assert type(det).load_json(path).to_json() == raw


def test_file_errors_are_runtime_errors(kind, tmp_path):
    det = kind.make()
    cls = type(det)
    with pytest.raises(RuntimeError, match=r"^I/O error: No such file or directory \(os error 2\)$"):
        cls.load_json(tmp_path / "missing.json")
    with pytest.raises(RuntimeError, match=r"^I/O error: .* \(os error \d+\)$"):
        det.save_json(tmp_path / "no-such-dir" / "x.json")
    with pytest.raises(TypeError) as info:
        det.save_json(b"x.json")
    assert str(info.value) == "'bytes' object is not an instance of 'str'"
    assert info.value.__notes__ == ["while processing 'path'"]


def test_malformed_text_is_refused_with_the_class_prefix(kind):
    cls = type(kind.make())
    prefix = PREFIX[kind.name]
    with pytest.raises(ValueError) as info:
        cls.from_json("")
    assert str(info.value) == prefix + "EOF while parsing a value at line 1 column 0"
    with pytest.raises(ValueError) as info:
        cls.from_json("{}")
    assert str(info.value).startswith(prefix + "missing field `")
    with pytest.raises(ValueError) as info:
        cls.from_json(kind.make().to_json() + " x")
    assert "trailing characters" in str(info.value)


def _all_objects(node, found):
    if isinstance(node, dict):
        found.append(node)
        for value in node.values():
            _all_objects(value, found)
    elif isinstance(node, list):
        for value in node:
            _all_objects(value, found)
    return found


def test_unknown_keys_are_skipped_but_not_inside_matrices(kind):
    det = kind.make()
    kind.feed(det, 20)
    state = json.loads(det.to_json())
    matrices = []
    for obj in _all_objects(state, []):
        if set(obj) == {"v", "dim", "data"}:
            matrices.append(obj)
        elif len(obj) == 1 and next(iter(obj))[:1].isupper():
            continue  # an enum variant wrapper such as {"Leaf": {...}} holds exactly one key
        else:
            obj["zz_unknown"] = {"nested": [1, None, "x"]}
    text = json.dumps(state)
    assert type(det).from_json(text).to_json() == det.to_json()
    if matrices:
        matrices[0]["x"] = 1
        with pytest.raises(ValueError, match="unknown field `x`, expected one of `v`, `dim`, `data`"):
            type(det).from_json(json.dumps(state))
        del matrices[0]["x"]
        matrices[0]["v"] = 2
        with pytest.raises(ValueError, match="unknown array version: 2"):
            type(det).from_json(json.dumps(state))


def test_reordered_keys_still_load(kind):
    det = kind.make()
    kind.feed(det, 20)
    state = json.loads(det.to_json())
    for obj in _all_objects(state, []):
        items = list(obj.items())
        obj.clear()
        obj.update(reversed(items))
    assert type(det).from_json(json.dumps(state)).to_json() == det.to_json()


def test_failed_setstate_keeps_the_old_state(kind):
    det = kind.make()
    kind.feed(det, 20)
    before = det.to_json()
    for bad in ["", "{}", before[: len(before) // 2], before.replace("[", "{", 1)]:
        with pytest.raises(ValueError):
            det.__setstate__(bad)
        assert det.to_json() == before
    with pytest.raises(TypeError) as info:
        det.__setstate__(before.encode())
    assert info.value.__notes__ == ["while processing 'state'"]
    assert det.to_json() == before


def test_from_json_argument_kinds(kind):
    det = kind.make()
    text = det.to_json()
    cls = type(det)
    assert cls.from_json(list(text.encode())).to_json() == text
    with pytest.raises(TypeError) as info:
        cls.from_json(3)
    assert str(info.value) == (
        "failed to extract enum StrOrBytes ('Str | Bytes')\n"
        "- variant Str (Str): TypeError: failed to extract field StrOrBytes::Str.0, caused by "
        "TypeError: 'int' object is not an instance of 'str'\n"
        "- variant Bytes (Bytes): TypeError: failed to extract field StrOrBytes::Bytes.0, caused by "
        "TypeError: 'int' object is not an instance of 'Sequence'"
    )
    assert info.value.__notes__ == ["while processing 'json'"]


def test_truncated_states_never_crash(kind):
    det = kind.make()
    kind.feed(det, 30)
    text = det.to_json()
    cls = type(det)
    step = max(1, len(text) // 300)
    for cut in range(0, len(text) - 1, step):
        with pytest.raises(ValueError):
            cls.from_json(text[:cut])


def test_newargs(kind):
    det = kind.make()
    if kind.name == "FeatureSketch":
        assert not hasattr(det, "__getnewargs__")
    else:
        args = det.__getnewargs__()
        assert isinstance(args, tuple) and all(isinstance(a, int) for a in args)
        assert type(det)(*args) is not None


# ----- counters at their maximum -------------------------------------------------------------

TOP = 2**64 - 1


def _with_counters(text, value, only=None):
    """The state with every "entries_seen" (or the one inside `only`) set to `value`."""
    state = json.loads(text)
    for obj in _all_objects(state, []):
        if "entries_seen" in obj and (only is None or obj is state.get(only)):
            obj["entries_seen"] = value
    return json.dumps(state)


def _batch_args(kind, rows):
    if kind.name == "MStream":
        return tuple([r[k] for r in rows] for k in range(3))
    return ([r[0] for r in rows],)


@pytest.mark.parametrize("room", [0, 1, 3])
def test_a_full_counter_refuses_updates_and_changes_nothing(kind, room):
    # A counter that wrapped would make a ready detector new again; the update is refused
    # instead, with the same message everywhere, and the state still saves and loads.
    det = kind.make()
    kind.feed(det, 70)  # a full window: the count is past it
    cls = type(det)
    loaded = cls.from_json(_with_counters(det.to_json(), TOP - room))
    ready = loaded.is_ready()
    rng = random.Random(5)
    rows = [kind.sample(rng, 100 + i) for i in range(room + 2)]
    for args in rows[:room]:
        loaded.update(*args)
    assert loaded.entries_seen() == TOP and loaded.is_ready() == ready
    before = loaded.to_json()
    message = f"overflow: {kind.name} entries_seen overflow"
    calls = [lambda a: loaded.update(*a), lambda a: loaded.update_and_score(*a),
             lambda a: loaded.update_many(*_batch_args(kind, rows[room:])),
             lambda a: loaded.update_and_score_many(*_batch_args(kind, rows[room:]))]
    for call in calls:
        with pytest.raises(RuntimeError) as info:
            call(rows[room])
        assert str(info.value) == message
        assert loaded.to_json() == before
    assert cls.from_json(before).to_json() == before
    loaded.score(*rows[room])  # queries are unaffected


def test_batches_that_would_fill_the_counter_name_the_row(kind):
    det = kind.make()
    kind.feed(det, 70)
    loaded = type(det).from_json(_with_counters(det.to_json(), TOP - 2))
    rows = [kind.sample(random.Random(1), 100 + i) for i in range(4)]
    for method in ("update_many", "update_and_score_many"):
        trial = copy.deepcopy(loaded)
        with pytest.raises(RuntimeError) as info:
            getattr(trial, method)(*_batch_args(kind, rows))
        assert str(info.value) == f"overflow: {kind.name} entries_seen overflow"
        assert "while processing row 2" in info.value.__notes__
        if kind.name != "Forest":  # the forest's batch stops at the row, keeping those before
            assert trial.to_json() == loaded.to_json()


def test_forest_store_counter_is_guarded_too():
    det = quillon.Forest(2, num_trees=3, capacity=8, seed=1)
    for i in range(20):
        det.update([float(i), 1.0])
    loaded = quillon.Forest.from_json(_with_counters(det.to_json(), TOP, only="point_store"))
    before = loaded.to_json()
    with pytest.raises(RuntimeError, match="^overflow: Forest entries_seen overflow$"):
        loaded.update([0.5, 0.5])
    assert loaded.to_json() == before
