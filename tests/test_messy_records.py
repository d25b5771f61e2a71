"""Records as cyclers and spreadsheets really write them: each one is either read to the
clean record's samples (with a warning naming what was dropped) or refused with a
message naming the record, the line and the problem."""

from __future__ import annotations

import json
import logging
import os
import re
import shutil

import cellgen
import numpy as np
import pulse_records
import pytest
from conftest import ROOT, cell_folder, run_cellfit, write_config

from cellkit import _engine

LGM50 = ROOT.parent / "shared" / "data" / "lgm50_pulse"
MAP = {
    "Seconds": "Test_Time(s)",
    "Voltage(V)": "Voltage(V)",
    "Current(A)": "Current(A)",
    "Temperature(C)": "Aux_Temperature(C)_1",
}


@pytest.fixture(scope="module")
def clean(tmp_path_factory):
    """A one-RC record, its CSV lines (header first) and the reader's columns of it."""
    rec = pulse_records.simulate(
        pulse_records.Cell(), pulse_records.Protocol(n_pulses=6)
    )
    path = tmp_path_factory.mktemp("clean") / "a_Tp25.csv"
    pulse_records.write_record(path, rec, 25)
    return rec, path.read_text().splitlines(), _engine.read_record(path)


def fields(line: str) -> list[str]:
    return line.split(",")


# Each edit takes the clean lines and gives (lines, settings, data rows dropped).
def twice_every_tenth(ls):
    rows = [r for k, r in enumerate(ls[1:]) for _ in range(2 if k % 10 == 0 else 1)]
    return [ls[0], *rows], None, []


def two_rows_at_a_step(ls):
    t, _, _, temp = fields(ls[101])
    return [*ls[:102], f"{t},3.9,-1.0,{temp}", *ls[102:]], None, []


def blank_cells(ls):
    out = list(ls)
    t, _, i, temp = fields(out[51])
    out[51] = f"{t},,{i},{temp}"  # voltage not logged
    out[61] = "," + ",".join(fields(out[61])[1:])  # time not logged
    out[71] = f"{fields(out[71])[0]},#N/A,nan,25.0"  # a spreadsheet's missing values
    return out, None, [50, 60, 70]


def garbage_rows(ls):
    return [*ls[:300], "garbage,row,here", *ls[300:400], ls[0], *ls[400:]], None, []


def trailing_commas(ls):
    return [ls[0], *(line + "," for line in ls[1:])], None, []


def some_trailing_commas(ls):
    rows = [r + "," if k % 7 == 3 else r for k, r in enumerate(ls[1:])]
    return [ls[0], *rows], None, []


def metadata_and_own_names(ls):
    head = ["Test name: cell A", "Channel,5", "", ",".join(MAP.values())]
    return [*head, *ls[1:]], {"columns": MAP, "unknown key": 1}, []


def windows_export(ls):
    return ["\ufeff" + ls[0], *ls[1:]], None, []  # the line ends follow below


def positive_discharge(ls):
    rows = [fields(r) for r in ls[1:]]
    out = [ls[0], *(",".join([t, v, repr(-float(i)), c]) for t, v, i, c in rows)]
    return out, {"discharge_current": "positive"}, []


DROPPED = "with a blank or non-numeric time, voltage or current"
READ_CLEAN = [
    (
        twice_every_tenth,
        "725 rows repeating the time of the row before (first at line 3) are dropped",
    ),
    (
        two_rows_at_a_step,
        "1 row repeating the time of the row before (first at line 103) is dropped",
    ),
    (blank_cells, f"3 rows {DROPPED} (first at line 52) are dropped"),
    (garbage_rows, f"2 rows {DROPPED} (first at line 301) are dropped"),
    (trailing_commas, None),
    (some_trailing_commas, None),
    (metadata_and_own_names, None),
    (windows_export, None),
    (positive_discharge, None),
]


@pytest.mark.parametrize(
    ("edit", "warning"), READ_CLEAN, ids=[e.__name__ for e, _ in READ_CLEAN]
)
def test_messy_record_reads_as_the_clean_one(tmp_path, clean, caplog, edit, warning):
    _, ls, want = clean
    lines, settings, dropped = edit(ls)
    path = tmp_path / "a_Tp25.csv"
    end = "\r\n" if edit is windows_export else "\n"
    path.write_bytes((end.join(lines) + end).encode())
    with caplog.at_level(logging.WARNING, logger="cellkit"):
        got = _engine.read_record(path, settings)
    keep = np.setdiff1d(np.arange(want["time_s"].size), dropped)
    for key in ("time_s", "voltage_v", "current_a"):
        # the same text parsed the same way: equal to the bit
        np.testing.assert_array_equal(got[key], want[key][keep])
    assert (got["temperature_c"], got["name"]) == (25, "a_Tp25")
    messages = [r.getMessage() for r in caplog.records]
    assert messages == ([] if warning is None else [f"{path}: {warning}"])


def time_backwards(ls):
    out = list(ls)
    out[201], out[202] = out[202], out[201]
    return out, None


def too_many_bad_rows(ls):
    out = list(ls)
    for k in range(10, 170, 2):  # 80 of 7242 rows: 1.1 %
        out[k] = ",,,"
    return out, None


def text_beside_numbers(ls):
    return [*ls[:5], ls[5].replace(",", ",x", 1), *ls[6:]], None


def metadata_without_names(ls):
    # a header of the record's own names, not Arbin's (those are recognised)
    names = [n.replace("Test_Time(s)", "Time(s)") for n in MAP.values()]
    head = ["Test name: cell A", ",".join(names)]
    return [*head, *ls[1:]], None


def mapped_column_missing(ls):
    return ls, {"columns": {"Temperature(C)": "Aux_Temperature(C)_1"}}


READ_REFUSED = [
    (time_backwards, 'time goes backwards at line 203: "Seconds" is 200.0 after 201.0'),
    (too_many_bad_rows, "80 of 7242 rows with a blank"),
    (text_beside_numbers, 'column "Voltage(V)" is not numeric: line 6 holds \'x4.'),
    (metadata_without_names, 'no column "Seconds" in any of the first lines (line 2'),
    (mapped_column_missing, 'no column "Aux_Temperature(C)_1" in the header'),
]


@pytest.mark.parametrize(
    ("edit", "message"), READ_REFUSED, ids=[e.__name__ for e, _ in READ_REFUSED]
)
def test_ambiguous_record_is_refused(tmp_path, clean, edit, message):
    lines, settings = edit(clean[1])
    path = tmp_path / "a_Tp25.csv"
    path.write_text("\n".join(lines) + "\n")
    with pytest.raises(ValueError, match=f"^{re.escape(str(path))}: ") as err:
        _engine.read_record(path, settings)
    assert message in str(err.value)


@pytest.mark.parametrize(
    "settings",
    [{"columns": {"Time": "t"}}, {"columns": ["Seconds"]}],
    ids=["unknown-name", "not-a-map"],
)
def test_column_map_must_name_our_columns(clean, tmp_path, settings):
    path = tmp_path / "a_Tp25.csv"
    path.write_text("\n".join(clean[1]) + "\n")
    with pytest.raises(ValueError, match=r"^Invalid columns .*: use an object mapping"):
        _engine.read_record(path, settings)


# ---- the pipeline, run as a user runs it -------------------------------------------

FEW = {"total_number_of_cycles": 2}


def params_of(workdir, name="a_Tp25"):
    return json.loads((workdir / "results" / f"{name}_params.json").read_text())


@pytest.fixture(scope="module")
def clean_params(tmp_path_factory, clean):
    tmp = tmp_path_factory.mktemp("clean_run")
    workdir = cell_folder(tmp, {"a_Tp25.csv": (clean[0], 25)}, **FEW)
    assert run_cellfit(tmp).returncode == 0
    return (workdir / "results" / "a_Tp25_params.json").read_text()


def write_lines(workdir, lines):
    (workdir / "raw_data" / "a_Tp25.csv").write_text("\n".join(lines) + "\n")


def test_many_kinds_of_mess_at_once_give_the_clean_result(
    tmp_path, clean, clean_params
):
    lines, _, _ = twice_every_tenth(clean[1])
    lines, _, _ = trailing_commas(garbage_rows(lines)[0])
    lines, settings, _ = metadata_and_own_names(lines)
    workdir = cell_folder(tmp_path, {}, **FEW, **settings)
    write_lines(workdir, lines)
    run = run_cellfit(tmp_path)
    assert run.returncode == 0, run.stderr[-2000:]
    assert (workdir / "results" / "a_Tp25_params.json").read_text() == clean_params
    warned = [line for line in run.log if line.startswith("WARNING:")]
    # the key the settings do not know, the repeated rows, the rows that are no samples
    assert len(warned) == 3
    assert warned[0].startswith("WARNING:unknown setting 'unknown key'")
    assert all(f"{workdir}/raw_data/a_Tp25.csv: " in line for line in warned[1:])


@pytest.mark.parametrize("setting", [None, "positive"], ids=["no-setting", "setting"])
def test_positive_discharge_current(tmp_path, clean, clean_params, setting):
    lines, _, _ = positive_discharge(clean[1])
    config = FEW if setting is None else {**FEW, "discharge_current": setting}
    workdir = cell_folder(tmp_path, {}, **config)
    write_lines(workdir, lines)
    run = run_cellfit(tmp_path)
    if setting:
        assert run.returncode == 0, run.stderr[-2000:]
        assert (workdir / "results" / "a_Tp25_params.json").read_text() == clean_params
        return
    assert run.returncode == 1
    assert run.log[-1] == (
        f"ValueError: {workdir}/raw_data/a_Tp25.csv: the current sign looks reversed "
        "(charge current up to 2.0 A and no discharge current); set "
        '"discharge_current": "positive" in input_params.json'
    )


def test_leading_charge_is_dropped(tmp_path, clean_params):
    proto = pulse_records.Protocol(n_pulses=6, charge_s=1800.0, soc0=0.5)
    rec = pulse_records.simulate(pulse_records.Cell(), proto)
    workdir = cell_folder(tmp_path, {"a_Tp25.csv": (rec, 25)}, **FEW)
    run = run_cellfit(tmp_path)
    assert run.returncode == 0, run.stderr[-2000:]
    assert [line for line in run.log if "opens with a charge" in line] == [
        f"WARNING:{workdir}/raw_data/a_Tp25.csv: the record opens with a charge; its "
        "first 1800 rows (1800.0 s) are dropped and the record is taken from the rest "
        "after it"
    ]
    got, want = params_of(workdir), json.loads(clean_params)
    # the charge leaves the RC pair 0.3 mV short of rest after 60 s: R0 barely moves
    assert got["Tparam_2"][0] == pytest.approx(want["Tparam_2"][0], rel=0.02)
    assert got["Tparam_1"] == pytest.approx(want["Tparam_1"], rel=1e-3)
    # the OCV points agree within the 0.7 mV of polarisation the charge leaves at the
    # first rest end; below the lowest point (SOC 0.72) the spline extrapolates it
    measured = np.asarray(want["Tparam_3"][0]) >= 0.75
    got_ocv, want_ocv = np.asarray(got["Tparam_3"][1]), np.asarray(want["Tparam_3"][1])
    np.testing.assert_allclose(got_ocv[measured], want_ocv[measured], atol=1e-3)


@pytest.mark.skipif(not LGM50.is_dir(), reason="real records not available")
def test_lgm50_with_every_tenth_row_repeated(tmp_path):
    config = json.loads((LGM50 / "input_params.json").read_text())
    settings = {k: v for k, v in config.items() if not k.startswith("battery_")}
    outputs = {}
    for kind in ("as-is", "repeated"):
        work = tmp_path / kind / "lgm50_pulse"
        shutil.copytree(LGM50 / "raw_data", work / "raw_data")
        for path in (work / "raw_data").glob("*.csv"):
            if kind == "repeated":
                lines = twice_every_tenth(path.read_text().splitlines())[0]
                path.write_text("\n".join(lines) + "\n")
        write_config(tmp_path / kind, work, **settings)
        run = run_cellfit(tmp_path / kind)
        assert run.returncode == 0, run.stderr[-2000:]
        outputs[kind] = {
            p.name: p.read_text() for p in (work / "results").glob("*_params.json")
        }
    assert len(outputs["as-is"]) == 4
    assert outputs["repeated"] == outputs["as-is"]


@pytest.mark.parametrize(
    ("config", "message"),
    [
        ({"low_cutoff": "4.2"}, "Invalid low_cutoff 4.2 V"),
        ({"discharge_current": "pos"}, "Unknown discharge_current 'pos'"),
    ],
    ids=["low-not-below-high", "sign-word"],
)
def test_unusable_settings_are_refused_at_start(tmp_path, clean, config, message):
    workdir = cell_folder(tmp_path, {"a_Tp25.csv": (clean[0], 25)}, **config)
    run = run_cellfit(tmp_path)
    assert run.returncode == 1
    last = [line for line in run.log if line][-1]
    assert last.startswith(message + " in './input_params.json': ")
    assert not (workdir / "results").exists()  # refused before anything is written


FAILING_SAVETXT = """
import numpy as np
def broken_savetxt(fname, X, **kw):
    with open(fname, "w") as f:
        f.write("# SOC,OCV\\n0.0,")  # half a table, then the disk fills up
    raise OSError(28, "No space left on device")
np.savetxt = broken_savetxt
"""


@pytest.mark.parametrize("target", ["params.json", "ocv.csv"])
def test_failed_write_is_an_os_error_naming_the_file(tmp_path, clean, target):
    workdir = cell_folder(tmp_path, {"a_Tp25.csv": (clean[0], 25)}, **FEW)
    file = workdir / "results" / f"a_Tp25_{target}"
    env = None
    if target == "params.json":
        file.mkdir(parents=True)  # a folder in the file's place cannot be replaced
    else:
        (tmp_path / "sitecustomize.py").write_text(FAILING_SAVETXT)
        env = {**os.environ, "PYTHONPATH": str(tmp_path)}
    run = run_cellfit(tmp_path, env=env)
    assert run.returncode == 1
    assert run.log[-1].startswith(f"OSError: {file}: ")
    assert not any(str(file) in line for line in run.log if line.startswith("INFO:"))
    assert not [p for p in (workdir / "results").iterdir() if ".tmp" in p.name]


def test_model_file_write_error_names_the_file(tmp_path):
    results = tmp_path / "cell" / "results"
    results.mkdir(parents=True)
    soc = np.linspace(0, 1, 201).tolist()
    params = {"TempC": 25, "Tparam_1": 2.0, "Tparam_2": [0.03, 0.01, 1000.0]}
    params["Tparam_3"] = [soc, [3.2 + s for s in soc]]
    (results / "a_Tp25_params.json").write_text(json.dumps(params))
    (results / "battery_model.json").mkdir()
    target = re.escape(f"{results}/battery_model.json")
    with pytest.raises(OSError, match=f"^{target}: cannot replace the file"):
        cellgen.write_battery_model_file(str(tmp_path / "cell"), 3.0, 4.2)
