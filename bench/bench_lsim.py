"""Time per call of _cellkernels.lsim against scipy's lsim and lsim2.

The fitting stages simulate one pulse window per residual evaluation, so the
figure that matters is the time of one call on a window of about 1000 samples,
for the one- and two-RC circuits, evenly and unevenly sampled. All timings are
taken in this one process and printed with their ratios to ours; the last
column is the largest difference from our output, relative to its peak.

    python bench/bench_lsim.py
"""

from __future__ import annotations

import platform
import timeit
import warnings
from functools import partial

import _cellkernels
import numpy as np
import scipy
from scipy import signal

N = 1000


def two_rc(r0, r1, c1, r2, c2):
    num = [
        c1 * c2 * r0 * r1 * r2,
        c1 * r0 * r1 + c1 * r1 * r2 + c2 * r0 * r2 + c2 * r1 * r2,
        r0 + r1 + r2,
    ]
    return num, [r1 * r2 * c1 * c2, r1 * c1 + r2 * c2, 1.0]


def one_rc(r0, r1, c1):
    return [c1 * r0 * r1, r0 + r1], [r1 * c1, 1.0]


SYSTEMS = {
    "two-RC (tau 8 s, 1500 s)": two_rc(0.01, 0.004, 2000.0, 0.009, 1.5e5 / 0.9),
    "one-RC (tau 40 s)": one_rc(0.012, 0.008, 5000.0),
}


def windows():
    """A pulse of 300 s then rest, at 1 s steps and at uneven steps of 0.5-1.5 s."""
    rng = np.random.default_rng(0)
    uniform = np.arange(float(N))
    uneven = np.concatenate([[0.0], np.cumsum(rng.uniform(0.5, 1.5, N - 1))])
    return {"uniform": uniform, "irregular": uneven}


def per_call(fn, min_time=0.2):
    """Best of 5 runs, each of enough calls to last about min_time seconds."""
    timer = timeit.Timer(fn)
    number, _ = timer.autorange()
    number = max(1, int(number * min_time / 0.2))
    return min(timer.repeat(repeat=5, number=number)) / number


def scipy_lsim(num, den, t, u):
    return signal.lsim((num, den), u, t)[1]


def scipy_lsim2(num, den, t, u):
    # as the fitting stage calls it
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        return signal.lsim2((num, den), U=u, T=t, hmax=0.5)[1]


def references(t_name):
    refs = {}
    if t_name == "uniform":  # scipy's lsim needs even steps
        refs["scipy lsim"] = scipy_lsim
    if hasattr(signal, "lsim2"):
        refs["scipy lsim2"] = scipy_lsim2
    return refs


def main():
    print(
        f"python {platform.python_version()}, numpy {np.__version__}, "
        f"scipy {scipy.__version__}; {N} samples per call"
    )
    if not hasattr(signal, "lsim2"):
        print("scipy.signal.lsim2 is not available (removed in scipy 1.13)")
    num, den = SYSTEMS["two-RC (tau 8 s, 1500 s)"]
    one = np.ones(1)
    fixed = per_call(partial(_cellkernels.lsim, num, den, one, one))
    print(f"fixed cost of one call (a single sample): {fixed * 1e6:.2f} us")
    print(
        f"{'system':26} {'sampling':9} {'method':12} {'per call':>11} "
        f"{'vs ours':>9} {'max diff':>9}"
    )
    for sys_name, (num, den) in SYSTEMS.items():
        for t_name, t in windows().items():
            u = np.where(t < 300.0, 2.0, 0.0)
            y = _cellkernels.lsim(num, den, t, u)[1]
            ours = per_call(partial(_cellkernels.lsim, num, den, t, u))
            print(f"{sys_name:26} {t_name:9} {'ours':12} {ours * 1e6:8.2f} us")
            for ref_name, ref in references(t_name).items():
                y_ref = ref(num, den, t, u)
                diff = np.max(np.abs(y_ref - y)) / np.max(np.abs(y))
                secs = per_call(partial(ref, num, den, t, u))
                print(
                    f"{'':26} {'':9} {ref_name:12} {secs * 1e6:8.1f} us "
                    f"{secs / ours:8.0f}x {diff:9.1e}"
                )


if __name__ == "__main__":
    main()
