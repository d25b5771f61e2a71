"""The pulse-test engine on the BAK HPPC records: all pulses of a record (9 discharge,
9 charge; two RC pairs) fitted natively, against the same fits through scipy's
least_squares on the same residual.

The scipy side gets what the engine has: the engine's own fitting problem for each
pulse (grid, compared rows, target; `PulseTest.window`), the engine's start, the native
simulator, log-parameters, the same bounds and tolerances. It runs twice: with scipy's
own finite-difference Jacobian (the residual alone, as a least_squares user writes it),
and with the engine's analytic Jacobian as well. What differs then is only the solver
loop, in Python around scipy, and the crossings per call.

    python bench/bench_pulse_test.py [path/to/bak_hppc]
    python bench/bench_pulse_test.py --scaling   # time against the number of pulses
"""

from __future__ import annotations

import sys
import time
from pathlib import Path

import _cellkernels
import numpy as np
import scipy
from scipy.optimize import least_squares

from cellkit import _engine, read_record

DATA = Path(__file__).resolve().parents[2] / "shared" / "data" / "bak_hppc"
TEMPS = [0, 10, 25, 35, 45]


def best_of(repeats, fn):
    times = []
    for _ in range(repeats):
        t0 = time.perf_counter()
        out = fn()
        times.append(time.perf_counter() - t0)
    return min(times), out


def scipy_fit(window, analytic_jacobian=True):
    """One pulse's fit through scipy, on the engine's problem."""
    t, u = window["grid_time_s"], window["grid_current_a"]
    rows, target = window["rows"], window["target_v"]
    lo, hi = np.log(window["lower"]), np.log(window["upper"])

    def simulate(q):
        p = np.exp(q)
        y, jac = _cellkernels.rc_circuit(t, u, p[0], p[1::2], p[2::2], jacobian=True)
        return y[rows] - target, jac[rows] * p

    def fun(q):
        return simulate(q)[0]

    def jac(q):
        return simulate(q)[1]

    q0 = np.log(np.clip(window["start"], window["lower"], window["upper"]))
    res = least_squares(
        fun,
        q0,
        jac=jac if analytic_jacobian else "2-point",
        bounds=(lo, hi),
        x_scale=1.0,
        xtol=1e-8,
        ftol=1e-10,
        gtol=1e-8,
    )  # the engine's tolerances; fmt: skip
    return np.exp(res.x), res.nfev


def main(folder: Path) -> None:
    print(f"numpy {np.__version__}, scipy {scipy.__version__}")
    print("record | pulses | engine, all pulses | scipy, residual only | ratio | "
          "scipy, residual and Jacobian | ratio | largest parameter difference")  # fmt: skip
    for temp in TEMPS:
        rec = read_record(folder / "raw_data" / f"bak-hppc-{temp}c_Tp{temp}.csv")
        args = (rec.time_s, rec.voltage_v, rec.current_a)

        def engine(args=args):
            return _engine.PulseTest(*args, rc_pairs=2, cutoff_v=2.55)

        native_s, pt = best_of(7, engine)
        windows = [pt.window(k) for k in range(len(pt.pulses["kind"]))]
        fd_s, fd_fits = best_of(
            3, lambda windows=windows: [scipy_fit(w, False) for w in windows]
        )
        scipy_s, fits = best_of(
            3, lambda windows=windows: [scipy_fit(w) for w in windows]
        )

        ours = np.column_stack([pt.pulses[n] for n in ("R0", "R1", "C1", "R2", "C2")])
        theirs = []
        for params, _ in fits + fd_fits:  # the same order of pairs: faster first
            p = params.copy()
            if p[1] * p[2] > p[3] * p[4]:
                p = p[[0, 3, 4, 1, 2]]
            theirs.append(p)
        diff = np.max(np.abs(np.array(theirs) / np.vstack([ours, ours]) - 1))
        print(
            f"{temp} °C | {len(windows)} | {native_s * 1e3:.1f} ms "
            f"({int(pt.pulses['evaluations'].sum())} evaluations) | "
            f"{fd_s * 1e3:.0f} ms ({sum(n for _, n in fd_fits)} evaluations) | "
            f"{fd_s / native_s:.0f}x | "
            f"{scipy_s * 1e3:.0f} ms ({sum(n for _, n in fits)} evaluations) | "
            f"{scipy_s / native_s:.0f}x | {diff:.1e}"
        )


def pulse_train(n_pulses: int) -> dict:
    """A long rest, n short pulses with short rests between them (none long enough to
    relax the cell), a long rest, and a discharge to the cut-off: every pulse's history
    reaches back to the first rest."""
    sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "examples"))
    import pulse_records

    capacity_ah = max(2.0, n_pulses * 20.0 / 3600.0 / 0.7)  # the pulses take 70 %
    cell = pulse_records.Cell(r2=0.01, c2=5000.0, capacity_ah=capacity_ah)
    steps = [(1200.0, 0.0, 10.0)] + [(10.0, -2.0, 1.0), (20.0, 0.0, 1.0)] * n_pulses
    steps += [(1200.0, 0.0, 10.0), (4 * 3600.0 * cell.capacity_ah, -1.0, 10.0)]
    rec = pulse_records.simulate_cycler_log(cell, steps)
    stop = int(np.argmax(rec["v"] < 3.0)) + 1
    return {k: v[:stop] for k, v in rec.items()}


def scaling() -> None:
    """The engine's time against the number of pulses: linear, a fixed cost per pulse."""
    print("\npulses  rows     engine  per pulse")
    for n in (250, 2000, 8000):
        rec = pulse_train(n)
        seconds, result = best_of(
            2,
            lambda rec=rec: _engine.PulseTest(
                rec["t"], rec["v"], rec["i"], cutoff_v=3.0
            ),
        )
        pulses = len(result.pulses["R0"])
        print(
            f"{pulses:6d}  {rec['t'].size:7d}  {seconds:6.2f} s  {1e3 * seconds / pulses:.2f} ms"
        )


if __name__ == "__main__":
    if "--scaling" in sys.argv:
        scaling()
    else:
        main(Path(sys.argv[1]) if len(sys.argv) > 1 else DATA)
