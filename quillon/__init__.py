"""Streaming anomaly detectors for free-threaded CPython."""

from .quillon import FeatureSketch, Forest, MStream, OnlineIForest, __version__

__all__ = ["FeatureSketch", "OnlineIForest", "MStream", "Forest", "__version__"]
