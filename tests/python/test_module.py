import inspect
import sys
import sysconfig

import pytest

import quillon
import quillon.quillon as native

FREE_THREADED = sysconfig.get_config_var("Py_GIL_DISABLED") == 1

CLASSES = ["FeatureSketch", "OnlineIForest", "MStream", "Forest"]


@pytest.mark.skipif(not FREE_THREADED, reason="this build always holds the GIL")
def test_import_keeps_the_gil_disabled():
    assert sys._is_gil_enabled() is False


def test_module_attributes_in_registration_order():
    assert quillon.__version__ == "0.5.2"
    assert native.__all__ == quillon.__all__ == CLASSES + ["__version__"]
    # Later classes are attributes only, reachable by name but left out of star imports.
    assert quillon.Alerts is native.Alerts and quillon.Monitor.__module__ == "quillon.monitor"
    assert set(_star()) == set(CLASSES + ["__version__"])
    assert native.__doc__ in ("", None)


def _star():
    scope: dict = {}
    exec("from quillon import *", scope)
    return {k: v for k, v in scope.items() if k != "__builtins__"}


@pytest.mark.parametrize("name", CLASSES)
def test_classes_live_in_the_native_module(name):
    cls = getattr(quillon, name)
    assert cls is getattr(native, name)
    assert cls.__module__ == "quillon.quillon"
    assert cls.__qualname__ == name


# The persistence entries every class lists after its own methods, in this order; the binary
# state and __getnewargs__ only where the class has them. Summaries are the fixed texts.
JSON_SUMMARIES = {
    "FeatureSketch": (
        "Serialize the detector state to JSON.",
        "Deserialize detector state from a JSON string previously written by `to_json()`.",
        "Serialize the detector state to a JSON file.",
        "Deserialize detector state from a JSON file previously written by `save_json()`.",
    ),
    "OnlineIForest": (
        "Serialize detector state to JSON.",
        "Deserialize detector state from JSON previously written by `to_json()`.",
        "Serialize detector state to a JSON file.",
        "Deserialize detector state from a JSON file previously written by `save_json()`.",
    ),
    "Forest": (
        "Serialize the entire forest state to a JSON string.",
        "Deserialize a forest from a JSON string previously written by `to_json()`.",
        "Serialize the entire forest state to a JSON file.",
        "Deserialize a forest from a JSON file previously written by `save_json()`.",
    ),
    "Alerts": (
        "Serialize the state to JSON.",
        "Deserialize a state from JSON previously written by `to_json()`.",
        "Serialize the state to a JSON file.",
        "Deserialize a state from a JSON file previously written by `save_json()`.",
    ),
}
JSON_SUMMARIES["MStream"] = JSON_SUMMARIES["FeatureSketch"]
JSON_METHODS = [("to_json", "($self)"), ("from_json", "(json)"), ("save_json", "($self, path)"),
                ("load_json", "(path)")]
BINARY_METHODS = [("to_bytes", "($self)"), ("from_bytes", "(data)"),
                  ("save_bytes", "($self, path)"), ("load_bytes", "(path)"),
                  ("heap_bytes", "($self)"), ("__sizeof__", "($self)")]
COPY_METHODS = [("__copy__", "($self)"), ("__deepcopy__", "($self, memo)"),
                ("__getstate__", "($self)"), ("__setstate__", "($self, state)")]


@pytest.mark.parametrize("name", CLASSES + ["Alerts"])
def test_persistence_entries_close_every_method_table(name):
    cls = getattr(native, name)
    binary = name != "Alerts"
    expected = JSON_METHODS + (BINARY_METHODS if binary else []) + COPY_METHODS
    if name not in ("FeatureSketch", "Alerts"):
        expected += [("__getnewargs__", "($self)")]
    table = list(vars(cls))
    table = table[table.index("to_json"):]
    methods = [m for m in table if m not in ("__doc__", "__module__")]
    assert [(m, getattr(cls, m).__text_signature__) for m in methods] == expected
    summaries = [getattr(cls, m).__doc__.split("\n")[0] for m, _ in JSON_METHODS]
    assert tuple(summaries) == JSON_SUMMARIES[name]
    for method in ("from_json", "load_json") + (("from_bytes", "load_bytes") if binary else ()):
        assert isinstance(inspect.getattr_static(cls, method), staticmethod)
    assert all(getattr(cls, m).__doc__ in ("", None) for m, _ in COPY_METHODS)


def test_binary_state_docstrings_differ_only_by_what_holds_the_state():
    def docs(cls):
        # heap_bytes ends with the class's own formula: its first paragraph is shared.
        return [getattr(cls, m).__doc__.split("\n\n")[0] if m == "heap_bytes"
                else getattr(cls, m).__doc__ for m, _ in BINARY_METHODS]

    detector = docs(native.MStream)
    assert docs(native.FeatureSketch) == docs(native.OnlineIForest) == detector
    assert docs(native.Forest) == [d.replace("detector", "forest") for d in detector]
    assert detector[0].startswith("Serialize the detector state to compact binary bytes.\n\n")
    assert detector[4] == (
        "Approximate bytes of memory the detector holds outside the object itself.")
