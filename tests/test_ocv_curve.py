"""The OCV-SOC curve, the OCV over time and the voltage residual of a record."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pulse_records
import pytest
from conftest import cell_folder, copy_record, run_cellfit
from scipy.interpolate import UnivariateSpline

NO_CYCLES = {"total_number_of_cycles": 0}
OCV_NAMES = [
    "soc",
    "vsoc",
    "SOC",
    "OCV_3rd",
    "vsoc_time",
    "vsoc_val",
    "vsoc_val_itrp",
    "ocv_diff",
    "ind_slice",
    "idx_rest",
    "idx_load",
    "idx_end",
    "t",
    "v",
    "iload",
    "cum_mAh",
]


def run_record(tmp_path, rec, **config):
    cell_folder(tmp_path, {"a_Tp25.csv": (rec, 25)}, **{**NO_CYCLES, **config})
    run = run_cellfit(
        tmp_path, OCV_NAMES, after="same = cellfit.ind_slice is cellfit.idx_rest"
    )
    assert run.returncode == 0, run.stderr
    ws = {k: np.asarray(v) if isinstance(v, list) else v for k, v in run.attrs.items()}
    return ws, pd.read_csv(tmp_path / "cell" / "raw_data" / "a_Tp25.csv")


def trapezoid(y, x):
    # numpy 2 renamed trapz; compare with whichever name this numpy has
    f = np.trapezoid if hasattr(np, "trapezoid") else getattr(np, "trapz")  # noqa: B009
    return f(y=y, x=x)


def test_ocv_soc_points_and_grid_curve(tmp_path, one_rc_record):
    ws, _ = run_record(tmp_path, one_rc_record)
    rests = ws["idx_rest"][:-1]
    # SOC grid and the cubic spline through the rested points, exactly scipy's
    assert ws["SOC"].size == 201
    assert ws["SOC"][0] == 0.0
    assert ws["SOC"][-1] == 1.0
    spline = UnivariateSpline(ws["soc"][::-1], ws["vsoc"][::-1], k=3, s=0, ext=0)
    assert ws["OCV_3rd"].tolist() == spline(np.arange(0, 1.005, 0.005)).tolist()
    # the record starts at rest: no charge before the first rest end, SOC exactly 1
    assert ws["soc"][0] == 1.0
    # one sample two before each rest's last one, SOC from numpy's trapezoid over [0, k)
    assert ws["vsoc"].tolist() == ws["v"][rests - 2].tolist()
    for k, soc in zip(rests, ws["soc"]):
        mAh = trapezoid(1000.0 * ws["iload"][:k], ws["t"][:k]) / 3600.0
        assert soc == 1 + mAh / ws["cum_mAh"][-1]
    # the OCV falls with the charge drawn, close to the cell's own curve
    truth = pulse_records.default_ocv(1 - (1 - ws["soc"]) * ws["cum_mAh"][-1] / 2000)
    assert np.all(np.diff(ws["soc"]) < 0)
    assert np.max(np.abs(ws["vsoc"] - truth)) < 5e-3  # not fully relaxed after 600 s


def test_rested_windows_one_sample_vs_two(tmp_path, one_rc_record):
    rec = copy_record(one_rc_record)
    k = 809  # the second rest end
    rec["v"][k - 3], rec["v"][k - 2] = 4.0, 4.1
    ws, _ = run_record(tmp_path, rec)
    j = list(ws["idx_rest"]).index(k)
    assert ws["vsoc"][j] == 4.1  # the OCV-SOC point: sample k-2 alone
    assert ws["vsoc_val"][2 * j] == ws["vsoc_val"][2 * j + 1] == (4.0 + 4.1) / 2


def test_knots_in_the_usual_layout(tmp_path, one_rc_record):
    ws, _ = run_record(tmp_path, one_rc_record)
    rests, loads, n = ws["idx_rest"][:-1], ws["idx_load"], ws["idx_end"]
    r = rests.size
    assert loads.size == r - 1  # the record ends inside its last pulse
    assert ws["vsoc_time"].size == ws["vsoc_val"].size == 2 * r + 1
    t, v = ws["t"], ws["v"]
    want_t = np.r_[0.0, t[np.sort(np.r_[rests, loads])], t[-1]]
    o = (v[rests - 3] + v[rests - 2]) / 2
    want_v = np.r_[np.repeat(o, 2), v[n - 2]]
    assert ws["vsoc_time"].tolist() == want_t.tolist()
    assert ws["vsoc_val"].tolist() == want_v.tolist()
    assert ws["ocv_diff"].tolist() == (v - np.interp(t, want_t, want_v)).tolist()
    assert ws["ind_slice"].tolist() == [*rests.tolist(), n]


def test_as_many_load_ends_as_rest_ends(tmp_path, one_rc_record):
    # the cut-off is crossed in the rest after pulse 4: pulses 1..4 all have load ends
    rec = copy_record(one_rc_record)
    rec["v"][59 + 3 * 750 + 400] = 3.0
    ws, _ = run_record(tmp_path, rec)
    r = ws["idx_rest"].size - 1
    assert ws["idx_load"].size == r == 4
    assert ws["vsoc_time"].size == ws["vsoc_val"].size == 2 * r + 1  # lost t(n-1)
    assert ws["vsoc_time"][-1] == ws["t"][ws["idx_load"][-1]]
    assert ws["vsoc_val"][-1] == ws["v"][ws["idx_end"] - 2]


def test_pulse_without_load_end_ramps_to_the_next_rest(tmp_path):
    rec = pulse_records.simulate(
        pulse_records.Cell(), pulse_records.Protocol(n_pulses=6)
    )
    start = 60 + 2 * 750 + 60  # pulse 3 lasts 60 samples only: no load end
    rec["i"][start : start + 90] = 0.0
    ws, _ = run_record(tmp_path, rec)
    rests, t, v = ws["idx_rest"][:-1], ws["t"], ws["v"]
    o = (v[rests - 3] + v[rests - 2]) / 2
    # pulse 3 contributes its rest-end knot only; the others keep both knots
    assert ws["vsoc_time"][5:8].tolist() == [
        t[rests[2]],
        t[rests[3]],
        t[rests[3] + 150],
    ]
    assert ws["vsoc_val"][5:8].tolist() == [o[2], o[3], o[4]]
    assert ws["vsoc_time"].size == ws["vsoc_val"].size == 2 * rests.size
    assert np.all(np.isfinite(ws["ocv_diff"]))


def test_rest_end_at_the_record_start_uses_the_first_samples(tmp_path, one_rc_record):
    rec = {
        k: v[59:].copy() for k, v in one_rc_record.items()
    }  # first pulse after 1 sample
    rec["t"] -= rec["t"][0]
    ws, _ = run_record(tmp_path, rec)
    assert ws["idx_rest"][0] == 0
    assert (
        ws["vsoc"][0] == ws["vsoc_val"][0] == ws["v"][0]
    )  # never from the record's end
    assert np.all(np.isfinite(ws["ocv_diff"]))


@pytest.mark.parametrize(
    ("pulses", "message"),
    [(2, "at least 4 rest periods are needed for the OCV curve, found 3")],
    ids=["three-rests"],
)
def test_too_few_rests(tmp_path, pulses, message):
    rec = pulse_records.simulate(
        pulse_records.Cell(), pulse_records.Protocol(n_pulses=pulses, end_v=3.0)
    )
    cell_folder(tmp_path, {"a_Tp25.csv": (rec, 25)}, low_cutoff=3.3, **NO_CYCLES)
    run = run_cellfit(tmp_path)
    assert run.returncode == 1
    assert f"a_Tp25.csv: {message}" in run.stderr


def test_rests_without_charge_between_them(tmp_path, one_rc_record):
    rec = copy_record(one_rc_record)
    # the current falls twice in a row (0 -> -1.5 -> -3.5 A): two rest ends, 29 and 30,
    # with no charge counted between them
    rec["i"][30], rec["i"][31] = -1.5, -3.5
    cell_folder(tmp_path, {"a_Tp25.csv": (rec, 25)}, **NO_CYCLES)
    run = run_cellfit(tmp_path)
    assert run.returncode == 1
    assert (
        "the SOC does not fall between the rests ending at samples 29 and 30"
        in run.stderr
    )


def test_rest_after_a_gap_in_the_record(tmp_path, one_rc_record):
    # an hour with no samples before the last rest sample but one, in which the cell
    # was discharged (its voltage after the gap 50 mV lower)
    rec = copy_record(one_rc_record)
    k = 59 + 2 * 750
    rec["t"][k - 1 :] += 3600.0
    rec["v"][k - 1 :] -= 0.05
    cell_folder(tmp_path, {"a_Tp25.csv": (rec, 25)}, **NO_CYCLES)
    run = run_cellfit(tmp_path, OCV_NAMES)
    ws = {name: np.asarray(value) for name, value in run.attrs.items()}
    assert any(
        line.startswith("WARNING:")
        and f"rests ending at samples [{k}] follow a gap" in line
        for line in run.log
    )
    t, v = ws["t"], ws["v"]
    j = list(ws["vsoc_time"]).index(t[k])
    # flat at the rest's usual rested voltage up to the gap, then the voltage after it
    assert ws["vsoc_time"][j - 1] == t[k - 2]
    assert ws["vsoc_val"][j - 1] == (v[k - 3] + v[k - 2]) / 2
    assert ws["vsoc_val"][j] == v[k - 1]
    # the OCV-SOC point keeps its one-sample window
    assert ws["vsoc"][2] == v[k - 2]
