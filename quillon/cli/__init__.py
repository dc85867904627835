"""The ``quillon`` command line: score a CSV or JSON Lines stream with one of the detectors.

The input is read in chunks and each chunk goes through the detector's batch method, so a run gives
exactly the scores of a loop calling ``update_and_score`` row by row, while memory stays bounded.
The work is split by job: `arguments` (options and ``--param``), `reading` (the input),
`layout` (columns and batches), `detector` (new or saved), `writing` (scores and the commit of
every file), `report` (progress, top rows, plot) and `score` (the command itself).
"""

from __future__ import annotations

from quillon._detectors import categorical_code
from quillon.cli.arguments import UserError, build_parser

__all__ = ["build_parser", "categorical_code", "main"]


def main(argv: list[str] | None = None) -> int:
    """Run the ``quillon`` command line.

    Parameters
    ----------
    argv : list of str, optional
        The arguments after the program name (default: ``sys.argv[1:]``).

    Returns
    -------
    int
        The exit status: 0 on success, 2 for a usage or input error (reported as one line on
        standard error), 128 plus the signal number when interrupted.

    Examples
    --------
    >>> main(["score", "--param", "seed=1", "series.csv"])  # doctest: +SKIP
    0
    """
    from quillon.cli.score import run

    args = build_parser().parse_args(argv)
    return run(args)
