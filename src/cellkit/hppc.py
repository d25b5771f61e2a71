"""The figures an HPPC test is run for: the pulse power the cell can give and take over
SOC, at its voltage limits, from the fitted circuit.

Battery test manuals (the USABC/FreedomCAR HPPC manual) define them from the pulse
resistance R over a pulse of a stated length: the discharge pulse power is what the cell
gives while its voltage falls from the OCV to the low cut-off V_min,

    P_discharge = V_min (OCV - V_min) / R_discharge,

and the regen (charge) pulse power what it takes while its voltage rises to the high
cut-off V_max,

    P_regen = V_max (V_max - OCV) / R_charge.

R here is the fitted circuit's response to a constant current held for the pulse
length t: R0 + sum of Ri (1 - exp(-t / (Ri Ci))), for each pulse's own fit, and the OCV
the record's OCV curve at the pulse's SOC. ``write_hppc_summary(folder)`` writes one row
per fitted pulse to results/hppc_summary.csv; ``cellfit report`` calls it.
"""

from __future__ import annotations

import logging

import numpy as np
import pandas as pd

from cellkit import run_files

log = logging.getLogger("cellkit")

__all__ = ["PULSE_LENGTH_S", "circuit_resistance", "hppc_summary", "write_hppc_summary"]

#: The pulse length of the power figures (s): the HPPC manuals' 10 s pulses.
PULSE_LENGTH_S = 10.0
SUMMARY_FILE = "hppc_summary.csv"
COLUMNS = [
    "record",
    "temperature_c",
    "pulse",
    "kind",
    "soc",
    "ocv_V",
    "pulse_length_s",
    "R_pulse_ohm",
    "R_10s_measured_ohm",
    "limit_V",
    "power_W",
    "flags",
]


def circuit_resistance(pulses: pd.DataFrame, length_s: float) -> np.ndarray:
    """Voltage response over current (ohm) of each row's fitted circuit to a current
    step held for length_s: R0 + Ri (1 - exp(-length_s / (Ri Ci))) over its pairs."""
    r = pulses["R0"].to_numpy(dtype=float).copy()
    for k in (1, 2):
        if f"R{k}" not in pulses:
            continue
        rk = pulses[f"R{k}"].to_numpy(dtype=float)
        ck = pulses[f"C{k}"].to_numpy(dtype=float)
        with np.errstate(invalid="ignore"):
            pair = rk * (1.0 - np.exp(-length_s / (rk * ck)))
        r += np.where(np.isfinite(pair), pair, 0.0)
    return r


def hppc_summary(run, pulse_length_s: float = PULSE_LENGTH_S) -> pd.DataFrame:
    """One row per fitted pulse of every record with a pulses file: its SOC and OCV,
    the fitted circuit's pulse resistance over pulse_length_s, the resistance read from
    the measured voltage at 10 s (where the pulses file has it), the voltage limit of
    its direction and the pulse power there (W; discharge pulses at the low cut-off,
    charge pulses at the high one). run: a folder or a run_files.FinishedRun."""
    run = run_files.FinishedRun.of(run)
    v_min, v_max = run.voltage_limits
    frames = []
    for record in run.records:
        name, params, pulses = record.name, record.params, record.pulses
        if pulses is None or not len(pulses):
            continue
        soc_grid, ocv_grid = (np.asarray(x, dtype=float) for x in params["Tparam_3"])
        soc = pulses["soc"].to_numpy(dtype=float)
        ocv = np.interp(soc, soc_grid, ocv_grid)
        r = circuit_resistance(pulses, pulse_length_s)
        charge = (pulses["kind"] == "charge").to_numpy()
        limit = np.where(charge, v_max, v_min)
        power = np.where(charge, v_max * (v_max - ocv), v_min * (ocv - v_min)) / r
        measured = pulses.get("R_10s", pd.Series(np.nan, index=pulses.index))
        frames.append(
            pd.DataFrame(
                {
                    "record": name,
                    "temperature_c": float(params["TempC"]),
                    "pulse": pulses["pulse"].to_numpy(),
                    "kind": pulses["kind"].to_numpy(),
                    "soc": soc,
                    "ocv_V": ocv,
                    "pulse_length_s": float(pulse_length_s),
                    "R_pulse_ohm": r,
                    "R_10s_measured_ohm": measured.to_numpy(dtype=float),
                    "limit_V": limit,
                    "power_W": power,
                    "flags": pulses["flags"].to_numpy(),
                }
            )
        )
    if not frames:
        return pd.DataFrame(columns=COLUMNS)
    return pd.concat(frames, ignore_index=True)[COLUMNS]


def write_hppc_summary(run, pulse_length_s: float = PULSE_LENGTH_S):
    """results/hppc_summary.csv (written atomically) and the table it holds; nothing
    is written when no record has a pulses file (the table is then empty)."""
    run = run_files.FinishedRun.of(run)
    table = hppc_summary(run, pulse_length_s)
    if not len(table):
        log.info("No pulses files: %s is not written", SUMMARY_FILE)
        return table
    path = run.folder / "results" / SUMMARY_FILE
    run_files.write_text_atomically(path, table.to_csv(index=False))
    log.info("Saved file '%s'", path)
    return table
