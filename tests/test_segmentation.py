"""Index conventions of the pulse bookkeeping, checked on the native kernels directly."""

from __future__ import annotations

import itertools

import _cellkernels as k
import numpy as np
import pytest


def test_slice_range_is_python_slicing():
    for n, a, b in itertools.product(range(6), range(-8, 9), range(-8, 9)):
        want = range(n)[a:b]
        begin, end = k.slice_range(a, b, n)
        assert list(range(begin, end)) == list(want), (n, a, b)


@pytest.mark.parametrize(
    ("rest", "load", "end", "paired"),
    [
        ([10, 200, 400], [150, 350], 500, [150, 350, -1]),  # the usual layout
        (
            [10, 200, 400],
            [150, 350, 450],
            500,
            [150, 350, 450],
        ),  # last pulse closed too
        ([10, 200, 400], [350], 500, [-1, 350, -1]),  # pulse 1 too short to count
        (
            [10, 200],
            [5, 150, 160],
            300,
            [150, -1],
        ),  # a load end before any pulse, two in one
    ],
    ids=["usual", "all-closed", "dropped", "stray"],
)
def test_pulses_pair_with_their_own_load_end(rest, load, end, paired):
    assert k.pair_load_ends(rest, load, end).tolist() == paired


def test_knots_ramp_across_a_pulse_without_load_end():
    t = np.arange(30.0)
    v = 4.0 - 0.01 * t
    rest, paired = [5, 12, 20], [9, -1, -1]
    times, volts, gaps = k.ocv_time_knots(t, v, rest, paired)
    o = [(v[r - 3] + v[r - 2]) / 2 for r in rest]
    assert times.tolist() == [0.0, 5.0, 9.0, 12.0, 20.0, 29.0]
    assert volts.tolist() == [o[0], o[0], o[1], o[1], o[2], v[-2]]
    assert gaps.size == 0


@pytest.mark.parametrize(
    "gap_before",
    [12, 11, 10],
    ids=["gap-before-rest-end", "one-sample-after", "window-after"],
)
def test_rest_after_a_gap_takes_its_voltage_after_the_gap(gap_before):
    # sampled every second, with a gap of an hour before sample gap_before, in which the
    # cell was discharged: the voltage after the gap sits 60 mV lower
    t = np.arange(30.0)
    t[gap_before:] += 3600.0
    v = np.where(np.arange(30) < gap_before, 4.0, 3.94)
    rest, paired = [5, 12, 20], [8, -1, -1]
    assert k.gap_threshold_s(t) == 600.0
    times, volts, gaps = k.ocv_time_knots(t, v, rest, paired, k.gap_threshold_s(t))
    assert gaps.tolist() == [12]
    # up to the gap's last sample the OCV stays at the rest's usual rested voltage; at the
    # rest end it is the voltage after the gap
    rested = (v[9] + v[10]) / 2
    assert times[2:5].tolist() == [t[8], t[gap_before - 1], t[12]]
    assert volts[2:5].tolist() == [rested, rested, 3.94]
    without_gap = k.ocv_time_knots(t, v, rest, paired)  # no threshold: as if no gap
    assert without_gap[1][3] == rested
