"""HPPC figures: the pulse resistance read from the measured voltage (against the BAK
records' raw rows) and the pulse power at the voltage limits from the fitted circuit."""

from __future__ import annotations

import json
import math

import numpy as np
import pandas as pd
import pytest
from conftest import ROOT
from model_reference import write_pulses

from cellkit import fit_record
from cellkit.hppc import hppc_summary

BAK = ROOT.parent / "shared" / "data" / "bak_hppc"
LGM50 = ROOT.parent / "shared" / "data" / "lgm50_pulse"


def raw_resistance(t, v, i, start_s: float, after_s: float) -> float:
    """dV/dI read off the raw rows: the last rest row before the step (the row before a
    transition row, which reads 0 A with its voltage already moved), the voltage
    interpolated after_s into the pulse, over the pulse's median current."""
    first = np.searchsorted(t, start_s)
    rest = first - 1
    while abs(i[rest]) > 0.005 or abs(v[rest] - v[rest - 1]) > 0.005:
        rest -= 1
    stop = first + 1
    while abs(i[stop]) > 0.005:
        stop += 1
    under = slice(first, stop)
    v_after = np.interp(start_s + after_s, t[under], v[under])
    return (v_after - v[rest]) / (np.median(i[first + 1 : stop]) - i[rest])


@pytest.mark.skipif(not BAK.is_dir(), reason="no shared records")
@pytest.mark.parametrize("temp", [0, 10, 25, 35, 45])
def test_bak_pulse_resistance_at_10s_as_the_raw_rows_give_it(temp):
    path = BAK / "raw_data" / f"bak-hppc-{temp}c_Tp{temp}.csv"
    pulses = fit_record(path, cutoff_v=2.55).pulses
    rec = pd.read_csv(path)
    t, v, i = (rec[c].to_numpy() for c in ("Seconds", "Voltage(V)", "Current(A)"))
    raw = [raw_resistance(t, v, i, s, 10.0) for s in pulses["start_s"]]
    assert pulses["R_10s"].to_numpy() == pytest.approx(raw, rel=0.02)
    # 30 s discharge and 10 s charge pulses: every figure defined, growing with time
    # into the discharge pulses as the polarisation builds up
    discharge = pulses[pulses["kind"] == "discharge"]
    assert pulses[["R_1s", "R_10s", "R_end"]].notna().all(axis=None)
    assert (discharge["R_1s"] < discharge["R_10s"]).all()


@pytest.mark.skipif(not LGM50.is_dir(), reason="no shared records")
def test_lgm50_pulse_end_is_the_last_sample_under_load():
    # 10 s pulses logged every 0.1 s, the last row reading 0 A with the voltage still
    # down: the end reads that row, never the rest's first one a second later
    for path in sorted((LGM50 / "raw_data").glob("*.csv")):
        pulses = fit_record(path, cutoff_v=3.15).pulses
        ratio = (pulses["R_end"] / pulses["R_10s"]).to_numpy()
        assert ratio == pytest.approx(1.0, abs=0.05), path.name


def test_pulse_power_at_the_limits_from_the_fitted_circuit(tmp_path):
    results = tmp_path / "results"
    results.mkdir()
    (tmp_path / "input_params.json").write_text(
        json.dumps({"low_cutoff": 3.0, "high_cutoff": 4.2, "model": "model2"})
    )
    (results / "battery_model.json").write_text(json.dumps({"param_2": [2.99, 4.2]}))
    curve = {"TempC": 25, "Tparam_3": [[0.0, 1.0], [3.4, 4.2]]}
    (results / "a_Tp25_params.json").write_text(json.dumps(curve))
    circuit = {"R0": 0.03, "R1": 0.01, "C1": 1000.0, "R2": 0.02, "C2": 2500.0}
    rows = [
        {"kind": "discharge", "soc": 0.5, **circuit, "flags": ""},
        {"kind": "charge", "soc": 0.25, **circuit, "R2": None, "C2": None},
    ]
    write_pulses(results, "a_Tp25", rows)

    table = hppc_summary(tmp_path)
    r_10s = 0.03 + 0.01 * (1 - math.exp(-1.0)) + 0.02 * (1 - math.exp(-0.2))
    discharge, charge = table.iloc[0], table.iloc[1]
    assert discharge["R_pulse_ohm"] == pytest.approx(r_10s)
    assert discharge["power_W"] == pytest.approx(3.0 * (3.8 - 3.0) / r_10s)
    # one RC pair: R2 and C2 empty
    r_charge = 0.03 + 0.01 * (1 - math.exp(-1.0))
    assert charge["power_W"] == pytest.approx(4.2 * (4.2 - 3.6) / r_charge)
    assert charge["limit_V"] == 4.2
    assert (table["pulse_length_s"] == 10.0).all()
    # pulses files written before the measured resistance have no R_10s
    assert table["R_10s_measured_ohm"].isna().all()
