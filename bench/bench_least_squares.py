"""Time per fit of the native bounded least-squares solver against scipy's
least_squares on the same two-RC residual.

The pulse engine fits R0 and two RC pairs to every pulse window of a record, in
log-parameters, with no Python call inside a fit. This script fits one simulated
window (a 5 A discharge pulse of 30 s, then rest, sampled every 0.1 s, 1 mV of
noise) from a start a factor 2-4 off the truth, four ways, all timed in this one
process, in turn, in rounds:

- ours, native: `_cellkernels.fit_rc_circuit`, the simulator called from C++ (as the
  engine runs it), with unit scales for the log-parameters and, for comparison,
  with the Jacobian's column norms as scales;
- ours through Python: `_cellkernels.least_squares` calling the Python residual and
  Jacobian below, to separate the solver from the cost of calling Python;
- scipy: `least_squares(method="trf")` with the same Python residual and Jacobian,
  at its default tolerances and at ours (xtol 1e-10, ftol 1e-12, gtol 1e-10).

Both solvers compute the residual and Jacobian with the same native simulator, so
the ratio measures the solvers and their calling overhead. The native figure
includes the standard errors; scipy's does not.

    python bench/bench_least_squares.py
"""

from __future__ import annotations

import platform
import time
from functools import partial

import _cellkernels
import numpy as np
import scipy
from scipy.optimize import least_squares

TRUTH = np.array([0.03, 0.01, 500.0, 0.02, 7500.0])  # R0, R1, C1, R2, C2: 5 s, 150 s
START = np.array([0.015, 0.004, 150.0, 0.06, 20000.0])
LOWER = np.log([1e-5, 1e-5, 1.0, 1e-5, 1.0])
UPPER = np.log([1.0, 1.0, 1e6, 1.0, 1e6])
OUR_TOLERANCES = {"xtol": 1e-10, "ftol": 1e-12, "gtol": 1e-10}
FITS_PER_RECORD = 18


def window(rest_s):
    """Times, current and noisy voltage of a 30 s pulse and rest_s of rest."""
    t = np.arange(round((32.0 + rest_s) / 0.1)) * 0.1
    u = np.where((t >= 2.0) & (t < 32.0), -5.0, 0.0)
    v = _cellkernels.rc_circuit(t, u, TRUTH[0], TRUTH[1::2], TRUTH[2::2])
    return t, u, v + np.random.default_rng(1).normal(0.0, 1e-3, t.size)


def python_residual(t, u, v):
    def fun(x):
        p = np.exp(x)
        return _cellkernels.rc_circuit(t, u, p[0], p[1::2], p[2::2]) - v

    def jac(x):
        p = np.exp(x)
        _, dy = _cellkernels.rc_circuit(t, u, p[0], p[1::2], p[2::2], jacobian=True)
        return dy * p

    return fun, jac


def by_time_constant(x):
    """log(R0, R1, C1, R2, C2) with the pairs ordered by time constant: the two
    labellings of the pairs fit equally well."""
    pairs = sorted(zip(x[1::2], x[2::2]), key=lambda rc: rc[0] + rc[1])
    return np.array([x[0], *np.ravel(pairs)])


def per_call(fits, rounds=50):
    """Shortest time of one call of each fit over the rounds, the fits called in
    turn in each round. The minimum is the time without interference (on a shared
    machine a batch mean mostly measures the load), and taking the fits in turn lets
    a change of load reach all of them alike."""
    best = dict.fromkeys(fits, np.inf)
    for _ in range(rounds):
        for name, fit in fits.items():
            start = time.perf_counter()
            fit()
            best[name] = min(best[name], time.perf_counter() - start)
    return best


def methods(t, u, v):
    """name -> (call returning (x, cost, nfev), which is timed)."""
    fun, jac = python_residual(t, u, v)
    x0 = np.log(START)
    unit = np.ones(5)

    def native(x_scale):
        r = _cellkernels.fit_rc_circuit(t, u, v, x0, LOWER, UPPER, x_scale=x_scale)
        return r["x"], r["cost"], r["nfev"]

    def ours_python():
        r = _cellkernels.least_squares(fun, x0, LOWER, UPPER, jac, x_scale=unit)
        return r["x"], r["cost"], r["nfev"]

    def scipy_trf(**tolerances):
        r = least_squares(fun, x0, jac, bounds=(LOWER, UPPER), **tolerances)
        return r.x, r.cost, r.nfev

    return {
        "ours, native": partial(native, unit),
        "ours, native, jac scale": partial(native, None),
        "ours through Python": ours_python,
        "scipy trf, default tol": scipy_trf,
        "scipy trf, our tol": partial(scipy_trf, **OUR_TOLERANCES),
    }


def main():
    print(
        f"python {platform.python_version()}, numpy {np.__version__}, "
        f"scipy {scipy.__version__}; two-RC fit in log-parameters, 0.1 s sampling"
    )
    for rest_s in (40.0, 470.0):
        t, u, v = window(rest_s)
        print(f"\n30 s pulse + {rest_s:g} s rest: {t.size} samples")
        print(
            f"{'method':26} {'per fit':>10} {'scipy/ours':>11} {'nfev':>5} "
            f"{'cost - best':>12} {'max |dlog p|':>13}"
        )
        found = {name: fit() for name, fit in methods(t, u, v).items()}
        best = min(cost for _, cost, _ in found.values())
        times = per_call(methods(t, u, v))
        ours = times["ours, native"]
        x_ref = by_time_constant(found["scipy trf, our tol"][0])
        for name, (x, cost, nfev) in found.items():
            print(
                f"{name:26} {times[name] * 1e6:7.0f} us {times[name] / ours:10.1f}x "
                f"{nfev:5d} {cost - best:12.1e} "
                f"{np.max(np.abs(by_time_constant(x) - x_ref)):13.1e}"
            )
        print(
            f"{FITS_PER_RECORD} such fits: {FITS_PER_RECORD * ours * 1e3:.1f} ms "
            f"native, {FITS_PER_RECORD * times['scipy trf, default tol'] * 1e3:.0f} ms "
            "with scipy"
        )


if __name__ == "__main__":
    main()
