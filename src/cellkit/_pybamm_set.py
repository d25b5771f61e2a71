"""PyBaMM parameter set of a cell fitted by cellfit, for PyBaMM's Thevenin
equivalent-circuit model (R0 and one or two RC pairs).

Written by ``cellkit.export_pybamm`` from the cell's battery_tables.json; the tables are
at the end of this file. Load it with::

    import pybamm, runpy
    cell = runpy.run_path("pybamm_parameters.py")
    model = cell["thevenin_model"]()
    values = pybamm.ParameterValues(cell["get_parameter_values"]())

``thevenin_model()`` is PyBaMM's Thevenin model with this cell's number of RC pairs,
whose "Maximum SoC" event lets a simulation start at SoC 1 (PyBaMM's own stops at
once there); the voltage cut-offs end a charge as they end a discharge.

What the set holds:

- OCV over SoC and cell temperature, and R0, R1, C1 (R2, C2) over SoC and cell
  temperature, bilinear in both; SoC and temperature are clamped to the tables' ranges.
  Where the tables had no value (no rest or no pulse near) the nearest value in SoC,
  then in temperature, was taken.
- Discharge tables while PyBaMM's current is positive or zero (PyBaMM counts discharge
  positive), charge tables while it is negative; a cell measured without charge pulses
  uses its discharge tables both ways.
- OCV down to SoC 0, the cut-off: below the records' lowest rest, from their final
  discharge with the fitted circuit's drop taken out.
- The capacity, initial and ambient temperature at the temperature the set was
  exported for, the records' cut-off voltages, "Initial SoC" 1 (a full cell), and the
  entropic change from the OCV's temperature slope.
- Thermal parameters that keep the cell at ambient temperature: the records were taken
  at a controlled temperature and carry no thermal information. Replace them with your
  cell's values for a thermal study.
"""

from __future__ import annotations

import numpy as np
import pybamm

KELVIN = 273.15

# Replaced by the exported tables at the end of the file.
TABLES: dict = {}
MODEL_OPTIONS: dict = {}

# SoC 0 is where the records' discharge reached the lower cut-off. Below it the OCV goes
# on down the cell's low-SOC knee along the table's last slope, this far, so that a
# discharge gentler than the records' still ends on the voltage cut-off rather than at
# SoC 0; thevenin_model()'s "Minimum SoC" event allows for it.
KNEE_SOC = 0.05


def _ocv_below_zero():
    """The OCV table's SoC axis and values, continued KNEE_SOC below its first row."""
    soc = np.asarray(TABLES["soc"], dtype=float)
    ocv = np.asarray(TABLES["ocv"], dtype=float)
    slope = (ocv[1] - ocv[0]) / (soc[1] - soc[0])
    return np.concatenate(([soc[0] - KNEE_SOC], soc)), np.vstack(
        [ocv[0] - KNEE_SOC * slope, ocv]
    )


def _look_up(name, table, soc, temp_c, soc_axis=None):
    """The table (SoC rows, temperature columns) at soc and temp_c (°C), clamped."""
    soc_axis = np.asarray(TABLES["soc"] if soc_axis is None else soc_axis)
    temps = np.asarray(TABLES["temps"])
    values = np.asarray(table)
    soc = pybamm.maximum(pybamm.minimum(soc, soc_axis[-1]), soc_axis[0])
    if temps.size == 1:
        return pybamm.Interpolant(soc_axis, values[:, 0], soc, name=name)
    temp_c = pybamm.maximum(pybamm.minimum(temp_c, temps[-1]), temps[0])
    return pybamm.Interpolant((soc_axis, temps), values, [soc, temp_c], name=name)


def _state(name):
    """One of the model's own state variables, by the name its submodel gives it.

    The Thevenin model passes its OCV function the SoC alone; the OCV's temperature
    dependence reads the cell temperature this way.
    """
    return pybamm.Variable(name)


def open_circuit_voltage(soc):
    cell_temp_c = _state("Cell temperature [degC]")
    soc_axis, ocv = _ocv_below_zero()
    return _look_up("OCV [V]", ocv, soc, cell_temp_c, soc_axis)


def entropic_change(ocv, cell_temp_c):
    return _look_up("dOCV/dT [V/K]", TABLES["docv_dt"], _state("SoC"), cell_temp_c)


def _by_direction(name):
    def element(cell_temp_c, current, soc):
        discharge = _look_up(name, TABLES["discharge"][name], soc, cell_temp_c)
        charge = _look_up(name, TABLES["charge"][name], soc, cell_temp_c)
        return (current >= 0) * discharge + (current < 0) * charge

    return element


def thevenin_model(**kwargs):
    """PyBaMM's Thevenin model with this set's RC pairs, able to start at SoC 1 and to
    run down the OCV's knee below SoC 0: its SoC events fire only beyond 1 and below
    -KNEE_SOC, so a discharge ends on the lower voltage cut-off and a charge on the
    upper one. kwargs go to the model (name, ...)."""
    model = pybamm.equivalent_circuit.Thevenin(options=MODEL_OPTIONS, **kwargs)
    soc = model.variables["SoC"]
    limits = {
        "Maximum SoC": 1 + 1e-6 - soc,
        "Minimum SoC": soc + KNEE_SOC,
    }
    model.events = [
        pybamm.Event(event.name, limits[event.name]) if event.name in limits else event
        for event in model.events
    ]
    return model


def get_parameter_values():
    """The parameter values, as pybamm.ParameterValues takes them."""
    temp_k = TABLES["temp_c"] + KELVIN
    low_v, high_v = TABLES["voltage_limits"]
    values = {
        "chemistry": "ecm",
        "Cell capacity [A.h]": TABLES["capacity_ah"],
        "Nominal cell capacity [A.h]": TABLES["capacity_ah"],
        "Current function [A]": TABLES["capacity_ah"],  # 1C discharge
        "Initial SoC": 1.0,
        "Initial temperature [K]": temp_k,
        "Ambient temperature [K]": temp_k,
        "Upper voltage cut-off [V]": high_v,
        "Lower voltage cut-off [V]": low_v,
        "Cell thermal mass [J/K]": 50.0,
        "Cell-jig heat transfer coefficient [W/K]": 100.0,
        "Jig thermal mass [J/K]": 500.0,
        "Jig-air heat transfer coefficient [W/K]": 100.0,
        "Open-circuit voltage [V]": open_circuit_voltage,
        "Entropic change [V/K]": entropic_change,
        "R0 [Ohm]": _by_direction("R0"),
    }
    for k in range(1, MODEL_OPTIONS["number of rc elements"] + 1):
        values[f"R{k} [Ohm]"] = _by_direction(f"R{k}")
        values[f"C{k} [F]"] = _by_direction(f"C{k}")
        values[f"Element-{k} initial overpotential [V]"] = 0.0
    return values
