"""battery_tables.json: OCV and circuit parameters over SOC and temperature, built by
cellgen from the parameter files and the pulse files beside them.

The pulse files are generated from known parameter functions, linear in SOC between
the pulses, so the tables must hold them exactly where a pulse is near.
"""

from __future__ import annotations

import json
import logging
import math

import _cellkernels
import cellgen
import numpy as np
import pulse_records
import pytest
import scipy.io
from model_reference import write_params, write_pulses
from numpy.testing import assert_allclose
from scipy.optimize import isotonic_regression

SOC = np.arange(201) / 200
NEAR = [  # pulse SOCs, values, grid points, expected values there (None: NaN)
    ("between", [0.2, 0.6], [1.0, 3.0], [0.2, 0.3, 0.6], [1.0, 1.5, 3.0]),
    ("held-within-reach", [0.2, 0.6], [1.0, 3.0], [0.15, 0.65], [1.0, 3.0]),
    ("beyond-reach", [0.2, 0.6], [1.0, 3.0], [0.145, 0.655, 0.0], [None] * 3),
    ("unsorted-equal-soc", [0.6, 0.2, 0.2], [3.0, 1.0, 2.0], [0.2, 0.4], [1.5, 2.25]),
    ("nan-value-skipped", [0.2, 0.4, 0.6], [1.0, math.nan, 3.0], [0.4], [2.0]),
    ("single-pulse", [0.5], [2.0], [0.45, 0.5, 0.56], [2.0, 2.0, None]),
    ("no-pulse", [], [], [0.5], [None]),
]


@pytest.mark.parametrize(
    ("soc", "values", "grid", "want"),
    [row[1:] for row in NEAR],
    ids=[row[0] for row in NEAR],
)
def test_near_rule(soc, values, grid, want):
    got = _cellkernels.near_pulse_values(soc, values, grid, 0.05)
    want = np.array([math.nan if w is None else w for w in want])
    assert_allclose(got, want, rtol=1e-14, equal_nan=True)


def test_nondecreasing_fit_is_scipys_isotonic_regression():
    rng = np.random.default_rng(3)
    x = np.cumsum(rng.normal(0.01, 0.05, 300))
    got = _cellkernels.nondecreasing_fit(np.concatenate([[math.nan], x, [math.nan]]))
    assert np.isnan(got[[0, -1]]).all()
    # the same pooling, summed in another order
    assert_allclose(got[1:-1], isotonic_regression(x).x, rtol=0, atol=1e-12)


def scale(temp_c):
    """Arrhenius-like factor: resistances rise in the cold."""
    return math.exp(1500.0 * (1 / (273.15 + temp_c) - 1 / 298.15))


def known(kind, soc, temp_c):
    """The cell's R0, R1, C1, R2, C2 at soc: linear in SOC, charge 10 % lower."""
    r0 = 0.03 * scale(temp_c) * (1.2 - 0.4 * soc) * (0.9 if kind == "charge" else 1)
    return [r0, 0.5 * r0, 800.0 + 400.0 * soc, 0.4 * r0, 9000.0 - 2000.0 * soc]


def ocv_with_dip(soc, temp_c):
    """A rising OCV with a small dip near SOC 0.5 that makes it non-monotone."""
    dip = 0.004 * np.exp(-(((soc - 0.5) / 0.01) ** 2))
    return pulse_records.default_ocv(soc) + 0.0003 * temp_c - dip


DISCHARGE_SOC = np.round(np.arange(0.95, 0.1, -0.1), 10)  # 0.95 ... 0.15
CAPACITY_AH = 2.5
RECORDS = {"-10": -10, "25": 25, "45": 45}  # 45 °C: discharge pulses only


def pulse_rows(temp_c, pairs):
    rows = []
    for s in DISCHARGE_SOC:
        rows.append(("discharge", s, -6.0, known("discharge", s, temp_c)))
        if temp_c != 45:
            rows.append(("charge", s - 0.01, 4.0, known("charge", s - 0.01, temp_c)))
    out = []
    for kind, s, current, circuit in rows:
        values = dict(
            zip(["R0", "R1", "C1", "R2", "C2"], circuit[: 3 + 2 * (pairs - 1)])
        )
        out.append(
            {"kind": kind, "soc": s, "current_A": current, "duration_s": 10.0, **values}
        )
    # fits that hit a bound or did not converge must stay out of the tables
    bad = {"R0": 5.0, "R1": 5.0, "C1": 1.0, "R2": 5.0, "C2": 1.0}
    out.append({**out[2], **bad, "soc": 0.55, "flags": "R0_at_bound"})
    out.append({**out[3], **bad, "soc": 0.53, "flags": "rms_high;not_converged"})
    return out


@pytest.fixture(params=[1, 2], ids=["one-rc", "two-rc"])
def cell_results(request, tmp_path, monkeypatch):
    """Results of a cell at -10, 25 and 45 °C with pulse files, and one at 0 °C
    without."""
    monkeypatch.chdir(tmp_path)
    pairs = request.param
    results = tmp_path / "cell" / "results"
    results.mkdir(parents=True)
    for label, t in {**RECORDS, "0": 0}.items():
        circuit = known("discharge", 0.5, t)[: 3 + 2 * (pairs - 1)]
        name = f"c_T{label}"
        ocv = ocv_with_dip(SOC, t).tolist()
        write_params(results, name, t, CAPACITY_AH, circuit, SOC.tolist(), ocv)
        if t != 0:
            write_pulses(results, name, pulse_rows(t, pairs))
    return results, pairs


def build_tables(results, velmarrun=False):
    cellgen.write_battery_model_file(str(results.parent), 3.0, 4.2, velmarrun)
    text = (results / "battery_tables.json").read_text()

    def no_constants(name):
        raise ValueError(f"battery_tables.json holds {name}")

    return json.loads(text, parse_constant=no_constants)


def as_array(rows):
    return np.array([[math.nan if v is None else v for v in row] for row in rows])


def test_tables_hold_the_known_parameters_near_the_pulses(cell_results):
    results, pairs = cell_results
    tables = build_tables(results)
    assert tables["temps"] == [-10.0, 25.0, 45.0]  # 0 °C has no pulse file
    assert tables["soc"] == SOC.tolist()
    assert tables["voltage_limits"] == [3.0, 4.2]
    names = ["R0", "R1", "C1", "R2", "C2"][: 3 + 2 * (pairs - 1)]
    for kind, lowest in (("discharge", 0.15), ("charge", 0.14)):
        assert list(tables[kind]) == names
        highest = lowest + 0.8
        near = (lowest - 0.05 - 1e-9 <= SOC) & (highest + 0.05 + 1e-9 >= SOC)
        for j, t in enumerate(tables["temps"]):
            held = np.clip(SOC, lowest, highest)  # end values held within the reach
            want = np.array([known(kind, s, t) for s in held])[:, : len(names)]
            want[~near] = math.nan
            if kind == "charge" and t == 45:
                want[:] = math.nan  # a record without charge pulses
            for k, name in enumerate(names):
                got = as_array(tables[kind][name])[:, j]
                # linear in SOC, so interpolation is exact up to rounding
                assert_allclose(got, want[:, k], rtol=1e-12, equal_nan=True)


def test_ocv_is_monotone_and_null_outside_the_rests(cell_results):
    results, _ = cell_results
    tables = build_tables(results)
    ocv = as_array(tables["ocv"])
    # rests from the lowest pulse start (a charge pulse at 0.14) or the lowest
    # discharge pulse's end (45 °C has no charge pulses) up to the highest pulse start
    ends = [0.14, 0.14, 0.15 - 6.0 * 10.0 / 3600 / CAPACITY_AH]
    assert_allclose(tables["rested_soc"], [[e, 0.95] for e in ends], rtol=1e-12)
    for j, t in enumerate(tables["temps"]):
        inside = (ends[j] - 1e-9 <= SOC) & (SOC <= 0.95 + 1e-9)
        column = ocv[:, j]
        assert np.isnan(column[~inside]).all()
        assert (np.diff(column[inside]) >= 0).all()
        curve = ocv_with_dip(SOC, t)
        # the dip is pooled away; away from it the curve stands as it was
        assert np.abs(column - curve)[inside].max() < 4e-3
        away = inside & (np.abs(SOC - 0.5) > 0.05)
        assert_allclose(column[away], curve[away], rtol=0, atol=1e-15)


def test_mat_file_and_log_lines(cell_results, caplog):
    results, _ = cell_results
    caplog.set_level(logging.INFO, logger="cellgen")
    tables = build_tables(results, velmarrun=True)
    mat = scipy.io.loadmat(str(results / "battery_tables.mat"))["tables"][0, 0]
    assert_allclose(
        mat["discharge"][0, 0]["R0"],
        as_array(tables["discharge"]["R0"]),
        equal_nan=True,
    )
    assert_allclose(mat["ocv"], as_array(tables["ocv"]), equal_nan=True)
    assert [r.getMessage() for r in caplog.records] == [
        "Saved file 'battery_model.json'",
        "Saved file: 'battery_model.mat'",
        "battery_tables.json: no c_T0_pulses.csv, so its temperature (0.0) has no "
        "column",
        "Saved file 'battery_tables.json'",
        "Saved file: 'battery_tables.mat'",
    ]


BAD_PULSES = {
    "no-soc-column": ("kind,R0,R1,C1\ndischarge,0.03,0.01,900.0\n", 'no column "soc"'),
    "unknown-kind": (
        "kind,soc,current_A,duration_s,R0,R1,C1\nrest,0.5,0.0,10.0,0.03,0.01,900.0\n",
        "line 2: kind is 'rest', not 'discharge' or 'charge'",
    ),
    "text-in-r0": (
        "kind,soc,current_A,duration_s,R0,R1,C1\ndischarge,0.5,-6.0,10.0,x,0.01,9.0\n",
        'column "R0" is not numeric',
    ),
}


@pytest.mark.parametrize(
    ("text", "problem"), BAD_PULSES.values(), ids=BAD_PULSES.keys()
)
def test_bad_pulse_files(tmp_path, monkeypatch, text, problem):
    monkeypatch.chdir(tmp_path)
    results = tmp_path / "cell" / "results"
    results.mkdir(parents=True)
    write_params(results, "b", 25, 2.5, [0.03, 0.01, 900.0], SOC.tolist(), SOC.tolist())
    (results / "b_pulses.csv").write_text(text)
    (results / "battery_tables.json").write_text("earlier tables")
    with pytest.raises(ValueError, match=r"^b_pulses\.csv: ") as err:
        cellgen.write_battery_model_file(str(results.parent), 3.0, 4.2)
    assert problem in str(err.value)
    # the model files come first and stand; the earlier tables stay as they were
    assert (results / "battery_model.json").exists()
    assert (results / "battery_tables.json").read_text() == "earlier tables"
