"""cellfit simulate: the demo cell's model driven by its own record (the validation's
replay) and by a drive cycle of the cell it was generated from (the truth)."""

from __future__ import annotations

import logging
import shutil

import generate_demo_cell as demo
import numpy as np
import pandas as pd
import pulse_records
import pytest
from conftest import ROOT
from numpy.testing import assert_allclose, assert_array_equal

from cellkit import cli, validate
from cellkit.run import run_cell
from cellkit.simulate import simulate


@pytest.fixture(scope="module")
def demo_folder(tmp_path_factory):
    work = tmp_path_factory.mktemp("simulate") / "demo_cell"
    shutil.copytree(ROOT / "examples" / "demo_cell", work, ignore=_outputs)
    assert run_cell(work).ok
    return work


def _outputs(folder, names):
    return [n for n in names if n in ("results", "report", "cellfit.log")]


def drive_cycle(seconds: int = 3600, seed: int = 3) -> tuple[np.ndarray, np.ndarray]:
    """A 1 s drive cycle: accelerations up to 2.5C, cruising, regenerative braking
    up to 1C and stops, in random order; the current held over each second."""
    rng = np.random.default_rng(seed)
    current = []
    while len(current) < seconds:
        level = rng.choice([-6.0, -2.5, -1.0, 0.0, 1.5, 2.5]) * rng.uniform(0.5, 1.0)
        current += [level] * int(rng.integers(3, 40))
    return np.arange(seconds, dtype=float), np.array(current[:seconds])


def test_a_drive_cycle_of_the_known_cell_within_2mv(demo_folder, tmp_path):
    t, i = drive_cycle()
    truth, true_soc = pulse_records.simulate_profile(demo.cell_at(25.0), t, i)
    # written as a user would: time and current only, each second's current held
    # until the next (a step as two rows 1 ms apart)
    held_t = np.column_stack([t, t + 0.999]).ravel()[:-1]
    held_i = np.repeat(i, 2)[:-1]
    path = tmp_path / "cycle.csv"
    pd.DataFrame({"Seconds": held_t, "Current(A)": held_i}).to_csv(path, index=False)

    frame = simulate(demo_folder, path, 25.0)
    assert list(frame.columns) == ["time_s", "current_a", "soc", "model_v"]
    model_v = frame["model_v"].to_numpy()[::2]
    rms_mv = 1000 * np.sqrt(np.mean((model_v - truth) ** 2))
    print(f"drive cycle, SOC 1 to {true_soc[-1]:.2f}: {rms_mv:.2f} mV RMS")
    assert rms_mv < 2.0


def test_the_demo_record_replays_as_the_validation_does(demo_folder, capsys):
    record = demo_folder / "raw_data" / "demo_Tp25.csv"
    replay = next(
        r
        for r in validate.replay_folder(demo_folder)
        if (r.record, r.model) == ("demo_Tp25", "battery_model")
    )
    frame = simulate(demo_folder, record, 25.0)
    assert_array_equal(frame["model_v"], replay.model_v)
    assert_array_equal(frame["voltage_v"], replay.voltage_v)

    status = cli.main(["simulate", str(demo_folder), str(record), "--temp", "25"])
    assert status == 0
    out = capsys.readouterr().out
    csv = demo_folder / "results" / "demo_Tp25_simulated_25C.csv"
    assert f"written: {csv}" in out
    assert_allclose(pd.read_csv(csv)["model_v"], frame["model_v"], rtol=1e-15)
    assert csv.with_suffix(".png").read_bytes()[:4] == b"\x89PNG"


def test_what_the_model_cannot_simulate(demo_folder, tmp_path, caplog, capsys):
    t, i = drive_cycle(seconds=600)
    profile = {"time_s": t, "current_a": i - 20.0}  # 20 A more: empty in 8 minutes
    with caplog.at_level(logging.WARNING, logger="cellkit"):
        frame = simulate(demo_folder, profile, 25.0, soc=0.5)
    assert 0 < len(frame) < t.size
    assert frame["soc"].min() >= 0
    assert f"the SOC falls below 0 at {len(frame):g} s" in caplog.text

    with pytest.raises(ValueError, match="from -10 to 45 °C; 60 °C is outside"):
        simulate(demo_folder, profile, 60.0)
    with pytest.raises(ValueError, match=r"0 to 1, not 1\.2"):
        simulate(demo_folder, profile, 25.0, soc=1.2)
    (tmp_path / "raw_data").mkdir()
    status = cli.main(["simulate", str(tmp_path), "x.csv", "--temp", "25"])
    assert status == 1
    assert "battery_model.json: no model file" in capsys.readouterr().err


def test_the_reader_takes_a_profile_without_voltage(tmp_path):
    from cellkit._engine import read_record

    path = tmp_path / "cycle.csv"
    path.write_text("logged by hand\nTime,Amps\n0,0\n1,2.5\n2,2.5\n3,0\n")
    settings = {"columns": {"Seconds": "Time", "Current(A)": "Amps"}}
    settings["discharge_current"] = "positive"
    raw = read_record(path, settings, voltage_optional=True)
    assert_array_equal(raw["current_a"], [0.0, -2.5, -2.5, 0.0])
    assert np.isnan(raw["voltage_v"]).all()
    with pytest.raises(ValueError, match=r'no column "Voltage\(V\)" in any'):
        read_record(path, settings)
