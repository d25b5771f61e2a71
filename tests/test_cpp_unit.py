"""The C++ unit tests of the core (tests/cpp, run by CTest): configured, built and run
in a temporary directory with the cmake and C++ compiler found on PATH."""

from __future__ import annotations

import os
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]


def find_tools() -> tuple[str, str, str]:
    cmake, ctest = shutil.which("cmake"), shutil.which("ctest")
    if not (cmake and ctest):
        pytest.skip("cmake and ctest are not on PATH")
    names = [os.environ.get("CXX"), "c++", "g++", "clang++"]
    compiler = next((shutil.which(n) for n in names if n and shutil.which(n)), None)
    if compiler is None:
        pytest.skip("no C++ compiler on PATH")
    return cmake, ctest, compiler


def run(*args: str, cwd: Path | None = None) -> str:
    done = subprocess.run(args, cwd=cwd, capture_output=True, text=True, check=False)
    assert done.returncode == 0, f"{' '.join(args)}\n{done.stdout}\n{done.stderr}"
    return done.stdout


def test_core_unit_tests_pass(tmp_path):
    cmake, ctest, compiler = find_tools()
    build = tmp_path / "build"
    generator = ["-G", "Ninja"] if shutil.which("ninja") else []
    run(
        cmake,
        "-S",
        str(ROOT / "tests" / "cpp"),
        "-B",
        str(build),
        *generator,
        f"-DCMAKE_CXX_COMPILER={compiler}",
    )
    run(cmake, "--build", str(build), "--parallel", "2")
    out = run(ctest, "--output-on-failure", cwd=build)
    assert "100% tests passed" in out, out
