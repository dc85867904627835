"""Seeded streams give the same bytes on every interpreter quillon builds for.

Each detector's transcript (every score as float.hex, the to_json text after each phase) is hashed
and compared with the digest recorded once; every interpreter in CI runs this same comparison, so
GIL and free-threaded builds of 3.11 to 3.14 all produce identical scores and saved states.
"""

import hashlib
import random

import numpy as np
import pytest

import quillon

ROWS = 400

# sha256 of each transcript below.
RECORDED = {
    "FeatureSketch": "0bbb1a1805e2b7818c66eafd84bb811180c3edd80f5bf591da8769bd5addf7d3",
    "Forest": "811fa231de2a82344c6eca6884a1d3d26f370370b8f4c4062eb4a60195749d25",
    "MStream": "63f0c1b78314f1c09cd371c09b9d3ba85744480a54dba0fd5d79b00bd7bf49a6",
    "OnlineIForest": "2c2c2716ee061038201d73373abab3c34e5fe1a02a43ced2cfaf5bbc3ac13628",
}


def numbers(seed, n, width):
    # random.random() sequences are fixed for a seed on every CPython version.
    rng = random.Random(seed)
    rows = []
    for i in range(n):
        row = [rng.random() * 4.0 - 2.0 for _ in range(width)]
        if i % 53 == 0:
            row[0] += 9.0
        rows.append(row)
    return rows


def forest(put):
    rows = numbers(1, ROWS, 3)
    detector = quillon.Forest(3, shingle_size=2, num_trees=20, capacity=64, seed=7)
    put(*(detector.update_and_score(row).hex() for row in rows[:150]))
    put(*map(float.hex, detector.score_many(np.array(rows[150:250]))))
    put(*map(float.hex, detector.update_and_score_many(rows[150:])))
    put(detector.to_json())
    put(detector.displacement_score(rows[0]).hex(), detector.density(rows[1]).hex())
    put(*(value.hex() for value in detector.extrapolate(2)))


def mstream(put):
    rows = numbers(2, ROWS, 3)
    numeric = [row[:2] for row in rows]
    categorical = [[int(abs(row[2]) * 3) % 5] for row in rows]
    times = [1 + i // 10 for i in range(ROWS)]
    detector = quillon.MStream(2, 1, num_rows=3, num_buckets=64, seed=11)
    put(*(detector.update_and_score(n, c, t).hex()
          for n, c, t in zip(numeric[:150], categorical[:150], times[:150])))
    put(*map(float.hex, detector.update_and_score_many(
        np.array(numeric[150:]), np.array(categorical[150:], dtype=np.int64),
        np.array(times[150:], dtype=np.int64))))
    put(detector.to_json())


def feature_sketch(put):
    rows = numbers(3, ROWS, 3)
    names = ["alpha", "beta", "gamma", "delta"]
    events = [{names[(i + k) % 4]: value for k, value in enumerate(row[: 1 + i % 3])}
              for i, row in enumerate(rows)]
    detector = quillon.FeatureSketch(value_projection_dims=8, presence_projection_dims=8,
                                     chains_per_ensemble=6, chain_depth=5, sketch_buckets=128,
                                     decay_half_life=100, seed=13)
    put(*(detector.update_and_score(event).hex() for event in events[:150]))
    put(*map(float.hex, detector.update_and_score_many(events[150:])))
    put(detector.to_json())


def online_iforest(put):
    rows = numbers(4, ROWS, 2)
    detector = quillon.OnlineIForest(2, num_trees=12, window_size=128, max_leaf_samples=8, seed=17)
    put(*(detector.update_and_score(row).hex() for row in rows[:150]))
    put(*map(float.hex, detector.update_and_score_many(np.array(rows[150:]))))
    put(detector.to_json())


STREAMS = {"Forest": forest, "MStream": mstream, "FeatureSketch": feature_sketch,
           "OnlineIForest": online_iforest}


def transcript_digest(stream):
    digest = hashlib.sha256()

    def put(*parts):
        digest.update(("\t".join(parts) + "\n").encode())

    stream(put)
    return digest.hexdigest()


@pytest.mark.parametrize("name", sorted(STREAMS))
def test_seeded_stream_gives_the_recorded_bytes(name):
    assert transcript_digest(STREAMS[name]) == RECORDED[name]


if __name__ == "__main__":
    # Prints the digests to record, for a deliberate change of results.
    for name in sorted(STREAMS):
        print(f'    "{name}": "{transcript_digest(STREAMS[name])}",')
