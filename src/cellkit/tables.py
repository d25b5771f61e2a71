"""The SOC x temperature tables of battery_tables.json as a model that runs.

The tables hold a value only where the records measured one: the OCV inside the SOC
range the rests span, each circuit element near the pulses of its direction; the other
cells are null. To run them (the PyBaMM export, the CSV export with ``fill``, the
validation) every empty cell takes the nearest value in SOC within its temperature,
and a temperature without any value takes the nearest filled temperature's column; a
direction without pulses takes the discharge tables.

At one temperature the tables become columns over SOC, linear between the tables'
temperatures and held beyond them; a current then looks every element up at the SOC
of each sample, the discharge tables while the current is zero or discharging, the
charge tables while charging.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

__all__ = ["TablesAtTemperature", "filled", "filled_tables", "simulate_tables"]


def table_array(rows) -> np.ndarray:
    """JSON rows as floats, null as NaN."""
    return np.array(
        [[np.nan if v is None else v for v in row] for row in rows], dtype=float
    )


def filled(table: np.ndarray, soc: np.ndarray, temps: np.ndarray) -> np.ndarray:
    """NaN cells take the nearest value in SOC within their temperature column; empty
    columns take the nearest filled column in temperature. A table without any value
    stays NaN."""
    out = table.copy()
    filled_columns = []
    for j in range(out.shape[1]):
        known = np.flatnonzero(~np.isnan(out[:, j]))
        if known.size:
            nearest = np.abs(soc[:, None] - soc[known][None, :]).argmin(axis=1)
            out[:, j] = out[known[nearest], j]
            filled_columns.append(j)
    if not filled_columns:
        return out
    for j in range(out.shape[1]):
        if j not in filled_columns:
            nearest = np.abs(temps[filled_columns] - temps[j]).argmin()
            out[:, j] = out[:, filled_columns[nearest]]
    return out


def filled_tables(tables: dict, name: str) -> dict:
    """The contents of a battery_tables.json with every table filled: soc, temps,
    capacity_ah (arrays), ocv and, per direction, {element: table}. ValueError naming
    the file (name) when an entry is missing, or the OCV or a discharge table holds no
    value at all."""
    missing = [k for k in ("soc", "temps", "capacity_ah", "ocv", "discharge")]
    missing = [k for k in missing if k not in tables]
    if missing:
        raise ValueError(f"{name}: no {', '.join(map(repr, missing))} entry")
    soc = np.asarray(tables["soc"], dtype=float)
    temps = np.asarray(tables["temps"], dtype=float)
    ocv = filled(table_array(tables["ocv"]), soc, temps)
    if np.isnan(ocv).any():
        raise ValueError(f"{name}: the OCV table holds no value at all")
    out = {
        "soc": soc,
        "temps": temps,
        "capacity_ah": np.asarray(tables["capacity_ah"], dtype=float),
        "ocv": ocv,
        "discharge": {},
        "charge": {},
    }
    charge_rows = tables.get("charge") or {}
    for key, rows in tables["discharge"].items():
        discharge = filled(table_array(rows), soc, temps)
        if np.isnan(discharge).any():
            raise ValueError(f"{name}: the discharge {key} table holds no value at all")
        charge = filled(table_array(charge_rows.get(key, rows)), soc, temps)
        out["discharge"][key] = discharge
        out["charge"][key] = discharge if np.isnan(charge).any() else charge
    return out


@dataclass
class TablesAtTemperature:
    """Filled tables at one temperature: OCV (V) and each element (ohm, farad) of
    either direction over the SOC grid, and the capacity (Ah)."""

    temp_c: float
    soc: np.ndarray
    ocv_v: np.ndarray
    capacity_ah: float
    discharge: dict
    charge: dict

    @property
    def rc_pairs(self) -> int:
        return (len(self.discharge) - 1) // 2


def at_temperature(tables: dict, temp_c: float, capacity_ah: float | None = None):
    """Filled tables (soc, temps, ocv, discharge, charge; arrays or nested lists) at
    temp_c: each SOC row linear in temperature, held beyond the tables' ends. The
    capacity is interpolated alike unless given."""
    temps = np.asarray(tables["temps"], dtype=float)

    def column(table) -> np.ndarray:
        return np.array([np.interp(temp_c, temps, row) for row in np.asarray(table)])

    if capacity_ah is None:
        capacity_ah = float(np.interp(temp_c, temps, tables["capacity_ah"]))
    return TablesAtTemperature(
        temp_c=float(temp_c),
        soc=np.asarray(tables["soc"], dtype=float),
        ocv_v=column(tables["ocv"]),
        capacity_ah=float(capacity_ah),
        discharge={k: column(v) for k, v in tables["discharge"].items()},
        charge={k: column(v) for k, v in tables["charge"].items()},
    )


def simulate_tables(
    model: TablesAtTemperature, time_s, current_a, soc_start: float = 1.0
) -> tuple[np.ndarray, np.ndarray]:
    """(voltage V, SOC) at each sample for a current (A, discharge negative) linear
    between samples: the SOC counted from soc_start with the tables' capacity, the OCV
    and every element looked up at the sample's SOC (held beyond the grid), the pairs'
    values held over each step from its start and the pairs relaxed at the start,
    natively."""
    from cellkit._engine import varying_circuit

    t = np.asarray(time_s, dtype=float)
    i = np.asarray(current_a, dtype=float)
    charge_as = np.concatenate(([0.0], np.cumsum((i[1:] + i[:-1]) / 2 * np.diff(t))))
    soc = soc_start + charge_as / 3600.0 / model.capacity_ah

    def element(name: str) -> np.ndarray:
        discharge = np.interp(soc, model.soc, model.discharge[name])
        return np.where(
            i <= 0, discharge, np.interp(soc, model.soc, model.charge[name])
        )

    pairs = range(1, model.rc_pairs + 1)
    r = np.concatenate([element(f"R{k}") for k in pairs])
    c = np.concatenate([element(f"C{k}") for k in pairs])
    ocv = np.interp(soc, model.soc, model.ocv_v)
    return ocv + varying_circuit(t, i, element("R0"), r, c), soc
