"""Stand-in cell tasks for the process pool tests, in a module of their own so that a
spawned worker imports nothing heavy to find them."""

from __future__ import annotations

import os

from cellkit.run import CellResult


def crash_on_named(folder: str, overrides) -> CellResult:
    """Kills its worker process for the cell named "crash"; any other cell is ok."""
    if folder == "crash":
        os._exit(3)
    return CellResult(folder, ok=True)


def maths_threads(folder: str, overrides) -> CellResult:
    """Reports the maths libraries' thread settings its worker was started with."""
    names = ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS")
    return CellResult(folder, ok=True, warnings=[os.environ.get(n, "") for n in names])
