"""The optional joint two-RC fit ("fit_method": "joint"): it recovers a known two-RC cell
where the two passes cannot, leaves every other run exactly as it was, and refuses
unknown methods before anything is written."""

from __future__ import annotations

import json
import re

import generate_demo_cell as demo
import numpy as np
import pulse_records
import pytest
from conftest import cell_folder, run_cellfit

TEMPS_C = (-10, 25, 45)
NAMES = ("R0", "R1", "C1", "R2", "C2")


def protocol() -> pulse_records.Protocol:
    """Long 1C pulses with 25 min rests, 1 s sampling: both relaxations show fully."""
    return pulse_records.Protocol(
        current_a=-2.5,
        pulse_s=300.0,
        rest_s=1500.0,
        first_rest_s=300.0,
        n_pulses=5,
        end_v=3.0,
        final_s=4 * 3600.0,
    )


def truth(temp_c: float) -> np.ndarray:
    cell = demo.cell_at(temp_c)  # Arrhenius-scaled: R0 30, R1 15, R2 20 mOhm at 25 degC
    return np.array([cell.r0, cell.r1, cell.c1, cell.r2, cell.c2])


def demo_records() -> dict:
    return {
        demo.record_name(t): (pulse_records.simulate(demo.cell_at(t), protocol()), t)
        for t in TEMPS_C
    }


def medians(workdir, temp_c) -> np.ndarray:
    name = demo.record_name(temp_c).removesuffix(".csv")
    params = json.loads((workdir / "results" / f"{name}_params.json").read_text())
    return np.array(params["Tparam_2"])


@pytest.fixture(scope="module")
def runs(tmp_path_factory):
    """The three records fitted once with each method: (workdir, Run) per method."""
    records = demo_records()
    out = {}
    for method in ("two_pass", "joint"):
        folder = tmp_path_factory.mktemp(method)
        workdir = cell_folder(
            folder, records, model="model2", low_cutoff=3.0, fit_method=method
        )
        out[method] = (workdir, run_cellfit(folder, ["results", "rms_lsq"]))
        assert out[method][1].returncode == 0, out[method][1].stderr
    return out


@pytest.mark.parametrize("temp_c", TEMPS_C, ids=[f"{t}C" for t in TEMPS_C])
def test_joint_fit_recovers_the_cell(runs, temp_c):
    want = truth(temp_c)
    joint = medians(runs["joint"][0], temp_c) / want - 1
    # the records hold the current between samples where the model ramps it, and the
    # OCV under a pulse is a straight ramp between two rested voltages: those cost a
    # few percent (up to 7 % on R1 at 45 degC), the fit itself almost nothing
    resistances, capacitances = joint[[0, 1, 3]], joint[[2, 4]]
    assert np.all(np.abs(resistances) < 0.10), dict(zip(NAMES, joint))
    assert np.all(np.abs(capacitances) < (0.10 if temp_c >= 25 else 0.25)), dict(
        zip(NAMES, joint)
    )
    # the same records defeat the two passes: the fast pair takes up part of the slow
    two_pass = medians(runs["two_pass"][0], temp_c) / want - 1
    assert two_pass[1] > 0.3
    assert two_pass[3] < -0.3


def test_joint_rows_log_and_order(runs):
    run = runs["joint"][1]
    rows = run.attrs["results"]
    log = run.log
    starts = [
        k
        for k, line in enumerate(log)
        if line == "INFO:--- Joint fit of both RC pairs ----"
    ]
    # one joint fit per cycle of every record, each after its cycle's second pass
    assert len(starts) == 3 * 5
    assert log.index("INFO:joint fit of both RC pairs selected") < log.index(
        "INFO:---- 1st pass ---"
    )
    last = starts[-5:]  # the last record's cycles are the rows left in the workspace
    for row, start in zip(rows, last):
        assert log[start - 3] == "INFO:--- 2nd Pass ----"
        # a fit that ends with the pairs the other way round says so, and swaps them
        k = start + (log[start + 1] == "INFO:pairs reordered so that R1 C1 < R2 C2")
        r0, r1, c1, r2, c2 = row[3]
        assert log[k + 1] == f"INFO:params = {row[3]!r}"
        assert r1 * c1 < r2 * c2  # the fast pair first
        assert row[1] == [str(r0), str(r1 * c1), str(r2 * c2)]
        assert log[k + 2] == f"INFO:rms_err = {row[0] * 1000!r} mV"
        assert row[0] < 1e-3  # noise-free: only the hold and the OCV ramp are left
        t_vec, yout = row[4]
        assert len(t_vec) == len(yout)
        errors = re.fullmatch(r"INFO:joint std errors = \[(.*)\]", log[k + 3])
        se = np.array([float(v) for v in errors.group(1).split(", ")])
        assert se.shape == (5,)
        assert np.all(np.isfinite(se) & (se > 0))
        assert log[k + 4].startswith("INFO:joint relative std errors = [")
        assert log[k + 4].endswith("] %")
    assert run.attrs["rms_lsq"] == rows[-1][0]


TWO_RC = pulse_records.Cell(r0=0.03, r1=0.015, c1=1000.0, r2=0.02, c2=7500.0)


@pytest.fixture(scope="module")
def two_rc_record():
    return pulse_records.simulate(
        TWO_RC, pulse_records.Protocol(n_pulses=3, rest_s=900)
    )


def comparable(tmp_path, run) -> tuple:
    """What a run leaves for the user, with the run's folder and timings taken out."""
    log = [
        line.replace(str(tmp_path), "<tmp>")
        for line in run.log
        if not line.startswith("INFO:Total runtime = ")
    ]
    results = tmp_path / "cell" / "results"
    # the manifest holds the run's times and settings
    files = {
        p.name: p.read_text()
        for p in sorted(results.iterdir())
        if p.name != "manifest.json"
    }
    return run.returncode, run.stdout, log, files


@pytest.mark.parametrize(
    ("model", "variants"),
    [
        ("model2", [{"fit_method": "two_pass"}, {"fit_method": None}]),
        ("model1", [{"fit_method": "joint"}, {"fit_method": "two_pass"}]),
    ],
    ids=["model2-default-is-two-pass", "model1-ignores-the-method"],
)
def test_runs_that_the_key_leaves_unchanged(tmp_path, two_rc_record, model, variants):
    def run(folder, **extra):
        folder.mkdir()
        cell_folder(
            folder,
            {"a_Tp25.csv": (two_rc_record, 25)},
            model=model,
            total_number_of_cycles=2,
            **extra,
        )
        return comparable(folder, run_cellfit(folder))

    without_key = run(tmp_path / "plain")
    assert without_key[0] == 0, without_key[2]
    for k, extra in enumerate(variants):
        assert run(tmp_path / f"variant{k}", **extra) == without_key, extra


ACCEPTED = (
    'use "two_pass" (the fast pair from the voltage fall, then the slow pair), '
    '"joint" (then all five parameters together) or "pulse_test" (every pulse by '
    "the pulse-test engine)"
)


@pytest.mark.parametrize(
    ("model", "method", "shown"),
    [
        ("model2", "three_pass", "'three_pass'"),
        ("model2", "Joint", "'Joint'"),
        ("model2", "", "''"),
        ("model2", 2, "2"),
        ("model2", ["joint"], "['joint']"),
        ("model1", "joint-fit", "'joint-fit'"),
    ],
    ids=["unknown", "capitalised", "empty", "number", "list", "model1-too"],
)
def test_unknown_fit_method_is_refused(tmp_path, one_rc_record, model, method, shown):
    cell_folder(
        tmp_path, {"a_Tp25.csv": (one_rc_record, 25)}, model=model, fit_method=method
    )
    run = run_cellfit(tmp_path)
    assert run.returncode == 1
    message = f"Unknown fit_method {shown} in './input_params.json': {ACCEPTED}"
    assert run.stderr.endswith(f"\n\n{message}\n\n"), run.stderr  # framed by breaks
    assert "Traceback" not in run.stderr
    assert not (tmp_path / "cell" / "results").exists()  # refused before any write


CHECKS = r"""
import _cellkernels
cf = cellfit
t = np.arange(0.0, 900.0) + 3000.0
x = np.where((t >= 3010.0) & (t < 3310.0), -2.5, 0.0)
p = [0.03, 0.015, 1333.3, 0.02, 7500.0]
cf.t_vec, cf.xdata = t, x
cf.gr0, cf.gr1, cf.gc1 = p[:3]
y = cf.model2_joint(x, *p)
out = {}
out["vs_r2c2"] = float(np.max(np.abs(y - cf.model2_r2c2(x, p[3], p[4]))))
out["vs_kernel"] = float(np.max(np.abs(y - _cellkernels.rc_circuit(t, x, p[0], p[1::2], p[2::2]))))
out["scale"] = float(np.max(np.abs(y)))
cf.ydata = y + 0.001
out["residual"] = cf.fit_ls_joint(np.array(p)).tolist()[:3]
jac = cf.jac_ls_joint(p)
fd = []
for j in range(5):
    up, down = list(p), list(p)
    up[j] *= 1 + 1e-5
    down[j] *= 1 - 1e-5
    col = (cf.fit_ls_joint(up) - cf.fit_ls_joint(down)) / (2e-5 * p[j])
    fd.append(float(np.max(np.abs(col - jac[:, j])) / np.max(np.abs(jac[:, j]))))
out["fd"] = fd
out["jac_shape"] = list(jac.shape)
errors = {}
for label, call in {
    "four": lambda: cf.fit_ls_joint(p[:4]),
    "six": lambda: cf.jac_ls_joint(p + [1.0]),
    "model-args": lambda: cf.model2_joint(x, *p[:4]),
}.items():
    try:
        call()
    except (TypeError, ValueError) as e:
        errors[label] = type(e).__name__ + ": " + str(e)
out["errors"] = errors
cellfit.checks = out
"""


def test_joint_functions_in_the_namespace(tmp_path, two_rc_record):
    cell_folder(
        tmp_path,
        {"a_Tp25.csv": (two_rc_record, 25)},
        model="model2",
        fit_method="joint",
        total_number_of_cycles=0,
    )
    run = run_cellfit(tmp_path, ["checks"], after=CHECKS)
    assert run.returncode == 0, run.stderr
    out = run.attrs["checks"]
    # the same exact first-order hold as the transfer-function model through lsim2, and
    # the same simulator as the kernel: the transfer function's canonical realisation
    # mixes the two time constants and costs a few digits, nothing more
    assert out["vs_r2c2"] < 1e-12 * out["scale"]
    assert out["vs_kernel"] == 0.0
    assert out["residual"] == pytest.approx([0.001] * 3, abs=1e-15)  # measured - model
    assert out["jac_shape"] == [900, 5]
    # central differences with a 1e-5 relative step agree to ~1e-9 of each column
    assert max(out["fd"]) < 1e-7
    assert out["errors"] == {
        "four": "ValueError: fit_ls_joint: params must hold 5 values (R0, R1, C1, "
        "R2, C2), got 4",
        "six": "ValueError: jac_ls_joint: params must hold 5 values (R0, R1, C1, "
        "R2, C2), got 6",
        "model-args": "TypeError: model2_joint() takes exactly 6 positional "
        "arguments (5 given)",
    }
