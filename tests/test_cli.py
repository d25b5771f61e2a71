"""The cellfit command: cells run in this process or in batches must give the files
`import cellfit` gives, and a bad cell must end as a failed cell, never as a crash."""

from __future__ import annotations

import json
import logging
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pandas as pd
import pulse_records
import pytest
from cell_tasks import crash_on_named
from conftest import cell_folder, run_cellfit

from cellkit import batch, cli, run_files
from cellkit.run import run_cell

# short records (5 pulses of 120 s, 300 s rests): a cell takes a fraction of a second
PROTO = pulse_records.Protocol(n_pulses=5, pulse_s=120, rest_s=300, final_s=3000)
RECORDS = {
    f"cell_T{'n' if t < 0 else 'p'}{abs(t)}.csv": (
        pulse_records.simulate(pulse_records.Cell(r0=0.03 - 2e-4 * t), PROTO, seed=k),
        None,
    )
    for k, t in enumerate((-10, 25))
}
BROKEN = "cell_Tp25.csv"


@pytest.fixture(scope="module")
def reference(tmp_path_factory):
    """A cell run by `import cellfit` in a fresh interpreter: its working folder, log
    and result files."""
    workdir = cell_folder(tmp_path_factory.mktemp("ref"), RECORDS)
    run = run_cellfit(workdir.parent, fresh=True)
    assert run.returncode == 0, run.stderr
    return workdir, run.log, results(workdir)


def copy_cell(reference, folder: Path, broken: bool = False) -> Path:
    """The reference cell's records and settings in folder/cell (the same folder name,
    so the model file names the cell alike); battery_* point elsewhere."""
    workdir = folder / "cell"
    shutil.copytree(reference[0] / "raw_data", workdir / "raw_data")
    shutil.copy(reference[0].parent / "input_params.json", workdir)
    if broken:
        record = workdir / "raw_data" / BROKEN
        record.write_text(record.read_text().replace("Voltage(V)", "Volts"))
    return workdir


def results(workdir: Path) -> dict:
    """The result files but the manifest (which holds the run's times and paths)."""
    files = (workdir / "results").iterdir()
    return {p.name: p.read_bytes() for p in files if p.name != "manifest.json"}


def test_run_in_process_twice_matches_import(tmp_path, reference, capsys):
    workdir = copy_cell(reference, tmp_path)
    root = logging.getLogger()
    before = (os.getcwd(), sys.stdout, list(root.handlers), root.level)
    # a first run with other settings leaves nothing behind for the second
    assert cli.main(["run", str(workdir), "--cycles", "1", "--model", "model2"]) == 0
    capsys.readouterr()
    assert cli.main(["run", str(workdir)]) == 0
    assert (os.getcwd(), sys.stdout, list(root.handlers), root.level) == before
    assert results(workdir) == reference[2]
    # the same log as the plain run, but for the folder's path
    log = (workdir / "cellfit.log").read_text().splitlines()
    want = [line.replace(str(reference[0]), str(workdir)) for line in reference[1]]
    assert log == want
    table = capsys.readouterr().out.splitlines()
    assert table[0].split()[:3] == ["record", "°C", "pulses"]
    rows = {line.split()[0]: line.split() for line in table[1:3]}
    assert rows["cell_Tn10"][1:3] == ["-10", "5"]
    assert rows["cell_Tp25"][1:3] == ["25", "5"]


def _broken_record(ref, tmp):
    return [str(copy_cell(ref, tmp, broken=True))]


def _never_below_cutoff(ref, tmp):  # the pipeline ends this with sys.exit
    return [str(copy_cell(ref, tmp)), "--low-cutoff", "2.0"]


def _no_settings(ref, tmp):
    workdir = copy_cell(ref, tmp)
    (workdir / "input_params.json").unlink()
    return [str(workdir), "--model", "model1"]


def _no_records(ref, tmp):
    (tmp / "cell").mkdir()
    return [str(tmp / "cell")]


@pytest.mark.parametrize(
    ("make", "message"),
    [
        (_broken_record, f'ValueError: {{cell}}/raw_data/{BROKEN}: no column "Volt'),
        (_never_below_cutoff, "Battery voltage does not cross the defined low cut"),
        (_no_settings, "{cell}: no low_cutoff, high_cutoff: set them in {cell}/input_"),
        (_no_records, "{cell}: no raw_data folder"),
    ],
    ids=["broken-record", "exit-in-pipeline", "missing-settings", "no-raw-data"],
)
def test_failed_run_exits_1_with_its_last_error_line(
    tmp_path, reference, capsys, make, message
):
    cwd = os.getcwd()
    args = make(reference, tmp_path)
    assert cli.main(["run", *args]) == 1
    assert os.getcwd() == cwd
    message = message.format(cell=tmp_path / "cell")
    err = capsys.readouterr().err.splitlines()
    assert err[-1].startswith(f"cellfit: {message}")
    log = tmp_path / "cell" / "cellfit.log"
    if make is not _no_records:  # the log also keeps the error, at its end
        assert message in log.read_text().strip().splitlines()[-1]


@pytest.mark.parametrize(
    "how",
    [["--workers", "2"], ["--scheduler", "local", "--workers", "1"]],
    ids=["process-pool", "dask-local-cluster"],
)
def test_batch_isolates_a_broken_cell(tmp_path, reference, how):
    if "--scheduler" in how:
        pytest.importorskip("distributed")
    cells = [copy_cell(reference, tmp_path / f"c{k}", broken=k == 1) for k in range(3)]
    proc = subprocess.run(
        [sys.executable, "-m", "cellkit", "batch", *map(str, cells), *how],
        capture_output=True,
        text=True,
        timeout=600,
    )
    assert proc.returncode == 1, proc.stderr
    for k in (0, 2):
        assert results(cells[k]) == reference[2]
    rows = {line.split()[0]: line for line in proc.stdout.splitlines()[1:4]}
    assert rows[str(cells[0])].split()[1] == "ok"
    failed = rows[str(cells[1])]
    assert failed.split()[1] == "failed"
    assert f'{cells[1]}/raw_data/{BROKEN}: no column "Voltage(V)"' in failed
    assert "2 ok, 1 failed" in proc.stdout


def test_scheduler_without_dask_says_how_to_install(monkeypatch, tmp_path, capsys):
    monkeypatch.setitem(sys.modules, "distributed", None)  # as if not installed
    assert cli.main(["batch", str(tmp_path), "--scheduler", "local"]) == 1
    assert "pip install 'cellfit[dask]'" in capsys.readouterr().err


def test_pool_reports_only_the_cell_that_kills_its_worker():
    folders = ["a", "crash", "b", "c", "d"]
    got = {r.folder: r for r in batch.run_pool(folders, None, 2, task=crash_on_named)}
    assert sorted(got) == sorted(folders)
    assert [f for f, r in got.items() if not r.ok] == ["crash"]
    assert "died" in got["crash"].error


def test_summary_gives_the_figures_of_the_written_files(tmp_path, reference):
    """The per-record figures the pipeline hands over are those of the files it wrote:
    the pulses table's rows and median RMS, the parameter file's R0 and capacity."""
    workdir = copy_cell(reference, tmp_path)
    result = run_cell(workdir)
    assert result.ok, result.error
    assert [r.record for r in result.records] == ["cell_Tn10", "cell_Tp25"]
    for got in result.records:
        params = json.loads(
            (workdir / "results" / f"{got.record}_params.json").read_text()
        )
        pulses = pd.read_csv(workdir / "results" / f"{got.record}_pulses.csv")
        assert (got.temp_c, got.capacity_ah) == (params["TempC"], params["Tparam_1"])
        assert got.r0_ohm == params["Tparam_2"][0]
        assert got.pulses == len(pulses)
        # the table holds the RMS errors rounded for print; the summary the exact ones
        assert got.median_rms_mv == pytest.approx(pulses["rms_mV"].median(), rel=1e-6)


@pytest.mark.parametrize(
    ("text", "want"),
    [
        ('\ufeff{"model": "model2"}', {"model": "model2"}),
        ("{not json", "input_params.json: not a readable JSON file"),
        ("[1, 2]", "input_params.json: expected a JSON object, found [1, 2]"),
    ],
    ids=["byte-order-mark", "not-json", "not-an-object"],
)
def test_settings_file_is_read_one_way(tmp_path, text, want):
    (tmp_path / "input_params.json").write_text(text, encoding="utf-8")
    if isinstance(want, dict):
        assert run_files.load_settings(tmp_path) == want
        return
    with pytest.raises(ValueError, match=re.escape(f"{tmp_path}/{want}")):
        run_files.load_settings(tmp_path)


def test_run_reads_settings_saved_with_a_byte_order_mark(tmp_path, reference):
    workdir = copy_cell(reference, tmp_path)
    config = workdir / "input_params.json"
    config.write_text("\ufeff" + config.read_text(), encoding="utf-8")
    result = run_cell(workdir)
    assert result.ok, result.error
    assert results(workdir) == reference[2]
