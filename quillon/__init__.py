"""Streaming anomaly detectors for free-threaded CPython."""

from .quillon import Alerts, FeatureSketch, Forest, MStream, OnlineIForest, __version__
from .monitor import Monitor

# Alerts and Monitor are attributes, not listed: `__all__` keeps the names it has always held.
__all__ = ["FeatureSketch", "OnlineIForest", "MStream", "Forest", "__version__"]
