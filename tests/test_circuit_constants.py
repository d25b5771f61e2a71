"""What the engine module tells the Python side about the circuit (the parameters'
names, the fits' bounds, the rule for a value on a bound), and how a typed error of
the native code reaches a failed run's manifest."""

from __future__ import annotations

import json

import numpy as np

from cellkit import _engine
from cellkit.run import run_cell


def test_names_bounds_and_the_on_bound_rule():
    assert _engine.CIRCUIT_NAMES == ("R0", "R1", "C1", "R2", "C2")
    lo, hi = _engine.BOUNDS
    assert (lo, hi) == (1e-4, 5e4)
    tol = _engine.BOUND_TOLERANCE
    values = np.array(
        [[lo, lo * (1 + tol / 2), lo * (1 + 1e-3)], [hi, hi * (1 - tol / 2), np.nan]]
    )
    flags = _engine.on_bound(values)
    assert flags.dtype == bool
    assert flags.tolist() == [[True, True, False], [True, True, False]]
    assert _engine.on_bound([0.05, 2000.0]).tolist() == [False, False]


def test_a_bad_record_fails_the_run_with_its_type_and_name_in_the_manifest(tmp_path):
    folder = tmp_path / "cell"
    (folder / "raw_data").mkdir(parents=True)
    record = folder / "raw_data" / "r_Tp25.csv"
    record.write_text("Seconds,Volts,Current(A)\n0,4.1,0\n1,4.0,-1\n")
    settings = {"low_cutoff": 3.0, "high_cutoff": 4.2, "model": "model1"}
    (folder / "input_params.json").write_text(json.dumps(settings))
    result = run_cell(folder)
    assert not result.ok
    manifest = json.loads((folder / "results" / "manifest.json").read_text())
    assert manifest["status"] == "failed"
    assert manifest["error"].startswith("ValueError: ")
    assert f'{record}: no column "Voltage(V)"' in manifest["error"]
