"""_cellkernels, the core's kernels bound one to one, for the tests and benchmarks only.

The wheel leaves it out (it is a quarter of the build), so the test suite builds it
here: the project's own CMake with CELL_KERNELS=ON, only that target, in a build folder
kept under build/ so that later test runs rebuild only what changed. A wheel built with
-Ccmake.define.CELL_KERNELS=ON has it installed, and then nothing is built.

    python tests/kernels_build.py      # builds it; prints the folder to put on sys.path
"""

from __future__ import annotations

import hashlib
import importlib.util
import os
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
MODULE = "_cellkernels"


class KernelsUnavailable(RuntimeError):
    """The module is not installed and cannot be built here."""


def build_folder() -> Path:
    """One folder per environment: the module is built for its interpreter, with its
    pybind11."""
    tag = sysconfig.get_config_var("SOABI") or "py{}{}".format(*sys.version_info)
    where = hashlib.sha1(sys.prefix.encode()).hexdigest()[:8]
    return ROOT / "build" / f"kernels-{tag}-{where}"


def _run(*args: str) -> None:
    done = subprocess.run(args, capture_output=True, text=True, check=False)
    if done.returncode != 0:
        raise KernelsUnavailable(
            f"{' '.join(args)} failed:\n{done.stdout}{done.stderr}"
        )


def _pybind11_dir() -> str:
    try:
        import pybind11
    except ImportError:
        raise KernelsUnavailable(
            "pybind11 is not installed (pip install pybind11)"
        ) from None
    return pybind11.get_cmake_dir()


def build() -> Path:
    """Builds the module (again only where its sources changed); returns its folder."""
    cmake = shutil.which("cmake")
    if cmake is None:
        raise KernelsUnavailable("cmake is not on PATH (pip install cmake)")
    folder = build_folder()
    generator = ["-G", "Ninja"] if shutil.which("ninja") else []
    if not (folder / "CMakeCache.txt").exists():
        _run(
            cmake,
            "-S",
            str(ROOT),
            "-B",
            str(folder),
            *generator,
            "-DCMAKE_BUILD_TYPE=Release",
            "-DCELL_KERNELS=ON",
            f"-DPython_EXECUTABLE={sys.executable}",
            f"-Dpybind11_DIR={_pybind11_dir()}",
        )
    jobs = str(os.cpu_count() or 1)
    _run(cmake, "--build", str(folder), "--target", MODULE, "--parallel", jobs)
    return folder


def importable() -> Path | None:
    """Makes _cellkernels importable here and in the interpreters the tests start
    (through PYTHONPATH); returns the folder it was built in, None when installed."""
    if importlib.util.find_spec(MODULE) is not None:
        return None
    folder = build()
    sys.path.insert(0, str(folder))
    paths = [str(folder), *filter(None, [os.environ.get("PYTHONPATH")])]
    os.environ["PYTHONPATH"] = os.pathsep.join(paths)
    return folder


if __name__ == "__main__":
    print(build())
