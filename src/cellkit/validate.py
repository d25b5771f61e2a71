"""Validation of the cell's models against the records they were built from.

Each record is replayed through both models a run hands over, as a user would run
them: battery_model.json (one parameter set per temperature, the medians, and the OCV
linear in temperature) and the SOC x temperature tables of battery_tables.json (every
element looked up at each sample's SOC and the record's temperature). The record's
whole current drives the native simulator (SOC counted from 1 at the record's start
with the model's capacity, the RC pairs relaxed at the start), and the simulated
voltage is compared with the measured one. The pulse fits only ever saw short windows
around each pulse; this shows how the models do over the whole test, including the OCV
between the rest points and the extrapolated ends, and the temperature fit's smoothing.
"""

from __future__ import annotations

import logging
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import pandas as pd

from cellkit import run_files
from cellkit.tables import (
    TablesAtTemperature,
    at_temperature,
    filled_tables,
    simulate_tables,
)

log = logging.getLogger("cellkit")

# The models a run hands over, as validation.csv names them.
MEDIANS_MODEL = "battery_model"
TABLES_MODEL = "battery_tables"
COLUMNS = [
    "record",
    "model",
    "temperature_c",
    "rms_mv",
    "max_abs_mv",
    "pulses_rms_mv",
    "pulses_max_abs_mv",
]


@dataclass
class Replay:
    """One record replayed through a model: the samples up to the cut-off."""

    record: str
    temp_c: float
    time_s: np.ndarray
    current_a: np.ndarray
    voltage_v: np.ndarray
    model_v: np.ndarray
    soc: np.ndarray
    loaded: np.ndarray  # samples whose current is beyond the rest level
    model: str = MEDIANS_MODEL


@dataclass
class ReplayCurrent:
    """A record's current as the fits see it: the rows a cycler logs at a step instant
    mended and each step placed where it happened (by the cycler's step clock where
    the record has one), not ramped over a minute-long logging interval. The models
    run on the grid (grid_time_s, grid_current_a), linear between its points; at holds
    the grid index of every sample of the record."""

    grid_time_s: np.ndarray
    grid_current_a: np.ndarray
    at: np.ndarray

    @property
    def current_a(self) -> np.ndarray:
        """The current at the record's samples."""
        return self.grid_current_a[self.at]


def replay_current(record: dict) -> ReplayCurrent:
    """The current every model of a record is driven by (see ReplayCurrent)."""
    from cellkit._engine import hold_grid

    t, current = record["time_s"], record["current_a"]
    if len(t) < 2:
        return ReplayCurrent(t, current, np.arange(len(t)))
    grid = hold_grid(
        t,
        record["voltage_v"],
        current,
        record.get("step_time_s"),
        record.get("step_index"),
    )
    return ReplayCurrent(*grid)


def _replay(
    record: dict,
    name: str,
    current: ReplayCurrent,
    sim: tuple,
    temp_c: float,
    model: str,
) -> Replay:
    """A Replay from a model's simulation on the grid: (voltage V, SOC) at each grid
    point."""
    from cellkit._engine import rest_current_limit_a

    at, i = current.at, current.current_a
    return Replay(
        record=name,
        time_s=record["time_s"],
        current_a=i,
        voltage_v=record["voltage_v"],
        model_v=sim[0][at],
        soc=sim[1][at],
        loaded=np.abs(i) > rest_current_limit_a(i),
        temp_c=temp_c,
        model=model,
    )


def replay_record(
    record: dict,
    model: run_files.ModelAtTemperature,
    name: str,
    current: ReplayCurrent | None = None,
) -> Replay:
    """Simulates battery_model.json's parameters at the record's temperature over a
    (cut) record's current (replay_current's, when not given), from SOC 1 and
    relaxed."""
    from cellkit._engine import simulate_model

    if current is None:
        current = replay_current(record)
    try:
        sim = simulate_model(
            current.grid_time_s,
            current.grid_current_a,
            model.soc,
            model.ocv_v,
            model.capacity_ah,
            model.r0_ohm,
            model.r_ohm,
            model.c_f,
        )
    except ValueError as err:
        raise ValueError(f"{name}: cannot simulate the model: {err}") from err
    voltage_and_soc = (sim["voltage_v"], sim["soc"])
    return _replay(record, name, current, voltage_and_soc, model.temp_c, MEDIANS_MODEL)


def replay_tables(
    record: dict,
    model: TablesAtTemperature,
    name: str,
    current: ReplayCurrent | None = None,
) -> Replay:
    """Simulates the tables at the record's temperature over a (cut) record's current
    (replay_current's, when not given), from SOC 1 and relaxed."""
    if current is None:
        current = replay_current(record)
    try:
        sim = simulate_tables(model, current.grid_time_s, current.grid_current_a)
    except ValueError as err:
        raise ValueError(f"{name}: cannot simulate the tables: {err}") from err
    return _replay(record, name, current, sim, model.temp_c, TABLES_MODEL)


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
        "model": replay.model,
        "temperature_c": replay.temp_c,
        "rms_mv": rms(error_mv),
        "max_abs_mv": largest(error_mv),
        "pulses_rms_mv": rms(pulses),
        "pulses_max_abs_mv": largest(pulses),
    }


def replay_folder(folder: Path) -> list[Replay]:
    """Every record with a parameter file in folder/results, replayed through
    folder/results/battery_model.json and then, where the run wrote them, through the
    tables of battery_tables.json; both models driven by the same current."""
    folder = Path(folder)
    settings = run_files.load_settings(folder)
    model = run_files.load_model(folder)
    filled = _filled_tables(folder)
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
        try:
            replays += _replays(record, name, float(params["TempC"]), model, filled)
        except ValueError as err:
            log.warning("%s; not validated", err)
    return replays


def _replays(record: dict, name: str, temp_c: float, model: dict, filled) -> list:
    """The record through the model file and, with filled tables, through them; a
    model that cannot be simulated is left out with a warning."""
    current = replay_current(record)
    runs = [
        lambda: replay_record(
            record, run_files.model_at_temperature(model, temp_c), name, current
        )
    ]
    if filled is not None:
        at_temp = at_temperature(filled, temp_c)
        runs.append(lambda: replay_tables(record, at_temp, name, current))
    replays = []
    for run in runs:
        try:
            replays.append(run())
        except ValueError as err:
            log.warning("%s; not validated", err)
    return replays


def _filled_tables(folder: Path) -> dict | None:
    """battery_tables.json filled as the exports fill it; None (with a note in the
    log) when the run wrote no tables or they cannot be run."""
    path = folder / "results" / "battery_tables.json"
    raw = run_files.load_tables(folder)
    if raw is None:
        log.info("%s: no tables; only the model file is validated", path)
        return None
    try:
        return filled_tables(raw, str(path))
    except ValueError as err:
        log.warning("%s; the tables are not validated", err)
        return None


def validation_table(replays: list[Replay]) -> pd.DataFrame:
    return pd.DataFrame([error_figures(r) for r in replays], columns=COLUMNS)


def write_validation(folder: Path, table: pd.DataFrame) -> Path:
    """results/validation.csv, written atomically; errors in mV to 1 µV."""
    path = Path(folder) / "results" / "validation.csv"
    run_files.write_text_atomically(path, table.round(3).to_csv(index=False))
    log.info("Saved file '%s'", path)
    return path


def validate(folder) -> pd.DataFrame:
    """Replays every record of folder through its model file and its tables and writes
    folder/results/validation.csv: per record and model (battery_model,
    battery_tables) the temperature, and the RMS and largest voltage error (mV) over
    the whole record and over the pulses only."""
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
