"""The pair-by-pair circuit simulator with sensitivities, and the standard errors of a
fit, as _cellkernels exposes them: against closed forms, scipy's first-order-hold lsim,
finite differences and numpy."""

from __future__ import annotations

import math

import _cellkernels
import numpy as np
import pytest
from numpy.testing import assert_allclose
from scipy import signal

# (R0, [R...], [C...]); time constants against the 1 s steps used below
CIRCUITS = {
    "two-rc": (0.03, [0.015, 0.02], [1333.3, 7500.0]),  # tau 20 s and 150 s
    "one-rc": (0.03, [0.015], [1000.0]),
    "series-only": (0.05, [], []),
    "fast-pair": (0.03, [0.001, 0.02], [100.0, 7500.0]),  # tau 0.1 s: z = 10 per step
    "slow-pair": (0.03, [0.5, 0.02], [40000.0, 7500.0]),  # tau 20000 s: z = 5e-5
    "equal-taus": (0.03, [0.01, 0.02], [2000.0, 1000.0]),  # both 20 s
    "at-the-bounds": (0.03, [1e-4, 5e4], [1e-4, 5e4]),  # tau 1e-8 s and 2.5e9 s
}
USUAL = ("two-rc", "one-rc", "fast-pair", "slow-pair", "equal-taus")
EACH_CIRCUIT = pytest.mark.parametrize(
    "circuit", [CIRCUITS[k] for k in USUAL], ids=USUAL
)


def jittered_times(n, rng):
    t = np.cumsum(rng.uniform(0.5, 1.5, n))
    return t - t[0] + 1000.0  # absolute times: only the time since t[0] counts


def ramp_lag(z):
    """z - (1 - exp(-z)), by its power series where the difference cancels."""
    series = sum((-z) ** k / math.factorial(k) for k in range(2, 12))
    return np.where(z < 0.1, series, z + np.expm1(-np.minimum(z, 1e300)))


def respond(t, u, circuit, jacobian=False):
    r0, r, c = circuit
    return _cellkernels.rc_circuit(t, u, r0, r, c, jacobian=jacobian)


@pytest.mark.parametrize("circuit", CIRCUITS.values(), ids=CIRCUITS.keys())
def test_step_and_ramp_follow_the_closed_forms(circuit, rng):
    t = jittered_times(600, rng)
    el = t - t[0]
    r0, r, c = circuit
    # a constant current and a current rising linearly from zero are both linear between
    # samples, so the first-order hold has no error to make on them
    step = np.full(t.size, -2.0)
    want_step = -2.0 * (
        r0 + sum(ri * -np.expm1(-el / (ri * ci)) for ri, ci in zip(r, c))
    )
    slope = -0.01  # A/s
    want_ramp = slope * (
        r0 * el + sum(ri * ri * ci * ramp_lag(el / (ri * ci)) for ri, ci in zip(r, c))
    )
    # the recursion adds a rounding per step and pair: 600 steps stay well below 1e-12
    for u, want in ((step, want_step), (slope * el, want_ramp)):
        got = respond(t, u, circuit)
        assert_allclose(got, want, rtol=0, atol=1e-12 * np.max(np.abs(want)))


@pytest.mark.parametrize(
    ("start_s", "jitter"), [(1e5, 0.0), (0.0, 1e-6)], ids=["rounding", "logger-jitter"]
)
def test_step_lengths_equal_but_for_rounding_share_coefficients(start_s, jitter, rng):
    # 0.1 s steps late in a long record differ by roundings of 1e-10 relative, and the
    # simulator reuses its coefficients across them; a logger's real jitter (here 1e-6)
    # must still be followed exactly
    t = start_s + np.cumsum(0.1 * (1.0 + jitter * rng.standard_normal(5000)))
    el = t - t[0]
    r0, r, c = CIRCUITS["two-rc"]
    want = -2.0 * (r0 + sum(ri * -np.expm1(-el / (ri * ci)) for ri, ci in zip(r, c)))
    got = respond(t, np.full(t.size, -2.0), CIRCUITS["two-rc"])
    # reused coefficients shift the time by the roundings, 1e-8 s after 5000 steps:
    # seen 1.1e-11 of the largest voltage, against 1.4e-13 without the reuse
    assert_allclose(got, want, rtol=0, atol=1e-10 * np.max(np.abs(want)))


@EACH_CIRCUIT
def test_matches_scipy_lsim_of_the_transfer_function(circuit, rng):
    t = np.arange(0.0, 800.0)  # scipy's lsim needs equal steps
    u = np.where((t >= 20) & (t < 320), -2.0, 0.0) + rng.normal(0.0, 0.2, t.size)
    r0, r, c = circuit
    num, den = np.array([r0]), np.array([1.0])
    for ri, ci in zip(r, c):  # R0 + sum R/(1 + R C s) over the common denominator
        num = np.polyadd(np.polymul(num, [ri * ci, 1.0]), ri * den)
        den = np.polymul(den, [ri * ci, 1.0])
    _, want, _ = signal.lsim((num, den), u, t, interp=True)
    got = respond(t, u, circuit)
    # both discretise the same hold exactly; scipy's matrix exponential and canonical
    # realisation round differently, a few ulps per step
    assert_allclose(got, want, rtol=0, atol=1e-12 * np.max(np.abs(want)))


@EACH_CIRCUIT
def test_sensitivities_match_finite_differences(circuit, rng):
    t = jittered_times(500, rng)  # steps of every length: no coefficient is reused
    u = np.where((t - t[0] >= 20) & (t - t[0] < 250), -2.0, 0.0)
    u += rng.normal(0.0, 0.1, t.size)
    y, jac = respond(t, u, circuit, jacobian=True)
    assert_allclose(y, respond(t, u, circuit), rtol=0, atol=0)  # same loop, same y
    r0, r, c = circuit
    params = np.array([r0, *np.ravel(np.column_stack([r, c]))])
    assert jac.shape == (t.size, params.size)
    for j in range(params.size):
        d = params[j] * 1e-5
        up, down = params.copy(), params.copy()
        up[j] += d
        down[j] -= d
        fd = (
            respond(t, u, (up[0], up[1::2], up[2::2]))
            - respond(t, u, (down[0], down[1::2], down[2::2]))
        ) / (2 * d)
        # central differences with a 1e-5 relative step: truncation ~1e-10 and
        # rounding ~1e-16/1e-5 of the column's scale; seen at most 1.1e-8
        scale = np.max(np.abs(jac[:, j]))
        assert_allclose(jac[:, j], fd, rtol=0, atol=1e-7 * scale, err_msg=f"column {j}")


def test_series_and_closed_forms_meet_at_one_step_per_time_constant():
    # below h/tau = 1 the step coefficients come from power series, above it from
    # expm1; the two must agree where they meet
    t = np.arange(0.0, 50.0)
    u = np.where(t < 10, -2.0, 0.0)
    below = respond(t, u, (0.0, [0.01], [100.0 * (1 + 1e-12)]), jacobian=True)
    above = respond(t, u, (0.0, [0.01], [100.0 * (1 - 1e-12)]), jacobian=True)
    # C differs by 2e-12 relative; the outputs and sensitivities move by as much
    for got, want in zip(below, above):
        assert_allclose(got, want, rtol=1e-10, atol=1e-14 * np.max(np.abs(want)))


@pytest.mark.parametrize(
    ("kwargs", "message"),
    [
        ({"t": [0.0, 1.0, 1.0]}, "strictly increasing; it is not at index 2"),
        ({"t": [0.0, np.nan, 2.0]}, "strictly increasing; it is not at index 1"),
        ({"u": [0.0, 1.0]}, "t has 3 samples, u 2"),
        ({"r": [0.01, -0.02]}, "pair 2 needs a positive finite R and C"),
        ({"c": [100.0, np.inf]}, "pair 2 needs a positive finite R and C"),
        ({"r0": np.nan}, "R0 is not finite"),
        ({"c": [100.0]}, "r and c differ in length"),
    ],
    ids=[
        "repeated-time",
        "nan-time",
        "short-u",
        "negative-r",
        "infinite-c",
        "nan-r0",
        "unpaired",
    ],
)
def test_bad_arguments_are_refused(kwargs, message):
    args = {
        "t": [0.0, 1.0, 2.0],
        "u": [0.0, -1.0, -1.0],
        "r0": 0.03,
        "r": [0.01, 0.02],
        "c": [100.0, 1000.0],
        **kwargs,
    }
    with pytest.raises(ValueError, match=message):
        _cellkernels.rc_circuit(**args)


def numpy_std_errors(jac, residual):
    m, p = jac.shape
    cov = np.linalg.inv(jac.T @ jac) * (residual @ residual) / (m - p)
    return np.sqrt(np.diag(cov))


def test_std_errors_match_numpy_on_a_badly_scaled_fit(rng):
    # columns as different as ohms and farads, as in the circuit fit
    jac = rng.normal(size=(200, 5)) * np.array([1.0, 3.0, 1e-4, 2.0, 1e-5])
    residual = rng.normal(0.0, 1e-3, 200)
    # the normal equations are well conditioned once scaled; numpy inverts them
    # unscaled, which costs it some digits
    assert_allclose(
        _cellkernels.std_errors(jac, residual),
        numpy_std_errors(jac, residual),
        rtol=1e-8,
    )


@pytest.mark.parametrize("kind", ["duplicate", "zero"])
def test_std_errors_mark_undetermined_parameters(rng, kind):
    jac = rng.normal(size=(100, 5))
    jac[:, 3] = jac[:, 2] * 7.0 if kind == "duplicate" else 0.0
    residual = rng.normal(0.0, 1e-3, 100)
    got = _cellkernels.std_errors(jac, residual)
    free = [2, 3] if kind == "duplicate" else [3]
    assert np.all(np.isinf(got[free]))
    # the others are what the fit without column 3 gives, s^2 taken over m - 5
    keep = [0, 1, 2, 4]
    reduced = numpy_std_errors(jac[:, keep], residual) * np.sqrt(96 / 95)
    determined = [j for j in range(5) if j not in free]
    want = reduced[[keep.index(j) for j in determined]]
    assert_allclose(got[determined], want, rtol=1e-8)


def test_std_errors_need_more_residuals_than_parameters():
    with pytest.raises(ValueError, match="5 residuals cannot judge 5 parameters"):
        _cellkernels.std_errors(np.ones((5, 5)), np.ones(5))
