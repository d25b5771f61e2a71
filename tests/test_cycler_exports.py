"""Cycler exports as they are: the charge as the cycler counted it, step changes where
its clock or its logging puts them, whole test files cut to their pulse test, long
(GITT) pulses, units and clock-text times."""

from __future__ import annotations

import json
import shutil
from pathlib import Path

import numpy as np
import pandas as pd
import pulse_records
import pytest

from cellkit import _engine
from cellkit.run import run_cell

ROOT = Path(__file__).resolve().parents[1]
MELASTA = ROOT.parent / "shared" / "data" / "melasta_arbin" / "raw_data"

# a 5 Ah cell with a fast and a slow pair, discharged in 20-odd GITT pulses at C/4:
# 720 s logged every 2 s, rests of 3 h logged every minute
GITT_CELL = pulse_records.Cell(
    r0=0.0227, r1=0.004, c1=1250.0, r2=0.012, c2=50000.0, capacity_ah=5.0
)
GITT_STEPS = [(3600.0, 0.0, 300.0)] + [(720.0, -1.25, 2.0), (10800.0, 0.0, 60.0)] * 22


def cell(tmp_path: Path, name: str, settings: dict) -> Path:
    folder = tmp_path / "cell"
    (folder / "raw_data").mkdir(parents=True)
    (folder / "input_params.json").write_text(json.dumps(settings))
    return folder / "raw_data" / name


def cut(rec: dict, cutoff_v: float) -> dict:
    """The rows up to and including the first voltage below the cut-off."""
    stop = int(np.argmax(rec["v"] < cutoff_v)) + 1
    return {k: v[:stop] for k, v in rec.items()}


def test_gitt_from_an_arbin_export_goes_to_the_engine(tmp_path):
    rec = cut(pulse_records.simulate_cycler_log(GITT_CELL, GITT_STEPS, 2e-4), 3.0)
    path = cell(
        tmp_path,
        "gitt_Tp25.csv",
        {"low_cutoff": 3.0, "high_cutoff": 4.2, "model": "model2"},
    )
    pulse_records.write_arbin_record(path, rec)
    result = run_cell(path.parents[1])
    assert result.ok, result.error
    log = (path.parents[1] / "cellfit.log").read_text()
    assert "an Arbin export" in log
    assert "cycler record with its step clock" in log
    params = json.loads(
        (path.parents[1] / "results" / "gitt_Tp25_params.json").read_text()
    )
    drawn_ah = rec["drawn_ah"][-2]  # to the last row above the cut-off
    assert params["Tparam_1"] == pytest.approx(drawn_ah, rel=5e-3)
    p = pd.read_csv(path.parents[1] / "results" / "gitt_Tp25_pulses.csv")
    assert len(p) >= 20
    assert not p["flags"].astype(str).str.contains("_at_bound").any()
    # R0 never above what the first loaded row (2 s in) shows, and not far below
    step_2s = GITT_CELL.r0 + GITT_CELL.r1 * (1 - np.exp(-2 / 5.0))
    assert 0.8 * step_2s < p["R0"].median() <= step_2s * 1.01
    # the pairs stay within what the window resolves: no ohms on a 23 mOhm cell
    assert (p[["R1", "R2"]].to_numpy() < 5 * step_2s).all()


def test_rows_logged_a_minute_late_count_no_extra_charge(tmp_path):
    """A pulse-discharge record whose rests are logged once a minute, the first rest
    row a minute after each pulse: the per-cycle fit counts each pulse's current up to
    its last row, not over the minute after it."""
    steps = [(600.0, 0.0, 60.0)] + [(300.0, -2.0, 1.0), (1800.0, 0.0, 60.0)] * 6
    steps.append((5000.0, -2.0, 1.0))
    rec = cut(pulse_records.simulate_cycler_log(pulse_records.Cell(), steps), 3.3)
    path = cell(
        tmp_path,
        "late_Tp25.csv",
        {"low_cutoff": 3.3, "high_cutoff": 4.2, "model": "model1"},
    )
    pulse_records.write_record(path, rec)
    assert run_cell(path.parents[1]).ok
    log = (path.parents[1] / "cellfit.log").read_text()
    assert "fitted per pulse" not in log  # the per-cycle fit served it
    params = json.loads(
        (path.parents[1] / "results" / "late_Tp25_params.json").read_text()
    )
    drawn_ah = rec["drawn_ah"][-2]
    t, i = rec["t"][:-1], rec["i"][:-1]
    trapezoid_ah = -np.sum((i[1:] + i[:-1]) / 2 * np.diff(t)) / 3600.0
    assert trapezoid_ah > 1.05 * drawn_ah  # what the rows alone would give
    # (each pulse's first row comes 1 s in, which the rows cannot tell: 1 A s each)
    assert params["Tparam_1"] == pytest.approx(drawn_ah, rel=2e-3)


def test_units_clock_times_and_sections(tmp_path):
    steps = [(600.0, 0.0, 60.0)] + [(10.0, -2.0, 0.5), (900.0, 0.0, 60.0)] * 4
    rec = pulse_records.simulate_cycler_log(pulse_records.Cell(), steps)
    path = tmp_path / "r.csv"

    # current in mA: stopped with the setting named, read right with it
    milli = dict(rec, i=rec["i"] * 1000.0)
    pulse_records.write_record(path, milli)
    raw = _engine.read_record(str(path), {"units": {"current": "mA"}})
    assert raw["current_a"] == pytest.approx(rec["i"])
    folder = cell(
        tmp_path,
        "ma_Tp25.csv",
        {"low_cutoff": 3.3, "high_cutoff": 4.2, "model": "model1"},
    )
    long_steps = [(600.0, 0.0, 60.0)] + [(300.0, -2.0, 1.0), (1800.0, 0.0, 60.0)] * 6
    long_steps.append((5000.0, -2.0, 1.0))
    big = cut(pulse_records.simulate_cycler_log(pulse_records.Cell(), long_steps), 3.3)
    pulse_records.write_record(folder, dict(big, i=big["i"] * 1000.0))
    result = run_cell(folder.parents[1])
    assert not result.ok
    assert '"units": {"current": "mA"}' in result.error

    # times as clock texts, found on their own
    clock = [
        f"{int(s // 3600)}:{int(s % 3600 // 60):02d}:{s % 60:06.3f}" for s in rec["t"]
    ]
    pd.DataFrame(
        {"Seconds": clock, "Voltage(V)": rec["v"], "Current(A)": rec["i"]}
    ).to_csv(path, index=False)
    assert _engine.read_record(str(path))["time_s"] == pytest.approx(rec["t"])
    with pytest.raises(ValueError, match='"Seconds" is not numeric'):
        _engine.read_record(str(path), {"units": {"time": "s"}})
    with pytest.raises(ValueError, match="Invalid units"):
        _engine.read_record(str(path), {"units": {"current": "kA"}})

    # a section by step number keeps those steps' rows
    pulse_records.write_arbin_record(path, rec)
    part = _engine.read_record(str(path), {"section": {"step_index": [2, 3]}}, 3.0)
    assert set(part["step_index"]) == {2.0, 3.0}
    with pytest.raises(ValueError, match="section"):
        _engine.read_record(str(path), {"section": {"time_s": [5, 1]}})


@pytest.mark.skipif(not MELASTA.is_dir(), reason="shared/data/melasta_arbin not here")
def test_whole_arbin_export_as_it_is(tmp_path):
    """The Melasta export, all 40 columns, a capacity check first and a second series
    after the cut-off; only the cut-offs set (truths from its SOURCE.md)."""
    folder = tmp_path / "melasta"
    shutil.copytree(MELASTA, folder / "raw_data")
    settings = {"low_cutoff": 3.0, "high_cutoff": 4.35, "model": "model2"}
    (folder / "input_params.json").write_text(json.dumps(settings))
    result = run_cell(folder)
    assert result.ok, result.error
    name = "melasta-slpb7336128hv_Tp25"
    params = json.loads((folder / "results" / f"{name}_params.json").read_text())
    assert params["Tparam_1"] == pytest.approx(3.71, rel=5e-3)
    log = (folder / "cellfit.log").read_text()
    assert "a capacity check before the pulse test" in log
    p = pd.read_csv(folder / "results" / f"{name}_pulses.csv")
    for kind, r0 in (("discharge", 0.0106), ("charge", 0.0110)):
        assert p.loc[p["kind"] == kind, "R0"].median() == pytest.approx(r0, rel=0.1)
    # each pulse's SOC against the charge of the step program: each row's current over
    # the interval that ends at it, from the test's start (step 12) to the cut-off
    raw = _engine.read_record(
        str(folder / "raw_data" / f"{name}.csv"), {}, notes=False
    )
    t, i = raw["time_s"], raw["current_a"]
    first = int(np.argmax(raw["step_index"] == 12))
    last = int(np.argmax((raw["voltage_v"] < 3.0) & (t > t[first])))
    drawn = np.concatenate(
        ([0.0], np.cumsum(-i[first + 1 : last + 1] * np.diff(t[first : last + 1])))
    )
    soc = 1 - drawn / drawn[-1]
    at_start = np.searchsorted(t[first : last + 1], p["start_s"].to_numpy()) - 1
    assert np.abs(p["soc"].to_numpy() - soc[at_start]).max() < 0.01
