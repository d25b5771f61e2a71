"""Exports of a fitted cell for other tools.

``export_pybamm`` turns a cell's battery_tables.json (written by cellgen beside
battery_model.json) into a parameter set for PyBaMM's Thevenin equivalent-circuit model:
one Python file, self-contained but for numpy and PyBaMM, in the form PyBaMM's own
parameter sets take. Loading it needs only PyBaMM (the ``pybamm`` extra); writing it
needs neither.
"""

from __future__ import annotations

import json
import logging
from pathlib import Path

import numpy as np

from cellkit import run_files
from cellkit.tables import filled as _filled
from cellkit.tables import table_array as _array

__all__ = ["export_pybamm"]

TABLES_FILE = "battery_tables.json"
PYBAMM_FILE = "pybamm_parameters.py"
_TEMPLATE = Path(__file__).with_name("_pybamm_set.py")


def export_pybamm(folder, *, temp_c: float = 25.0, path=None) -> Path:
    """Writes a PyBaMM parameter set of the cell in folder and returns its path.

    folder is the cell's working folder (holding results/) or its results folder;
    the set goes to <results>/pybamm_parameters.py unless path names another file.
    temp_c (°C) is the temperature the set starts at: the initial and ambient
    temperature, and the capacity is interpolated to it. Load the set with::

        cell = runpy.run_path("results/pybamm_parameters.py")
        model = pybamm.equivalent_circuit.Thevenin(options=cell["MODEL_OPTIONS"])
        values = pybamm.ParameterValues(cell["get_parameter_values"]())

    Table cells without a value (null: no rest or no pulse near) take the nearest value
    in SOC, then in temperature; charge tables without any value take the discharge
    tables. FileNotFoundError without battery_tables.json, ValueError when its
    discharge tables hold no value at all.
    """
    tables_path = _tables_path(Path(folder))
    tables = _load(tables_path)
    data = _pybamm_data(tables, float(temp_c), tables_path.name)
    target = Path(path) if path is not None else tables_path.with_name(PYBAMM_FILE)
    text = _TEMPLATE.read_text(encoding="utf-8") + _data_block(data)
    run_files.write_text_atomically(target, text)
    logging.getLogger("cellkit").info("Saved file '%s'", target)
    return target


def _tables_path(folder: Path) -> Path:
    for candidate in (folder / "results" / TABLES_FILE, folder / TABLES_FILE):
        if candidate.is_file():
            return candidate
    raise FileNotFoundError(
        f"{folder}: no {TABLES_FILE} in it or in its results folder; run cellfit "
        "there first (the tables need the pulse files a run writes)"
    )


def _load(path: Path) -> dict:
    with open(path, encoding="utf-8") as f:
        tables = json.load(f)
    missing = [k for k in ("soc", "temps", "ocv", "discharge") if k not in tables]
    if missing:
        raise ValueError(f"{path}: no {', '.join(map(repr, missing))} entry")
    return tables


def _pybamm_data(tables: dict, temp_c: float, name: str) -> dict:
    soc = np.asarray(tables["soc"], dtype=float)
    temps = np.asarray(tables["temps"], dtype=float)
    ocv = _filled(_array(tables["ocv"]), soc, temps)
    if np.isnan(ocv).any():
        raise ValueError(f"{name}: the OCV table holds no value at all")
    data = {"soc": soc, "temps": temps, "ocv": ocv, "discharge": {}, "charge": {}}
    # the OCV's slope over temperature, for PyBaMM's reversible heat
    data["docv_dt"] = (
        np.gradient(ocv, temps, axis=1) if temps.size > 1 else np.zeros_like(ocv)
    )
    for key, rows in tables["discharge"].items():
        discharge = _filled(_array(rows), soc, temps)
        if np.isnan(discharge).any():
            raise ValueError(f"{name}: the discharge {key} table holds no value at all")
        charge = _filled(_array(tables.get("charge", {}).get(key, rows)), soc, temps)
        data["discharge"][key] = discharge
        data["charge"][key] = discharge if np.isnan(charge).any() else charge
    capacity = np.asarray(tables["capacity_ah"], dtype=float)
    data["capacity_ah"] = float(np.interp(temp_c, temps, capacity))
    data["temp_c"] = temp_c
    data["voltage_limits"] = [float(v) for v in tables["voltage_limits"]]
    return data


def _literal(value, indent: str = "") -> str:
    """value as Python source: dicts and 2-D arrays one entry or row a line."""
    if isinstance(value, dict):
        inner = indent + "    "
        items = [f"{inner}{k!r}: {_literal(v, inner)}," for k, v in value.items()]
        return "{\n" + "\n".join(items) + f"\n{indent}}}"
    value = np.asarray(value, dtype=float) if isinstance(value, list) else value
    if isinstance(value, np.ndarray) and value.ndim == 2:
        rows = [f"{indent}    {value[i].tolist()!r}," for i in range(value.shape[0])]
        return "[\n" + "\n".join(rows) + f"\n{indent}]"
    if isinstance(value, np.ndarray):
        return repr(value.tolist())
    return repr(value)


def _data_block(data: dict) -> str:
    pairs = (len(data["discharge"]) - 1) // 2
    return (
        "\n\n# The cell's tables, exported by cellkit.export_pybamm.\n"
        f"TABLES = {_literal(data)}\n"
        f"MODEL_OPTIONS = {{'number of rc elements': {pairs}}}\n"
    )
