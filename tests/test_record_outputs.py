"""The results table and the per-record files written to results/."""

from __future__ import annotations

import io
import json
import os
import subprocess
import sys

import numpy as np
import pulse_records
import pytest
from conftest import cell_folder, run_cellfit, write_config

TABLE = "cellfit._columns = list(cellfit.df_results.columns); cellfit._table = cellfit.df_results.values.tolist()"
NAMES = [
    "_columns",
    "_table",
    "opt_avg",
    "opt_median",
    "bat_params_file",
    "ocv_file",
    "SOC",
    "OCV_3rd",
]


@pytest.mark.parametrize(
    ("model", "columns"),
    [
        ("model1", ["OCV level", "R0 (Ohm)", "R1 (Ohm)", "C1 (F)", "RMS error (mV)"]),
        (
            "model2",
            [
                "OCV level",
                "R0 (Ohm)",
                "R1 (Ohm)",
                "C1 (F)",
                "R2 (Ohm)",
                "C2 (F)",
                "RMS error (mV)",
            ],
        ),
    ],
)
def test_table_and_parameter_file(tmp_path, one_rc_record, model, columns):
    workdir = cell_folder(
        tmp_path,
        {"cellA_Tn10.csv": (one_rc_record, None)},
        model=model,
        total_number_of_cycles=4,
    )
    run = run_cellfit(tmp_path, NAMES, after=TABLE)
    assert run.returncode == 0, run.stderr
    ws = run.attrs
    assert ws["_columns"] == columns
    table = ws["_table"]
    assert len(table) == 6  # four cycles, then the mean and the median row
    cycles = np.array([row[1:-1] for row in table[:4]], dtype=float)
    assert table[4][0] == "Mean"
    assert table[4][-1] == ""
    assert table[5][0] == "Median"
    assert table[5][-1] == ""
    assert table[4][1:-1] == pytest.approx(cycles.mean(axis=0).tolist(), rel=1e-12)
    # an even count: the median is the mean of the two middle values
    assert table[5][1:-1] == pytest.approx(
        np.median(cycles, axis=0).tolist(), rel=1e-12
    )
    assert ws["opt_median"] == table[5][1:-1]

    params_file = workdir / "results" / "cellA_Tn10_params.json"
    assert ws["bat_params_file"] == str(params_file)
    text = params_file.read_text()
    params = json.loads(text)
    assert text == json.dumps(params)  # json.dumps' own layout: one line, no newline
    assert list(params) == ["TempC", "Tparam_1", "Tparam_2", "Tparam_3"]
    assert text.startswith('{"TempC": -10, "Tparam_1": ')
    assert params["Tparam_2"] == ws["opt_median"]
    assert len(params["Tparam_2"]) == len(columns) - 2
    soc, ocv = params["Tparam_3"]
    assert soc == ws["SOC"]
    assert ocv == ws["OCV_3rd"]
    assert len(soc) == 201
    assert soc[:3] == [0.0, 0.005, 0.01]
    assert soc[-1] == 1.0
    log = run.log
    written = log.index(f"INFO:file {params_file} written")
    assert (
        log[written + 1]
        == f"INFO:Saved file {workdir / 'results' / 'cellA_Tn10_ocv.csv'}"
    )


def test_ocv_table_is_numpy_savetxt(tmp_path, one_rc_record):
    workdir = cell_folder(
        tmp_path, {"a_Tp25.csv": (one_rc_record, 25)}, total_number_of_cycles=1
    )
    run = run_cellfit(tmp_path, NAMES)
    lines = (
        (workdir / "results" / "a_Tp25_ocv.csv").read_text().splitlines(keepends=True)
    )
    assert len(lines) == 202
    assert lines[0] == "# SOC,OCV\n"
    assert lines[1].startswith("0.000000000000000000e+00,")
    assert lines[2].startswith("5.000000000000000104e-03,")
    assert lines[-1].startswith("1.000000000000000000e+00,")
    buf = io.StringIO()
    np.savetxt(
        buf,
        np.transpose([run.attrs["SOC"], run.attrs["OCV_3rd"]]),
        header="SOC,OCV",
        delimiter=",",
    )
    assert "".join(lines) == buf.getvalue()


def test_record_without_fitted_cycles(tmp_path, one_rc_record):
    workdir = cell_folder(
        tmp_path, {"a_Tp25.csv": (one_rc_record, 25)}, total_number_of_cycles=0
    )
    run = run_cellfit(tmp_path, NAMES, after=TABLE)
    assert run.returncode == 0, run.stderr
    assert any(l.startswith("WARNING:") and "no cycle was fitted" in l for l in run.log)
    assert [row[0] for row in run.attrs["_table"]] == ["Mean", "Median"]
    text = (workdir / "results" / "a_Tp25_params.json").read_text()
    assert '"Tparam_2": [NaN, NaN, NaN]' in text


def test_outputs_go_to_results_even_when_the_folder_name_says_raw_data(
    tmp_path, one_rc_record
):
    workdir = tmp_path / "raw_data.csv_cells"
    (workdir / "raw_data").mkdir(parents=True)
    pulse_records.write_record(workdir / "raw_data" / "a_Tp25.csv", one_rc_record, 25)
    write_config(tmp_path, workdir, total_number_of_cycles=1)
    run = run_cellfit(tmp_path, NAMES)
    assert run.returncode == 0, run.stderr
    assert (workdir / "results" / "a_Tp25_params.json").exists()
    assert (workdir / "results" / "a_Tp25_ocv.csv").exists()


FAILING_SAVETXT = r"""
import numpy as np
def broken_savetxt(fname, X, **kw):
    with open(fname, "w") as f:
        f.write("# SOC,OCV\n0.0,")  # half a table, then the disk fills up
    raise OSError(28, "No space left on device")
np.savetxt = broken_savetxt
"""


def test_failed_write_keeps_the_previous_file(tmp_path, one_rc_record):
    workdir = cell_folder(
        tmp_path, {"a_Tp25.csv": (one_rc_record, 25)}, total_number_of_cycles=1
    )
    assert run_cellfit(tmp_path).returncode == 0
    results = workdir / "results"
    before = {p.name: p.read_bytes() for p in results.iterdir()}
    (tmp_path / "sitecustomize.py").write_text(FAILING_SAVETXT)
    env = {**os.environ, "PYTHONPATH": str(tmp_path)}
    proc = subprocess.run(
        [sys.executable, "-c", "import cellfit"],
        cwd=tmp_path,
        env=env,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert proc.returncode == 1
    assert "No space left on device" in proc.stderr
    after = {p.name: p.read_bytes() for p in results.iterdir()}
    assert (
        after["a_Tp25_ocv.csv"] == before["a_Tp25_ocv.csv"]
    )  # the good table survives
    assert set(after) == set(before)  # and no temporary file is left behind
