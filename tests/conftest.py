from __future__ import annotations

import json
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import pytest

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "examples"))

import kernels_build
import pulse_records

# the test-only module: installed, or built here for the tests (tests/kernels_build.py)
KERNELS_FOLDER = kernels_build.importable()


def pytest_report_header(config):
    where = KERNELS_FOLDER or "installed"
    return f"_cellkernels: {where}"


MARKER = "@@workspace@@"


@dataclass
class Run:
    returncode: int
    stdout: str
    stderr: str
    attrs: dict

    @property
    def log(self) -> list[str]:
        return self.stderr.splitlines()


def write_config(folder: Path, workdir: Path, **overrides) -> None:
    """input_params.json in folder, pointing at workdir (battery_database ends with /)."""
    values = {
        "battery_database": str(workdir.parent) + "/",
        "battery_folder": workdir.name,
        "high_cutoff": 4.2,
        "low_cutoff": 3.3,
        "model": "model1",
    }
    values.update(overrides)
    (folder / "input_params.json").write_text(json.dumps(values))


def cell_folder(tmp_path: Path, records: dict, **config) -> Path:
    """A working folder with raw_data/<name> for each (name -> (record, temperature))."""
    workdir = tmp_path / "cell"
    (workdir / "raw_data").mkdir(parents=True)
    for name, (rec, temperature) in records.items():
        pulse_records.write_record(workdir / "raw_data" / name, rec, temperature)
    write_config(tmp_path, workdir, **config)
    return workdir


def run_cellfit(cwd: Path, attrs=(), after: str = "", env=None) -> Run:
    """Loads cellfit in a fresh interpreter in cwd; returns its output and the named
    workspace values (arrays as lists, other values by str() where not JSON). env: the
    interpreter's environment, when not this one's."""
    code = (
        "import json, numpy as np\n"
        "import cellfit\n"
        f"{after}\n"
        "def plain(x):\n"
        "    if isinstance(x, np.ndarray): return x.tolist()\n"
        "    if isinstance(x, (np.integer, np.floating)): return x.item()\n"
        "    if isinstance(x, (list, tuple)): return [plain(e) for e in x]\n"
        "    return x\n"
        f"out = {{n: plain(getattr(cellfit, n, None)) for n in {list(attrs)!r}}}\n"
        f"print({MARKER!r} + json.dumps(out, default=str))\n"
    )
    # deprecations in the library calls the run makes fail the test
    strict = ["-W", "error::DeprecationWarning", "-W", "error::FutureWarning"]
    proc = subprocess.run(
        [sys.executable, *strict, "-c", code],
        cwd=cwd,
        capture_output=True,
        text=True,
        timeout=600,
        env=env,
    )
    attrs_out = {}
    stdout = proc.stdout
    if MARKER in stdout:
        stdout, _, tail = stdout.rpartition(MARKER)
        attrs_out = json.loads(tail)
    return Run(proc.returncode, stdout, proc.stderr, attrs_out)


def copy_record(rec: dict) -> dict:
    """An own copy of a record's vectors, to edit for one test."""
    return {k: v.copy() for k, v in rec.items()}


@pytest.fixture
def one_rc_record():
    """A noise-free one-RC record: 6 pulses of -2 A, 150 s on, 600 s rest, 1 s sampling."""
    cell = pulse_records.Cell(r0=0.03, r1=0.015, c1=1000.0)
    proto = pulse_records.Protocol(n_pulses=6)
    return pulse_records.simulate(cell, proto)


@pytest.fixture
def rng():
    return np.random.default_rng(7)
