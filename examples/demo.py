"""Streams synthetic data with injected anomalies through the quillon detectors."""

import math
import random
import sys

import quillon


def section(title):
    print(f"\n== {title} ==")


def main():
    print(f"quillon {quillon.__version__} on Python {sys.version.split()[0]}; "
          f"GIL enabled: {sys._is_gil_enabled()}")
    print("classes:", ", ".join(quillon.__all__[:-1]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
