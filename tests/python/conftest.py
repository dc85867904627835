"""Shared fixtures: one small, seeded instance of every detector with a matching input stream."""

import random
import signal
from dataclasses import dataclass
from typing import Any, Callable

import pytest

import quillon

# A suite started as a background job of a non-interactive shell (`cmd &`, nohup) inherits SIGINT
# ignored, and so would every process the tests start, which then cannot be interrupted as the
# signal tests expect. A handler of our own is reset to the default in each child it starts.
if signal.getsignal(signal.SIGINT) == signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)


@dataclass
class Kind:
    name: str
    make: Callable[[], Any]  # a small seeded detector
    sample: Callable[[random.Random, int], tuple]  # the i-th observation, as call arguments
    bad: tuple  # arguments of a refused observation

    def feed(self, det, n, seed=0, start=None):
        # Indices continue from what the detector has seen, so MStream's clock never runs back.
        rng = random.Random(seed)
        start = det.entries_seen() if start is None else start
        for i in range(start, start + n):
            det.update(*self.sample(rng, i))


def _forest_sample(rng, i):
    return ([rng.gauss(0, 1), rng.gauss(0, 1) + (8 if i % 97 == 0 else 0)],)


def _mstream_sample(rng, i):
    return ([rng.gauss(10, 2), rng.expovariate(1.0)], [rng.randrange(3), rng.randrange(50)], 1 + i // 5)


def _sketch_sample(rng, i):
    return ({f"country={rng.choice('ABC')}": 1.0, "latency": rng.lognormvariate(3, 1)},)


def _oif_sample(rng, i):
    return ([rng.random(), rng.random(), rng.gauss(0, 1)],)


KINDS = [
    Kind("Forest", lambda: quillon.Forest(2, shingle_size=2, num_trees=5, capacity=16, seed=7),
         _forest_sample, ([1.0, 2.0, 3.0],)),
    Kind("MStream", lambda: quillon.MStream(2, 2, num_buckets=64, seed=7), _mstream_sample,
         ([1.0], [1, 2], 1)),
    Kind("FeatureSketch",
         lambda: quillon.FeatureSketch(value_projection_dims=4, presence_projection_dims=4,
                                       chains_per_ensemble=3, chain_depth=3, sketch_buckets=64,
                                       seed=7),
         _sketch_sample, ({"x": float("nan")},)),
    Kind("OnlineIForest",
         lambda: quillon.OnlineIForest(3, num_trees=4, window_size=64, max_leaf_samples=4, seed=7),
         _oif_sample, ([1.0, 2.0],)),
]


@pytest.fixture(params=KINDS, ids=lambda k: k.name)
def kind(request):
    return request.param
