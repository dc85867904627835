"""Saved states that once broke a detector (kept by tests/fuzz/fuzz_states.py) stay harmless."""

import importlib.util
import pathlib

import pytest

FUZZ = pathlib.Path(__file__).resolve().parents[1] / "fuzz"
CASES = sorted((FUZZ / "regressions").glob("*.json"))


def _fuzzer():
    spec = importlib.util.spec_from_file_location("fuzz_states", FUZZ / "fuzz_states.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.mark.skipif(not CASES, reason="no kept inputs")
def test_kept_inputs_no_longer_fail():
    # One worker process replays them all, each under the fuzzer's time and memory limits.
    results = _fuzzer().replay(CASES, timeout=60)
    failures = [f"{path.name}: {r['detail']}" for path, r in results if r["outcome"] == "failure"]
    assert failures == []


def test_cases_are_reproducible_from_the_seed():
    fuzz = _fuzzer()
    bases = fuzz.base_states("MStream", seed=3, count=4)
    assert bases == fuzz.base_states("MStream", seed=3, count=4)
    first = [fuzz.make_case("MStream", 3, i, bases) for i in range(50)]
    assert first == [fuzz.make_case("MStream", 3, i, bases) for i in range(50)]
    assert len({text for text, _ in first}) > 40


def test_binary_cases_are_reproducible_from_the_seed():
    fuzz = _fuzzer()
    bases = fuzz.base_states("OnlineIForest", seed=3, count=4, form="binary")
    assert all(b.startswith(b"\x89QLN") for b in bases)
    first = [fuzz.make_case("OnlineIForest", 3, i, bases, "binary") for i in range(50)]
    assert first == [fuzz.make_case("OnlineIForest", 3, i, bases, "binary") for i in range(50)]
    assert len({data for data, _ in first}) > 40
