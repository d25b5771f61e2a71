"""Records no cycler writes on purpose: each ends with an error naming the file and the
problem, in bounded time and memory, or with a right result."""

from __future__ import annotations

import json
import math

import numpy as np
import pulse_records
import pytest

from cellkit import fit_record
from cellkit._native import engine
from cellkit.run import run_cell

HEADER = "Seconds,Voltage(V),Current(A)\n"


def rows(t, v, i) -> str:
    return "".join(
        f"{float(a)!r},{float(b)!r},{float(c)!r}\n" for a, b, c in zip(t, v, i)
    )


@pytest.mark.parametrize(
    ("text", "message"),
    [
        (HEADER, "holds 0 sample rows"),
        (HEADER + "0,3.9,0\n", "holds 1 sample row;"),
        (
            HEADER + rows(np.arange(41) * 4e306, np.full(41, 4.0), np.zeros(41)),
            "more than 30 years",
        ),
        (HEADER + rows(range(5), [4.0, 1e308, 4.0, 4.0, 4.0], [0] * 5), "1e+308 V"),
        (HEADER + "0,4,0\n" + ",".join(["1"] * 200_000) + "\n", "200000 fields"),
    ],
    ids=["no-rows", "one-row", "rest-of-4e306-s", "1e308-V", "wide-line"],
)
def test_hostile_records_end_clearly(tmp_path, text, message):
    folder = tmp_path / "cell"
    (folder / "raw_data").mkdir(parents=True)
    (folder / "raw_data" / "r_Tp25.csv").write_text(text)
    settings = {"low_cutoff": 3.0, "high_cutoff": 4.2, "model": "model2"}
    (folder / "input_params.json").write_text(json.dumps(settings))
    result = run_cell(folder)
    assert not result.ok
    assert "r_Tp25.csv" in result.error
    assert message in result.error


def test_epoch_like_times_and_bad_options():
    """Times of 2^34 s and more fit as times from zero do; options that are not
    numbers are refused before the arithmetic."""
    cell = pulse_records.Cell(r2=0.01, c2=5000.0)
    rec = pulse_records.simulate_hppc(cell, pulse_records.HppcProtocol(n_blocks=3))
    rec = {"time_s": rec["t"], "voltage_v": rec["v"], "current_a": rec["i"]}
    plain = fit_record(rec, cutoff_v=3.0).pulses
    late = fit_record(dict(rec, time_s=rec["time_s"] + 2.0**34), cutoff_v=3.0).pulses
    assert len(late) == len(plain)
    np.testing.assert_allclose(late["R0"], plain["R0"], rtol=1e-3)
    for option in (
        {"pulse_max_s": math.nan},
        {"ocv_rest_min_s": -1.0},
        {"cutoff_v": math.inf},
        {"pulse_max_s": "x"},
    ):
        with pytest.raises(ValueError, match="must be"):
            fit_record(rec, **option)
    with pytest.raises(ValueError, match="1e\\+308 V"):
        engine.PulseTest(rec["time_s"], rec["voltage_v"] * 0 + 1e308, rec["current_a"])
    # the steps of a record for a pulses table: rows segment_record can take, or an error
    t, v, i = rec["time_s"], rec["voltage_v"], rec["current_a"]
    with pytest.raises(ValueError, match="not a number"):
        engine.step_windows(t, np.where(t > 100, np.nan, v), i)
    with pytest.raises(ValueError, match="time must increase"):
        engine.step_windows(
            np.r_[t[:5], t[4:]], np.r_[v[:5], v[4:]], np.r_[i[:5], i[4:]]
        )
