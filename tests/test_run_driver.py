"""Start-up, configuration and record loading, run as a user runs them: `import cellfit`
in a fresh interpreter inside a folder holding input_params.json."""

from __future__ import annotations

import json
import warnings

import numpy as np
import pandas as pd
import pulse_records
import pytest
from conftest import cell_folder, copy_record, run_cellfit
from scipy import integrate

NO_CYCLES = {"total_number_of_cycles": 0}  # loading and the start search only


@pytest.mark.parametrize(
    ("config", "expected", "absent"),
    [
        (
            {"total_number_of_cycles": None},
            ["INFO:vhigh = 4.2 V"],
            "total number of cycles",
        ),
        (
            {"low_cutoff": 3, "high_cutoff": "4.2"},
            ["INFO:vcut = 3.0 V", "INFO:vhigh = 4.2 V"],
            None,
        ),
        ({"model": "model2", **NO_CYCLES}, ["INFO:model2 selected"], "model1 selected"),
        (NO_CYCLES, ["INFO:model1 selected", "INFO:total number of cycles = 0"], None),
    ],
    ids=["null-cycle-count", "number-and-text-cutoffs", "model2", "cycle-limit"],
)
def test_configuration_variants(tmp_path, one_rc_record, config, expected, absent):
    workdir = cell_folder(tmp_path, {"cellA_Tp25.csv": (one_rc_record, 25)}, **config)
    run = run_cellfit(
        tmp_path, ["vcut", "vhigh", "maybe_total_number_of_cycles", "workdir"]
    )
    assert run.returncode == 0, run.stderr
    assert run.log[0] == f"INFO:workdir = {workdir}"
    for line in expected:
        assert line in run.log
    if absent:
        assert not any(absent in line for line in run.log)
    assert isinstance(run.attrs["vcut"], float)
    assert run.attrs["maybe_total_number_of_cycles"] == config.get(
        "total_number_of_cycles"
    )


CONFIG_EXIT = "Input parameter definition file not found in './input_params.json'"
CUTOFF_EXIT = (
    "Battery voltage does not cross the defined low cut off voltage. "
    "Please define higher cut off level and run again."
)


def _no_config(tmp_path, rec):
    cell_folder(tmp_path, {"a_Tp25.csv": (rec, 25)})
    (tmp_path / "input_params.json").unlink()


def _bad_json(tmp_path, rec):
    cell_folder(tmp_path, {"a_Tp25.csv": (rec, 25)})
    (tmp_path / "input_params.json").write_text("{not json")


def _cutoff_not_crossed(tmp_path, rec):
    cell_folder(tmp_path, {"a_Tp25.csv": (rec, 25)}, low_cutoff=2.0)


def _unknown_model(tmp_path, rec):
    cell_folder(tmp_path, {"a_Tp25.csv": (rec, 25)}, model="model3")


def _text_cycle_count(tmp_path, rec):
    cell_folder(tmp_path, {"a_Tp25.csv": (rec, 25)}, total_number_of_cycles="3")


@pytest.mark.parametrize(
    ("make", "message"),
    [
        (_no_config, CONFIG_EXIT),
        (_bad_json, CONFIG_EXIT),
        (_cutoff_not_crossed, CUTOFF_EXIT),
        (_unknown_model, "Unknown model 'model3'"),
        (_text_cycle_count, "Invalid total_number_of_cycles '3'"),
    ],
    ids=[
        "missing-config",
        "invalid-json",
        "cutoff-never-crossed",
        "unknown-model",
        "text-count",
    ],
)
def test_fatal_input_exits_with_status_1(tmp_path, one_rc_record, make, message):
    make(tmp_path, one_rc_record)
    # the interpreter itself ends with status 1 and the message alone
    run = run_cellfit(tmp_path, fresh=make is _no_config)
    assert run.returncode == 1
    assert f"\n{message}" in run.stderr
    assert "Traceback" not in run.stderr
    if make in (_no_config, _bad_json):
        assert run.stderr == f"\n{message}\n\n"  # framed by line breaks, nothing else
    if make in (_unknown_model, _text_cycle_count):
        assert not (tmp_path / "cell" / "results").exists()  # refused before any write


@pytest.mark.parametrize(
    ("name", "temperature", "expected"),
    [
        ("a_Tp30.csv", (24.0, 25.0), 24),  # median 24.5: halves go to the even side
        ("a_Tp30.csv", (25.0, 26.0), 26),
        ("a_Tp30.csv", (24.8, 26.0), 25),
        ("a_Tp25.csv", "one-empty", 25),  # an incomplete column falls back to the name
        ("cell_A_Tn10.csv", None, -10),
        ("a_Tp0.csv", None, 0),
    ],
    ids=["24.5->24", "25.5->26", "25.4->25", "empty-entry->name", "Tn10", "Tp0"],
)
def test_record_temperature(tmp_path, one_rc_record, name, temperature, expected):
    n = one_rc_record["t"].size
    column = temperature
    if isinstance(temperature, tuple):  # half low, half high: the median is between
        lo, hi = temperature
        column = np.where(np.arange(n) < n // 2, lo, hi)
        if n % 2:
            column[n // 2] = (lo + hi) / 2
    elif temperature == "one-empty":
        column = np.full(n, 40.0)
        column[3] = np.nan  # written as nan: not a number for the median
    cell_folder(tmp_path, {name: (one_rc_record, column)}, **NO_CYCLES)
    run = run_cellfit(tmp_path, ["temperature", "temperature_txt"])
    assert run.returncode == 0, run.stderr
    assert run.attrs["temperature"] == expected
    assert f"INFO:temperature = {expected} C" in run.log


@pytest.mark.parametrize(
    ("name", "columns", "message"),
    [
        ("cellA_Tp25_x.csv", None, "no temperature in the file name"),
        ("cellA.csv", None, "cellA_Tp25.csv"),
        ("cellA_Tq25.csv", None, "no temperature in the file name"),
        ("a_Tp25.csv", ["Seconds", "Current(A)"], 'no column "Voltage(V)"'),
        ("a_Tp25.csv", "text-voltage", 'column "Voltage(V)" is not numeric'),
    ],
    ids=[
        "underscore-after-T",
        "no-T-part",
        "bad-sign-letter",
        "missing-voltage",
        "text-voltage",
    ],
)
def test_bad_records_name_the_file(tmp_path, one_rc_record, name, columns, message):
    workdir = cell_folder(tmp_path, {}, **NO_CYCLES)
    path = workdir / "raw_data" / name
    if columns == "text-voltage":
        pulse_records.write_record(path, one_rc_record)
        text = path.read_text().splitlines()
        text[5] = text[5].replace(",", ",x", 1)
        path.write_text("\n".join(text) + "\n")
    else:
        pulse_records.write_record(path, one_rc_record, columns=columns)
    run = run_cellfit(tmp_path)
    assert run.returncode == 1
    assert "ValueError" in run.stderr
    assert str(path) in run.stderr
    assert message in run.stderr


def test_truncation_threshold_and_steps(tmp_path, one_rc_record):
    rec = copy_record(one_rc_record)
    vcut = 3.3
    first_below = int(np.flatnonzero(rec["v"] < vcut)[0])
    rec["v"][100] = vcut  # equal to the cut-off is not below it
    cell_folder(tmp_path, {"a_Tp25.csv": (rec, 25)}, low_cutoff=vcut, **NO_CYCLES)
    names = [
        "idx_end",
        "v",
        "iload_ix",
        "iload_th",
        "idx_rest",
        "idx_load_raw",
        "idx_load",
        "cum_mAh",
        "counts",
        "bins",
    ]
    run = run_cellfit(tmp_path, names)
    assert run.returncode == 0, run.stderr
    ws = run.attrs
    assert ws["idx_end"] == first_below
    assert len(ws["v"]) == first_below
    # -2 A pulses from a 0 A rest: bin 0 holds the pulses, a quarter of its centre
    assert ws["iload_ix"] == 0
    assert ws["iload_th"] == pytest.approx(abs(-2 + 2 / 42) / 4, rel=1e-12)
    assert ws["counts"][0] > 10
    assert len(ws["bins"]) == 22
    rests = [59 + 750 * j for j in range(7)]
    assert ws["idx_rest"] == [*rests, first_below]  # closed with the record's end
    assert ws["idx_load_raw"] == ws["idx_load"] == [r + 150 for r in rests[:6]]
    # the running charge is scipy's cumulative trapezoid of the current, to the bit
    df = pd.read_csv(tmp_path / "cell" / "raw_data" / "a_Tp25.csv")
    t, i = df["Seconds"].values[:first_below], df["Current(A)"].values[:first_below]
    for name in ("cumulative_trapezoid", "cumtrapz"):
        if hasattr(integrate, name):
            with warnings.catch_warnings():  # the old name warns before it goes
                warnings.simplefilter("ignore", DeprecationWarning)
                want = np.abs(
                    getattr(integrate, name)(y=1000 * i, x=t, initial=0) / 3600
                )
            assert ws["cum_mAh"] == want.tolist()


def test_short_pulse_keeps_rest_end_but_loses_load_end(tmp_path):
    # a 3rd pulse of 60 samples: its rest end stays, its load end fails the loaded window
    proto = pulse_records.Protocol(n_pulses=6)
    rec = pulse_records.simulate(pulse_records.Cell(), proto)
    start = 60 + 2 * 750 + 60
    rec["i"][start : start + 90] = 0.0
    cell_folder(tmp_path, {"a_Tp25.csv": (rec, 25)}, **NO_CYCLES)
    run = run_cellfit(tmp_path, ["idx_rest", "idx_load_raw", "idx_load"])
    assert run.returncode == 0, run.stderr
    ws = run.attrs
    assert 59 + 2 * 750 in ws["idx_rest"]
    assert 59 + 2 * 750 + 60 in ws["idx_load_raw"]
    assert 59 + 2 * 750 + 60 not in ws["idx_load"]
    assert len(ws["idx_load"]) == len(ws["idx_load_raw"]) - 1


def test_no_pulse_level_is_a_clear_error(tmp_path, one_rc_record):
    rec = {
        k: v[:40].copy() for k, v in one_rc_record.items()
    }  # 40 samples, spread levels
    rec["i"] = np.linspace(-2, 0, 40)
    rec["v"][-1] = 1.0
    cell_folder(tmp_path, {"a_Tp25.csv": (rec, 25)}, **NO_CYCLES)
    run = run_cellfit(tmp_path)
    assert run.returncode == 1
    assert "cannot find the pulse current level" in run.stderr
    assert "a_Tp25.csv" in run.stderr


def test_empty_raw_data_ends_before_results_are_touched(tmp_path):
    workdir = cell_folder(tmp_path, {})
    run = run_cellfit(tmp_path)
    assert run.returncode == 1
    assert "ERROR:No *.csv files found!" in run.log
    assert f"\nNo records (*.csv) in {workdir}/raw_data\n" in run.stderr
    assert not (workdir / "results").exists()


def test_relative_workdir_is_taken_from_the_start_folder(tmp_path, one_rc_record):
    cell_folder(tmp_path, {"a_Tp25.csv": (one_rc_record, 25)}, **NO_CYCLES)
    values = json.loads((tmp_path / "input_params.json").read_text())
    values.update(battery_database="./", battery_folder="cell")
    (tmp_path / "input_params.json").write_text(json.dumps(values))
    run = run_cellfit(tmp_path, ["workdir", "infiles"])
    assert run.returncode == 0, run.stderr
    assert run.attrs["workdir"] == str(tmp_path / "cell")
    assert run.attrs["infiles"] == [str(tmp_path / "cell" / "raw_data" / "a_Tp25.csv")]
    assert (tmp_path / "cell" / "results" / "a_Tp25_params.json").exists()
