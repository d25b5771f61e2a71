"""Two-pass against joint two-RC fitting on generated records of a known cell.

Records of the demo cell (R0 30 mOhm, R1 15 mOhm / tau1 20 s, R2 20 mOhm / tau2 150 s at
25 degC, Arrhenius-scaled) at -10, 25 and 45 degC: 1C pulses of 300 s, 25 min rests,
1 s sampling, noise-free and with 1 mV of voltage noise. Each method runs the whole
pipeline (`import cellfit`) in a fresh interpreter on the same records, one after the
other in this run; every least-squares call is timed and its evaluations counted. Then
the residuals are timed one evaluation at a time on the last cycle's window: the second
pass's (one transfer-function simulation through lsim2), the joint fit's, the joint
fit's with its analytic Jacobian, and what a forward-difference Jacobian would cost.

    python bench/bench_joint.py [n_pulses]
"""

from __future__ import annotations

import json
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "examples"))

import generate_demo_cell as demo
import pulse_records

TEMPS_C = (-10, 25, 45)
NAMES = ("R0", "R1", "C1", "R2", "C2")
MARKER = "@@bench@@"

# Runs in the child: every solver call timed and counted by its residual function.
CHILD = r"""
import json, time
from scipy import optimize
calls = []
_least_squares = optimize.least_squares
def timed(fun, x0, *args, **kwargs):
    start = time.perf_counter()
    res = _least_squares(fun, x0, *args, **kwargs)
    calls.append([fun.__name__, time.perf_counter() - start, int(res.nfev),
                  int(res.njev or 0)])
    return res
optimize.least_squares = timed
start = time.perf_counter()
import cellfit as cf
total = time.perf_counter() - start

# One evaluation of each residual as the solver makes it, on the window the last cycle
# left in the workspace (its pulse and rest).
def best_of(fn, repeat=20):
    times = []
    for _ in range(5):
        start = time.perf_counter()
        for _ in range(repeat):
            fn()
        times.append((time.perf_counter() - start) / repeat)
    return min(times)
p = list(cf.results[-1][3])
def forward_differences():  # what the solver does without a Jacobian: 1 + 5 residuals
    base = cf.fit_ls_joint(p)
    for j in range(5):
        q = list(p)
        q[j] *= 1 + 1.5e-8
        cf.fit_ls_joint(q)
evals = {
    "window": len(cf.t_vec),
    "fit_ls2": best_of(lambda: cf.fit_ls2(p[3:])),
    "fit_ls_joint": best_of(lambda: cf.fit_ls_joint(p)),
    "jac_ls_joint": best_of(lambda: cf.jac_ls_joint(p)),
    "fd_joint": best_of(forward_differences),
}
print("@@bench@@" + json.dumps({"total_s": total, "calls": calls, "evals": evals}))
"""


def protocol(n_pulses: int) -> pulse_records.Protocol:
    return pulse_records.Protocol(
        current_a=-2.5,
        pulse_s=300.0,
        rest_s=1500.0,
        first_rest_s=300.0,
        n_pulses=n_pulses,
        end_v=3.0,
        final_s=4 * 3600.0,
    )


def truth(temp_c: float) -> np.ndarray:
    c = demo.cell_at(temp_c)
    return np.array([c.r0, c.r1, c.c1, c.r2, c.c2])


def write_cell(folder: Path, temp_c: int, n_pulses: int, noise_v: float, method: str):
    raw = folder / "raw_data"
    raw.mkdir(parents=True)
    rec = pulse_records.simulate(
        demo.cell_at(temp_c), protocol(n_pulses), noise_v=noise_v, seed=1000 + temp_c
    )
    pulse_records.write_record(raw / demo.record_name(temp_c), rec, temp_c)
    config = {
        "battery_database": "",
        "battery_folder": ".",
        "high_cutoff": 4.2,
        "low_cutoff": 3.0,
        "model": "model2",
        "fit_method": method,
    }
    (folder / "input_params.json").write_text(json.dumps(config))


def run_pipeline(folder: Path, temp_c: int) -> dict:
    proc = subprocess.run(
        [sys.executable, "-c", CHILD], cwd=folder, capture_output=True, text=True
    )
    if MARKER not in proc.stdout:
        raise RuntimeError(proc.stderr[-2000:])
    out = json.loads(proc.stdout.rpartition(MARKER)[2])
    name = demo.record_name(temp_c).removesuffix(".csv")
    params = json.loads((folder / "results" / f"{name}_params.json").read_text())
    out["medians"] = params["Tparam_2"]
    return out


def summarise(calls: list) -> dict:
    """Time (s), calls, evaluations and Jacobians per residual function."""
    by_name: dict = {}
    for name, seconds, nfev, njev in calls:
        s = by_name.setdefault(name, [0.0, 0, 0, 0])
        s[0] += seconds
        s[1] += 1
        s[2] += nfev
        s[3] += njev
    return by_name


def pipeline_tables(n_pulses: int, noise_v: float) -> None:
    print(f"\n=== noise {noise_v * 1000:g} mV, {n_pulses} pulses per record ===")
    rows = []
    for temp_c in TEMPS_C:
        result = {}
        # the methods alternate, three runs each; the fastest of each counts
        for _ in range(3):
            for method in ("two_pass", "joint"):
                with tempfile.TemporaryDirectory() as tmp:
                    folder = Path(tmp)
                    write_cell(folder, temp_c, n_pulses, noise_v, method)
                    out = run_pipeline(folder, temp_c)
                if method not in result or out["total_s"] < result[method]["total_s"]:
                    result[method] = out
        rows.append((temp_c, result))

    print("\nMedian parameters and their error against the truth")
    header = f"{'degC':>5} {'method':>9} " + " ".join(f"{n:>17}" for n in NAMES)
    print(header)
    for temp_c, result in rows:
        want = truth(temp_c)
        print(f"{temp_c:>5} {'truth':>9} " + " ".join(f"{v:>17.5g}" for v in want))
        for method in ("two_pass", "joint"):
            got = np.array(result[method]["medians"])
            cells = [f"{g:>9.5g} {100 * (g / w - 1):+6.1f}%" for g, w in zip(got, want)]
            print(f"{'':>5} {method:>9} " + " ".join(cells))

    print("\nRun time, best of three alternating runs (fresh interpreter per run)")
    print(
        f"{'degC':>5} {'cycles':>6} {'two_pass s':>11} {'joint s':>9} {'ratio':>6}"
        f" | per cycle: {'1st+2nd pass s':>14} {'joint fit s':>11} {'ratio':>6}"
        f" | joint evals: {'f':>4} {'J':>4}"
    )
    for temp_c, result in rows:
        two, joint = result["two_pass"], result["joint"]
        s = summarise(joint["calls"])
        cycles = s["fit_ls_joint"][1]
        # the first pass shares fit_ls1 with the start search: count only the cycles'
        first = [c for c in joint["calls"] if c[0] == "fit_ls1"][-cycles:]
        passes = sum(c[1] for c in first) + s["fit_ls2"][0]
        print(
            f"{temp_c:>5} {cycles:>6} {two['total_s']:>11.2f} {joint['total_s']:>9.2f}"
            f" {joint['total_s'] / two['total_s']:>6.2f}"
            f" | {' ' * 11}{passes / cycles:>14.4f} {s['fit_ls_joint'][0] / cycles:>11.4f}"
            f" {s['fit_ls_joint'][0] / passes:>6.3f}"
            f" | {' ' * 13}{s['fit_ls_joint'][2] / cycles:>4.1f}"
            f" {s['fit_ls_joint'][3] / cycles:>4.1f}"
        )
    print("(evaluations per cycle; 'J' counts analytic Jacobians)")
    evaluation_table(rows)


def evaluation_table(rows: list) -> None:
    print("\nOne residual evaluation on a cycle window, microseconds (joint runs)")
    print(
        f"{'degC':>5} {'samples':>7} {'fit_ls2 (lsim2)':>15} {'fit_ls_joint':>12}"
        f" {'jac_ls_joint':>12} {'forward-diff J':>14}"
    )
    for temp_c, result in rows:
        e = result["joint"]["evals"]
        print(
            f"{temp_c:>5} {e['window']:>7} {e['fit_ls2'] * 1e6:>15.1f}"
            f" {e['fit_ls_joint'] * 1e6:>12.1f} {e['jac_ls_joint'] * 1e6:>12.1f}"
            f" {e['fd_joint'] * 1e6:>14.1f}"
        )
    print(
        "(a solver step needs fit_ls_joint + jac_ls_joint, or the forward differences:"
    )
    print(" the residual at the point and once more per parameter)")


if __name__ == "__main__":
    n_pulses = int(sys.argv[1]) if len(sys.argv) > 1 else 8
    for noise_v in (0.0, 0.001):
        pipeline_tables(n_pulses, noise_v)
