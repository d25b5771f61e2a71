"""Validation of the merged model over whole records, and the HTML report, on a
generated one-RC cell at two temperatures whose circuit is known."""

from __future__ import annotations

import re
import sys

import numpy as np
import pandas as pd
import pulse_records
import pytest
from conftest import cell_folder, run_cellfit
from numpy.testing import assert_allclose, assert_array_equal

from cellkit import run_files, tables
from cellkit.run import run_cell
from cellkit.validate import replay_folder, validate

# pulses that take the cell down to a few % SOC, so that little of the record lies
# below the last rest, where the OCV curve is extrapolated
PROTOCOL = pulse_records.Protocol(pulse_s=300.0, n_pulses=11)
CELLS = {
    "cell_Tp10.csv": (10, pulse_records.Cell(r0=0.05, r1=0.02, c1=1500.0)),
    "cell_Tp40.csv": (40, pulse_records.Cell(r0=0.025, r1=0.01, c1=2500.0)),
}


@pytest.fixture(scope="module")
def fitted_cell(tmp_path_factory):
    """The working folder of a finished run over both records (model1)."""
    tmp = tmp_path_factory.mktemp("validate")
    records = {
        name: (pulse_records.simulate(cell, PROTOCOL), temp)
        for name, (temp, cell) in CELLS.items()
    }
    workdir = cell_folder(tmp, records)
    assert run_cellfit(tmp).returncode == 0
    return workdir


def test_validation_of_a_known_cell(fitted_cell):
    table = validate(fitted_cell)
    assert list(zip(table["record"], table["model"])) == [
        ("cell_Tp10", "battery_model"),
        ("cell_Tp10", "battery_tables"),
        ("cell_Tp40", "battery_model"),
        ("cell_Tp40", "battery_tables"),
    ]
    medians = table[table["model"] == "battery_model"]
    # Noise-free records of the model's own form: what is left is the OCV spline
    # between and below the rests and the first-order hold against the generator's
    # steps (under 1 mV RMS, 6 mV at worst near the cut-off). The other temperature's
    # R0 would add 25 mOhm x 2 A = 50 mV under every pulse.
    assert (medians["pulses_rms_mv"] < 1.5).all()
    assert (medians["rms_mv"] < 1.0).all()
    assert (medians["max_abs_mv"] < 10.0).all()
    on_disk = pd.read_csv(fitted_cell / "results" / "validation.csv")
    assert list(on_disk.columns) == list(table.columns)
    assert_allclose(on_disk["rms_mv"], table["rms_mv"], atol=1e-3)


def soc_dependent_record() -> dict:
    """The one-RC cell's pulse train with R0 rising linearly from 30 mOhm at full
    charge to 60 mOhm at empty."""
    cell = pulse_records.Cell(r0=0.0, r1=0.02, c1=1500.0)
    rec = pulse_records.simulate(cell, PROTOCOL)
    rec["v"] = rec["v"] + (0.03 + 0.03 * (1.0 - rec["soc"])) * rec["i"]
    stop = np.flatnonzero(rec["v"] < PROTOCOL.end_v)[0] + 5
    return {k: v[:stop] for k, v in rec.items()}


def test_the_tables_follow_a_resistance_that_changes_with_soc(tmp_path):
    workdir = cell_folder(tmp_path, {"soc_Tp25.csv": (soc_dependent_record(), 25)})
    limits = {"model": "model1", "low_cutoff": 3.3, "high_cutoff": 4.2}
    assert run_cell(workdir, limits).ok
    table = validate(workdir).set_index("model")
    # the median R0 is 15 mOhm off at either end of the SOC range (30 mV at 2 A)
    for column in ("rms_mv", "pulses_rms_mv"):
        assert table.loc["battery_tables", column] < table.loc["battery_model", column]

    medians, in_tables = replay_folder(workdir)
    assert_array_equal(medians.current_a, in_tables.current_a)
    # Below the lowest rest the OCV comes from the final discharge, less a circuit
    # drop, and the largest errors sit there; above it the tables follow R0 (1.6 mV
    # RMS, 8 mV at worst) where the medians miss it by up to 25 mV.
    points = run_files.load_ocv_points(workdir, "soc_Tp25")
    lowest = points.loc[points["source"] == "rest", "soc"].min()

    def where_the_ocv_is_measured(replay) -> tuple[float, float]:
        error_mv = 1000 * (replay.model_v - replay.voltage_v)[replay.soc >= lowest]
        return np.sqrt(np.mean(error_mv**2)), np.abs(error_mv).max()

    rms_mv, largest_mv = where_the_ocv_is_measured(in_tables)
    assert rms_mv < 2.5
    assert largest_mv < 10.0
    rms_mv, largest_mv = where_the_ocv_is_measured(medians)
    assert rms_mv > 6.0
    assert largest_mv > 20.0


def test_tables_with_empty_cells_are_filled_and_run():
    null = None
    raw = {
        "soc": [0.0, 0.5, 1.0],
        "temps": [0.0, 40.0],
        "capacity_ah": [1.0, 2.0],
        "ocv": [[3.0, null], [3.5, null], [null, null]],
        "discharge": {
            "R0": [[null, 0.02], [0.04, null], [null, null]],
            "R1": [[1e-3] * 2] * 3,
            "C1": [[1.0] * 2] * 3,
        },
        "charge": {"R0": [[null] * 2, [0.08, 0.08], [null] * 2]},
    }
    filled = tables.filled_tables(raw, "cell/battery_tables.json")
    # nearest in SOC within a temperature, then the nearest temperature's column
    assert_allclose(filled["ocv"], [[3.0, 3.0], [3.5, 3.5], [3.5, 3.5]])
    assert_allclose(filled["discharge"]["R0"], [[0.04, 0.02]] * 3)
    assert_allclose(filled["charge"]["R0"], [[0.08, 0.08]] * 3)
    assert_allclose(filled["charge"]["R1"], filled["discharge"]["R1"])

    at_20c = tables.at_temperature(filled, 20.0)
    assert at_20c.capacity_ah == pytest.approx(1.5)
    # 0.75 A for an hour takes 1.5 Ah from SOC 1 to 0.5; the pair (tau 1 ms) is
    # settled at the end; R0 is halfway between 40 and 20 mOhm at 20 degC
    t = np.array([0.0, 3600.0])
    v, soc = tables.simulate_tables(at_20c, t, [-0.75, -0.75])
    assert_allclose(soc, [1.0, 0.5])
    assert_allclose(v, [3.5 - 0.03 * 0.75, 3.5 - 0.031 * 0.75])
    v, _ = tables.simulate_tables(at_20c, t, [0.75, 0.75], soc_start=0.5)
    assert_allclose(v, [3.5 + 0.08 * 0.75, 3.5 + 0.081 * 0.75])  # charge tables

    raw["discharge"]["R1"] = [[null] * 2] * 3
    with pytest.raises(ValueError, match=r"battery_tables\.json: the discharge R1"):
        tables.filled_tables(raw, "cell/battery_tables.json")


def test_model_at_temperature_reads_the_pair_layout():
    # two temperatures, two pairs: all first-pair values, then all second-pair ones
    model = {
        "temps": [10.0, 40.0],
        "param_1": [0.0, 1.0],
        "param_3": [0.001, 0.001],
        "param_4": [3.0, 4.0],
        "param_9": [0.05, 0.02],
        "param_10": [20.0, 10.0, 300.0, 100.0],
        "param_11": [0.02, 0.01, 0.03, 0.01],
        "param_12": [2.0, 2.5],
    }
    at = run_files.model_at_temperature(model, 40.0)
    assert_allclose(at.ocv_v, [3.04, 4.04])
    assert_allclose([at.r0_ohm, at.capacity_ah], [0.02, 2.5])
    assert_allclose(at.r_ohm, [0.01, 0.01])
    assert_allclose(at.c_f, [1000.0, 10000.0])
    # halfway between the temperatures: linear in temperature
    assert_allclose(run_files.model_at_temperature(model, 25.0).r0_ohm, 0.035)


def write_pulses(workdir):
    """A pulses file for the 10 degC record from its true circuit, one pulse flagged."""
    rec = PROTOCOL
    _, cell = CELLS["cell_Tp10.csv"]
    starts = rec.first_rest_s + np.arange(rec.n_pulses) * (rec.pulse_s + rec.rest_s)
    rows = pd.DataFrame(
        {
            "pulse": np.arange(1, rec.n_pulses + 1),
            "kind": "discharge",
            "start_s": starts,
            "duration_s": rec.pulse_s,
            "current_A": rec.current_a,
            "soc": np.linspace(1.0, 0.2, rec.n_pulses),
            "R0": cell.r0,
            "R1": cell.r1,
            "C1": cell.c1,
            "R2": np.nan,
            "C2": np.nan,
            "rms_mV": 0.5,
            "R0_se": 1e-4,
            "R1_se": 1e-4,
            "C1_se": 10.0,
            "R2_se": np.nan,
            "C2_se": np.nan,
            "flags": [""] * (rec.n_pulses - 1) + ["not_converged"],
        }
    )
    rows.to_csv(workdir / "results" / "cell_Tp10_pulses.csv", index=False)


def test_report_writes_its_page_and_figures(fitted_cell):
    pytest.importorskip("matplotlib")
    from cellkit.report import write_report

    write_pulses(fitted_cell)
    warning = "WARNING:cell_Tp40.csv: pulse 3 is not fitted: <odd & rare>"
    (fitted_cell / "cellfit.log").write_text(f"INFO:start\n{warning}\n")
    page = write_report(fitted_cell)
    assert page == fitted_cell / "report" / "index.html"
    text = page.read_text()
    links = re.findall(r'<img src="([^"]+)"', text)
    # both validations, OCV, SOC lines, a pulse grid per record, the pulse power,
    # parameters over SOC and T
    assert len(links) == 9
    assert {"pulses_cell_Tp10.png", "pulses_cell_Tp40.png"} <= set(links)
    summary = pd.read_csv(fitted_cell / "results" / "hppc_summary.csv")
    assert set(summary["record"]) == {"cell_Tp10", "cell_Tp40"}
    assert (summary["limit_V"] == 3.3).all()  # discharge pulses at the low cut-off

    for name in links:
        assert (page.parent / name).read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert "pulse 3 is not fitted: &lt;odd &amp; rare&gt;" in text
    # the validation table: a row per record and model
    assert text.count("<td>battery_model</td>") == text.count("<td>battery_tables</td>")
    assert text.count("<td>battery_tables</td>") == 2
    assert "http" not in text  # self-contained: nothing fetched from elsewhere


def test_report_without_matplotlib_says_how_to_get_it(fitted_cell, monkeypatch):
    from cellkit import report

    monkeypatch.setitem(sys.modules, "matplotlib", None)
    with pytest.raises(ImportError, match=r"pip install 'cellfit\[plot\]'"):
        report.write_report(fitted_cell)


def test_figure_helpers_in_plain_words_and_from_the_pulse_start():
    pytest.importorskip("matplotlib")
    from cellkit.report import _median_table
    from cellkit.report_figures import _from_pulse_start, plain_flags

    assert plain_flags("C2_at_bound;not_converged") == (
        "C2 on a fit bound, fit not converged"
    )
    # a rest logged every 60 s before a pulse at 100 s: drawn held up to the start,
    # a fiftieth of the window before it, not a minute-long slope
    frame = pd.DataFrame(
        {
            "time_s": [40.0, 100.1, 130.0, 200.0],
            "voltage_v": [4.0, 3.8, 3.7, 3.95],
            "model_v": [4.0, 3.81, 3.7, 3.95],
        }
    )
    t, measured, fitted = _from_pulse_start(frame, 100.0)
    assert_allclose(t, [-2.0, 0.0, 0.1, 30.0, 100.0])
    assert_allclose(measured, [0.0, 0.0, -200.0, -300.0, -50.0])
    assert_allclose(fitted[:3], [0.0, 0.0, -190.0])
    # one temperature: the medians as a table, a bound in red
    params = [("a_Tp25", {"TempC": 25, "Tparam_1": 3.2, "Tparam_2": [0.04, 0.01, 5e4]})]
    html = _median_table(params, {})
    assert "<td>40.00</td>" in html
    assert '<span class="bad">5e+04</span>' in html
