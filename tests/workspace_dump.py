"""What `import cellfit` leaves in its module, written out exactly.

    python tests/workspace_dump.py CELL OUT.json [--results DIR]
    python tests/workspace_dump.py --make-cases DIR

The first form copies the cell folder (input_params.json with a relative working
folder, raw_data/) to a temporary folder, imports cellfit there in a fresh interpreter
and writes every module attribute that is not a function or a module: the names the
pipeline publishes (PUBLISHED) and, listed apart, any other it leaves. Arrays are
written as dtype, shape and SHA-256 of their bytes, tables as columns, dtypes and
SHA-256 of their CSV text, everything else by repr, containers item by item. Wall-clock
readings are reduced to their type, dates and runtimes to a mark, and the temporary
folder to "<cell>", so two runs of the same code give the same file. With --results
the run's results/ folder is kept.

The second form writes the small cells the tests build (one per fitting path) into DIR.
"""

from __future__ import annotations

import argparse
import json
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

# The names a run leaves for its caller: the settings, the record's vectors and pulse
# boundaries, the OCV curve, the fitting window, the fits and the per-record outputs.
PUBLISHED = """
values workdir vhigh vcut maybe_total_number_of_cycles infiles infile jfile
df temperature temperature_txt vraw idx_end v t iload cum_mAh counts bins iload_ix
iload_th idx_rest idx_load_raw idx_load iload_off idx_ok
relaxpoint vsample mAh socval soc vsoc vsoc_itrp_3rd SOC OCV_3rd ind_all vsoc_time
vsoc_val vsoc_val_itrp ocv_diff start_time ind_slice
t_vec xdata ydata iload_vec gr0 gr1 gc1
total_number_of_cycles results res_opt_init i rms_min Cinit Ci res_init params_start
lsq_yout error_cur rms_curr lsq_yout_full error_lsq_full rms_lsq_full
start_time_i stop_time_i len_fall res_opt_1 res_opt_2 fit_params error_lsq_1 rms_lsq_1
error_lsq rms_lsq runtime R0Tau batt_val
stop_time runtime_total rms_err R0 R1 C1 R2 C2 vbat_ocv df_results opt_avg opt_median
avg_row med_row bat_params bat_params_file ocv_file
""".split()  # noqa: SIM905 (a word per name reads better than a list)

# wall-clock readings: only their type is compared
CLOCK = {"start_time", "stop_time", "start_time_i", "stop_time_i"}

_CHILD = r"""
import hashlib, json, re, sys, types
import numpy as np
import pandas as pd
import cellfit

CELL = sys.argv[1]
MINUTES = re.compile(r"^-?[0-9.e+-]+ minutes$")
ADDRESS = re.compile(r" at 0x[0-9a-fA-F]+")
CLOCK_TEXT = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d")


def sha(data):
    return hashlib.sha256(data).hexdigest()


def text(s):
    s = s.replace(CELL, "<cell>")
    if CLOCK_TEXT.match(s):
        return "<time>"
    return "<minutes>" if MINUTES.match(s) else s


def plain(x, depth=0):
    if depth > 8:
        return "<deep>"
    if isinstance(x, str):
        return text(x)
    if x is None or isinstance(x, (bool, int, float, np.generic)):
        return type(x).__name__ + ":" + repr(x)
    if isinstance(x, np.ndarray):
        if x.dtype == object:
            return {"object array": list(x.shape),
                    "items": [plain(e, depth + 1) for e in x.ravel()]}
        data = np.ascontiguousarray(x)
        return {"dtype": str(x.dtype), "shape": list(x.shape),
                "sha256": sha(data.tobytes())}
    if isinstance(x, pd.DataFrame):
        return {"columns": [str(c) for c in x.columns],
                "dtypes": [str(d) for d in x.dtypes],
                "sha256": sha(text(x.to_csv()).encode())}
    if isinstance(x, pd.Series):
        return {"series": str(x.dtype), "sha256": sha(text(x.to_csv()).encode())}
    if isinstance(x, dict):
        return {"type": type(x).__name__,
                "items": [[plain(k, depth + 1), plain(v, depth + 1)]
                          for k, v in x.items()]}
    if isinstance(x, (list, tuple)):
        return {"type": type(x).__name__, "items": [plain(e, depth + 1) for e in x]}
    if hasattr(x, "get_knots"):  # a spline: its work arrays hold stale memory
        return {"type": type(x).__name__,
                "knots": plain(x.get_knots()), "coeffs": plain(x.get_coeffs())}
    if hasattr(x, "__dict__"):
        return {"type": type(x).__name__, "vars": plain(dict(vars(x)), depth + 1)}
    return type(x).__name__ + ":" + text(ADDRESS.sub("", repr(x)))


def skipped(x):  # code, not state; a callable object such as a spline is state
    return isinstance(x, (types.ModuleType, type, types.FunctionType,
                          types.BuiltinFunctionType))


names = [n for n in sorted(vars(cellfit)) if not n.startswith("__")]
published, other, functions = {}, {}, []
required = set(json.loads(sys.argv[2]))
clock = set(json.loads(sys.argv[3]))
for n in names:
    x = getattr(cellfit, n)
    if skipped(x):
        functions.append(n + ":" + type(x).__name__)
        continue
    value = type(x).__name__ if n in clock else plain(x)
    (published if n in required else other)[n] = value
absent = sorted(required - set(names))
print("@@dump@@" + json.dumps(
    {"published": published, "absent": absent, "other": other,
     "functions and modules": functions}, indent=1))
"""


def dump_cell(cell: Path, results_to: Path | None = None) -> dict:
    """The module attributes a run on a copy of cell leaves (see the module doc)."""
    with tempfile.TemporaryDirectory() as tmp:
        work = Path(tmp) / "cell"
        shutil.copytree(cell, work, ignore=shutil.ignore_patterns("results", "*.log"))
        proc = subprocess.run(
            [
                sys.executable,
                "-c",
                _CHILD,
                str(work),
                json.dumps(PUBLISHED),
                json.dumps(sorted(CLOCK)),
            ],
            cwd=work,
            capture_output=True,
            text=True,
            timeout=1800,
        )
        if "@@dump@@" not in proc.stdout:
            raise RuntimeError(f"cellfit failed in {cell}:\n{proc.stderr[-3000:]}")
        if results_to is not None:
            shutil.rmtree(results_to, ignore_errors=True)
            shutil.copytree(work / "results", results_to)
        return json.loads(proc.stdout.rpartition("@@dump@@")[2])


def make_cases(folder: Path) -> list:
    """The cells the tests build, one per fitting path, with relative settings."""
    root = Path(__file__).resolve().parents[1]
    sys.path.insert(0, str(root / "examples"))
    import pulse_records as pr

    one_rc = pr.simulate(pr.Cell(r0=0.03, r1=0.015, c1=1000.0), pr.Protocol(n_pulses=6))
    two_rc_cell = pr.Cell(r0=0.03, r1=0.01, c1=500.0, r2=0.02, c2=20000.0)
    two_rc = pr.simulate(two_rc_cell, pr.Protocol(n_pulses=7), noise_v=2e-4, seed=3)
    hppc = pr.simulate_hppc(
        two_rc_cell,
        pr.HppcProtocol(n_blocks=4),
        noise_v=5e-4,
        quirks=True,
        repeat_every=10,
    )
    steps = [(600.0, 0.0, 10.0)] + [(300.0, -2.0, 1.0), (1800.0, 0.0, 10.0)] * 6
    steps.append((20000.0, -2.0, 1.0))
    gitt = pr.simulate_cycler_log(two_rc_cell, steps, noise_v=2e-4)
    stop = int((gitt["v"] < 3.3).argmax()) + 1
    gitt = {k: x[:stop] for k, x in gitt.items()}
    cases = {
        "one_rc_model1": ({"one_Tp25.csv": one_rc}, {"model": "model1"}),
        "two_rc_model2": (
            {"two_Tn5.csv": two_rc, "one_Tp25.csv": one_rc},
            {"model": "model2", "total_number_of_cycles": 5},
        ),
        "two_rc_joint": (
            {"two_Tp10.csv": two_rc},
            {"model": "model2", "fit_method": "joint"},
        ),
        "one_rc_engine": (
            {"one_Tp25.csv": one_rc},
            {"model": "model1", "fit_method": "pulse_test"},
        ),
        "hppc_model2": (
            {"hppc_Tp25.csv": hppc},
            {"model": "model2", "low_cutoff": 3.0},
        ),
    }
    made = []
    for name, (records, settings) in cases.items():
        cell = folder / name
        (cell / "raw_data").mkdir(parents=True, exist_ok=True)
        for file, rec in records.items():
            pr.write_record(
                cell / "raw_data" / file, rec, 25.0 if "hppc" in file else None
            )
        made.append(cell)
        write_settings(cell, settings)
    cell = folder / "gitt_arbin"
    (cell / "raw_data").mkdir(parents=True, exist_ok=True)
    pr.write_arbin_record(cell / "raw_data" / "gitt_Tp25.csv", gitt)
    write_settings(cell, {"model": "model2"})
    made.append(cell)
    return made


def write_settings(cell: Path, settings: dict) -> None:
    values = {
        "battery_database": "",
        "battery_folder": ".",
        "high_cutoff": 4.2,
        "low_cutoff": 3.3,
        "model": "model1",
    }
    values.update(settings)
    (cell / "input_params.json").write_text(json.dumps(values))


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("cell", nargs="?", type=Path)
    parser.add_argument("out", nargs="?", type=Path)
    parser.add_argument("--results", type=Path, help="keep the run's results/ here")
    parser.add_argument("--make-cases", type=Path, metavar="DIR")
    args = parser.parse_args(argv)
    if args.make_cases:
        for cell in make_cases(args.make_cases):
            sys.stdout.write(f"{cell}\n")
        return 0
    if args.cell is None or args.out is None:
        parser.error("give CELL and OUT, or --make-cases DIR")
    dump = dump_cell(args.cell, args.results)
    args.out.write_text(json.dumps(dump, indent=1) + "\n")
    sys.stdout.write(
        f"{args.out}: {len(dump['published'])} published names, "
        f"{len(dump['other'])} others\n"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
