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
