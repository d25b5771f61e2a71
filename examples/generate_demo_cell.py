"""Writes the demo cell: pulse-discharge records of a known two-RC cell at three temperatures.

The cell is a 2.5 Ah Li-ion cell with an NMC-like open-circuit voltage (a steep knee below
10 % SOC) whose resistances follow Arrhenius laws, so they rise in the cold, and whose
usable capacity falls in the cold. Each record is a 1C pulse train: a rest, then pulses of
240 s with 20 min rests that walk the cell from full down towards the knee, then a 1C
discharge that runs until the voltage crosses the cut-off. The -10 degC record carries its
temperature only in its file name; the others log a temperature column that drifts with the
climate chamber and the cell's own heating.

Output, below the cell folder (default: demo_cell beside this script):
  raw_data/demo_Tn10.csv, demo_Tp25.csv, demo_Tp45.csv   the records
  truth.json                                            true parameters and OCV per record
  input_params.json                                     the run configuration

The run is seeded: the same numbers give the same files. Run it from anywhere:
  python examples/generate_demo_cell.py [cell_folder]
"""

from __future__ import annotations

import json
import sys
from pathlib import Path

import numpy as np
from scipy.integrate import trapezoid
from scipy.signal import lfilter

sys.path.insert(0, str(Path(__file__).resolve().parent))

import pulse_records

SEED = 20240611
GAS_J_PER_MOL_K = 8.314462618
REF_TEMP_C = 25.0

TEMPS_C = (-10, 25, 45)
# Temperature column written: False keeps the temperature in the file name only.
WRITES_TEMPERATURE = {-10: False, 25: True, 45: True}

NOMINAL_AH = 2.5
PULSE_CURRENT_A = -NOMINAL_AH  # 1C, discharge negative
PULSE_S = 240.0  # 240 loaded samples; a pulse needs more than 101 to be fitted
REST_S = 1200.0
FIRST_REST_S = 300.0
LOW_CUTOFF_V = 3.0
HIGH_CUTOFF_V = 4.2
# The pulse train stops early enough that the final discharge lasts this long before it
# crosses the cut-off, so no pulse comes near the cut-off.
FINAL_MIN_S = 300.0
MIN_PULSES, MAX_PULSES = 10, 15
NOISE_V = 0.0005

# Values at 25 degC and activation energies (J/mol) of the circuit elements.
R0_OHM, R0_EA = 0.030, 15e3
R1_OHM, R1_EA = 0.015, 25e3
R2_OHM, R2_EA = 0.020, 20e3
TAU1_S, TAU2_S, TAU_EA = 20.0, 150.0, 10e3

# Logger resolution: 1 s, 0.1 mV, 1 mA, 0.1 degC.
DECIMALS = {"Seconds": 0, "Voltage(V)": 4, "Current(A)": 3, "Temperature(C)": 1}

SOC_GRID = np.arange(0, 1.005, 0.005)


def ocv_25c(soc: np.ndarray) -> np.ndarray:
    """Open-circuit voltage (V) at 25 degC over SOC: 3.0 V empty, 4.19 V full."""
    soc = np.asarray(soc, dtype=float)
    return (
        3.517
        + 0.554 * soc
        - 0.267 * np.exp(-soc / 0.055)  # the knee
        - 0.251 * np.exp(-soc / 0.012)  # the last few percent
        + 0.121 * np.exp((soc - 1.0) / 0.14)  # the shoulder near full
    )


def ocv_at(temp_c: float):
    """OCV(SOC) at temp_c: the 25 degC curve plus a small entropic term, within 0.15 mV/K."""

    def ocv(soc: np.ndarray) -> np.ndarray:
        soc = np.asarray(soc, dtype=float)
        dv_dt = (-0.15 + 0.3 * soc) * 1e-3
        return ocv_25c(soc) + dv_dt * (temp_c - REF_TEMP_C)

    return ocv


def arrhenius(value_25c: float, activation_j_per_mol: float, temp_c: float) -> float:
    """value_25c scaled to temp_c by exp(Ea/R (1/T - 1/T_25)): larger in the cold."""
    inv_t = 1.0 / (temp_c + 273.15) - 1.0 / (REF_TEMP_C + 273.15)
    return value_25c * float(np.exp(activation_j_per_mol / GAS_J_PER_MOL_K * inv_t))


def capacity_ah(temp_c: float) -> float:
    """Usable capacity (Ah): 2.5 at 25 degC, about 2.1 at -10 degC, 2.56 at 45 degC."""
    return 2.6 - 0.1 * float(np.exp(0.046 * (REF_TEMP_C - temp_c)))


def cell_at(temp_c: float) -> pulse_records.Cell:
    """The true two-RC cell at temp_c."""
    r1 = arrhenius(R1_OHM, R1_EA, temp_c)
    r2 = arrhenius(R2_OHM, R2_EA, temp_c)
    tau1 = arrhenius(TAU1_S, TAU_EA, temp_c)
    tau2 = arrhenius(TAU2_S, TAU_EA, temp_c)
    return pulse_records.Cell(
        r0=arrhenius(R0_OHM, R0_EA, temp_c),
        r1=r1,
        c1=tau1 / r1,
        r2=r2,
        c2=tau2 / r2,
        capacity_ah=capacity_ah(temp_c),
        ocv=ocv_at(temp_c),
    )


def protocol(n_pulses: int) -> pulse_records.Protocol:
    return pulse_records.Protocol(
        current_a=PULSE_CURRENT_A,
        pulse_s=PULSE_S,
        rest_s=REST_S,
        first_rest_s=FIRST_REST_S,
        n_pulses=n_pulses,
        dt_s=1.0,
        end_v=LOW_CUTOFF_V,
        final_s=4 * 3600.0,
    )


def final_discharge_start(p: pulse_records.Protocol) -> int:
    """Index of the first sample of the final discharge."""
    return round((p.first_rest_s + p.n_pulses * (p.pulse_s + p.rest_s)) / p.dt_s)


def pulse_count(cell: pulse_records.Cell) -> int:
    """The most pulses (10 to 15) after which the final discharge, noise-free, still lasts
    FINAL_MIN_S before it crosses the cut-off."""
    for n in range(MAX_PULSES, MIN_PULSES - 1, -1):
        p = protocol(n)
        rec = pulse_records.simulate(cell, p)
        crossing = np.flatnonzero(rec["v"] < p.end_v)[0]
        if crossing >= final_discharge_start(p) + FINAL_MIN_S / p.dt_s:
            return n
    raise ValueError(f"fewer than {MIN_PULSES} pulses fit above the cut-off")


def temperature_trace(
    rec: dict, cell: pulse_records.Cell, temp_c: float, rng: np.random.Generator
) -> np.ndarray:
    """A logged cell temperature (degC): the chamber's slow swing around temp_c, the cell's
    own Joule heating through a first-order thermal lag, and sensor noise."""
    t = rec["t"]
    chamber = 0.25 * np.sin(2 * np.pi * t / 1500.0 + rng.uniform(0, 2 * np.pi))
    heat_w = rec["i"] ** 2 * (cell.r0 + cell.r1 + cell.r2)
    thermal_k_per_w, thermal_tau_s = 3.0, 400.0
    a = np.exp(-1.0 / thermal_tau_s)
    heating = lfilter([0.0, thermal_k_per_w * (1 - a)], [1.0, -a], heat_w)
    return temp_c + chamber + heating + rng.normal(0.0, 0.05, t.size)


def record_name(temp_c: int) -> str:
    sign = "n" if temp_c < 0 else "p"
    return f"demo_T{sign}{abs(temp_c)}.csv"


def discharged_ah(rec: dict) -> float:
    """Charge (Ah) delivered before the first sample below the cut-off, as a logger sees it."""
    stop = np.flatnonzero(np.round(rec["v"], 4) < LOW_CUTOFF_V)[0]
    return float(-trapezoid(rec["i"][:stop], rec["t"][:stop]) / 3600.0)


def truth_entry(
    temp_c: int, cell: pulse_records.Cell, rec: dict, n_pulses: int
) -> dict:
    return {
        "temp_c": temp_c,
        "record": record_name(temp_c),
        "R0": round(cell.r0, 6),
        "R1": round(cell.r1, 6),
        "C1": round(cell.c1, 2),
        "R2": round(cell.r2, 6),
        "C2": round(cell.c2, 2),
        "tau1": round(cell.r1 * cell.c1, 3),
        "tau2": round(cell.r2 * cell.c2, 3),
        "capacity_ah": round(cell.capacity_ah, 4),
        "discharged_ah": round(discharged_ah(rec), 4),
        "n_pulses": n_pulses,
        "ocv": {
            "soc": np.round(SOC_GRID, 3).tolist(),
            "ocv_v": np.round(cell.ocv(SOC_GRID), 5).tolist(),
        },
    }


def write_demo_cell(folder: Path) -> None:
    raw = folder / "raw_data"
    raw.mkdir(parents=True, exist_ok=True)
    rng = np.random.default_rng(SEED)
    truth = []
    for temp_c in TEMPS_C:
        cell = cell_at(temp_c)
        n_pulses = pulse_count(cell)
        rec = pulse_records.simulate(
            cell, protocol(n_pulses), noise_v=NOISE_V, seed=int(rng.integers(2**31))
        )
        logged_v = np.round(rec["v"], 4)
        crossing = np.flatnonzero(logged_v < LOW_CUTOFF_V)[0]
        if crossing < final_discharge_start(protocol(n_pulses)):
            raise RuntimeError(
                f"{record_name(temp_c)}: the cut-off is crossed in a pulse"
            )
        temperature = None
        if WRITES_TEMPERATURE[temp_c]:
            temperature = temperature_trace(rec, cell, temp_c, rng)
            if round(float(np.median(np.round(temperature, 1)))) != temp_c:
                raise RuntimeError(f"{record_name(temp_c)}: median temperature is off")
        pulse_records.write_record(
            raw / record_name(temp_c), rec, temperature, decimals=DECIMALS
        )
        truth.append(truth_entry(temp_c, cell, rec, n_pulses))

    head = {
        "about": "True two-RC parameters (ohm, farad, s), capacity (Ah) and OCV (V) per record",
        "current_a": PULSE_CURRENT_A,
        "noise_v": NOISE_V,
        "low_cutoff_v": LOW_CUTOFF_V,
    }
    # one line per record keeps the file short and its diffs readable
    lines = [f" {json.dumps(k)}: {json.dumps(v)}," for k, v in head.items()]
    entries = ",\n".join("  " + json.dumps(e) for e in truth)
    text = "{\n" + "\n".join(lines) + '\n "temperatures": [\n' + entries + "\n ]\n}\n"
    (folder / "truth.json").write_text(text)
    # The working folder is battery_database + battery_folder = ".", taken from the folder
    # the run starts in: `python -c "import cellfit"` inside the cell folder works on it.
    config = {
        "battery_database": "",
        "battery_folder": ".",
        "high_cutoff": HIGH_CUTOFF_V,
        "low_cutoff": LOW_CUTOFF_V,
        "model": "model2",
    }
    (folder / "input_params.json").write_text(json.dumps(config, indent=4) + "\n")


if __name__ == "__main__":
    here = Path(__file__).resolve().parent
    write_demo_cell(Path(sys.argv[1]) if len(sys.argv) > 1 else here / "demo_cell")
