"""Validation of the merged model against the records it was built from.

Each record is replayed through battery_model.json as a user of the model would run it:
the record's whole current drives the native simulator (OCV over SOC at the record's
temperature, SOC counted from 1 at the record's start with the model's capacity, R0 and
the RC pairs relaxed at the start), and the simulated voltage is compared with the
measured one. The pulse fits only ever saw short windows around each pulse; this shows
how the merged model does over the whole test, including the OCV between the rest
points and the extrapolated ends, and the temperature fit's smoothing.
"""

from __future__ import annotations

import logging
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import pandas as pd

from cellkit import run_files
from cellkit.tables import at_temperature, simulate_tables

log = logging.getLogger("cellkit")

COLUMNS = [
    "record",
    "temperature_c",
    "rms_mv",
    "max_abs_mv",
    "pulses_rms_mv",
    "pulses_max_abs_mv",
]


@dataclass
class Replay:
    """One record replayed through the model: the samples up to the cut-off."""

    record: str
    temp_c: float
    time_s: np.ndarray
    current_a: np.ndarray
    voltage_v: np.ndarray
    model_v: np.ndarray
    soc: np.ndarray
    loaded: np.ndarray  # samples whose current is beyond the rest level


def replay_record(
    record: dict, model: run_files.ModelAtTemperature, name: str
) -> Replay:
    """Simulates the model over a (cut) record's current, from SOC 1 and relaxed, with
    the current as the fits see it: the rows a cycler logs at a step instant mended and
    each step placed where it happened, not ramped over a minute-long logging interval."""
    from _cellengine import hold_grid, rest_current_limit_a, simulate_model

    t, v, current = record["time_s"], record["voltage_v"], record["current_a"]
    grid_t, grid_i, at = t, current, np.arange(len(t))
    if len(t) >= 2:
        grid_t, grid_i, at = hold_grid(
            t, v, current, record.get("step_time_s"), record.get("step_index")
        )
        current = grid_i[at]
    try:
        sim = simulate_model(
            grid_t,
            grid_i,
            model.soc,
            model.ocv_v,
            model.capacity_ah,
            model.r0_ohm,
            model.r_ohm,
            model.c_f,
        )
    except ValueError as err:
        raise ValueError(f"{name}: cannot simulate the model: {err}") from err
    return Replay(
        record=name,
        temp_c=model.temp_c,
        time_s=record["time_s"],
        current_a=current,
        voltage_v=record["voltage_v"],
        model_v=sim["voltage_v"][at],
        soc=sim["soc"][at],
        loaded=np.abs(current) > rest_current_limit_a(current),
    )


def error_figures(replay: Replay) -> dict:
    """RMS and largest absolute error (mV), over the record and over its pulses."""
    error_mv = 1000.0 * (replay.model_v - replay.voltage_v)

    def rms(e):
        return float(np.sqrt(np.mean(e**2))) if e.size else float("nan")

    def largest(e):
        return float(np.max(np.abs(e))) if e.size else float("nan")

    pulses = error_mv[replay.loaded]
    return {
        "record": replay.record,
        "temperature_c": replay.temp_c,
        "rms_mv": rms(error_mv),
        "max_abs_mv": largest(error_mv),
        "pulses_rms_mv": rms(pulses),
        "pulses_max_abs_mv": largest(pulses),
    }


def replay_folder(folder: Path) -> list[Replay]:
    """Every record with a parameter file in folder/results, replayed through
    folder/results/battery_model.json."""
    folder = Path(folder)
    settings = run_files.load_settings(folder)
    model = run_files.load_model(folder)
    cutoff_v = run_files.low_cutoff_v(settings, model)
    replays = []
    for name, params in run_files.load_params(folder):
        path = folder / "raw_data" / f"{name}.csv"
        if not path.exists():
            log.warning("%s: record not found; not validated", path)
            continue
        record = run_files.cut_at_cutoff(
            run_files.read_record(path, settings, cutoff_v), cutoff_v
        )
        at_temp = run_files.model_at_temperature(model, float(params["TempC"]))
        try:
            replays.append(replay_record(record, at_temp, name))
        except ValueError as err:
            log.warning("%s; not validated", err)
    return replays


def validation_table(replays: list[Replay]) -> pd.DataFrame:
    return pd.DataFrame([error_figures(r) for r in replays], columns=COLUMNS)


def write_validation(folder: Path, table: pd.DataFrame) -> Path:
    """results/validation.csv, written atomically; errors in mV to 1 µV."""
    path = Path(folder) / "results" / "validation.csv"
    run_files.write_text_atomically(path, table.round(3).to_csv(index=False))
    log.info("Saved file '%s'", path)
    return path


def validate(folder) -> pd.DataFrame:
    """Replays every record of folder through its model file and writes
    folder/results/validation.csv: per record the temperature, and the RMS and largest
    voltage error (mV) over the whole record and over the pulses only."""
    table = validation_table(replay_folder(Path(folder)))
    write_validation(folder, table)
    return table


def simulate_exported(tables: dict, time_s, current_a, soc_start: float = 1.0):
    """The voltage (V) of an exported parameter set (the ``TABLES`` of a
    pybamm_parameters.py: OCV and circuit tables over SOC and temperature, filled) at
    its temperature, for a current (A, discharge negative) linear between samples: SOC
    counted from soc_start, each parameter looked up bilinearly at the sample's SOC
    (discharge tables while the current is zero or discharging, charge tables while
    charging), the pairs' values held over each step from its start, natively. What the
    set means, for checking what another simulator makes of it."""
    at_temp = at_temperature(tables, tables["temp_c"], tables["capacity_ah"])
    return simulate_tables(at_temp, time_s, current_a, soc_start)[0]
