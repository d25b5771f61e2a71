"""Runs a lab can trust: results that are this run's records, a manifest that says how
the run ended (also when it was stopped), settings and folders given wrong ending in an
error that says what is wrong, in which file. Cells run in this process."""

from __future__ import annotations

import json
import logging
import os
import shutil
import stat
from pathlib import Path

import pulse_records
import pytest
from cell_tasks import maths_threads
from conftest import cell_folder

from cellkit import batch, cli, run_files
from cellkit.run import _error_line, run_cell

PROTO = pulse_records.Protocol(n_pulses=5, pulse_s=120, rest_s=300, final_s=3000)
TEMPS = (-10, 25, 45)
SETTINGS = {"model": "model1", "total_number_of_cycles": 2}


def record_name(temp_c: int, stem: str = "cell") -> str:
    return f"{stem}_T{'n' if temp_c < 0 else 'p'}{abs(temp_c)}.csv"


@pytest.fixture(scope="module")
def three_records(tmp_path_factory):
    """raw_data/ of a one-RC cell at -10, 25 and 45 °C, settings beside it."""
    records = {
        record_name(t): (pulse_records.simulate(pulse_records.Cell(), PROTO), None)
        for t in TEMPS
    }
    return cell_folder(tmp_path_factory.mktemp("three"), records, **SETTINGS)


@pytest.fixture
def cell(three_records, tmp_path):
    """An own copy of the three-record cell, its settings inside it."""
    workdir = tmp_path / "cell"
    shutil.copytree(three_records / "raw_data", workdir / "raw_data")
    shutil.copy(three_records.parent / "input_params.json", workdir)
    return workdir


def manifest(workdir: Path) -> dict:
    return json.loads((workdir / "results" / "manifest.json").read_text())


def model_temps(workdir: Path) -> list:
    return json.loads((workdir / "results" / "battery_model.json").read_text())["temps"]


def test_manifest_of_a_complete_run(cell):
    result = run_cell(cell)
    assert result.ok, result.error
    m = manifest(cell)
    assert (m["tool"], m["status"], m["version"]) == ("cellfit", "complete", "0.1.0")
    assert m["settings"]["model"] == "model1"
    assert m["started"] <= m["finished"]
    record = cell / "raw_data" / record_name(25)
    assert m["inputs"][f"raw_data/{record.name}"]["bytes"] == record.stat().st_size
    assert "input_params.json" in m["inputs"]
    written = {p.name for p in (cell / "results").iterdir()} - {"manifest.json"}
    assert {Path(p).name for p in m["outputs"]} == written
    digest = m["outputs"]["results/battery_model.json"]["sha256"]
    assert len(digest) == 64
    assert m["left_out"] == []
    # the log: as any file the user makes (subject to the umask), ending in a newline
    log = cell / "cellfit.log"
    assert stat.S_IMODE(log.stat().st_mode) == 0o666 & ~_umask()
    assert log.read_text().endswith("Saved file 'battery_tables.json'\n")


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


def test_stale_record_is_named_and_left_out_of_the_model(cell):
    assert run_cell(cell).ok
    assert model_temps(cell) == [-10.0, 25.0, 45.0]
    (cell / "raw_data" / record_name(45)).unlink()
    result = run_cell(cell)
    assert result.ok, result.error
    assert model_temps(cell) == [-10.0, 25.0]
    stale = record_name(45).removesuffix(".csv")
    [warning] = [w for w in result.warnings if stale in w]
    assert f"{stale}_params.json, {stale}_ocv.csv" in warning
    assert "not in raw_data/" in warning
    assert (cell / "results" / f"{stale}_params.json").exists()  # kept on disk
    assert manifest(cell)["left_out"] == [f"results/{stale}_params.json"]
    # the tools read the run's records only
    kept = [record_name(t).removesuffix(".csv") for t in (-10, 25)]
    assert [name for name, _ in run_files.load_params(cell)] == kept
    assert [r.name for r in run_files.FinishedRun.load(cell).records] == kept


def test_two_records_at_one_temperature_are_named(cell):
    shutil.copy(
        cell / "raw_data" / record_name(25), cell / "raw_data" / record_name(25, "b")
    )
    result = run_cell(cell)
    assert result.ok, result.error
    names = sorted(f"{s}_Tp25_params.json" for s in ("cell", "b"))
    [warning] = [w for w in result.warnings if "25.0 °C" in w]
    assert all(name in warning for name in names)
    assert model_temps(cell) == [-10.0, 25.0, 25.0, 45.0]


class Interrupt(logging.Handler):
    """Raises KeyboardInterrupt, as Ctrl-C does, at the second record's start."""

    def __init__(self):
        super().__init__()
        self.starts = 0

    def emit(self, record):
        self.starts += record.getMessage().startswith("started processing file")
        if self.starts == 2:
            raise KeyboardInterrupt


def test_ctrl_c_leaves_an_interrupted_manifest_and_log(cell):
    assert run_cell(cell).ok
    handler = Interrupt()
    logging.getLogger("cellfit").addHandler(handler)
    try:
        with pytest.raises(KeyboardInterrupt):
            run_cell(cell)
    finally:
        logging.getLogger("cellfit").removeHandler(handler)
    m = manifest(cell)
    assert m["status"] == "interrupted"
    assert m["finished"]
    assert len([p for p in m["outputs"] if p.endswith("_params.json")]) == 1
    log = (cell / "cellfit.log").read_text()
    assert log.splitlines()[-1].startswith("interrupted:")
    assert "Saved file 'battery_model.json'" not in log  # the log of this run only
    for tool in (
        run_files.load_model,
        run_files.load_params,
        run_files.FinishedRun.load,
    ):
        with pytest.raises(ValueError, match="was interrupted; results/ holds a part"):
            tool(cell)
    assert cli.main(["validate", str(cell)]) == 1


@pytest.mark.parametrize(
    ("settings", "want"),
    [({}, (3.2, 4.2)), ({"low_cutoff": 3.0, "high_cutoff": "4.1"}, (3.0, 4.1))],
    ids=["from-the-model-grid", "from-the-settings"],
)
def test_voltage_limits_of_a_finished_run(tmp_path, settings, want):
    # the model file's voltage grid starts 10 mV below the low cut-off
    model = {"param_2": [3.19, 3.7, 4.2]}
    run = run_files.FinishedRun(tmp_path, settings, model, None, [], None)
    assert run.voltage_limits == pytest.approx(want, abs=1e-12)


def test_a_run_that_never_ended_is_refused(cell):
    assert run_cell(cell).ok
    m = manifest(cell)
    m["status"] = "running"  # as a killed run leaves it
    (cell / "results" / "manifest.json").write_text(json.dumps(m))
    with pytest.raises(ValueError, match="has not finished"):
        run_files.load_model(cell)


def _settings(**values):
    def make(cell):
        config = json.loads((cell / "input_params.json").read_text())
        config.update(values)
        (cell / "input_params.json").write_text(json.dumps(config))
        return [str(cell)]

    return make


def _huge_cutoff(cell):
    text = (cell / "input_params.json").read_text()
    config = text.replace('"high_cutoff": 4.2', '"high_cutoff": 1' + "0" * 400)
    (cell / "input_params.json").write_text(config)
    return [str(cell)]


def _misspelt_required(cell):
    config = json.loads((cell / "input_params.json").read_text())
    config["low_cuttoff"] = config.pop("low_cutoff")
    (cell / "input_params.json").write_text(json.dumps(config))
    return [str(cell)]


def _record_path(cell):
    return [str(cell / "raw_data" / record_name(25))]


def _records_folder(cell):
    return [str(cell / "raw_data")]


def _empty_records(cell):
    for record in (cell / "raw_data").iterdir():
        record.unlink()
    return [str(cell)]


@pytest.mark.parametrize(
    ("make", "message"),
    [
        (_settings(high_cutoff="x"), "Invalid high_cutoff 'x' in '{file}': not a num"),
        (_huge_cutoff, "Invalid high_cutoff 10000000000000000000000000000"),
        (_settings(low_cutoff=4.3), "Invalid low_cutoff 4.3 V in '{file}': it must"),
        (_settings(model="m3"), "Unknown model 'm3' in '{file}': use"),
        (_misspelt_required, '{cell}: no low_cutoff (the file has "low_cuttoff")'),
        (_record_path, "{cell}/raw_data/cell_Tp25.csv: a file, not a cell folder"),
        (_records_folder, "{cell}/raw_data: the records folder itself; pass the cell"),
        (_empty_records, "No records (*.csv) in {cell}/raw_data"),
    ],
    ids=[
        "text-cutoff",
        "400-digit-cutoff",
        "cutoffs-reversed",
        "unknown-model",
        "misspelt-required-key",
        "record-as-folder",
        "raw-data-as-folder",
        "no-records",
    ],
)
def test_bad_settings_and_folders_say_what_and_where(cell, capsys, make, message):
    args = make(cell)
    assert cli.main(["run", *args, "-q"]) == 1
    err = capsys.readouterr().err.strip().splitlines()
    assert len(err) == 1
    assert err[0].startswith("cellfit: ")
    assert message.format(cell=cell, file=cell / "input_params.json") in err[0]
    assert not (cell / "results").exists()  # refused before anything was written
    assert not (cell / "raw_data" / "cellfit.log").exists()


def test_misspelt_key_is_warned_about_with_the_nearest_known_key(cell):
    _settings(fit_methd="joint")(cell)
    result = run_cell(cell)
    assert result.ok, result.error
    [warning] = [w for w in result.warnings if "fit_methd" in w]
    assert f"in '{cell}/input_params.json' is ignored" in warning
    assert warning.endswith("did you mean 'fit_method'?")


@pytest.mark.parametrize(
    "args",
    [["--low", "3.1"], ["--modle", "model2"], ["--mod", "model2"]],
    ids=["abbreviated", "misspelt", "abbreviated-choice"],
)
def test_options_are_taken_whole_and_refused_with_the_commands_usage(
    tmp_path, capsys, args
):
    with pytest.raises(SystemExit) as stop:
        cli.main(["run", str(tmp_path), *args])
    assert stop.value.code == 2
    err = capsys.readouterr().err
    assert err.startswith("usage: cellfit run ")
    assert "cellfit run: error: unrecognized arguments" in err


def test_error_lines_keep_the_whole_message_on_one_line():
    # pandas ends some messages in a line break; the last line alone would be ")"
    exc = ValueError("x.csv: cannot read (Error tokenizing data. C error: saw 2\n)")
    assert _error_line(exc)[0] == (
        "ValueError: x.csv: cannot read (Error tokenizing data. C error: saw 2)"
    )
    assert _error_line(SystemExit("\nNo records in x\n"))[0] == "No records in x"


def test_pool_workers_run_single_threaded_maths(monkeypatch):
    monkeypatch.setenv("OMP_NUM_THREADS", "8")
    [result] = batch.run_pool(["a"], None, 2, task=maths_threads)
    assert result.warnings == ["1", "1", "1"]
    assert os.environ["OMP_NUM_THREADS"] == "8"  # this process's own is put back
