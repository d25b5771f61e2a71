"""The equivalent circuit every fit shares: its parameters' names, the bounds the
least-squares fits hold them in, and when a fitted value counts as sitting on a bound
(the fit ran into the bound, so the value says more about the bound than the cell).

The fits themselves are C++; these are their Python home, which the report, the
pulse tables and the exports ask. Until the engine module exposes its own names,
bounds and rule, they are written out here once, as the fits use them.
"""

from __future__ import annotations

import math

import numpy as np

#: R0, then (R, C) of each RC pair, fastest pair first.
CIRCUIT_NAMES = ("R0", "R1", "C1", "R2", "C2")
#: The lower and upper bound of every circuit parameter in the fits (ohm or farad).
BOUNDS = (1e-4, 5e4)
#: A value within this fraction of a bound sits on it; the report's figures round
#: their values, so the test is looser than the solver's own.
BOUND_TOLERANCE = 1e-3


def on_bound(values) -> np.ndarray:
    """Whether each value sits on a fit bound (NaN never does)."""
    v = np.asarray(values, dtype=float)
    lo, hi = BOUNDS
    return (v <= lo * (1 + BOUND_TOLERANCE)) | (v >= hi * (1 - BOUND_TOLERANCE))


def names_for(rc_pairs: int) -> tuple[str, ...]:
    """The parameters of a circuit with rc_pairs RC pairs: R0, R1, C1[, R2, C2]."""
    return CIRCUIT_NAMES[: 1 + 2 * rc_pairs]


def _short(value: float) -> str:
    """1e-4, 5e4: a bound as people write it."""
    exponent = math.floor(math.log10(value) + 1e-9)
    return f"{value / 10**exponent:g}e{exponent}"


#: The bounds as the report's notes name them.
BOUNDS_TEXT = " or ".join(_short(b) for b in BOUNDS)
