"""The binary state: the same detector as the JSON state, refused where the JSON state is.

The round trip at edge configurations is in test_round_trip.py; here are the header, the
refusals of damaged bytes, the messages shared with JSON, the files and the memory figures.
"""

import copy
import json
import pickle
import random
import struct
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import quillon

MAGIC = b"\x89QLN"
KINDS = {"Forest": 1, "MStream": 2, "FeatureSketch": 3, "OnlineIForest": 4}
PREFIX = {"Forest": "forest", "MStream": "MStream", "FeatureSketch": "FeatureSketch",
          "OnlineIForest": "OnlineIForest"}


def build(name, updates=40, seed=11):
    rng = random.Random(seed)
    if name == "Forest":
        d = quillon.Forest(2, shingle_size=2, num_trees=3, capacity=8, seed=seed)
        step = lambda i: d.update([rng.gauss(0, 1), float(i % 3)])  # noqa: E731
    elif name == "MStream":
        d = quillon.MStream(2, 1, num_buckets=16, seed=seed)
        step = lambda i: d.update([rng.gauss(0, 1), -0.0], [i % 4], i + 1)  # noqa: E731
    elif name == "FeatureSketch":
        d = quillon.FeatureSketch(4, 2, 2, 3, 2, 8, 16, seed=seed)
        step = lambda i: d.update({"a": rng.gauss(0, 1), f"k{i % 3}": 1.0})  # noqa: E731
    else:
        d = quillon.OnlineIForest(2, num_trees=3, window_size=16, max_leaf_samples=2, seed=seed)
        step = lambda i: d.update([rng.gauss(0, 1), rng.random()])  # noqa: E731
    for i in range(updates):
        step(i)
    return d


def feed(d, seed=5, n=25):
    """Scores of the same further stream, for comparing two detectors."""
    rng = random.Random(seed)
    out = []
    for i in range(n):
        if isinstance(d, quillon.MStream):
            out.append(d.update_and_score([rng.random(), 1.0], [i % 5], 10**6 + i))
        elif isinstance(d, quillon.FeatureSketch):
            out.append(d.update_and_score({"a": rng.random(), "z": 2.0}))
        else:
            out.append(d.update_and_score([rng.random(), rng.random()]))
    return out


def with_length(data):
    """The header's payload length set to what follows it."""
    return data[:8] + struct.pack("<Q", len(data) - 16) + data[16:]


NAMES = list(KINDS)


@pytest.mark.parametrize("name", NAMES)
def test_header_and_identical_continuation(name):
    d = build(name)
    data = d.to_bytes()
    magic, version, kind, flags, length = struct.unpack_from("<4sHBBQ", data)
    assert (magic, version, kind, flags, length) == (MAGIC, 1, KINDS[name], 0, len(data) - 16)
    loaded = type(d).from_bytes(data)
    assert type(loaded) is type(d)
    assert feed(loaded) == feed(d)
    assert loaded.to_json() == d.to_json() and loaded.to_bytes() == d.to_bytes()
    # Pickling and copies stay on JSON and agree with it.
    assert pickle.loads(pickle.dumps(loaded)).to_bytes() == loaded.to_bytes()
    assert copy.deepcopy(loaded).to_bytes() == loaded.to_bytes()


@pytest.mark.parametrize("name", NAMES)
def test_every_cut_and_every_extra_byte_is_refused(name):
    cls = getattr(quillon, name)
    data = build(name, updates=6).to_bytes()
    cuts = range(len(data)) if len(data) < 4000 else sorted(
        set(range(64)) | set(random.Random(1).sample(range(len(data)), 300)))
    for cut in cuts:
        for damaged in (data[:cut], with_length(data[:cut]) if cut >= 16 else data[:cut]):
            with pytest.raises(ValueError, match=f"^invalid {PREFIX[name]} bytes: "):
                cls.from_bytes(damaged)
    for extra in (data + b"\0", with_length(data + b"\0" * 9)):
        with pytest.raises(ValueError, match="trailing bytes"):
            cls.from_bytes(extra)


HEADER_CASES = [
    (lambda b: b"", "not a quillon binary state (it does not start with the bytes 89 51 4C 4E)"),
    (lambda b: b'{"config":1}', "not a quillon binary state (it does not start with the bytes 89 51 4C 4E)"),
    (lambda b: b"Q" + b[1:], "not a quillon binary state (it does not start with the bytes 89 51 4C 4E)"),
    (lambda b: b[:10], "unexpected end of data at byte 10: the header takes 16 bytes"),
    (lambda b: b[:4] + b"\x02\x00" + b[6:], "unsupported binary state version 2, expected 1"),
    (lambda b: b[:6] + b"\x09" + b[7:], "unknown detector kind 9"),
    (lambda b: b[:7] + b"\x01" + b[8:], "unknown header flags 1"),
]


@pytest.mark.parametrize("edit, message", HEADER_CASES)
def test_header_refusals(edit, message):
    data = build("OnlineIForest", updates=3).to_bytes()
    with pytest.raises(ValueError) as info:
        quillon.OnlineIForest.from_bytes(edit(data))
    assert str(info.value) == f"invalid OnlineIForest bytes: {message}"


def test_a_state_of_another_detector_is_named():
    data = build("Forest", updates=3).to_bytes()
    with pytest.raises(ValueError, match="^invalid MStream bytes: the state is of a Forest, not of a "
                                         "MStream$"):
        quillon.MStream.from_bytes(data)


# The same inconsistency written in both forms: (detector, offset of a config field in the bytes,
# its struct format and new value, the same edit of the JSON text).
SHARED_REFUSALS = [
    ("Forest", 32, "<Q", 0, ('"capacity":8', '"capacity":0')),
    ("Forest", 48, "<d", 2.5, ('"time_decay":0.0', '"time_decay":-2.5')),
    ("MStream", 48, "<d", 1.5, ('"alpha":0.8', '"alpha":1.5')),
    ("OnlineIForest", 32, "<Q", 2, ('"window_size":16', '"window_size":2')),
    ("FeatureSketch", 16, "<I", 2, ('"format_version":1', '"format_version":2')),
]


@pytest.mark.parametrize("name, offset, fmt, value, json_edit", SHARED_REFUSALS)
def test_consistency_refusals_read_as_from_json(name, offset, fmt, value, json_edit):
    d = build(name, updates=20)
    cls = type(d)
    data = bytearray(d.to_bytes())
    struct.pack_into(fmt, data, offset, value if value != 2.5 else -2.5)
    text = d.to_json().replace(*json_edit, 1)
    with pytest.raises(ValueError) as from_json:
        cls.from_json(text)
    with pytest.raises(ValueError) as from_bytes:
        cls.from_bytes(bytes(data))
    json_message = str(from_json.value)
    assert json_message.startswith(f"invalid {PREFIX[name]} JSON: ")
    assert str(from_bytes.value) == json_message.replace(" JSON: ", " bytes: ", 1)


def test_non_finite_floats_are_refused_as_json_refuses_their_null():
    f = build("Forest", updates=0)
    data = bytearray(f.to_bytes())
    struct.pack_into("<d", data, 48, float("nan"))  # time_decay
    with pytest.raises(ValueError, match="non-finite float, expected a finite f64 at byte 48$"):
        quillon.Forest.from_bytes(bytes(data))
    with pytest.raises(ValueError, match="invalid type: null"):
        quillon.Forest.from_json(f.to_json().replace('"time_decay":0.0', '"time_decay":null'))


BASES = {name: build(name, updates=12, seed=3).to_bytes() for name in NAMES}


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(name=st.sampled_from(NAMES), data=st.data())
def test_mutated_bytes_are_refused_or_load_to_a_state_that_keeps_itself(name, data):
    cls = getattr(quillon, name)
    state = bytearray(BASES[name])
    for _ in range(data.draw(st.integers(1, 4))):
        at = data.draw(st.integers(16, len(state) - 1))
        width = data.draw(st.sampled_from([1, 4, 8]))
        value = data.draw(st.integers(0, 2 ** (8 * width) - 1) | st.sampled_from([0, 1, 2 ** (8 * width) - 1]))
        piece = value.to_bytes(width, "little")[: len(state) - at]
        state[at:at + len(piece)] = piece
    try:
        d = cls.from_bytes(bytes(state))
    except (ValueError, MemoryError):
        return
    text, again = d.to_json(), d.to_bytes()
    assert cls.from_bytes(again).to_json() == text
    assert cls.from_json(text).to_bytes() == again
    try:
        feed(d, n=5)
    except (ValueError, RuntimeError, OverflowError):
        pass
    assert cls.from_bytes(d.to_bytes()).to_json() == d.to_json()


def test_bytes_like_arguments_and_files(tmp_path):
    d = build("MStream", updates=5)
    data = d.to_bytes()
    for arg in (data, bytearray(data), memoryview(data)):
        assert quillon.MStream.from_bytes(arg).to_bytes() == data
    assert quillon.MStream.from_bytes(data=data).to_bytes() == data
    for wrong in ("text", [1, 2], None):
        with pytest.raises(TypeError) as info:
            quillon.MStream.from_bytes(wrong)
        assert "while processing 'data'" in info.value.__notes__
    path = tmp_path / "state.qstate"
    d.save_bytes(path)
    assert path.read_bytes() == data
    assert quillon.MStream.load_bytes(str(path)).to_json() == d.to_json()
    with pytest.raises(RuntimeError, match=r"^I/O error: No such file or directory \(os error 2\)$"):
        quillon.MStream.load_bytes(tmp_path / "missing.qstate")


@pytest.mark.parametrize("name", NAMES)
def test_heap_bytes_follow_the_state(name):
    fresh = build(name, updates=0)
    fed = build(name, updates=60)
    assert 0 < fresh.heap_bytes() <= fed.heap_bytes()
    assert sys.getsizeof(fed) >= fed.__sizeof__() > fed.heap_bytes()
    assert type(fed).from_bytes(fed.to_bytes()).heap_bytes() > 0


def test_the_binary_forest_is_a_fraction_of_its_json():
    f = quillon.Forest(1, shingle_size=8, seed=1)
    rng = random.Random(2)
    for _ in range(600):
        f.update([rng.gauss(0, 1)])
    assert len(f.to_bytes()) * 5 <= len(f.to_json().encode())


class Cursor:
    """Reads the documented layout (docs/binary-state.md) field by field."""

    def __init__(self, data):
        self.data, self.at = data, 0

    def take(self, fmt):
        values = struct.unpack_from("<" + fmt, self.data, self.at)
        self.at += struct.calcsize("<" + fmt)
        return values if len(values) > 1 else values[0]

    def floats(self, n, fmt="f"):
        return list(self.take(f"{n}{fmt}")) if n > 1 else [self.take(fmt)] if n else []

    def padded(self, fmt, fill):
        length, held = self.take("QQ")
        return self.floats(held, fmt) + [fill] * (length - held)


def decode_forest(data):
    """The JSON record of a Forest, rebuilt from its bytes by the documented layout (boxes
    left out of the bytes are left out here too)."""
    c = Cursor(data)
    assert c.take("4sHBBQ") == (b"\x89QLN", 1, 1, 0, len(data) - 16)
    names = ("input_dim", "shingle_size", "capacity", "num_trees", "time_decay", "output_after",
             "internal_shingling", "initial_accept_fraction")
    out = {"config": dict(zip(names, c.take("QQQQdQ?d"))), "trees": [], "samplers": []}
    for _ in range(c.take("Q")):
        root, mass, width, slots = c.take("QQQQ")
        nodes, tags = [], []
        for _ in range(slots):
            tag = c.take("B")
            tags.append(tag)
            if tag == 0:
                nodes.append(None)
            elif tag == 1:
                nodes.append({"Leaf": dict(zip(("point_idx", "mass"), c.take("QI")))})
            else:
                left, right, cut_dim, cut_val, node_mass = c.take("IIIfI")
                node = {"left": left, "right": right, "cut_dim": cut_dim, "cut_val": cut_val,
                        "mass": node_mass}
                if tag & 0x10:
                    node["bbox"] = {"min": c.floats(width), "max": c.floats(width)}
                if tag & 0x20:
                    c.take("d")
                nodes.append({"Internal": node})
        free = c.floats(c.take("Q"), "Q")
        rng = {"s": list(c.take("4Q"))}
        out["trees"].append({"root": root, "tree_mass": mass, "arena": {"nodes": nodes, "free": free},
                             "rng": rng, "dims": c.take("Q"), "tags": tags})
    for _ in range(c.take("Q")):
        capacity = c.take("Q")
        out["samplers"].append({"capacity": capacity, "weights": c.padded("d", 0.0),
                                "point_indices": c.padded("Q", 2**64 - 1), "size": c.take("Q")})
    store = dict(zip(("dim", "input_dim", "shingle_size", "internal_shingling"), c.take("QQQ?")))
    rows, cols, held = c.take("QQQ")
    store["store"] = {"v": 1, "dim": [rows, cols], "data": c.floats(held * cols) + [0.0] * ((rows - held) * cols)}
    store["occupied"] = [bool(v) for v in c.padded("B", 0)]
    store["ref_count"] = c.padded("Q", 0)
    store["next_free"] = c.take("Q")
    store["free_list"] = c.floats(c.take("Q"), "Q")
    store["size"], store["capacity"] = c.take("QQ")
    store["shingle_buf"] = c.floats(c.take("Q"))
    store["entries_seen"] = c.take("Q")
    out["point_store"] = store
    out["entries_seen"] = c.take("Q")
    out["rng"] = {"s": list(c.take("4Q"))}
    assert c.at == len(data)
    return out


def f32(v):
    return struct.unpack("<f", struct.pack("<f", v))[0]


def strip_boxes(node):
    """A node without its box, its cut as the 32-bit float it is."""
    if node and "Internal" in node:
        node["Internal"].pop("bbox", None)
        node["Internal"]["cut_val"] = f32(node["Internal"]["cut_val"])
    return node


@pytest.mark.parametrize("zeros", [False, True])
def test_the_forest_layout_is_the_documented_one(zeros):
    rng = random.Random(1)
    f = quillon.Forest(2, num_trees=10, capacity=16, seed=1)
    for _ in range(200):
        # Signed zeros: a box's zero bound keeps the sign of the point that set it first.
        first, second = ([0.0, -0.0, 1.0, -1.0, 2.0], [0.0, -0.0, 1.0, 3.0]) if zeros else (
            [0.5, 1.0, -1.0, 2.0, 3.5], [0.5, 1.0, 3.0, 4.0])
        f.update([rng.choice(first), rng.choice(second)])
    decoded = decode_forest(f.to_bytes())
    saved = json.loads(f.to_json())
    tags = [tag for tree in decoded["trees"] for tag in tree.pop("tags")]
    for tree in decoded["trees"] + saved["trees"]:
        tree["arena"]["nodes"] = [strip_boxes(n) for n in tree["arena"]["nodes"]]
    store = saved["point_store"]
    store["store"]["data"] = [f32(v) for v in store["store"]["data"]]
    store["shingle_buf"] = [f32(v) for v in store["shingle_buf"]]
    assert decoded == saved
    # Boxes are written only where their children do not give them back bit for bit.
    assert any(tag & 0x10 for tag in tags) == zeros
    assert quillon.Forest.from_bytes(f.to_bytes()).to_json() == f.to_json()
