"""Argument binding and conversion messages, shared by every class."""

import pathlib

import numpy as np
import pytest

import quillon


def raises(exc_type, message, fn, note=None):
    with pytest.raises(exc_type) as info:
        fn()
    assert str(info.value) == message
    assert getattr(info.value, "__notes__", None) == ([note] if note else None)
    return info.value


@pytest.fixture
def forest():
    return quillon.Forest(3, num_trees=4, capacity=8, seed=1)


def test_point_vector_conversions(forest):
    note = "while processing 'point'"
    raises(TypeError, "Can't extract `str` to `Vec`", lambda: forest.update("1,2,3"), note)
    raises(TypeError, "'int' object is not an instance of 'Sequence'", lambda: forest.update(5), note)
    raises(TypeError, "'None' is not an instance of 'Sequence'", lambda: forest.update(None), note)
    raises(TypeError, "'dict' object is not an instance of 'Sequence'",
           lambda: forest.update({1: 2}), note)
    with pytest.raises(TypeError) as info:
        forest.update([1, "x", 3])
    assert info.value.__notes__ == [note]
    for accepted in ([1, 2, 3], (1.0, 2, 3), np.array([1.0, 2.0, 3.0]), range(3), b"\x01\x02\x03",
                     np.array([1, 2, 3], dtype=np.int64), [np.float32(1), np.float64(2), True]):
        forest.update(accepted)
    assert forest.entries_seen() == 7
    raises(ValueError, "dimension mismatch: expected 3, got 2", lambda: forest.update([1.0, 2.0]))
    raises(ValueError, "dimension mismatch: expected 3, got 0", lambda: forest.update([]))


@pytest.mark.parametrize("call, message", [
    (lambda: quillon.Forest(3, 2, 10, 16, 0.0, 0, True, 0.125, None, 7),
     "Forest.__new__() takes from 1 to 9 positional arguments but 10 were given"),
    (lambda: quillon.Forest(), "Forest.__new__() missing 1 required positional argument: 'input_dim'"),
    (lambda: quillon.MStream(), "MStream.__new__() missing 2 required positional arguments: "
                                "'numeric_dim' and 'categorical_dim'"),
    (lambda: quillon.MStream(1, 1).update(), "MStream.update() missing 3 required positional "
                                             "arguments: 'numeric', 'categorical', and 'timestamp'"),
    (lambda: quillon.Forest(3).update(point=[1.0], x=1),
     "Forest.update() got an unexpected keyword argument 'x'"),
    (lambda: quillon.Forest(3).update([1.0], point=[1.0]),
     "Forest.update() got multiple values for argument 'point'"),
    (lambda: quillon.Forest(3).update([1.0], [2.0]),
     "Forest.update() takes 1 positional arguments but 2 were given"),
    (lambda: quillon.Forest(3).near_neighbors([1.0], 1, 2, 3),
     "Forest.near_neighbors() takes from 1 to 3 positional arguments but 4 were given"),
    (lambda: quillon.OnlineIForest(3).to_json(1), None),
    (lambda: quillon.Forest.from_json(), "Forest.from_json() missing 1 required positional argument: 'json'"),
    (lambda: quillon.FeatureSketch(1, 2, 3, 4, 5, 6, 7, 8, 9),
     "FeatureSketch.__new__() takes from 0 to 8 positional arguments but 9 were given"),
])
def test_binding_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    if message is not None:
        assert str(info.value) == message
    assert getattr(info.value, "__notes__", None) is None


@pytest.mark.parametrize("call, exc_type, message, note", [
    (lambda: quillon.Forest(-1), OverflowError, "can't convert negative int to unsigned", "input_dim"),
    (lambda: quillon.Forest(2.0), TypeError, "'float' object cannot be interpreted as an integer",
     "input_dim"),
    (lambda: quillon.Forest(3, internal_shingling=1), TypeError,
     "'int' object is not an instance of 'bool'", "internal_shingling"),
    (lambda: quillon.Forest(3, seed=2**64), OverflowError, None, "seed"),
    (lambda: quillon.Forest(3, seed=-1), OverflowError, None, "seed"),
    (lambda: quillon.Forest(3, time_decay="x"), TypeError, None, "time_decay"),
    (lambda: quillon.MStream(1, 1).update([1.0], [1.5], 0), TypeError, None, "categorical"),
    (lambda: quillon.MStream(1, 1).update([1.0], [1], -1), OverflowError, None, "timestamp"),
])
def test_conversion_failures_name_the_parameter(call, exc_type, message, note):
    with pytest.raises(exc_type) as info:
        call()
    if message is not None:
        assert str(info.value) == message
    assert info.value.__notes__ == [f"while processing '{note}'"]


def test_accepted_scalar_forms():
    quillon.Forest(3, seed=2**64 - 1)
    quillon.Forest(np.int64(3), internal_shingling=np.bool_(False), time_decay=np.float32(0.5))
    quillon.Forest(3, internal_shingling=False, initial_accept_fraction=1)


def test_invalid_argument_messages_have_no_prefix():
    raises(ValueError, "input_dim must be > 0", lambda: quillon.Forest(0))
    raises(ValueError, "input_dim must be > 0", lambda: quillon.OnlineIForest(0))


def test_save_json_accepts_path_like(tmp_path):
    f = quillon.Forest(2, num_trees=2, capacity=4, seed=3)
    f.save_json(pathlib.Path(tmp_path / "f.json"))
    assert quillon.Forest.load_json(str(tmp_path / "f.json")).to_json() == f.to_json()


def test_feature_event_forms():
    fs = quillon.FeatureSketch(seed=1)
    fs.update({"a": 1.0})
    fs.update([("a", 1.0)])
    fs.update([])
    fs.update({})
    with pytest.raises(TypeError) as info:
        fs.update({"a": "x"})
    text = str(info.value)
    assert text.startswith("failed to extract enum KeyValueLike ('Pairs | Dict')\n- variant Pairs (Pairs): ")
    assert "\n- variant Dict (Dict): TypeError: failed to extract field KeyValueLike::Dict.0, caused by " in text
    assert info.value.__notes__ == ["while processing 'feature'"]
    for bad, pairs_error in [
        ([("a", 1.0, 2)], "expected tuple of length 2, but got tuple of length 3"),
        ([["a", 1.0]], "'list' object is not an instance of 'tuple'"),
        ([(1, 1.0)], "'int' object is not an instance of 'str'"),
        ("ab", "Can't extract `str` to `Vec`"),
    ]:
        with pytest.raises(TypeError) as info:
            fs.update(bad)
        assert f"caused by TypeError: {pairs_error}" in str(info.value)
    assert fs.entries_seen() == 4


class Meddler:
    """A number whose conversion runs `action` (once) before giving its value."""

    def __init__(self, action, value=1.0):
        self.action, self.value = action, value

    def _run(self):
        action, self.action = self.action, None
        if action is not None:
            action()

    def __float__(self):
        self._run()
        return float(self.value)

    def __index__(self):
        self._run()
        return int(self.value)


def _dict_with(first_value_action):
    event = {}
    event["a"] = Meddler(lambda: first_value_action(event))
    event["b"] = 2.0
    return event


def _list_with(action, at=1, n=3, value=1.0):
    items = [value] * n
    items[at] = Meddler(lambda: action(items), value)
    return items


def _raise(exc):
    raise exc


def _sketch():
    return quillon.FeatureSketch(value_projection_dims=4, presence_projection_dims=4, seed=1)


# (make detector, method, arguments, expected exception, message or None, parameter named in the
# note or None)
MISBEHAVING_USER_CODE = [
    (_sketch, "update", lambda: (_dict_with(lambda d: d.update(zz=1.0)),), RuntimeError,
     "dictionary changed size during iteration", "feature"),
    (_sketch, "score", lambda: (_dict_with(lambda d: d.pop("b")),), RuntimeError,
     "dictionary changed size during iteration", "feature"),
    (_sketch, "update_and_score", lambda: (_dict_with(lambda d: (d.pop("a"), d.update(c=1.0))),),
     RuntimeError, "dictionary keys changed during iteration", "feature"),
    (_sketch, "update", lambda: (_dict_with(lambda d: d.clear()),), RuntimeError,
     "dictionary changed size during iteration", "feature"),
    (_sketch, "update", lambda: (_dict_with(lambda d: _raise(KeyboardInterrupt())),),
     KeyboardInterrupt, None, "feature"),
    (_sketch, "update", lambda: ([("a", Meddler(lambda: _raise(RuntimeError("own"))))],), TypeError,
     None, "feature"),
    (lambda: quillon.Forest(3, num_trees=2, capacity=4, seed=1), "update",
     lambda: (_list_with(lambda l: l.clear()),), ValueError, "dimension mismatch: expected 3, got 2",
     None),
    (lambda: quillon.Forest(3, num_trees=2, capacity=4, seed=1), "update",
     lambda: (_list_with(lambda l: l.append(1.0)),), ValueError,
     "dimension mismatch: expected 3, got 4", None),
    (lambda: quillon.Forest(2, num_trees=2, capacity=4, seed=1), "impute",
     lambda: ([1.0, 2.0], _list_with(lambda l: l.append(7), n=1, at=0, value=0)), RuntimeError,
     "index out of bounds: 7", None),
    (lambda: quillon.OnlineIForest(3, seed=1), "update",
     lambda: (_list_with(lambda l: _raise(MemoryError())),), MemoryError, None, "point"),
    (lambda: quillon.MStream(1, 2, seed=1), "update",
     lambda: ([1.0], _list_with(lambda l: l.extend([1, 2]), n=2, value=1), 1), ValueError,
     "dimension mismatch: expected 2, got 4", None),
]


@pytest.mark.parametrize("make, method, args, exc_type, message, note", MISBEHAVING_USER_CODE)
def test_user_code_misbehaving_mid_call_is_an_ordinary_error(make, method, args, exc_type, message,
                                                             note, capfd):
    det = make()
    before = det.to_json()
    with pytest.raises(BaseException) as info:
        getattr(det, method)(*args())
    assert type(info.value) is exc_type
    if message is not None:
        assert str(info.value) == message
    assert getattr(info.value, "__notes__", None) == ([f"while processing '{note}'"] if note else None)
    assert "internal failure" not in capfd.readouterr().err
    # The detector is untouched and carries on.
    assert det.to_json() == before
    det.update(*_plain_args(det))
    assert det.entries_seen() == 1


def _plain_args(det):
    if isinstance(det, quillon.FeatureSketch):
        return ({"a": 1.0},)
    if isinstance(det, quillon.MStream):
        return ([1.0], [1, 2], 1)
    return ([1.0] * det.__getnewargs__()[0],)


@pytest.mark.parametrize("name", ["Forest", "MStream", "FeatureSketch", "OnlineIForest"])
def test_repr_equals_str(name):
    cls = getattr(quillon, name)
    args = {"Forest": (3,), "MStream": (1, 1), "FeatureSketch": (), "OnlineIForest": (3,)}[name]
    obj = cls(*args, seed=1)
    assert repr(obj) == str(obj)
    assert repr(obj).startswith(name + "(")


def test_a_lying_length_only_sizes_the_reservation():
    class Liar(list):
        def __len__(self):
            return 10**18

    det = quillon.OnlineIForest(3, seed=1)
    assert det.score(Liar([1.0, 2.0, 3.0])) == 1.0
    det.update(Liar([1.0, 2.0, 3.0]))
    assert det.entries_seen() == 1


def test_an_element_raising_mid_sequence_changes_nothing():
    class Boom:
        def __float__(self):
            raise ZeroDivisionError("boom")

    det = quillon.OnlineIForest(3, seed=1)
    before = det.to_json()
    with pytest.raises(ZeroDivisionError) as info:
        det.update([1.0, Boom(), 3.0])
    assert info.value.__notes__ == ["while processing 'point'"]
    assert det.to_json() == before
