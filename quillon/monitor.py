"""A detector paired with its alerts, saved and resumed as one."""

from __future__ import annotations

import copy
import json
import os
import threading

from ._files import write_file
from .quillon import Alerts, FeatureSketch, Forest, MStream, OnlineIForest

_DETECTORS = {cls.__name__: cls for cls in (Forest, MStream, FeatureSketch, OnlineIForest)}
_PREFIX = "invalid Monitor JSON: "


class Monitor:
    """A detector whose every score goes through an `Alerts` threshold.

    Parameters
    ----------
    detector : Forest, MStream, FeatureSketch or OnlineIForest
        The detector; `update()` and `update_many()` call its `update_and_score()` and
        `update_and_score_many()` with the same arguments.
    alerts : Alerts, optional
        The threshold, with one input (default: ``Alerts()``).

    The detectors' scores are finite and far inside the range the alerts take, so the alerts never
    refuse a score the detector has just produced; a refused call (bad input) changes neither.

    Examples
    --------
    >>> import quillon
    >>> m = quillon.Monitor(quillon.Forest(1, seed=1), quillon.Alerts(risk=1e-3))
    >>> score, grade, alert = m.update([0.5])
    >>> scores, grades, alerts = m.update_many([[0.4], [0.6]])
    >>> m2 = quillon.Monitor.from_json(m.to_json())  # detector and alerts resume together
    """

    def __init__(self, detector, alerts: Alerts | None = None):
        if type(detector) not in _DETECTORS.values():
            raise TypeError("detector must be a Forest, MStream, FeatureSketch or OnlineIForest")
        if alerts is None:
            alerts = Alerts()
        elif type(alerts) is not Alerts:
            raise TypeError("alerts must be an Alerts")
        if alerts.inputs() != 1:
            raise ValueError("alerts must take one input (one score per step)")
        self._detector = detector
        self._alerts = alerts
        # Keeps the detector's steps and the alerts' steps in the same order across threads.
        self._lock = threading.Lock()

    @property
    def detector(self):
        """The detector (shared, not copied)."""
        return self._detector

    @property
    def alerts(self) -> Alerts:
        """The alerts (shared, not copied)."""
        return self._alerts

    def update(self, *args, **kwargs):
        """Score one observation and grade the score: return ``(score, grade, alert)``.

        The arguments are those of the detector's `update_and_score()`.
        """
        with self._lock:
            score = self._detector.update_and_score(*args, **kwargs)
            grade, alert = self._alerts.update(score)
        return score, grade, alert

    def update_many(self, *args, **kwargs):
        """Score a batch and grade its scores: return numpy arrays ``(scores, grades, alerts)``.

        The arguments are those of the detector's `update_and_score_many()`; the result equals
        `update()` row after row.
        """
        with self._lock:
            scores = self._detector.update_and_score_many(*args, **kwargs)
            grades, alerts = self._alerts.update_many(scores)
        return scores, grades, alerts

    def to_json(self) -> str:
        """Both states in one JSON object: ``{"detector": name, "state": ..., "alerts": ...}``."""
        with self._lock:
            state, alerts = self._detector.to_json(), self._alerts.to_json()
        name = type(self._detector).__name__
        return f'{{"detector":"{name}","state":{state},"alerts":{alerts}}}'

    @staticmethod
    def from_json(text: str | bytes | bytearray) -> Monitor:
        """Resume a monitor from text written by `to_json()`."""
        try:
            doc = json.loads(text)
        except (ValueError, TypeError, RecursionError) as e:
            raise ValueError(_PREFIX + str(e)) from None
        if not isinstance(doc, dict) or set(doc) != {"detector", "state", "alerts"}:
            raise ValueError(_PREFIX + "expected an object with `detector`, `state` and `alerts`")
        cls = _DETECTORS.get(doc["detector"]) if isinstance(doc["detector"], str) else None
        if cls is None:
            raise ValueError(_PREFIX + "unknown detector " + json.dumps(doc["detector"])[:80])
        # The numbers go back as they came: json keeps integers as integers and floats by their
        # shortest round-trip text, so each part loads exactly the state that was saved.
        try:
            detector = cls.from_json(json.dumps(doc["state"], allow_nan=False))
            alerts = Alerts.from_json(json.dumps(doc["alerts"], allow_nan=False))
        except RecursionError as e:
            raise ValueError(_PREFIX + str(e)) from None
        try:
            return Monitor(detector, alerts)
        except ValueError as e:
            raise ValueError(_PREFIX + str(e)) from None

    def save_json(self, path) -> None:
        """Write `to_json()` to `path` as the detectors' `save_json` does: through a temporary
        file renamed into place, links followed, a replaced file's owner and mode kept."""
        write_file(os.fspath(path), self.to_json().encode("utf-8"))

    @staticmethod
    def load_json(path) -> Monitor:
        """Resume a monitor from a file written by `save_json()`."""
        with open(path, "rb") as f:
            return Monitor.from_json(f.read())

    def __copy__(self) -> Monitor:
        with self._lock:
            return Monitor(copy.copy(self._detector), copy.copy(self._alerts))

    def __deepcopy__(self, memo) -> Monitor:
        return self.__copy__()

    def __getstate__(self) -> str:
        return self.to_json()

    def __setstate__(self, state: str) -> None:
        other = Monitor.from_json(state)
        self.__dict__.update(other.__dict__)

    def __repr__(self) -> str:
        return f"Monitor({self._detector!r}, {self._alerts!r})"
