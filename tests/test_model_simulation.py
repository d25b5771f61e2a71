"""cellkit._engine.simulate_model, the merged model over a whole record, against a reference
built from numpy and scipy: SOC by scipy's trapezoid, OCV by numpy's interp, each RC
pair by scipy's first-order-hold lsim."""

from __future__ import annotations

import numpy as np
import pytest
from numpy.testing import assert_allclose
from scipy import signal
from scipy.integrate import cumulative_trapezoid

from cellkit import _engine

OCV_SOC = np.linspace(0.0, 1.0, 11)
OCV_V = 3.3 + 0.9 * OCV_SOC - 0.2 * np.exp(-OCV_SOC / 0.1)
R0, R_OHM, C_F = 0.03, [0.015, 0.02], [1000.0, 7500.0]


def pulse_current(n):
    """Pulses of -2 A and a charge pulse of +1 A, on and off, at 1 s steps."""
    i = np.zeros(n)
    for start in range(20, n - 40, 200):
        i[start : start + 60] = -2.0
    i[n - 40 : n - 20] = 1.0
    return i


def reference(t, i, capacity_ah):
    soc = 1.0 + cumulative_trapezoid(i, t, initial=0.0) / (3600.0 * capacity_ah)
    v = np.interp(soc, OCV_SOC, OCV_V) + R0 * i
    for r, c in zip(R_OHM, C_F):
        _, pair_v, _ = signal.lsim(([r], [r * c, 1.0]), i, t - t[0], interp=True)
        v += pair_v
    return v, soc


# with 0.02 Ah the SOC runs below the table, whose first OCV is then held
@pytest.mark.parametrize("capacity_ah", [0.5, 0.02], ids=["inside", "beyond-table"])
def test_simulate_model_matches_numpy_and_scipy(capacity_ah):
    t = 100.0 + np.arange(1000.0)
    i = pulse_current(t.size)
    got = _engine.simulate_model(t, i, OCV_SOC, OCV_V, capacity_ah, R0, R_OHM, C_F)
    want_v, want_soc = reference(t, i, capacity_ah)
    # same trapezoid sums as scipy: roundings only
    assert_allclose(got["soc"], want_soc, rtol=0, atol=1e-12)
    # lsim's matrix exponential and our exact step agree to rounding (about 1e-12 V
    # on pair voltages of some 10 mV)
    assert_allclose(got["voltage_v"], want_v, rtol=0, atol=1e-9)
    if capacity_ah < 0.1:
        assert got["soc"].min() < 0.0


@pytest.mark.parametrize(
    ("change", "message"),
    [
        ({"ocv_soc": OCV_SOC[::-1]}, "do not increase"),
        ({"current_a": np.r_[0.0, np.nan, 0.0]}, "current is not finite at sample 1"),
        ({"capacity_ah": 0.0}, "capacity must be positive"),
        ({"ocv_v": OCV_V[:5]}, "OCV table needs"),
        ({"time_s": [0.0, 2.0, 1.0]}, "strictly increasing"),
        ({"r_ohm": [0.01, 0.02]}, "differ in length"),
    ],
    ids=[
        "descending-table",
        "nan-current",
        "no-capacity",
        "short-ocv",
        "time-back",
        "pairs-mismatch",
    ],
)
def test_simulate_model_refuses_bad_input(change, message):
    args = {
        "time_s": [0.0, 1.0, 2.0],
        "current_a": [0.0, -1.0, 0.0],
        "ocv_soc": OCV_SOC,
        "ocv_v": OCV_V,
        "capacity_ah": 1.0,
        "r0_ohm": R0,
        "r_ohm": [0.01],
        "c_f": [100.0],
    }
    args.update(change)
    with pytest.raises(ValueError, match=message):
        _engine.simulate_model(**args)
