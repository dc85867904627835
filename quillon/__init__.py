"""Streaming anomaly detectors for free-threaded CPython."""

from .quillon import Alerts, FeatureSketch, Forest, MStream, OnlineIForest, __version__
from .monitor import Monitor

__all__ = ["FeatureSketch", "OnlineIForest", "MStream", "Forest", "__version__", "Alerts", "Monitor"]
