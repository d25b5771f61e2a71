"""The workspace dump (tests/workspace_dump.py) that refactors of the pipeline are
checked with: a run leaves every name its users rely on, and the dump reduces what
changes from run to run (folders, clocks, dates) so that two runs compare equal."""

from __future__ import annotations

import json

import pulse_records
import workspace_dump


def test_a_two_rc_run_leaves_every_published_name(tmp_path):
    rec = pulse_records.simulate(
        pulse_records.Cell(r2=0.02, c2=20000.0), pulse_records.Protocol(n_pulses=5)
    )
    cell = tmp_path / "cell"
    (cell / "raw_data").mkdir(parents=True)
    pulse_records.write_record(cell / "raw_data" / "two_Tp25.csv", rec)
    workspace_dump.write_settings(
        cell, {"model": "model2", "total_number_of_cycles": 3}
    )

    dump = workspace_dump.dump_cell(cell, tmp_path / "results")

    assert dump["absent"] == []  # temperature_txt too: the name gave the temperature
    published = dump["published"]
    assert published["temperature"] == "int:25"
    assert published["total_number_of_cycles"] == "int:3"
    assert published["start_time"] == "float"  # a clock reading: its type only
    assert published["bat_params_file"] == "<cell>/results/two_Tp25_params.json"
    assert set(published["t"]) == {"dtype", "shape", "sha256"}
    runtimes = [row["items"][2] for row in published["results"]["items"]]
    assert runtimes == ["<minutes>"] * 3
    assert (tmp_path / "results" / "two_Tp25_params.json").is_file()
    assert json.dumps(dump).count(str(tmp_path)) == 0
