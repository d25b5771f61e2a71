"""Whole-pipeline timings: the demo cell with each model, and how the fit time grows with
the sampling rate and the number of pulses.

Each run loads cellfit in a fresh interpreter (loading it runs the pipeline once) with
scipy's least_squares wrapped to count residual evaluations and time the solver and the
residuals. Prints one table per section; nothing is asserted.

    python bench/bench_pipeline.py [--quick]
"""

from __future__ import annotations

import argparse
import json
import platform
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "examples"))

PROBE = r"""
import json, logging, os, sys, time
import scipy.optimize as so

stats = {"records": [], "fits": 0, "fit_s": 0.0, "nfev": 0, "njev": 0, "fun_s": 0.0}
orig = so.least_squares

def timed(fn, key, count):
    def wrapped(x, *a, **k):
        t0 = time.perf_counter()
        out = fn(x, *a, **k)
        stats[key] += time.perf_counter() - t0
        stats[count] += 1
        return out
    return wrapped

def least_squares(fun, x0, *args, **kwargs):
    if callable(kwargs.get("jac")):
        kwargs["jac"] = timed(kwargs["jac"], "fun_s", "njev")
    t0 = time.perf_counter()
    res = orig(timed(fun, "fun_s", "nfev"), x0, *args, **kwargs)
    stats["fit_s"] += time.perf_counter() - t0
    stats["fits"] += 1
    return res

so.least_squares = least_squares

class Marks(logging.Handler):
    def emit(self, record):
        msg = record.getMessage()
        if msg.startswith("started processing file"):
            stats["records"].append({"t0": time.perf_counter(), "cycles": 0,
                                     "snap": dict((k, stats[k]) for k in ("fit_s", "nfev", "njev", "fun_s"))})
        elif msg.startswith("\nProcessing cycle"):
            stats["records"][-1]["cycles"] += 1
        elif msg.startswith("Saved file ") and msg.endswith("_ocv.csv"):
            r = stats["records"][-1]
            r["wall_s"] = time.perf_counter() - r["t0"]
            for k in ("fit_s", "nfev", "njev", "fun_s"):
                r[k] = stats[k] - r["snap"][k]

logging.basicConfig(format="%(levelname)s:%(message)s", level=logging.INFO,
                    handlers=[Marks()])
out, sys.stdout = sys.stdout, open(os.devnull, "w")
t0 = time.perf_counter()
import cellfit
stats["total_s"] = time.perf_counter() - t0
sys.stdout = out
for r in stats["records"]:
    r.pop("snap"), r.pop("t0")
print(json.dumps(stats))
"""


def probe(folder: Path) -> dict:
    proc = subprocess.run(
        [sys.executable, "-c", PROBE],
        cwd=folder,
        capture_output=True,
        text=True,
        check=False,
    )
    if proc.returncode != 0:
        raise RuntimeError(proc.stderr[-2000:])
    return json.loads(proc.stdout.strip().splitlines()[-1])


def config(folder: Path, workdir: Path, model: str, low_cutoff: float) -> None:
    values = {
        "battery_database": str(workdir.parent) + "/",
        "battery_folder": workdir.name,
        "high_cutoff": 4.2,
        "low_cutoff": low_cutoff,
        "model": model,
    }
    (folder / "input_params.json").write_text(json.dumps(values))


def report(label: str, stats: dict) -> None:
    for r in stats["records"]:
        cycles = max(r["cycles"], 1)
        share = r["fun_s"] / r["fit_s"] if r["fit_s"] else float("nan")
        print(
            f"{label:<28} {r['wall_s']:8.3f} s/record {1e3 * r['fit_s'] / cycles:8.1f} ms/cycle "
            f"{(r['nfev'] + r['njev']) / cycles:7.0f} evals/cycle  residual share {share:5.1%}"
            f"  ({r['cycles']} cycles)"
        )


def demo_cell(tmp: Path) -> None:
    print(
        "\n== demo cell (examples/demo_cell), per record; evals include the start search"
    )
    for model in ("model1", "model2"):
        work = tmp / f"demo_{model}"
        shutil.copytree(
            ROOT / "examples" / "demo_cell" / "raw_data", work / "cell" / "raw_data"
        )
        config(work, work / "cell", model, 3.0)
        stats = probe(work)
        for r, name in zip(stats["records"], ("-10 C", "25 C", "45 C")):
            report(f"{model} {name}", {"records": [r]})
        print(f"{model} whole run (3 records): {stats['total_s']:.2f} s")


def scaling(tmp: Path, quick: bool) -> None:
    import numpy as np
    import pulse_records

    cell = pulse_records.Cell(
        r0=0.03, r1=0.015, c1=20 / 0.015, r2=0.02, c2=150 / 0.02, capacity_ah=2.5
    )

    def run(label, proto):
        rec = pulse_records.simulate(cell, proto)
        work = tmp / label.replace(" ", "_")
        (work / "cell" / "raw_data").mkdir(parents=True)
        pulse_records.write_record(work / "cell" / "raw_data" / "s_Tp25.csv", rec, 25)
        config(work, work / "cell", "model2", 3.0)
        report(f"{label} ({rec['t'].size} samples)", probe(work))

    # pulses long enough to count at 10 s sampling too (more than 101 loaded samples)
    print("\n== sampling interval (8 pulses of 1100 s at 0.2C, 1200 s rests, model2)")
    for dt in (1.0, 10.0) if quick else (0.1, 1.0, 10.0):
        run(
            f"dt {dt:g} s",
            pulse_records.Protocol(
                current_a=-0.5,
                pulse_s=1100,
                rest_s=1200,
                n_pulses=8,
                dt_s=dt,
                end_v=2.9,
            ),
        )
    print("\n== number of pulses (1 s sampling, 240 s pulses, 1200 s rests, model2)")
    for n in (5, 15) if quick else (5, 15, 40):
        cur = -2.5 * min(1.0, 15 / n)  # keep the cell above the knee over all pulses
        run(
            f"{n} pulses",
            pulse_records.Protocol(
                current_a=cur, pulse_s=240, rest_s=1200, n_pulses=n, end_v=2.9
            ),
        )
    del np


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="fewer scaling points")
    args = parser.parse_args()
    import numpy
    import pandas
    import scipy

    print(
        f"python {platform.python_version()}, numpy {numpy.__version__}, scipy "
        f"{scipy.__version__}, pandas {pandas.__version__}, {platform.machine()}"
    )
    with tempfile.TemporaryDirectory() as tmp:
        demo_cell(Path(tmp))
        scaling(Path(tmp), args.quick)


if __name__ == "__main__":
    main()
