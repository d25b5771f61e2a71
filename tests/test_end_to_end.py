"""The whole pipeline, records to model file, on generated cells with known parameters."""

from __future__ import annotations

import json
from pathlib import Path

import numpy as np
import pulse_records
import pytest
from conftest import cell_folder, run_cellfit

TEMPS = (-10, 25, 45)
PROTO = pulse_records.Protocol(n_pulses=7, pulse_s=200, rest_s=900, end_v=3.0)


def one_rc_cell(temp_c: float) -> pulse_records.Cell:
    """Resistances rising in the cold, capacity falling: an Arrhenius-like one-RC cell."""
    scale = np.exp(2000.0 * (1 / (273.15 + temp_c) - 1 / 298.15))
    return pulse_records.Cell(
        r0=0.03 * scale,
        r1=0.015 * scale,
        c1=1500.0,
        capacity_ah=2.0 * (1 + 0.003 * (temp_c - 25)),
    )


def known_records(noise_v: float = 0.0) -> dict:
    out = {}
    for k, temp in enumerate(TEMPS):
        cell = one_rc_cell(temp)
        rec = pulse_records.simulate(cell, PROTO, noise_v=noise_v, seed=k)
        name = f"cell_T{'n' if temp < 0 else 'p'}{abs(temp)}.csv"
        out[name] = (rec, None if temp < 0 else float(temp), cell)
    return out


def params_by_temperature(results) -> dict:
    out = {}
    for path in results.glob("*_params.json"):
        p = json.loads(path.read_text())
        out[p["TempC"]] = p
    return out


@pytest.mark.parametrize("model", ["model1", "model2"])
def test_known_cells_to_model_file(tmp_path, model):
    records = known_records()
    workdir = cell_folder(
        tmp_path,
        {n: (r, t) for n, (r, t, _) in records.items()},
        model=model,
        low_cutoff=3.2,
    )
    run = run_cellfit(tmp_path)
    assert run.returncode == 0, run.stderr[-3000:]
    fitted = params_by_temperature(workdir / "results")
    assert sorted(fitted) == list(TEMPS)
    for rec, _, cell in records.values():
        temp = next(t for t in TEMPS if one_rc_cell(t).r0 == cell.r0)
        p = fitted[temp]
        r0, r1, c1 = p["Tparam_2"][:3]
        # noise-free: the records hold the current between samples while the models ramp
        # it, and the OCV under a pulse is a straight ramp, which costs about 2 %
        assert r0 == pytest.approx(cell.r0, rel=0.03)
        assert r1 == pytest.approx(cell.r1, rel=0.10)
        assert c1 == pytest.approx(cell.c1, rel=0.10)
        # capacity: the charge drawn down to the cut-off, by the trapezoid rule
        kept = np.flatnonzero(rec["v"] < 3.2)[0]
        drawn_ah = -np.sum(rec["i"][: kept - 1]) / 3600
        assert p["Tparam_1"] == pytest.approx(drawn_ah, rel=0.005)
        # OCV within 5 mV of the cell's own curve over the measured SOC range
        soc, ocv = map(np.asarray, p["Tparam_3"])
        true_soc = 1 - (1 - soc) * p["Tparam_1"] / cell.capacity_ah
        rested_ah = (
            PROTO.n_pulses * PROTO.pulse_s * -PROTO.current_a / 3600
        )  # last rest
        measured = soc >= 1 - rested_ah / p["Tparam_1"]
        assert np.max(np.abs(ocv - cell.ocv(true_soc))[measured]) < 5e-3

    model_file = json.loads((workdir / "results" / "battery_model.json").read_text())
    assert model_file["temps"] == [-10.0, 25.0, 45.0]
    assert len(model_file["param_1"]) == 201
    assert len(model_file["param_2"]) == 122
    r0_by_temp = model_file["param_9"]
    assert r0_by_temp == sorted(r0_by_temp, reverse=True)  # falls as the cell warms
    assert len(model_file["param_10"]) == 3 * (1 if model == "model1" else 2)
    assert model_file["name"] == "cell"


def test_log_sequence_of_a_run(tmp_path):
    records = dict(list(known_records().items())[1:2])
    cell_folder(
        tmp_path,
        {n: (r, t) for n, (r, t, _) in records.items()},
        total_number_of_cycles=2,
    )
    run = run_cellfit(tmp_path)
    assert run.returncode == 0, run.stderr
    starts = (
        "started processing file",
        "temperature = ",
        "rms_err_model1 = ",
        "Starting with init values",
        "---- 1st pass ---",
        "Total runtime = ",
        "file ",
        "Saved file /",
        "Saved file 'battery_model.json'",
    )
    lines = [line.removeprefix("INFO:") for line in run.log]
    order = [
        next(i for i, line in enumerate(lines) if line.startswith(s)) for s in starts
    ]
    assert order == sorted(order)
    assert lines.count("Initial value search...") == 8
    # the SOC tables come last: written, or skipped when the run left no pulse files
    assert lines[-2] == "Saved file 'battery_model.json'"
    assert "battery_tables.json" in lines[-1]


OUTPUTS = ("_ocv.csv", "_ocv_points.csv", "_params.json", "_pulses.csv")


def test_failing_record_keeps_earlier_outputs_and_writes_no_model(tmp_path):
    rec = known_records()["cell_Tp25.csv"][0]
    names = [f"r{k}_Tp{20 + k}.csv" for k in range(5)]
    records = {n: (rec, None) for n in names}
    workdir = cell_folder(tmp_path, records, total_number_of_cycles=1)
    bad = workdir / "raw_data" / names[2]
    bad.write_text(bad.read_text().replace("Voltage(V)", "Volts"))  # a missing column
    run = run_cellfit(tmp_path)
    assert run.returncode == 1
    assert f"{bad}: no column" in run.stderr
    order = [
        line.split("'")[1] for line in run.log if "started processing file" in line
    ]
    done = [
        p.split("/")[-1].removesuffix(".csv") for p in order[: order.index(str(bad))]
    ]
    results = sorted(p.name for p in (workdir / "results").iterdir())
    want = [f"{d}{suffix}" for d in done for suffix in OUTPUTS]
    assert results == sorted([*want, "manifest.json"])
    manifest = json.loads((workdir / "results" / "manifest.json").read_text())
    assert manifest["status"] == "failed"
    assert f"{bad}: no column" in manifest["error"]
    assert sorted(Path(p).name for p in manifest["outputs"]) == sorted(want)
