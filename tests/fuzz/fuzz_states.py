#!/usr/bin/env python3
"""Mutation fuzzer over saved detector states, in both forms.

Builds varied valid states of every detector, edits their JSON (numbers to extremes, broken
number texts, deletions, duplications, type swaps, list truncation and extension, swapped or
transplanted fields, small steps of one record's numbers) or their binary form (bytes, words and
floats at random offsets set to extremes or nudged, bit flips, cuts, insertions, deleted,
repeated or transplanted ranges, mostly with the header's length kept right so that the edit
reaches the payload) and runs each edited state through ``from_json`` or ``from_bytes``, then
``--updates`` ``update_and_score`` calls (some previewed with ``score``), the read-only queries
and save/reload round trips in both forms. Every case runs in a worker process with a memory limit and a time limit; a worker
that crashes or hangs is replaced.

A case fails when the worker crashes or hangs, when an internal failure (PanicException) or an
unexpected exception class comes out, when a refused or read-only call changes the detector, when
``score`` and ``update_and_score`` disagree on the same input, when a loaded detector gives a NaN
or infinite score for a finite input, or when it cannot save itself and reload to the identical
text and bytes, through either form (after loading, after a few of the updates and after all of
them). The run exits with status 1 if any case failed. Everything is deterministic from
``--seed``: case N of a detector is the same input whatever the time budget.

    python -P tests/fuzz/fuzz_states.py --seed 1 --seconds 60
    python -P tests/fuzz/fuzz_states.py --detector OnlineIForest --cases 2000 --keep failures/
    python -P tests/fuzz/fuzz_states.py --detector Forest --seed 1 --only 4711 -v
    python -P tests/fuzz/fuzz_states.py --format binary --seconds 120

Inputs kept with ``--keep`` have the layout of tests/fuzz/regressions/*.json (a binary state as
"state_hex"), which tests/python/test_fuzz_regressions.py replays.
"""

import argparse
import copy
import json
import math
import os
import pathlib
import random
import re
import select
import struct
import subprocess
import sys
import tempfile
import time

DETECTORS = ("Forest", "MStream", "FeatureSketch", "OnlineIForest", "Alerts")
# Alerts are saved as JSON only; the detectors in both forms.
BINARY = ("Forest", "MStream", "FeatureSketch", "OnlineIForest")
FORMATS = ("json", "binary")
REGRESSIONS = pathlib.Path(__file__).resolve().parent / "regressions"

# Exceptions a well-behaved detector may raise: refusals of a state or of an input.
REFUSED_LOAD = ("ValueError", "MemoryError")
REFUSED_CALL = ("ValueError", "RuntimeError", "MemoryError", "OverflowError")

# ---------------------------------------------------------------------------------------------
# Valid states to start from.


def _points(rng, n, dim):
    """A stream with repeats, ties on a grid and the odd large value, as real data has."""
    out = []
    for _ in range(n):
        r = rng.random()
        if out and r < 0.15:
            out.append(list(rng.choice(out)))
        elif r < 0.3:
            out.append([float(rng.randrange(-2, 3)) for _ in range(dim)])
        elif r < 0.35:
            out.append([rng.choice([1e6, -1e6, 1e-6]) * rng.random() for _ in range(dim)])
        else:
            out.append([rng.gauss(0.0, 1.0) for _ in range(dim)])
    return out


def _forest(q, rng):
    input_dim = rng.choice([1, 2, 3, 5])
    shingle = rng.choice([1, 1, 2, 3])
    internal = rng.random() < 0.7
    capacity = rng.choice([1, 2, 4, 8, 16, 40])
    det = q.Forest(input_dim, shingle_size=shingle, num_trees=rng.choice([1, 2, 3, 6]),
                   capacity=capacity, time_decay=rng.choice([0.0, 0.0, 1e-3, 0.1, 2.0]),
                   output_after=rng.choice([0, 3, 100]), internal_shingling=internal,
                   initial_accept_fraction=rng.choice([0.125, 0.5, 1.0]), seed=rng.getrandbits(64))
    n = rng.choice([0, 1, 3, capacity, 3 * capacity + 5])
    for p in _points(rng, n, input_dim if internal else input_dim * shingle):
        det.update(p)
    return det


def _mstream(q, rng):
    numeric, categorical = rng.choice([(1, 0), (0, 1), (1, 1), (3, 2), (2, 1)])
    det = q.MStream(numeric, categorical, num_rows=rng.choice([1, 2, 3]),
                    num_buckets=rng.choice([2, 3, 16, 64]), alpha=rng.choice([0.0, 0.5, 0.8, 1.0]),
                    seed=rng.getrandbits(64))
    t = rng.choice([0, 1, 1000])
    for p in _points(rng, rng.choice([0, 1, 5, 40]), numeric):
        t += rng.choice([0, 0, 1, 1, 2, 50])
        det.update(p, [rng.randrange(4) for _ in range(categorical)], t)
    return det


FEATURES = ["a", "b", "country=DE", "country=FR", "latency", "ü", "", "x" * 40]


def _event(rng):
    names = rng.sample(FEATURES, rng.randrange(len(FEATURES) + 1))
    if rng.random() < 0.2:
        names.append(f"f{rng.randrange(10**6)}")
    return {name: rng.choice([1.0, 0.0, -3.5, rng.gauss(0.0, 10.0)]) for name in names}


def _sketch(q, rng):
    det = q.FeatureSketch(value_projection_dims=rng.choice([1, 2, 4, 8]),
                          presence_projection_dims=rng.choice([1, 2, 4]),
                          chains_per_ensemble=rng.choice([1, 2, 4]),
                          chain_depth=rng.choice([1, 2, 4]),
                          sketch_rows=rng.choice([1, 2]), sketch_buckets=rng.choice([1, 4, 32]),
                          decay_half_life=rng.choice([1, 2, 16, 2048]), seed=rng.getrandbits(64))
    for _ in range(rng.choice([0, 1, 5, 30])):
        det.update(_event(rng))
    return det


def _oif(q, rng):
    input_dim = rng.choice([1, 2, 3])
    window = rng.choice([1, 2, 4, 8, 32])
    det = q.OnlineIForest(input_dim, num_trees=rng.choice([1, 2, 4]), window_size=window,
                          max_leaf_samples=rng.choice([1, 2, 4, 8]), seed=rng.getrandbits(64))
    for p in _points(rng, rng.choice([0, 1, window, 3 * window + 1]), input_dim):
        det.update(p)
    return det


def _scores(rng, n, inputs):
    """Score rows: skewed noise, ties, zeros of both signs and the odd spike."""
    out = []
    for _ in range(n):
        r = rng.random()
        row = [rng.choice([0.0, -0.0, 1.0]) if r < 0.2 else rng.lognormvariate(0.0, 0.7)
               for _ in range(inputs)]
        if r > 0.98:
            row = [v * rng.choice([10.0, 1e6, 1e100]) for v in row]
        out.append(row)
    return out


def _alerts(q, rng):
    tail = rng.choice([0.02, 0.1, 0.5])
    warmup = max(int(1 / tail) + 1, rng.choice([3, 12, 150]))
    inputs = rng.choice([1, 1, 2, 3])
    det = q.Alerts(inputs=inputs, risk=tail * rng.choice([0.5, 0.1, 0.01]), tail=tail,
                   peaks=rng.choice([1, 2, 8, 128]), warmup=warmup,
                   half_life=rng.choice([1.0, 50.0, 2000.0]), step=rng.choice([0.05, 1.0, 100.0]),
                   episode_gap=rng.choice([1, 5, 100]), max_shape=rng.choice([0.0, 0.3, 0.45]))
    n = rng.choice([0, 1, warmup - 1, warmup, warmup + 1, 400])
    if n:
        det.update_many(_scores(rng, n, inputs))
    return det


BUILDERS = {"Forest": _forest, "MStream": _mstream, "FeatureSketch": _sketch, "OnlineIForest": _oif,
            "Alerts": _alerts}


def base_states(detector, seed, count=16, form="json"):
    """`count` valid states of one detector (texts, or bytes for the binary form), the same for
    the same seed."""
    import quillon

    rng = random.Random(f"base:{seed}:{detector}")
    out = []
    while len(out) < count:
        try:
            det = BUILDERS[detector](quillon, rng)
        except ValueError:
            continue  # a configuration the constructor refuses; draw another
        out.append(det.to_bytes() if form == "binary" else det.to_json())
    return out


# ---------------------------------------------------------------------------------------------
# Mutations, on the parsed JSON tree.


class Raw:
    """Text written as it stands: broken numbers, NaN and the like."""

    def __init__(self, text):
        self.text = text


class Pairs:
    """An object that may hold a key twice."""

    def __init__(self, items):
        self.items = items


def dump(v):
    """Compact JSON text of a tree that may hold Raw texts and Pairs objects."""
    specials = []

    def default(o):
        if isinstance(o, Raw):
            text = o.text
        elif isinstance(o, Pairs):
            text = "{" + ",".join(json.dumps(k) + ":" + dump(x) for k, x in o.items) + "}"
        else:
            raise TypeError(type(o).__name__)
        specials.append(text)
        return f"\x00{len(specials) - 1}\x00"

    # The C encoder writes floats by repr and NaN and infinities as NaN and Infinity.
    out = json.dumps(v, default=default, separators=(",", ":"))
    for i, text in enumerate(specials):
        out = out.replace(json.dumps(f"\x00{i}\x00"), text, 1)
    return out


INT_EXTREMES = [
    0, 1, 2, 3, 255, 256, 65536, 2**31 - 1, 2**31, 2**32 - 1, 2**32, 2**53 + 1, 2**63 - 1, 2**63,
    2**64 - 2, 2**64 - 1, 2**64, 2**70, -1, -(2**31), -(2**63), -(2**63) - 1,
]
FLOAT_EXTREMES = [
    0.0, -0.0, 0.5, 1e39, -1e39, 1e308, -1e308, 1.7976931348623157e308, 3.4028234663852886e38,
    3.5e38, -3.4e38, 5e-324, 1e-45, 1.4e-45, 1e-300, 1e-40, 16777217.0, 2.0**64, -(2.0**63),
]
NUMBER_TEXTS = [
    "NaN", "nan", "Infinity", "-Infinity", "inf", "1e999", "-1e999", "1e-999", "-0", "00", "01",
    "1.", ".5", "1e", "1e+", "-", "+1", "0x10", "1_0", "1.0e400", "18446744073709551616",
    "-18446744073709551615", "184467440737095516150", "1" * 400, "0." + "0" * 400 + "1", "null",
    '"1"', "true", "[]", "{}",
]


def _slots(tree):
    """Every (container, key) below the root."""
    out = []
    stack = [tree]
    while stack:
        node = stack.pop()
        if isinstance(node, dict):
            for k in node:
                out.append((node, k))
                stack.append(node[k])
        elif isinstance(node, list):
            for i in range(len(node)):
                out.append((node, i))
                stack.append(node[i])
    return out


def _number_slots(slots):
    return [s for s in slots
            if isinstance(s[0][s[1]], (int, float)) and not isinstance(s[0][s[1]], bool)]


def _nudge(rng, v):
    if isinstance(v, int):
        return v + rng.choice([-1, 1, -2, 2, 1000, -v - 1, v, 2**32])
    return rng.choice([v * 2, -v, v * 1e30, v + 1.0, v / 3.0, math.nextafter(v, math.inf)])


def _shift_record(slots, rng):
    """Moves the numbers of one record (a tree node, a sampler, a sketch's header) by small
    steps. Each value stays plausible on its own, so only the checks that relate a record to its
    neighbours and to the window (a child's count against its parent's, say) can refuse it, and
    a loaded state's own later saves show what those checks let through."""
    records = [s[0][s[1]] for s in slots if isinstance(s[0][s[1]], dict)
               and _number_slots([(s[0][s[1]], k) for k in s[0][s[1]]])]
    if not records:
        return
    record = rng.choice(records)
    keys = [k for k in record if isinstance(record[k], (int, float))
            and not isinstance(record[k], bool)]
    for key in rng.sample(keys, rng.choice([1, 1, 1, len(keys)])):
        v = record[key]
        step = rng.choice([1, 1, 2, 3]) if rng.random() < 0.5 else rng.randint(1, 64)
        if isinstance(v, int):
            record[key] = v + rng.choice([-step, step])
        elif not math.isfinite(v):
            continue
        else:
            record[key] = rng.choice([v + step, v - step, v * (1 + 2.0**-rng.randint(1, 30)),
                                      math.nextafter(v, rng.choice([math.inf, -math.inf]))])


def _reshape_matrix(tree, slots, rng):
    """Changes one extent of a matrix and its data together, so that only the detector's own
    consistency checks stand between the edit and its arithmetic."""
    matrices = [s[0][s[1]] for s in slots if isinstance(s[0][s[1]], dict)
                and set(s[0][s[1]]) == {"v", "dim", "data"} and isinstance(s[0][s[1]]["dim"], list)]
    if not matrices:
        return tree
    m = rng.choice(matrices)
    dims, data = m["dim"], m["data"]
    if not dims or not all(isinstance(d, int) for d in dims) or not isinstance(data, list):
        return tree
    axis = rng.randrange(len(dims))
    dims[axis] = max(0, dims[axis] + rng.choice([-1, 1, 1, 2, -dims[axis]]))
    size = math.prod(dims)
    if size > 10**6:
        return tree
    filler = data or [0]
    m["data"] = [data[i] if i < len(data) else copy.deepcopy(rng.choice(filler))
                 for i in range(size)]
    return tree


def mutate_once(tree, rng, donors):
    slots = _slots(tree)
    if not slots:
        return Raw(rng.choice(NUMBER_TEXTS))
    numbers = _number_slots(slots)
    op = rng.choices(
        ["nudge", "extreme", "text", "delete", "duplicate", "type", "resize", "matrix", "swap",
         "transplant", "record"],
        weights=[25, 25, 3, 5, 3, 5, 10, 8, 6, 10, 20])[0]
    if op == "record":
        _shift_record(slots, rng)
        return tree
    if op in ("nudge", "extreme", "text") and numbers:
        # Named fields and integers (sizes, counts, indices) hold the structure; long arrays of
        # floats would otherwise draw most of the edits.
        named = [s for s in numbers if isinstance(s[0], dict)]
        integers = [s for s in numbers if isinstance(s[0][s[1]], int)]
        r = rng.random()
        pool = named if r < 0.35 and named else integers if r < 0.65 and integers else numbers
        parent, key = rng.choice(pool)
        if op == "nudge":
            parent[key] = _nudge(rng, parent[key])
        elif op == "extreme":
            same = INT_EXTREMES if isinstance(parent[key], int) else FLOAT_EXTREMES
            other = FLOAT_EXTREMES if same is INT_EXTREMES else INT_EXTREMES
            parent[key] = rng.choice(same if rng.random() < 0.85 else other)
        else:
            parent[key] = Raw(rng.choice(NUMBER_TEXTS))
        return tree
    if op == "matrix":
        return _reshape_matrix(tree, slots, rng)
    parent, key = rng.choice(slots)
    value = parent[key]
    if op == "delete":
        del parent[key]
    elif op == "duplicate" and isinstance(parent, dict):
        items = [(k, v) for k, v in parent.items()]
        other = rng.choice([v for _, v in items] + [value])
        items.insert(rng.randrange(len(items) + 1), (key, other))
        # Replace the object in its own parent by a version holding `key` twice.
        for grand, gkey in slots:
            if grand[gkey] is parent:
                grand[gkey] = Pairs(items)
                break
        else:
            return Pairs(items) if parent is tree else tree
    elif op == "type":
        parent[key] = rng.choice([None, True, False, "x", [], {}, 0, 1.5, [value], {"k": value}])
    elif op == "resize" or (op == "duplicate" and isinstance(parent, list)):
        lists = [s for s in slots if isinstance(s[0][s[1]], list) and s[0][s[1]]]
        if not lists:
            return tree
        parent, key = rng.choice(lists)
        seq = parent[key]
        r = rng.random()
        if r < 0.4:
            del seq[rng.randrange(len(seq)):]
        elif r < 0.8:
            for _ in range(rng.choice([1, 1, 2, len(seq)])):
                seq.append(copy.deepcopy(rng.choice(seq)))
        else:
            rng.shuffle(seq)
    elif op == "swap" and isinstance(parent, dict) and len(parent) > 1:
        other = rng.choice([k for k in parent if k != key])
        parent[key], parent[other] = parent[other], parent[key]
    elif op == "transplant":
        # The same field from another valid state, e.g. trees or sketches of another size.
        donor_slots = [s for s in _slots(rng.choice(donors)) if s[1] == key]
        if donor_slots:
            d_parent, d_key = rng.choice(donor_slots)
            parent[key] = copy.deepcopy(d_parent[d_key])
    return tree


# ---------------------------------------------------------------------------------------------
# Mutations of the binary form, on its bytes.

HEADER = 16


def _fix_length(data):
    """The header's payload length set to what follows it."""
    if len(data) < HEADER:
        return data
    return data[:8] + struct.pack("<Q", len(data) - HEADER) + data[HEADER:]


def mutate_bytes_once(data, rng, donors):
    data = bytearray(data)
    if not data:
        return bytes(rng.randbytes(rng.randrange(1, 40)))
    op = rng.choices(["u64", "u32", "f64", "f32", "byte", "bit", "nudge", "cut", "insert", "delete",
                      "repeat", "transplant"],
                     weights=[20, 10, 8, 8, 12, 8, 12, 3, 3, 5, 4, 7])[0]
    # Edits land mostly past the header, where the records are.
    lo = HEADER if len(data) > HEADER and rng.random() < 0.95 else 0
    at = rng.randrange(lo, len(data))
    if op == "u64":
        v = rng.choice(INT_EXTREMES) % 2**64
        data[at:at + 8] = struct.pack("<Q", v)[:len(data[at:at + 8])]
    elif op == "u32":
        v = rng.choice(INT_EXTREMES) % 2**32
        data[at:at + 4] = struct.pack("<I", v)[:len(data[at:at + 4])]
    elif op == "f64":
        v = rng.choice(FLOAT_EXTREMES + [math.nan, math.inf, -math.inf])
        data[at:at + 8] = struct.pack("<d", v)[:len(data[at:at + 8])]
    elif op == "f32":
        v = rng.choice(FLOAT_EXTREMES[:9] + [math.nan, math.inf, -math.inf, 1.5, -2.0])
        try:
            packed = struct.pack("<f", v)
        except OverflowError:
            packed = struct.pack("<f", math.copysign(math.inf, v))
        data[at:at + 4] = packed[:len(data[at:at + 4])]
    elif op == "byte":
        data[at] = rng.choice([0, 1, 2, 3, 0x10, 0x12, 0x22, 0x32, 0x7F, 0x80, 0xFF])
    elif op == "bit":
        data[at] ^= 1 << rng.randrange(8)
    elif op == "nudge":
        # A small step of a little-endian word: sizes, indices and counts off by a few.
        width = rng.choice([4, 8])
        if at + width <= len(data):
            fmt = "<I" if width == 4 else "<Q"
            (v,) = struct.unpack_from(fmt, data, at)
            v = (v + rng.choice([-2, -1, 1, 2, 3, 64])) % (2 ** (8 * width))
            struct.pack_into(fmt, data, at, v)
    elif op == "cut":
        del data[at:]
    elif op == "insert":
        data[at:at] = rng.randbytes(rng.choice([1, 4, 8, 16]))
    elif op == "delete":
        del data[at:at + rng.choice([1, 4, 8, 16, 64])]
    elif op == "repeat":
        piece = data[at:at + rng.choice([4, 8, 16, 64, 256])]
        data[at:at] = piece
    else:
        # A range of another valid state at the same offset: parts of a different shape.
        donor = rng.choice(donors)
        if len(donor) > lo:
            start = rng.randrange(lo, len(donor))
            piece = donor[start:start + rng.choice([8, 64, 512, 4096])]
            data[at:at + len(piece)] = piece
    return bytes(data)


def make_binary_case(rng, bases):
    base = rng.choice(bases)
    data = base
    for _ in range(rng.choice([1, 1, 1, 2, 2, 3, 5])):
        data = mutate_bytes_once(data, rng, bases)
    if rng.random() < 0.85:
        data = _fix_length(data)
    return data


def make_case(detector, seed, index, bases, form="json"):
    """The `index`-th edited state of `detector` (a text, or bytes for the binary form), and the
    seed of its input stream."""
    if form == "binary":
        rng = random.Random(f"binary-case:{seed}:{detector}:{index}")
        return make_binary_case(rng, bases), rng.getrandbits(63)
    return _make_json_case(detector, seed, index, bases)


def _make_json_case(detector, seed, index, bases):
    """The `index`-th edited state of `detector`, and the seed of its input stream."""
    rng = random.Random(f"case:{seed}:{detector}:{index}")
    base = rng.choice(bases)
    if rng.random() < 0.04:
        # A few plain text edits: cut, a character changed, a character inserted.
        pos = rng.randrange(len(base) + 1)
        text = rng.choice([base[:pos], base[:pos] + rng.choice('0-.e}]",9') + base[pos + 1:],
                           base[:pos] + rng.choice('0-.e}]",9') + base[pos:]])
    else:
        tree = json.loads(base)
        donors = [json.loads(b) for b in rng.sample(bases, min(3, len(bases)))]
        for _ in range(rng.choice([1, 1, 1, 1, 2, 2, 3, 5])):
            tree = mutate_once(tree, rng, donors)
        text = dump(tree)
    return text, rng.getrandbits(63)


# ---------------------------------------------------------------------------------------------
# One case, in the worker.


def _point_length(det, n):
    """The point length the detector wants, read from its own dimension message."""
    try:
        det.score([0.0] * n)
    except ValueError as e:
        m = re.match(r"dimension mismatch: expected (\d+), got", str(e))
        if m:
            return int(m.group(1))
    except Exception:
        pass
    return n


def _inputs(detector, det, rng):
    """A function giving the arguments of the next update_and_score call, and their width."""
    if detector == "FeatureSketch":
        return (lambda: (_event(rng),)), len(FEATURES)
    if detector == "Alerts":
        inputs = det.inputs()
        return (lambda: (_scores(rng, 1, inputs)[0],)), inputs
    if detector == "MStream":
        numeric, categorical = (min(v, 10**5) for v in det.__getnewargs__())
        clock = [det.current_time() or 0]

        def record():
            clock[0] = min(clock[0] + rng.choice([0, 0, 1, 1, 3, 1000]), 2**64 - 1)
            return ([rng.gauss(0.0, 5.0) for _ in range(numeric)],
                    [rng.choice([0, 1, 2, -1, 2**40]) for _ in range(categorical)], clock[0])

        return record, numeric + categorical
    n = _point_length(det, min(det.__getnewargs__()[0], 10**5))
    n = min(n, 10**5)
    history = []
    if detector == "OnlineIForest":
        # The window's own points route where the saved counts are, so replaying them moves
        # those counts the way the stream that made them did.
        window = json.loads(det.to_json())["window"]
        history = [[v if v is not None else 0.0 for v in p] for p in window if len(p) == n]

    def point():
        if history and rng.random() < 0.2:
            return (rng.choice(history),)
        p = [rng.choice([rng.gauss(0.0, 1.0), rng.gauss(0.0, 1.0), 0.0, rng.gauss(0.0, 1e4)])
             for _ in range(n)]
        history.append(p)
        return (p,)

    return point, n


def _round_trip(cls, det, folder, when):
    """None when the detector saves itself and reloads to the identical text and bytes, through
    either form (JSON only for a class without the binary one), else the problem. Each reloaded
    detector is dropped before the next is made: a legitimately large one (a wide window, say)
    must fit beside the original only once."""
    binary_form = hasattr(cls, "from_bytes")
    try:
        text = det.to_json()
        data = det.to_bytes() if binary_form else None
    except BaseException as e:
        return f"{when}: to_json or to_bytes raised {type(e).__name__}: {e}"
    forms = [("text", cls.from_json, text)]
    files = [(det.save_json, cls.load_json, os.path.join(folder, "state.json"))]
    if binary_form:
        forms.append(("bytes", cls.from_bytes, data))
        files.append((det.save_bytes, cls.load_bytes, os.path.join(folder, "state.qstate")))
    for form, load, saved in forms:
        try:
            again = load(saved)
        except BaseException as e:
            return f"{when}: its own {form} are refused: {type(e).__name__}: {e}"
        same = again.to_json() == text and (not binary_form or again.to_bytes() == data)
        del again
        if not same:
            return f"{when}: the detector reloaded from its {form} writes a different text or bytes"
    for save, load, target in files:
        try:
            save(target)
            same = load(target).to_json() == text
        except BaseException as e:
            return f"{when}: saving or loading a file raised {type(e).__name__}: {e}"
        if not same:
            return f"{when}: a file differs from to_json"
    if copy.deepcopy(det).to_json() != text:
        return f"{when}: the copy differs from to_json"
    return None


def _queries(detector, args):
    """The read-only calls of a detector, on the arguments of one update."""
    if detector == "Forest":
        point = args[0]
        return [("score", args), ("displacement_score", args), ("attribution", args),
                ("density", args), ("near_neighbors", (point, 3)), ("impute", (point, [0])),
                ("extrapolate", (2,))]
    if detector == "MStream":
        return [("score", args), ("score_detailed", args)]
    if detector == "Alerts":
        return [("steps", ()), ("is_ready", ()), ("in_episode", ()), ("risk", ())]
    return [("score", args)]


def _call(det, method, args):
    """(value, None) on success, (None, exception name and text) when the call was refused;
    raises Unexpected for anything a detector must never raise."""
    try:
        return getattr(det, method)(*args), None
    except BaseException as e:
        name = type(e).__name__
        if name not in REFUSED_CALL:
            raise Unexpected(f"{method} raised {name}: {e}") from None
        return None, f"{name}: {e}"


class Unexpected(Exception):
    pass


# Updates after which the state must reload; the full round trip runs after the last.
RELOAD_AFTER = frozenset({1, 2, 3, 5, 8, 13, 21, 34})


def _exercise(detector, det, next_args, updates, check_rng, result):
    """Runs the updates and queries; returns the first problem or None."""
    args = None
    applied = 0
    for _ in range(updates):
        args = next_args()
        before = det.to_json()
        if applied in RELOAD_AFTER:
            try:
                again = type(det).from_json(before).to_json()
                again_binary = (type(det).from_bytes(det.to_bytes()).to_json()  # one at a time
                                if hasattr(det, "to_bytes") else before)
            except BaseException as e:
                return (f"after {applied} updates: its own text or bytes are refused: "
                        f"{type(e).__name__}: {e}")
            if again != before or again_binary != before:
                return f"after {applied} updates: the reloaded detector writes a different text"
        preview = None
        if detector not in ("OnlineIForest", "Alerts") and check_rng.random() < 0.25:
            preview, _ = _call(det, "score", args)
            if det.to_json() != before:
                return "score changed the detector"
        score, refused = _call(det, "update" if detector == "Alerts" else "update_and_score", args)
        if refused:
            result["update_errors"] += 1
            result.setdefault("first_update_error", refused)
            if det.to_json() != before:
                return f"a refused update_and_score ({refused}) changed the detector"
            continue
        applied += 1
        if detector == "Alerts":
            grade, alert = score
            if not (0.0 <= grade <= 1.0) or type(alert) is not bool:
                return f"update gave {score!r} for finite input"
            continue
        if not math.isfinite(score):
            result["nonfinite"] += 1
            return f"update_and_score gave {score} for finite input"
        if preview is not None and preview != score:
            return f"score gave {preview!r} but update_and_score {score!r} for the same input"
    if args is not None:
        before = det.to_json()
        for method, query_args in _queries(detector, args):
            _call(det, method, query_args)
        if det.to_json() != before:
            return "a read-only query changed the detector"
    return None


def run_case(detector, text, stream_seed, updates, folder):
    """`text` is a JSON text, or bytes for a binary state."""
    import quillon

    cls = getattr(quillon, detector)
    result = {"outcome": "refused", "detail": "", "update_errors": 0, "nonfinite": 0}
    binary = isinstance(text, bytes)
    try:
        det = cls.from_bytes(text) if binary else cls.from_json(text)
    except BaseException as e:
        name = type(e).__name__
        result["detail"] = f"{'from_bytes' if binary else 'from_json'}: {name}: {e}"
        if name not in REFUSED_LOAD:
            result["outcome"] = "failure"
        return result
    result["outcome"] = "loaded"
    heap = det.heap_bytes() if hasattr(det, "heap_bytes") else 0  # Alerts are small, bounded
    if heap > WORKER_MEMORY // 4:
        # A legitimately large detector (an OnlineIForest(1, window_size=2**27) holds 512 MiB):
        # its copies would not fit in the worker beside it, which says nothing of the state.
        result["detail"] = f"loaded, {heap} bytes: too large to reload in the worker"
        return result
    problem = _round_trip(cls, det, folder, "after loading")
    if not problem:
        try:
            next_args, width = _inputs(detector, det, random.Random(stream_seed))
            # A wide detector (a loaded input_dim of 65536 is legitimate) costs per coordinate;
            # a few updates cover it without the budget of a hang.
            if width > 1024:
                updates = min(updates, 5)
            problem = _exercise(detector, det, next_args, updates,
                                random.Random(stream_seed + 1), result)
        except Unexpected as e:
            problem = str(e)
        except BaseException as e:
            problem = f"exercising the loaded detector: {type(e).__name__}: {e}"
    if not problem:
        problem = _round_trip(cls, det, folder, f"after {updates} updates")
    if problem:
        result["outcome"], result["detail"] = "failure", problem
    return result


# The worker's address-space limit in bytes (set by worker_main).
WORKER_MEMORY = 2048 << 20


def worker_main(memory_mb, updates, sanitized=False):
    import resource

    global WORKER_MEMORY
    limit = WORKER_MEMORY = memory_mb << 20
    # AddressSanitizer reserves terabytes of address space for its shadow memory, so a sanitized
    # worker is held by the sanitizer's own allocation and RSS limits instead (Worker.start).
    if not sanitized:
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
    import quillon  # noqa: F401  (after the limit, so that it covers the import too)

    with tempfile.TemporaryDirectory(prefix="fuzz-states-") as folder:
        for line in sys.stdin:
            case = json.loads(line)
            text = case["text"] if "text" in case else bytes.fromhex(case["hex"])
            try:
                result = run_case(case["detector"], text, case["stream_seed"], updates, folder)
            except Exception:
                import traceback

                result = {"outcome": "failure", "detail": "fuzzer error: " + traceback.format_exc()}
            sys.stdout.write(json.dumps(result) + "\n")
            sys.stdout.flush()


# ---------------------------------------------------------------------------------------------
# The parent: hands cases to a worker, watches it, counts.


# What AddressSanitizer prints when an allocation fails or exceeds its limits: the sanitized
# worker's MemoryError, a refusal like any other.
SANITIZER_OUT_OF_MEMORY = ("AddressSanitizer: allocator is out of memory",
                           "AddressSanitizer: requested allocation size",
                           "AddressSanitizer: hard rss limit exhausted")


class Worker:
    def __init__(self, memory_mb, updates, sanitized=False):
        self.memory_mb, self.updates, self.proc = memory_mb, updates, None
        self.sanitized = sanitized

    def start(self):
        import quillon

        root = str(pathlib.Path(quillon.__file__).resolve().parent.parent)
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [root, env.get("PYTHONPATH")]))
        if self.sanitized:
            # The sanitizer's limits stand for the address-space limit: an allocation over
            # --memory-mb fails, and so does a worker whose memory grows a GiB beyond it.
            limits = (f"max_allocation_size_mb={self.memory_mb}:"
                      f"hard_rss_limit_mb={self.memory_mb + 1024}")
            env["ASAN_OPTIONS"] = ":".join(filter(None, [env.get("ASAN_OPTIONS"), limits]))
        self.stderr = tempfile.TemporaryFile()
        self.proc = subprocess.Popen(
            [sys.executable, "-P", os.path.abspath(__file__), "--worker",
             "--memory-mb", str(self.memory_mb), "--updates", str(self.updates)]
            + (["--sanitized"] if self.sanitized else []),
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self.stderr, env=env, text=True)

    def stop(self):
        if self.proc is not None:
            self.proc.kill()
            self.proc.wait()
            self.proc = None

    def _stderr(self):
        self.stderr.seek(0)
        return self.stderr.read().decode(errors="replace").strip()

    def run(self, detector, text, stream_seed, timeout):
        if self.proc is None:
            self.start()
        case = {"detector": detector, "stream_seed": stream_seed}
        if isinstance(text, bytes):
            case["hex"] = text.hex()
        else:
            case["text"] = text
        try:
            self.proc.stdin.write(json.dumps(case) + "\n")
            self.proc.stdin.flush()
        except BrokenPipeError:
            pass
        ready, _, _ = select.select([self.proc.stdout], [], [], timeout)
        line = self.proc.stdout.readline() if ready else None
        if line:
            return json.loads(line)
        if line is None:
            self.stop()
            return {"outcome": "failure", "detail": f"hang: no answer within {timeout} s"}
        code = self.proc.wait()
        stderr = self._stderr()
        self.proc = None
        if self.sanitized:
            # The report's first lines name the fault; the stack that follows is long.
            said = [line.strip() for line in stderr.splitlines() if "Sanitizer" in line]
            oom = next((line for line in said if any(t in line for t in SANITIZER_OUT_OF_MEMORY)),
                       None)
            if oom is not None:
                return {"outcome": "refused", "detail": "out of memory: " + oom}
            report = next((line for line in said if "ERROR:" in line), said[0] if said else "")
            if report:
                stderr = report + " ... " + stderr[-400:]
        how = f"signal {-code}" if code < 0 else f"exit status {code}"
        return {"outcome": "failure",
                "detail": f"crash: worker died ({how}); stderr: {stderr[-500:]}"}


def keep_case(folder, detector, text, stream_seed, label, detail):
    folder = pathlib.Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    record = {"detector": detector, "stream_seed": stream_seed, "found_by": label,
              "failure": detail}
    if isinstance(text, bytes):
        record["state_hex"] = text.hex()
    else:
        record["state"] = text
    name = f"{detector}-{label.replace(' ', '-')}.json"
    (folder / name).write_text(json.dumps(record, indent=1) + "\n")


def fuzz(args):
    worker = Worker(args.memory_mb, args.updates, args.sanitized)
    totals = {}
    failed = False
    try:
        for detector, form in [(d, f) for d in args.detectors for f in args.formats
                               if f == "json" or d in BINARY]:
            bases = base_states(detector, args.seed, form=form)
            counts = {"tried": 0, "loaded": 0, "refused": 0, "failures": 0}
            extra = {"update_errors": 0, "nonfinite": 0}
            started = time.monotonic()
            index = args.start
            while True:
                if args.only is not None:
                    if counts["tried"]:
                        break
                    index = args.only
                elif args.cases is not None and counts["tried"] >= args.cases:
                    break
                elif args.cases is None and time.monotonic() - started >= args.seconds:
                    break
                text, stream_seed = make_case(detector, args.seed, index, bases, form)
                result = worker.run(detector, text, stream_seed, args.timeout)
                counts["tried"] += 1
                outcome = result["outcome"]
                counts["failures" if outcome == "failure" else outcome] += 1
                for k in extra:
                    extra[k] += result.get(k, 0)
                label = f"seed {args.seed} {form} case {index}"
                if outcome == "failure":
                    print(f"FAIL {detector} {label}: {result['detail']}", flush=True)
                    if args.keep:
                        keep_case(args.keep, detector, text, stream_seed, label, result["detail"])
                elif args.verbose:
                    detail = result.get("detail") or result.get("first_update_error", "")
                    print(f"{outcome} {detector} {label}: {detail}", flush=True)
                index += 1
            counts["seconds"] = round(time.monotonic() - started, 1)
            totals[f"{detector} {form}"] = {**counts, **extra}
            failed = failed or counts["failures"] > 0
            print(f"{detector:14s} {form:6s} tried {counts['tried']:6d}  loaded {counts['loaded']:6d}  "
                  f"refused {counts['refused']:6d}  failures {counts['failures']:4d}  "
                  f"(refused updates {extra['update_errors']}, non-finite scores "
                  f"{extra['nonfinite']}, {counts['seconds']} s)", flush=True)
    finally:
        worker.stop()
    if args.json:
        pathlib.Path(args.json).write_text(json.dumps(totals, indent=1) + "\n")
    return 1 if failed else 0


def replay(paths, memory_mb=2048, updates=50, timeout=60):
    """Runs kept inputs (regression files); yields (path, result)."""
    worker = Worker(memory_mb, updates)
    try:
        for path in paths:
            record = json.loads(pathlib.Path(path).read_text())
            state = (bytes.fromhex(record["state_hex"]) if "state_hex" in record
                     else record["state"])
            yield path, worker.run(record["detector"], state, record["stream_seed"], timeout)
    finally:
        worker.stop()


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                formatter_class=argparse.RawDescriptionHelpFormatter,
                                epilog="example: python -P tests/fuzz/fuzz_states.py --seed 7")
    p.add_argument("--seed", type=int, default=1, help="seed of the inputs (default 1)")
    p.add_argument("--seconds", type=float, default=60.0,
                   help="time budget per detector and form (default 60)")
    p.add_argument("--cases", type=int, help="a fixed number of cases per detector instead")
    p.add_argument("--start", type=int, default=0, help="first case index (default 0)")
    p.add_argument("--only", type=int, help="run just this case index (to reproduce a failure)")
    p.add_argument("--detector", dest="detectors", action="append", choices=DETECTORS,
                   help="fuzz only this detector (repeatable; default all four)")
    p.add_argument("--format", dest="formats", action="append", choices=FORMATS,
                   help="fuzz only this form of the state (repeatable; default both)")
    p.add_argument("--updates", type=int, default=50,
                   help="update_and_score calls after a successful load (default 50)")
    p.add_argument("--timeout", type=float, default=20.0,
                   help="seconds a case may take before it counts as a hang (default 20)")
    p.add_argument("--memory-mb", type=int, default=2048,
                   help="address-space limit of the worker in MiB (default 2048)")
    p.add_argument("--keep", metavar="DIR",
                   help="write failing inputs into DIR as regression files")
    p.add_argument("--json", metavar="FILE", help="also write the counts as JSON")
    p.add_argument("-v", "--verbose", action="store_true", help="print every case's outcome")
    p.add_argument("--sanitized", action="store_true",
                   help="quillon is built with AddressSanitizer (scripts/fuzz-sanitized): no "
                        "address-space limit, and the sanitizer's out-of-memory reports count as "
                        "refusals")
    p.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    args = p.parse_args(argv)
    if args.worker:
        worker_main(args.memory_mb, args.updates, args.sanitized)
        return 0
    args.detectors = args.detectors or list(DETECTORS)
    args.formats = args.formats or list(FORMATS)
    return fuzz(args)


if __name__ == "__main__":
    sys.exit(main())
