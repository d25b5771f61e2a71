from __future__ import annotations

import contextlib
import io
import json
import logging
import os
import subprocess
import sys
import traceback
import types
import warnings
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import pytest

from cellkit._native import pipeline

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


def _plain(x):
    """A workspace value as JSON holds it: arrays as lists, numpy scalars as numbers."""
    if isinstance(x, np.ndarray):
        return x.tolist()
    if isinstance(x, (np.integer, np.floating)):
        return x.item()
    if isinstance(x, (list, tuple)):
        return [_plain(e) for e in x]
    return x


def _as_json(values: dict) -> dict:
    """The values as the fresh interpreter hands them over (other values by str())."""
    return json.loads(
        json.dumps({n: _plain(v) for n, v in values.items()}, default=str)
    )


def run_cellfit(
    cwd: Path, attrs=(), after: str = "", env=None, fresh: bool = False
) -> Run:
    """Runs cellfit in cwd as `import cellfit` runs it; returns its output and the
    named workspace values (arrays as lists, other values by str() where not JSON).
    after: code run next, with the workspace as the module `cellfit`. In this process
    (the pipeline module on a fresh namespace), unless fresh or env (the environment
    of the interpreter) asks for a fresh interpreter."""
    if fresh or env is not None:
        return _run_in_fresh_interpreter(cwd, attrs, after, env)
    return _run_in_process(cwd, attrs, after)


def _exit_of(exc: BaseException) -> tuple[int, str]:
    """The exit status and stderr text Python gives an uncaught exception (sys.exit's
    message alone, any other error with its traceback)."""
    if isinstance(exc, SystemExit):
        if exc.code is None or isinstance(exc.code, int):
            return exc.code or 0, ""
        return 1, f"{exc.code}\n"
    return 1, "".join(traceback.format_exception(type(exc), exc, exc.__traceback__))


@contextlib.contextmanager
def _as_a_fresh_interpreter(cwd: Path, err: io.StringIO, out: io.StringIO):
    """Process state as `python -W error::DeprecationWarning -W error::FutureWarning`
    has it in cwd, for the block: the root logger at INFO writing to err (the
    pipeline's own basicConfig finds a handler and does nothing), warnings printed to
    err, stdout to out; then everything as it was, the current folder too."""
    root = logging.getLogger()
    handler = logging.StreamHandler(err)
    handler.setFormatter(logging.Formatter("%(levelname)s:%(message)s"))
    level, where = root.level, os.getcwd()
    root.addHandler(handler)
    root.setLevel(logging.INFO)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("default")
            for quiet in (PendingDeprecationWarning, ImportWarning, ResourceWarning):
                warnings.filterwarnings("ignore", category=quiet)  # Python's defaults
            warnings.filterwarnings("error", category=DeprecationWarning)
            warnings.filterwarnings("error", category=FutureWarning)
            warnings.showwarning = lambda msg, cat, name, line, file=None, text=None: (
                err.write(warnings.formatwarning(msg, cat, name, line, text))
            )
            os.chdir(cwd)
            with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
                yield
    finally:
        root.removeHandler(handler)
        root.setLevel(level)
        os.chdir(where)


def _run_in_process(cwd: Path, attrs, after: str) -> Run:
    cellfit = types.ModuleType("cellfit")  # the workspace: the module's own namespace
    err, out = io.StringIO(), io.StringIO()
    status, ended = 0, False
    try:
        with _as_a_fresh_interpreter(cwd, err, out):
            try:
                pipeline.run(cellfit.__dict__)
                exec(after, {"cellfit": cellfit, "np": np, "json": json})
            except KeyboardInterrupt:
                raise
            except BaseException as exc:  # ends the interpreter, whatever it is
                status, text = _exit_of(exc)
                ended = True
                err.write(text)
        values = {} if ended else {n: getattr(cellfit, n, None) for n in attrs}
        return Run(status, out.getvalue(), err.getvalue(), _as_json(values))
    finally:
        cellfit.__dict__.clear()  # the stages' functions hold it: free the run's arrays


def _run_in_fresh_interpreter(cwd: Path, attrs, after: str, env) -> Run:
    """`import cellfit` in a new interpreter in cwd, as a user runs it."""
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
