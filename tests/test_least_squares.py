"""The native bounded least-squares solver against scipy's least_squares (method
"trf") on the same residuals and Jacobians: the same minimum and the same active
bounds; the natively run circuit fit against the same fit through Python callables."""

from __future__ import annotations

import _cellkernels
import numpy as np
import pytest
from numpy.testing import assert_allclose, assert_array_equal
from scipy.optimize import least_squares

INF = np.inf
T_DECAY = np.linspace(0.0, 10.0, 200)
# a 30 s discharge pulse and 40 s of rest, sampled every 0.1 s
T_PULSE = np.arange(700) * 0.1
U_PULSE = np.where((T_PULSE >= 2.0) & (T_PULSE < 32.0), -5.0, 0.0)
TWO_RC = np.array([0.03, 0.01, 500.0, 0.02, 7500.0])  # R0, R1, C1, R2, C2: 5 s, 150 s
LOG_BOX = np.log([[1e-5, 1e-5, 1.0, 1e-5, 1.0], [1.0, 1.0, 1e6, 1.0, 1e6]])


def rosenbrock():
    def fun(x):
        return np.array([10.0 * (x[1] - x[0] ** 2), 1.0 - x[0]])

    def jac(x):
        return np.array([[-20.0 * x[0], 10.0], [-1.0, 0.0]])

    return fun, jac, [-1.2, 1.0], [-INF, -INF], [INF, INF]


def decay(tau_max):
    """a exp(-t/tau) + b with 0.01 of noise; the truth has tau = 3."""
    rng = np.random.default_rng(5)
    y = 2.0 * np.exp(-T_DECAY / 3.0) + 0.5 + rng.normal(0.0, 0.01, T_DECAY.size)

    def fun(x):
        return x[0] * np.exp(-T_DECAY / x[1]) + x[2] - y

    def jac(x):
        e = np.exp(-T_DECAY / x[1])
        return np.column_stack([e, x[0] * e * T_DECAY / x[1] ** 2, np.ones_like(e)])

    return fun, jac, [1.0, 1.0, 0.0], [-INF, 0.1, -INF], [INF, tau_max, INF]


def pulse_voltage():
    rng = np.random.default_rng(8)
    r0, r, c = TWO_RC[0], TWO_RC[1::2], TWO_RC[2::2]
    v = _cellkernels.rc_circuit(T_PULSE, U_PULSE, r0, r, c)
    return v + rng.normal(0.0, 1e-3, T_PULSE.size)  # 1 mV of noise


def two_rc_log():
    """The two-RC fit in log-parameters, through the circuit simulator."""
    v = pulse_voltage()

    def fun(x):
        p = np.exp(x)
        return _cellkernels.rc_circuit(T_PULSE, U_PULSE, p[0], p[1::2], p[2::2]) - v

    def jac(x):
        p = np.exp(x)
        _, dy = _cellkernels.rc_circuit(
            T_PULSE, U_PULSE, p[0], p[1::2], p[2::2], jacobian=True
        )
        return dy * p

    x0 = np.log([0.01, 0.005, 100.0, 0.05, 20000.0])
    return fun, jac, x0, *LOG_BOX


PROBLEMS = {
    "rosenbrock": rosenbrock,
    "decay": lambda: decay(INF),
    "decay-tau-on-bound": lambda: decay(2.0),
    "two-rc": two_rc_log,
}


@pytest.mark.parametrize("make", PROBLEMS.values(), ids=PROBLEMS.keys())
def test_finds_the_minimum_scipy_finds(make):
    fun, jac, x0, lower, upper = make()
    ours = _cellkernels.least_squares(fun, x0, lower, upper, jac)
    ref = least_squares(
        fun, x0, jac, bounds=(lower, upper), method="trf", xtol=1e-12, ftol=1e-12
    )
    assert ours["success"], ours["status"]
    # both stop within about 1e-8 of the minimum in x (seen 5e-9 on the two-RC fit),
    # which moves the cost by the square of that
    assert_allclose(ours["x"], ref.x, rtol=1e-6, atol=1e-9)
    assert ours["cost"] <= ref.cost * (1.0 + 1e-10) + 1e-30
    # scipy's active_mask uses the same -1/0/+1 convention
    assert_array_equal(ours["active_mask"], ref.active_mask)


def test_native_circuit_fit_matches_the_fit_through_python():
    fun, jac, x0, lower, upper = two_rc_log()
    v = pulse_voltage()
    through_python = _cellkernels.least_squares(fun, x0, lower, upper, jac)
    native = _cellkernels.fit_rc_circuit(T_PULSE, U_PULSE, v, x0, lower, upper)
    # the same iteration on the same arithmetic but for exp (numpy's and the C
    # library's may differ in the last bit)
    assert_allclose(native["x"], through_python["x"], rtol=1e-9)
    assert native["nfev"] == through_python["nfev"]
    # noise-level data and a good fit: the truth lies within a few standard errors
    z = (native["x"] - np.log(TWO_RC)) / native["std_error"]
    assert np.all(np.abs(z) < 4.0), z
    # the standard errors belong to the returned solution
    j, r = native["jac"], native["fun"]
    cov = np.linalg.inv(j.T @ j) * (r @ r) / (r.size - j.shape[1])
    assert_allclose(native["std_error"], np.sqrt(np.diag(cov)), rtol=1e-6)


def raise_zero_division(x):
    return 1.0 / 0.0


@pytest.mark.parametrize(
    ("change", "error", "message"),
    [
        (
            {"lower": [1.0, 0.0], "upper": [0.0, 1.0]},
            ValueError,
            r"parameter 0 has bounds \[1.0, 0.0\]",
        ),
        (
            {"jac": lambda x: np.ones(3)},
            ValueError,
            "jac returned 3 values, expected 4",
        ),
        ({"x_scale": [1.0, -1.0]}, ValueError, "x_scale needs 2 positive finite sizes"),
        ({"fun": raise_zero_division}, ZeroDivisionError, "division by zero"),
    ],
    ids=["crossed-bounds", "jacobian-shape", "negative-scale", "raising-residual"],
)
def test_bad_problems_are_refused(change, error, message):
    fun, jac, x0, lower, upper = rosenbrock()
    args = {"fun": fun, "x0": x0, "lower": lower, "upper": upper, "jac": jac}
    args.update(change)
    with pytest.raises(error, match=message):
        _cellkernels.least_squares(**args)
