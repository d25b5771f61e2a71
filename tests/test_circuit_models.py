"""The circuit models and residual functions as they live in the loaded cellfit
namespace: late binding of the window, argument handling, and the simulator they call."""

from __future__ import annotations

import json
import subprocess
import sys

import pytest
from conftest import cell_folder, run_cellfit

CHECKS = r"""
import json, math
import numpy as np
import cellfit as cf

out = {}
t = np.arange(0.0, 300.0) + 5000.0  # absolute record times: only elapsed time matters
cf.t_vec = t
x = np.full(t.size, -2.0)
r0, r1, c1, r2, c2 = 0.03, 0.015, 1000.0, 0.02, 7500.0
cf.gr0, cf.gr1, cf.gc1 = r0, r1, c1
el = t - t[0]
want1 = -2.0 * (r0 + r1 * (1 - np.exp(-el / (r1 * c1))))
want2 = want1 - 2.0 * r2 * (1 - np.exp(-el / (r2 * c2)))
y1 = cf.model1(x, r0, r1, c1)
y2 = cf.model2_r2c2(x, r2, c2)
out["step1"] = float(np.max(np.abs(y1 - want1) / np.abs(want1)))
out["step2"] = float(np.max(np.abs(y2 - want2) / np.abs(want2)))
out["first"] = [float(y1[0]), float(y2[0])]
out["keywords"] = bool(np.array_equal(cf.model1(x=x, r0=r0, r1=r1, c1=c1), y1))
out["mixed"] = bool(np.array_equal(cf.model2_r2c2(x, c2=c2, r2=r2), y2))

cf.t_vec = t - 5000.0
out["shift"] = bool(np.array_equal(cf.model1(x, r0, r1, c1), y1))
cf.gr0 = 2 * r0  # the two-RC model follows the first-pass values without rebinding
out["late_gr0"] = float(cf.model2_r2c2(x, r2, c2)[0])
cf.gr0 = r0

cf.xdata, cf.ydata = x, y2
out["residual2"] = float(np.max(np.abs(cf.fit_ls2([r2, c2]))))
cf.ydata = y1
res = cf.fit_ls1(np.array([r0, r1, c1]))
out["residual1"] = float(np.max(np.abs(res)))
out["sign"] = float(cf.fit_ls1([r0 * 2, r1, c1])[5])  # measured minus modelled

errors = {}
for label, call in {
    "model1-3": lambda: cf.model1(x, r0, r1),
    "model1-5": lambda: cf.model1(x, r0, r1, c1, 1.0),
    "model2-6": lambda: cf.model2_r2c2(x, 1, 2, 3, 4, 5),
    "model1-kw": lambda: cf.model1(x, r0, r1, c=1.0),
    "fit_ls1-2": lambda: cf.fit_ls1([1, 2, 3], 4),
}.items():
    try:
        call()
    except TypeError as e:
        errors[label] = str(e)
out["errors"] = errors

del cf.gr0
try:
    cf.model2_r2c2(x, r2, c2)
except NameError as e:
    out["name_error"] = str(e)

calls = []
def fake_lsim2(system, U=None, T=None, **kw):
    calls.append([list(map(float, system[0])), list(system[1]), kw])
    return T, np.ones_like(T), None
cf.lsim2 = fake_lsim2
out["replaced"] = cf.model1(x, r0, r1, c1).tolist()[:2]
out["calls"] = calls
out["den_last_type"] = type(calls[0][1][-1]).__name__
print("@@" + json.dumps(out))
"""


@pytest.fixture(scope="module")
def checks(tmp_path_factory, request):
    tmp = tmp_path_factory.mktemp("models")
    one_rc = request.getfixturevalue("one_rc_record")
    cell_folder(tmp, {"a_Tp25.csv": (one_rc, 25)}, total_number_of_cycles=0)
    (tmp / "checks.py").write_text(CHECKS)
    proc = subprocess.run(
        [sys.executable, "checks.py"],
        cwd=tmp,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.rpartition("@@")[2])


@pytest.fixture(scope="module")
def one_rc_record():
    import pulse_records

    return pulse_records.simulate(
        pulse_records.Cell(), pulse_records.Protocol(n_pulses=6)
    )


def test_step_responses_match_the_closed_forms(checks):
    # exact discretisation of a constant input: only rounding separates it from exp()
    assert checks["step1"] < 1e-10
    assert checks["step2"] < 1e-10
    # the series resistance passes the present current at once
    assert checks["first"] == [pytest.approx(0.03 * -2.0, rel=1e-15)] * 2


def test_window_is_read_at_every_call(checks):
    assert checks["shift"], "shifting the window's times changed the output"
    assert checks["late_gr0"] == pytest.approx(2 * 0.03 * -2.0, rel=1e-15)
    assert checks["keywords"]
    assert checks["mixed"]


def test_residuals_vanish_at_the_true_parameters(checks):
    assert checks["residual1"] == 0.0  # same model, same window: identical numbers
    assert checks["residual2"] == 0.0
    assert checks["sign"] > 0  # a larger R0 models a deeper drop than measured


def test_argument_errors_read_like_compiled_functions(checks):
    assert checks["errors"] == {
        "model1-3": "model1() takes exactly 4 positional arguments (3 given)",
        "model1-5": "model1() takes exactly 4 positional arguments (5 given)",
        "model2-6": "model2_r2c2() takes exactly 3 positional arguments (6 given)",
        "model1-kw": "model1() got an unexpected keyword argument 'c'",
        "fit_ls1-2": "fit_ls1() takes exactly 1 positional argument (2 given)",
    }
    assert checks["name_error"] == "name 'gr0' is not defined"


def test_a_replaced_lsim2_is_called_as_scipy_would_be(checks):
    assert checks["replaced"] == [1.0, 1.0]
    ((num, den, kwargs),) = checks["calls"]
    assert num == [1000.0 * 0.03 * 0.015, 0.03 + 0.015]
    assert den == [0.015 * 1000.0, 1]
    assert checks["den_last_type"] == "int"
    assert kwargs == {"hmax": 0.5}


def test_models_are_bound_in_the_namespace_after_a_run(tmp_path, one_rc_record):
    cell_folder(tmp_path, {"a_Tp25.csv": (one_rc_record, 25)}, total_number_of_cycles=0)
    run = run_cellfit(
        tmp_path, ["model1", "model2_r2c2", "fit_ls1", "fit_ls2", "lsim2"]
    )
    assert run.returncode == 0, run.stderr
    assert all(v is not None for v in run.attrs.values())
