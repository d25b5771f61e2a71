"""The first-order-hold simulator behind the circuit models, _cellkernels.lsim.

References are closed-form responses of the one- and two-RC circuits (the input
is piecewise linear, so the simulation is exact up to rounding), scipy.signal.lsim
for general systems and the old odeint-based scipy.signal.lsim2 where installed.
"""

from __future__ import annotations

import warnings

import _cellkernels
import numpy as np
import pytest
from numpy.testing import assert_allclose, assert_array_equal
from scipy import signal

# Closed forms against an exact discretisation: only rounding separates them, a few
# ulp per step, accumulated over up to 3000 steps.
EXACT_RTOL = 1e-10


def one_rc(r0, r1, c1):
    """R0 + R1/(1 + R1 C1 s) as the fitting stage builds it."""
    return [c1 * r0 * r1, r0 + r1], [r1 * c1, 1.0]


def two_rc(r0, r1, c1, r2, c2):
    """R0 + R1/(1 + R1 C1 s) + R2/(1 + R2 C2 s) over a common denominator."""
    num = [
        c1 * c2 * r0 * r1 * r2,
        c1 * r0 * r1 + c1 * r1 * r2 + c2 * r0 * r2 + c2 * r1 * r2,
        r0 + r1 + r2,
    ]
    den = [r1 * r2 * c1 * c2, r1 * c1 + r2 * c2, 1.0]
    return num, den


def circuit(r0, branches):
    """num, den for R0 plus one or two (R, tau) branches."""
    if len(branches) == 1:
        ((r1, tau1),) = branches
        return one_rc(r0, r1, tau1 / r1)
    (r1, tau1), (r2, tau2) = branches
    return two_rc(r0, r1, tau1 / r1, r2, tau2 / r2)


def step_kernel(x):
    """1 - e^-x without cancellation."""
    return -np.expm1(-x)


def ramp_kernel(x):
    """x - (1 - e^-x), by its series where the difference would cancel."""
    x = np.asarray(x, dtype=float)
    small = x < 0.5
    xs = x[small]
    term, total = np.ones_like(xs), np.zeros_like(xs)
    for k in range(1, 25):
        term = term * (-xs) / k
        if k >= 2:
            total += term
    out = x + np.expm1(-x)
    out[small] = total
    return out


def rc_response(t, r0, branches, steps=(), ramps=()):
    """Voltage of the circuit for a current made of steps (b, size) and ramps
    (b, slope), each starting at time b, from rest."""
    t = np.asarray(t, dtype=float)
    y = np.zeros_like(t)
    for b, size in steps:
        dt = np.maximum(t - b, 0.0)
        y += size * (
            r0 * (t >= b) + sum(r * step_kernel(dt / tau) for r, tau in branches)
        )
    for b, slope in ramps:
        dt = np.maximum(t - b, 0.0)
        y += slope * (
            r0 * dt + sum(r * tau * ramp_kernel(dt / tau) for r, tau in branches)
        )
    return y


def max_rel(got, want):
    return np.max(np.abs(got - want)) / np.max(np.abs(want))


CIRCUITS = {
    "1rc-1s": (0.012, [(0.008, 1.0)]),
    "1rc-60s": (0.012, [(0.008, 60.0)]),
    "1rc-5000s": (0.012, [(0.02, 5000.0)]),
    "2rc-1s-3000s": (0.010, [(0.006, 1.0), (0.015, 3000.0)]),
    "2rc-20s-400s": (0.010, [(0.004, 20.0), (0.009, 400.0)]),
    "2rc-0.2s-5s": (0.010, [(0.004, 0.2), (0.009, 5.0)]),
}


@pytest.mark.parametrize("name", CIRCUITS)
def test_constant_current_matches_closed_form(name):
    r0, branches = CIRCUITS[name]
    t = 17.0 + np.arange(3000.0)
    current = np.full_like(t, 2.5)
    _, y, x = _cellkernels.lsim(*circuit(r0, branches), t, current)
    want = rc_response(t, r0, branches, steps=[(t[0], 2.5)])
    assert x.shape == (t.size, len(branches))
    assert max_rel(y, want) <= EXACT_RTOL


@pytest.mark.parametrize("name", CIRCUITS)
def test_first_sample_is_the_ohmic_drop(name):
    # zero state at t[0]: only the direct term num[0]/den[0] = R0 acts, formed from
    # products of the parameters, so a few roundings apart from r0 * u[0]
    r0, branches = CIRCUITS[name]
    _, y, x = _cellkernels.lsim(*circuit(r0, branches), [3.0, 4.0], [-1.7, 5.0])
    assert_allclose(y[0], r0 * -1.7, rtol=1e-15)
    assert_array_equal(x[0], 0.0)


def test_time_shift_changes_nothing():
    # steps on a 1/8 s grid shifted by 2^20 s keep every t[k+1] - t[k] bit for bit,
    # and only the step lengths may enter the result
    rng = np.random.default_rng(11)
    t = np.cumsum(rng.integers(1, 80, 500)) / 8.0
    u = rng.normal(size=t.size)
    num, den = circuit(0.01, [(0.004, 2.0), (0.009, 700.0)])
    _, y, x = _cellkernels.lsim(num, den, t, u)
    _, y_shifted, x_shifted = _cellkernels.lsim(num, den, t + 2.0**20, u)
    assert_array_equal(y_shifted, y)
    assert_array_equal(x_shifted, x)


@pytest.mark.parametrize("tau1", [0.3, 1.0, 20.0], ids=lambda v: f"tau{v}")
@pytest.mark.parametrize(
    "gap", [0.0, 1e-15, 1e-12, 1e-9, 1e-6, 1e-3, 0.3], ids=lambda v: f"gap{v:g}"
)
def test_equal_and_nearly_equal_time_constants(tau1, gap):
    # R1 C1 == R2 C2 makes the companion matrix defective; a small gap makes the pole
    # difference tiny. The output is still the plain sum of the two branches. Steps
    # of 1 s put the scaled poles both inside (tau 20) and outside (tau 0.3) the unit
    # disc, which take different routes.
    r0, branches = 0.01, [(0.004, tau1), (0.009, tau1 * (1.0 + gap))]
    t = np.arange(0.0, 400.0)
    u = np.where(t < 150.0, 3.0, 0.0)
    _, y, _ = _cellkernels.lsim(*circuit(r0, branches), t, u)
    want = rc_response(
        t, r0, branches, steps=[(0.0, 3.0)], ramps=[(149.0, -3.0), (150.0, 3.0)]
    )
    assert max_rel(y, want) <= EXACT_RTOL


def branch_alone(r, tau, tau_other):
    """One RC branch r/(1 + tau s) over the two-RC denominator: the other pole is
    cancelled by a zero, so the output is that branch's voltage alone while the
    simulation still runs the full second-order system."""
    return [r * tau_other, r], [tau * tau_other, tau + tau_other, 1.0]


STIFF_TAUS = [1e-8, 1e-4, 1.0, 1e4, 1e9]


@pytest.mark.parametrize("h", [0.01, 1.0, 10.0])
@pytest.mark.parametrize("tau1", STIFF_TAUS, ids=lambda v: f"tau1={v:g}")
@pytest.mark.parametrize("tau2", [None, *STIFF_TAUS], ids=lambda v: f"tau2={v}")
def test_stiff_time_constants(h, tau1, tau2):
    # From 1e-8 s (a branch that settles within a step) to 1e9 s (one that barely
    # moves in a record): 1 - e^(-h/tau) must neither round to 0 nor to 1 wrongly.
    # Next to R0 and a fast branch a slow branch is invisible in the total, so each
    # branch is also checked alone, against its own size.
    t = h * np.arange(600)
    u = np.where(t < h * 300, 2.0, -1.0)
    b = h * 299
    current = {"steps": [(0.0, 2.0)], "ramps": [(b, -3.0 / h), (b + h, 3.0 / h)]}
    branches = [(0.004, tau1)] if tau2 is None else [(0.004, tau1), (0.009, tau2)]
    _, y, x = _cellkernels.lsim(*circuit(0.01, branches), t, u)
    assert np.all(np.isfinite(y))
    assert np.all(np.isfinite(x))
    assert max_rel(y, rc_response(t, 0.01, branches, **current)) <= EXACT_RTOL
    if tau2 is None:
        return
    for (r, tau), (_, tau_other) in [branches, branches[::-1]]:
        _, y, _ = _cellkernels.lsim(*branch_alone(r, tau, tau_other), t, u)
        assert max_rel(y, rc_response(t, 0.0, [(r, tau)], **current)) <= EXACT_RTOL


def one_step_weights(x):
    """The branch voltage after one step of x = h/tau from rest, per unit R, is
    a u0 + b u1 for a current linear from u0 to u1: a = (1 - e^-x)/x - e^-x and
    b = 1 - (1 - e^-x)/x, by their series where those differences cancel."""
    if x < 0.5:
        k = np.arange(1, 25)
        terms = (-1.0) ** (k + 1) * x**k / np.cumprod(k + 1.0)
        return float(np.sum(k * terms)), float(np.sum(terms))
    phi1 = -np.expm1(-x) / x
    return phi1 - np.exp(-x), 1.0 - phi1


@pytest.mark.parametrize(
    "h_over_tau",
    [1e-6, 0.01, 0.015, 0.12, 0.2, 0.9, 0.999, 1.0, 1.001, 1.1, 2.0, 30.0, 1e3, 1e6],
    ids=str,
)
@pytest.mark.parametrize(
    "ratio", [None, 1.0, 1.0 + 1e-12, 1.0 + 1e-6, 1.01, 2.0, 50.0], ids=str
)
@pytest.mark.parametrize(
    "u", [[1.0, 1.0], [0.0, 1.0], [1.0, 0.0]], ids=["held", "rising", "falling"]
)
def test_one_step_of_each_branch(h_over_tau, ratio, u):
    # A single step from rest isolates the step matrices, without the averaging of
    # a long record. h/tau from 1e-6 to 1e6 and the pole ratios cross every route
    # (series inside the unit disc, recurrence outside, equal and distinct poles; a
    # first-order branch when ratio is None). The falling current leaves a voltage
    # of about R tau/h, which no cancellation may swamp. Measured errors reach
    # 1.1e-14; 1e-13 leaves room for the roundings of the coefficients and still
    # sees a series cut a few terms short.
    h = 1.0
    tau1 = h / h_over_tau
    if ratio is None:
        systems = [(0.004, tau1, one_rc(0.0, 0.004, tau1 / 0.004))]
    else:
        tau2 = tau1 * ratio
        systems = [
            (0.004, tau1, branch_alone(0.004, tau1, tau2)),
            (0.009, tau2, branch_alone(0.009, tau2, tau1)),
        ]
    for r, tau, (num, den) in systems:
        _, y, _ = _cellkernels.lsim(num, den, [0.0, h], u)
        a, b = one_step_weights(h / tau)
        assert_allclose(y[1], r * (a * u[0] + b * u[1]), rtol=1e-13)


def irregular_times(rng, breakpoints, end):
    """Random steps of 0.01 s to 10 s, with the input's breakpoints among them."""
    t = np.cumsum(rng.uniform(0.01, 10.0, int(end)))
    t = np.concatenate([[0.0], t[t < end], breakpoints])
    return np.unique(t)


@pytest.mark.parametrize("name", CIRCUITS)
def test_irregular_sampling_of_a_trapezoid_pulse(name):
    # a current that ramps up, holds, ramps down and rests is linear between its
    # breakpoints; sampled irregularly but through those points, the first-order
    # hold reproduces it exactly
    r0, branches = CIRCUITS[name]
    rng = np.random.default_rng(5)
    b = np.array([40.0, 41.5, 700.0, 703.0])
    t = irregular_times(rng, b, 2500.0)
    current = np.interp(t, b, [0.0, 4.0, 4.0, 0.0])
    _, y, _ = _cellkernels.lsim(*circuit(r0, branches), t, current)
    ramps = [
        (b[0], 4.0 / 1.5),
        (b[1], -4.0 / 1.5),
        (b[2], -4.0 / 3.0),
        (b[3], 4.0 / 3.0),
    ]
    want = rc_response(t, r0, branches, ramps=ramps)
    assert max_rel(y, want) <= EXACT_RTOL


@pytest.mark.parametrize(
    "steps",
    [[1.0, 0.1], [0.5, 1.0, 2.0, 4.0, 8.0], [1.0, 1.0 + 2.0**-40]],
    ids=["two-lengths", "five-lengths", "last-bit-jitter"],
)
def test_repeating_step_lengths(steps):
    # steps cycling through more lengths than the step-matrix cache holds, or
    # differing in the last bits, must each be integrated with their own length
    t = np.concatenate([[0.0], np.cumsum(np.resize(steps, 900))])
    slope = 0.01
    r0, branches = 0.01, [(0.004, 3.0), (0.009, 80.0)]
    _, y, _ = _cellkernels.lsim(*circuit(r0, branches), t, slope * t)
    want = rc_response(t, r0, branches, ramps=[(0.0, slope)])
    assert max_rel(y, want) <= EXACT_RTOL


def test_initial_state_decays_freely():
    # one RC, x0 given, no current: y = c x0 e^-(t - t0)/tau with c = R1/(R1 C1)
    r1, tau = 0.02, 30.0
    num, den = one_rc(0.01, r1, tau / r1)
    t = 5.0 + np.linspace(0.0, 200.0, 301)
    _, y, x = _cellkernels.lsim(num, den, t, np.zeros_like(t), x0=[7.0])
    assert_allclose(x[:, 0], 7.0 * np.exp(-(t - t[0]) / tau), rtol=EXACT_RTOL)
    assert_allclose(y, r1 / tau * 7.0 * np.exp(-(t - t[0]) / tau), rtol=EXACT_RTOL)


def test_single_sample():
    num, den = [1.0, 2.0, 3.0], [1.0, 0.5, 2.0]
    tout, y, x = _cellkernels.lsim(num, den, [4.0], [2.0], x0=[1.0, -1.0])
    # c = num[1:] - num[0] den[1:] = [1.5, 1.0], d = 1
    assert_array_equal(tout, [4.0])
    assert_allclose(y, [1.5 - 1.0 + 2.0], rtol=1e-15)
    assert_array_equal(x, [[1.0, -1.0]])


def test_pure_gain_has_no_state():
    t = np.arange(5.0)
    _, y, x = _cellkernels.lsim([3.0], [2.0], t, t**2)
    assert x.shape == (5, 0)
    assert_allclose(y, 1.5 * t**2, rtol=1e-15)


def test_leading_zeros_are_stripped():
    t = np.arange(50.0)
    u = np.sin(t / 7.0)
    _, y, x = _cellkernels.lsim([0.0, 0.0, 2.0, 1.0], [0.0, 0.0, 30.0, 1.0], t, u)
    _, y_ref, x_ref = _cellkernels.lsim([2.0, 1.0], [30.0, 1.0], t, u)
    assert x.shape == (50, 1)
    assert_array_equal(y, y_ref)
    assert_array_equal(x, x_ref)


GENERAL_SYSTEMS = {
    "third-order": ([1.0, 2.0, 3.0, 4.0], [1.0, 6.0, 11.0, 6.0]),
    "third-order-strictly-proper": ([0.5, 1.0], [2.0, 1.0, 3.0, 0.5]),
    "complex-poles": ([0.3, 2.0], [1.0, 0.4, 4.0]),
    "undamped-oscillator": ([1.0], [1.0, 0.0, 9.0]),
    "double-integrator": ([1.0], [1.0, 0.0, 0.0]),
    "fourth-order-mixed": ([1.0, 0.0, 2.0, 1.0, 1.0], [1.0, 2.5, 5.0, 3.0, 1.5]),
}


@pytest.mark.parametrize("dt", [0.05, 1.5])
@pytest.mark.parametrize("name", GENERAL_SYSTEMS)
def test_general_systems_match_scipy_lsim(name, dt):
    # scipy's lsim interpolates the input linearly too, through the exponential of
    # the same augmented matrix; both are exact up to rounding of that exponential.
    # The coarse step takes the complex poles outside the unit disc.
    num, den = GENERAL_SYSTEMS[name]
    t = dt * np.arange(600)
    u = np.where(t < 12.0, np.sin(t), 0.5)
    x0 = 0.1 * np.arange(1, len(den))
    _, y, x = _cellkernels.lsim(num, den, t, u, x0=x0)
    _, y_ref, x_ref = signal.lsim((num, den), u, t, X0=x0)
    scale = np.max(np.abs(y_ref))
    assert_allclose(y, y_ref, rtol=1e-11, atol=1e-11 * scale)
    assert_allclose(
        x, x_ref.reshape(x.shape), rtol=1e-11, atol=1e-11 * np.max(np.abs(x_ref))
    )


@pytest.mark.parametrize("c", [1e-3, 1.0, 1e3])
@pytest.mark.parametrize(
    "branches",
    [
        [(0.004, 1.0), (0.009, 5000.0)],
        [(0.004, 1e-8), (0.009, 1e-8)],
        [(0.004, 1e-3), (0.009, 10.0)],
    ],
    ids=["1s-5000s", "equal-1e-8s", "1e-3s-10s"],
)
def test_third_order_with_cancelled_pole_matches_second_order(c, branches):
    # multiplying num and den by (s + c) leaves the transfer function unchanged but
    # sends it through the general-order path, stiff time constants included
    num, den = circuit(0.01, branches)
    rng = np.random.default_rng(2)
    t = np.cumsum(rng.uniform(0.01, 10.0, 1500))
    u = np.where(t % 500.0 < 100.0, 2.0, 0.0)
    _, y2, _ = _cellkernels.lsim(num, den, t, u)
    _, y3, x3 = _cellkernels.lsim(
        np.polymul(num, [1.0, c]), np.polymul(den, [1.0, c]), t, u
    )
    assert x3.shape == (t.size, 3)
    # the pole c is cancelled only up to the rounding of the polynomial products
    assert max_rel(y3, y2) <= 1e-12


def pulse_and_rest(n, period, on, amp):
    k = np.arange(n)
    return np.where(k % period < on, amp, 0.0)


LSIM2_CASES = {
    "1rc-100": (100, 0.012, [(0.008, 1.0)], (40, 10, -3.0)),
    "1rc-1000": (1000, 0.012, [(0.01, 60.0)], (300, 120, 2.0)),
    "2rc-3000": (3000, 0.01, [(0.006, 5.0), (0.015, 5000.0)], (900, 300, 1.5)),
    "2rc-1000-fast": (1000, 0.01, [(0.006, 1.0), (0.01, 30.0)], (200, 50, -2.0)),
    "2rc-2000-close": (2000, 0.01, [(0.006, 100.0), (0.01, 100.0001)], (500, 100, 1.0)),
}


@pytest.mark.parametrize("name", LSIM2_CASES)
def test_matches_scipy_lsim2(name):
    lsim2 = getattr(signal, "lsim2", None)
    if lsim2 is None:
        pytest.skip("scipy.signal.lsim2 was removed in scipy 1.13")
    n, r0, branches, (period, on, amp) = LSIM2_CASES[name]
    t = np.arange(float(n))
    current = pulse_and_rest(n, period, on, amp)
    num, den = circuit(r0, branches)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        _, y_ref, x_ref = lsim2(
            (num, den), current, t, rtol=1e-10, atol=1e-12, hmax=0.5
        )
    _, y, x = _cellkernels.lsim(num, den, t, current)
    # lsim2 integrates the same piecewise-linear input with odeint at the tolerances
    # above; what separates the two is the integrator's error
    assert max_rel(y, y_ref) <= 1e-6
    assert max_rel(x, x_ref.reshape(x.shape)) <= 1e-6


BAD_CALLS = {
    "improper": (([1.0, 2.0, 3.0], [1.0, 2.0], [0.0, 1.0], [1.0, 1.0]), "improper"),
    "den-all-zero": (([1.0], [0.0, 0.0], [0.0, 1.0], [1.0, 1.0]), "all zero"),
    "num-empty": (([], [1.0, 1.0], [0.0, 1.0], [1.0, 1.0]), "at least one"),
    "t-empty": (([1.0], [1.0, 1.0], [], []), "t is empty"),
    "lengths-differ": (([1.0], [1.0, 1.0], [0.0, 1.0, 2.0], [1.0, 1.0]), "u has 2"),
    "t-repeats": (([1.0], [1.0, 1.0], [0.0, 1.0, 1.0], [1.0, 1.0, 1.0]), "index 2"),
    "t-decreases": (([1.0], [1.0, 1.0], [0.0, 2.0, 1.0], [1.0, 1.0, 1.0]), "index 2"),
    "t-nan": (([1.0], [1.0, 1.0], [0.0, np.nan], [1.0, 1.0]), "strictly increasing"),
    "t-inf": (([1.0], [1.0, 1.0], [0.0, np.inf], [1.0, 1.0]), "strictly increasing"),
    "x0-length": (([1.0], [1.0, 1.0], [0.0, 1.0], [1.0, 1.0], [1.0, 2.0]), "x0 has 2"),
    "u-2d": (([1.0], [1.0, 1.0], [0.0, 1.0], [[1.0, 1.0]]), "1-D"),
}


@pytest.mark.parametrize("name", BAD_CALLS)
def test_bad_calls_raise_value_error(name):
    args, message = BAD_CALLS[name]
    with pytest.raises(ValueError, match=message):
        _cellkernels.lsim(*args)


@pytest.mark.parametrize(
    "params",
    [
        (np.nan, 0.02, 50.0, 0.03, 1e4),
        (0.01, np.nan, 50.0, 0.03, 1e4),
        (0.01, 0.02, np.inf, 0.03, 1e4),
        (0.01, 0.02, 50.0, np.inf, 1e4),
        (0.01, 0.02, 50.0, 0.03, -np.inf),
        (np.inf, 0.0, 50.0, 0.03, 1e4),
    ],
    ids=["r0-nan", "r1-nan", "c1-inf", "r2-inf", "c2-minus-inf", "inf-times-zero"],
)
def test_non_finite_parameters_give_nan(params):
    # a least-squares solver that steps onto such a point must see NaN residuals,
    # not an exception
    t = np.arange(100.0)
    _, y, x = _cellkernels.lsim(*two_rc(*params), t, np.ones_like(t))
    assert np.all(np.isnan(y))
    assert np.all(np.isnan(x))
