"""Pulse tests of any protocol, fitted pulse by pulse.

>>> from cellkit import fit_record
>>> result = fit_record("raw_data/cellA_Tp25.csv", model="model2", cutoff_v=2.55)
>>> result.pulses[["kind", "soc", "R0", "R1", "C1", "rms_mV"]]
>>> result.ocv          # the OCV points: time_s, soc, ocv_V
>>> result.capacity_ah  # net charge drawn to the cut-off

The engine (``_cellengine``) segments the record into rests and constant-current steps
of either sign, counts the charge from the start, takes the OCV-SOC curve through the
rests of at least ten minutes that end in a discharge, and fits R0 and one or two RC
pairs to every discharge and charge pulse (a step of at most five minutes) over the
pulse and the rest after it. Nothing here runs on import.
"""

from __future__ import annotations

import math
import os
from collections.abc import Mapping
from dataclasses import dataclass, field

import _cellengine
import numpy as np
import pandas as pd

#: Columns of a pulses table, as ``<record>_pulses.csv`` has them.
PULSE_COLUMNS = [
    "pulse",
    "kind",
    "start_s",
    "duration_s",
    "current_A",
    "soc",
    "R0",
    "R1",
    "C1",
    "R2",
    "C2",
    "rms_mV",
    "R0_se",
    "R1_se",
    "C1_se",
    "R2_se",
    "C2_se",
    "flags",
    "R_1s",
    "R_10s",
    "R_end",
]

_PAIRS = {"model1": 1, "model2": 2}


@dataclass
class Record:
    """A record's samples: time (s), voltage (V), current (A, discharge negative)."""

    time_s: np.ndarray
    voltage_v: np.ndarray
    current_a: np.ndarray
    name: str = "record"
    temperature_c: float | None = None


@dataclass
class PulseTestResult:
    """What the engine found in one record."""

    record: Record
    pulses: pd.DataFrame
    ocv: pd.DataFrame
    steps: pd.DataFrame
    capacity_ah: float
    model: str
    _native: object = field(repr=False, default=None)

    def ocv_at(self, soc) -> np.ndarray:
        """The OCV curve (V) through the OCV points at the given states of charge."""
        return self._native.ocv(np.atleast_1d(np.asarray(soc, dtype=float)))

    def curve(self, row: int, params=None) -> pd.DataFrame:
        """Measured and modelled voltage over the fitting window of pulse ``row``
        (0-based row of ``pulses``), for its fitted parameters or for ``params``
        (R0, R1, C1[, R2, C2])."""
        t, v, model = self._native.curve(row, None if params is None else list(params))
        return pd.DataFrame({"time_s": t, "voltage_v": v, "model_v": model})


def read_record(path, settings: Mapping | None = None) -> Record:
    """Reads a record CSV the way the pipeline does (see ``input_params.json``'s
    ``columns`` and ``discharge_current`` settings)."""
    raw = _cellengine.read_record(os.fspath(path), dict(settings or {}))
    return Record(
        np.asarray(raw["time_s"], dtype=float),
        np.asarray(raw["voltage_v"], dtype=float),
        np.asarray(raw["current_a"], dtype=float),
        raw["name"],
        raw["temperature_c"],
    )


def _as_record(record) -> Record:
    if isinstance(record, Record):
        return record
    if isinstance(record, (str, os.PathLike)):
        return read_record(record)
    if isinstance(record, pd.DataFrame):
        names = ("Seconds", "Voltage(V)", "Current(A)")
        return Record(*(record[c].to_numpy(float) for c in names))
    if isinstance(record, Mapping):
        return Record(
            *(
                np.asarray(record[k], dtype=float)
                for k in ("time_s", "voltage_v", "current_a")
            )
        )
    raise TypeError(
        "record: a CSV path, a Record, a DataFrame with Seconds, Voltage(V) and "
        "Current(A), or a mapping with time_s, voltage_v and current_a"
    )


def _pulse_table(native: dict) -> pd.DataFrame:
    df = pd.DataFrame(native)
    df.insert(0, "pulse", np.arange(1, len(df) + 1))
    extra = [c for c in df.columns if c not in PULSE_COLUMNS]
    return df[PULSE_COLUMNS + extra]


def fit_record(
    record,
    *,
    model: str = "model2",
    cutoff_v: float | None = None,
    pulse_max_s: float = 300.0,
    ocv_rest_min_s: float = 600.0,
) -> PulseTestResult:
    """Fits every pulse of a record.

    record: a CSV path, a :class:`Record`, a DataFrame or a mapping of arrays.
    model: ``"model1"`` (R0 and one RC pair) or ``"model2"`` (two pairs).
    cutoff_v: the record is cut at its first voltage below it (None: kept whole).
    pulse_max_s: load steps up to this long are pulses; longer ones are SOC steps.
    ocv_rest_min_s: rests at least this long give OCV points (when a discharge follows).
    """
    if model not in _PAIRS:
        raise ValueError(f"model: 'model1' or 'model2', not {model!r}")
    rec = _as_record(record)
    # errors name the file the user gave
    label = os.fspath(record) if isinstance(record, (str, os.PathLike)) else rec.name

    try:
        native = _cellengine.PulseTest(
            rec.time_s,
            rec.voltage_v,
            rec.current_a,
            rc_pairs=_PAIRS[model],
            cutoff_v=math.nan if cutoff_v is None else float(cutoff_v),
            pulse_max_s=pulse_max_s,
            ocv_rest_min_s=ocv_rest_min_s,
        )
    except ValueError as e:
        raise ValueError(f"{label}: {e}") from None

    return PulseTestResult(
        record=rec,
        pulses=_pulse_table(native.pulses),
        ocv=pd.DataFrame(native.ocv_points),
        steps=pd.DataFrame(native.steps),
        capacity_ah=native.capacity_ah,
        model=model,
        _native=native,
    )


def evaluate_pulses(record, pulses: pd.DataFrame, model: str | None = None) -> list:
    """Measured against modelled voltage for every row of a pulses table (such as a
    ``<record>_pulses.csv``, whatever fitted it), each over the engine's window of the
    pulse that starts nearest to the row's ``start_s``; a frame with time_s, voltage_v
    and model_v per row (None where the engine finds no such pulse). model None: two
    RC pairs when the table has R2 values."""
    if model is None:
        model = (
            "model2"
            if pulses.get("R2", pd.Series(dtype=float)).notna().any()
            else "model1"
        )
    result = fit_record(record, model=model)

    starts = result.pulses["start_s"].to_numpy()
    frames = []
    for _, row in pulses.iterrows():
        if starts.size == 0:
            frames.append(None)
            continue
        k = int(np.argmin(np.abs(starts - float(row["start_s"]))))
        if abs(starts[k] - float(row["start_s"])) > max(
            1.0, 0.5 * float(row["duration_s"])
        ):
            frames.append(None)
            continue
        names = ["R0", "R1", "C1", "R2", "C2"]
        params = [float(row[c]) for c in names if not pd.isna(row.get(c))]
        frames.append(result.curve(k, params[:5] if len(params) == 5 else params[:3]))
    return frames
