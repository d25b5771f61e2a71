"""Many small cells: `python -c "import cellfit"` once per cell, one after another, against
`cellfit batch` (in this process, in worker processes, on a local Dask cluster).

Each generated cell has three short records (-10, 25, 45 degC; five 120 s pulses, one RC
pair), so that a cell's fits take a fraction of a second and the per-cell cost of
starting an interpreter and importing numpy, scipy and pandas shows. Every way must write
the same model files; the script checks that and prints wall times and ratios.

    python bench/bench_batch.py [--cells 100] [--workers 2]
"""

from __future__ import annotations

import argparse
import importlib.util
import json
import platform
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "examples"))

import pulse_records

TEMPS_C = (-10, 25, 45)
PROTO = pulse_records.Protocol(
    current_a=-1.0, pulse_s=120, rest_s=300, n_pulses=5, end_v=3.0, final_s=3000
)


def write_cell(folder: Path, seed: int) -> None:
    """A one-RC cell whose resistance rises in the cold, with its input_params.json
    (working folder "." as in the demo cell)."""
    (folder / "raw_data").mkdir(parents=True)
    for k, temp_c in enumerate(TEMPS_C):
        cell = pulse_records.Cell(
            r0=0.03 * (1 + 0.02 * (25 - temp_c)), r1=0.015, c1=1000.0, capacity_ah=0.25
        )
        rec = pulse_records.simulate(cell, PROTO, noise_v=5e-4, seed=seed * 3 + k)
        name = f"cell_T{'n' if temp_c < 0 else 'p'}{abs(temp_c)}.csv"
        decimals = {"Seconds": 0, "Voltage(V)": 4, "Current(A)": 3}
        pulse_records.write_record(folder / "raw_data" / name, rec, decimals=decimals)
    config = {
        "battery_database": "",
        "battery_folder": ".",
        "high_cutoff": 4.2,
        "low_cutoff": 3.3,
        "model": "model1",
    }
    (folder / "input_params.json").write_text(json.dumps(config))


def model_files(cells: list[Path]) -> list[bytes]:
    return [(c / "results" / "battery_model.json").read_bytes() for c in cells]


def one_interpreter_per_cell(cells: list[Path]) -> float:
    t0 = time.perf_counter()
    for cell in cells:
        subprocess.run(
            [sys.executable, "-c", "import cellfit"],
            cwd=cell,
            check=True,
            capture_output=True,
        )
    return time.perf_counter() - t0


def batch(cells: list[Path], *options: str) -> float:
    t0 = time.perf_counter()
    command = [sys.executable, "-m", "cellkit", "batch", "--quiet"]
    proc = subprocess.run(
        [*command, *map(str, cells), *options],
        capture_output=True,
        text=True,
        check=False,
    )
    if proc.returncode != 0:
        raise RuntimeError(proc.stdout[-2000:] + proc.stderr[-2000:])
    return time.perf_counter() - t0


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--cells", type=int, default=100)
    parser.add_argument("--workers", type=int, default=2)
    args = parser.parse_args()
    import numpy
    import pandas
    import scipy

    print(
        f"python {platform.python_version()}, numpy {numpy.__version__}, scipy "
        f"{scipy.__version__}, pandas {pandas.__version__}, {platform.machine()}"
    )
    with tempfile.TemporaryDirectory() as tmp:
        cells = [Path(tmp) / f"cell{k:03d}" for k in range(args.cells)]
        for k, cell in enumerate(cells):
            write_cell(cell, k)
        base = one_interpreter_per_cell(cells)
        want = model_files(cells)
        print(f"{args.cells} cells x 3 records")
        print(f"  python -c 'import cellfit' per cell   {base:7.1f} s")
        ways = [("cellfit batch (this process)", ())]
        ways.append((f"cellfit batch --workers {args.workers}", ("--workers",)))
        if importlib.util.find_spec("distributed"):
            ways.append(
                (
                    f"cellfit batch --scheduler local ({args.workers} workers)",
                    ("--scheduler", "local", "--workers"),
                )
            )
        for label, options in ways:
            opts = [*options, str(args.workers)] if options else []
            seconds = batch(cells, *opts)
            same = model_files(cells) == want
            print(
                f"  {label:<44} {seconds:7.1f} s   {base / seconds:5.1f}x faster"
                f"   model files {'identical' if same else 'DIFFER'}"
            )


if __name__ == "__main__":
    main()
