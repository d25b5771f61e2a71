"""The equivalent circuit every fit shares: its parameters' names, the bounds the
least-squares fits hold them in, and when a fitted value counts as sitting on a bound
(the fit ran into the bound, so the value says more about the bound than the cell).

The fits themselves are C++, and so are these: the engine module hands over the one
definition the fits, the pulses table's flags and the warnings use, and the report, the
pulse tables and the exports ask here.
"""

from __future__ import annotations

import math

import numpy as np

from cellkit._native import engine

#: R0, then (R, C) of each RC pair, fastest pair first.
CIRCUIT_NAMES: tuple[str, ...] = tuple(engine.CIRCUIT_NAMES)
#: The lower and upper bound of every circuit parameter in the fits (ohm or farad).
BOUNDS: tuple[float, float] = tuple(engine.BOUNDS)
#: A value within this fraction of a bound sits on it.
BOUND_TOLERANCE: float = engine.BOUND_TOLERANCE


def on_bound(values) -> np.ndarray:
    """Whether each value sits on a fit bound (NaN never does)."""
    return np.asarray(engine.on_bound(np.asarray(values, dtype=float)), dtype=bool)


def _short(value: float) -> str:
    """1e-4, 5e4: a bound as people write it."""
    exponent = math.floor(math.log10(value) + 1e-9)
    return f"{value / 10**exponent:g}e{exponent}"


#: The bounds as the report's notes name them.
BOUNDS_TEXT = " or ".join(_short(b) for b in BOUNDS)
