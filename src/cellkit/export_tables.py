"""The SOC x temperature tables of battery_tables.json as CSV files, for a BMS or a
Simulink model's 2-D lookup tables.

``export_tables(folder)`` writes, beside battery_tables.json in results/:

- ``battery_tables_ocv.csv``: the OCV (V);
- ``battery_tables_<direction>_<element>.csv`` for each direction (discharge, charge)
  and circuit element (R0, R1, C1, R2, C2; ohm and farad);
- ``battery_tables_capacity.csv``: the capacity (Ah) per temperature.

Each table has one row per SOC of the grid (first column ``soc``) and one column per
temperature, headed by the temperature in °C. A table cell without a value (no rest or
no pulse near it) is left empty; with ``fill`` it takes the nearest value in SOC, then
in temperature, as the PyBaMM export fills it.
"""

from __future__ import annotations

import logging
from pathlib import Path

import numpy as np
import pandas as pd

from cellkit import run_files
from cellkit.export import _load, _tables_path
from cellkit.tables import filled, table_array

__all__ = ["export_tables"]

log = logging.getLogger("cellkit")
PREFIX = "battery_tables"


def export_tables(folder, *, fill: bool = False) -> list[Path]:
    """Writes the CSV tables of folder's battery_tables.json beside it and returns their
    paths. folder: the cell's working folder or its results folder. FileNotFoundError
    without battery_tables.json."""
    path = _tables_path(Path(folder))
    tables = _load(path)
    soc = np.asarray(tables["soc"], dtype=float)
    temps = np.asarray(tables["temps"], dtype=float)
    named = {"ocv": tables["ocv"]}
    for direction in ("discharge", "charge"):
        for element, rows in (tables.get(direction) or {}).items():
            named[f"{direction}_{element}"] = rows
    written = []
    for name, rows in named.items():
        values = table_array(rows)
        if fill and not np.isnan(values).all():
            values = filled(values, soc, temps)
        written.append(
            _write(path.with_name(f"{PREFIX}_{name}.csv"), soc, temps, values)
        )
    capacity = pd.DataFrame(
        {"temp_c": temps, "capacity_ah": np.asarray(tables["capacity_ah"], float)}
    )
    target = path.with_name(f"{PREFIX}_capacity.csv")
    run_files.write_text_atomically(target, capacity.to_csv(index=False))
    written.append(target)
    log.info("Saved %d table files beside '%s'", len(written), path)
    return written


def _write(target: Path, soc: np.ndarray, temps: np.ndarray, values) -> Path:
    frame = pd.DataFrame(values, columns=[f"{t:g}" for t in temps])
    frame.insert(0, "soc", soc)
    run_files.write_text_atomically(target, frame.to_csv(index=False))
    return target
