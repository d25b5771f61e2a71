"""cellfit export-tables: battery_tables.json as one CSV per quantity and direction."""

from __future__ import annotations

import json

import numpy as np
import pandas as pd
from numpy.testing import assert_allclose

from cellkit import cli

TABLES = {
    "soc": [0.0, 0.5, 1.0],
    "temps": [-10.0, 25.0],
    "capacity_ah": [2.0, 2.5],
    "voltage_limits": [3.0, 4.2],
    "rested_soc": [[0.5, 1.0], [0.0, 1.0]],
    "ocv": [[None, 3.4], [3.7, 3.71], [4.1, 4.12]],
    "discharge": {
        "R0": [[0.06, 0.03], [0.05, None], [0.05, 0.02]],
        "R1": [[0.02, 0.01]] * 3,
        "C1": [[900.0, 1000.0]] * 3,
    },
    "charge": {
        "R0": [[None, None]] * 3,
        "R1": [[None, 0.01]] * 3,
        "C1": [[None, 800.0]] * 3,
    },
}


def test_one_file_per_quantity_and_direction(tmp_path, capsys):
    results = tmp_path / "results"
    results.mkdir()
    (results / "battery_tables.json").write_text(json.dumps(TABLES))
    assert cli.main(["export-tables", str(tmp_path)]) == 0
    assert "8 tables in" in capsys.readouterr().out
    names = sorted(p.name for p in results.glob("battery_tables_*.csv"))
    assert names == sorted(
        ["battery_tables_ocv.csv", "battery_tables_capacity.csv"]
        + [f"battery_tables_{d}_{e}.csv" for d in ("discharge", "charge")
           for e in ("R0", "R1", "C1")]
    )  # fmt: skip
    ocv = pd.read_csv(results / "battery_tables_ocv.csv")
    assert list(ocv.columns) == ["soc", "-10", "25"]
    assert_allclose(
        ocv.to_numpy(), [[0, np.nan, 3.4], [0.5, 3.7, 3.71], [1, 4.1, 4.12]]
    )
    assert (
        pd.read_csv(results / "battery_tables_charge_R0.csv")
        .iloc[:, 1:]
        .isna()
        .all(axis=None)
    )
    capacity = pd.read_csv(results / "battery_tables_capacity.csv")
    assert capacity.to_dict("list") == {
        "temp_c": [-10.0, 25.0],
        "capacity_ah": [2.0, 2.5],
    }

    # filled: the nearest value in SOC, then in temperature; an empty table stays empty
    assert cli.main(["export-tables", str(results), "--fill"]) == 0
    ocv = pd.read_csv(results / "battery_tables_ocv.csv")
    assert ocv["-10"].tolist() == [3.7, 3.7, 4.1]
    r0 = pd.read_csv(results / "battery_tables_discharge_R0.csv")
    assert r0["25"].tolist() == [0.03, 0.03, 0.02]
    charge_c1 = pd.read_csv(results / "battery_tables_charge_C1.csv")
    assert charge_c1["-10"].tolist() == [800.0] * 3
    assert pd.read_csv(results / "battery_tables_charge_R0.csv")["25"].isna().all()


def test_a_folder_without_tables_says_so(tmp_path, capsys):
    assert cli.main(["export-tables", str(tmp_path)]) == 1
    assert "no battery_tables.json" in capsys.readouterr().err
