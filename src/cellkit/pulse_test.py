"""Pulse tests of any protocol, fitted pulse by pulse.

>>> from cellkit import fit_record
>>> result = fit_record("raw_data/cellA_Tp25.csv", model="model2", cutoff_v=2.55)
>>> result.pulses[["kind", "soc", "R0", "R1", "C1", "rms_mV"]]
>>> result.ocv          # the OCV points: time_s, soc, ocv_V
>>> result.capacity_ah  # net charge drawn to the cut-off

The compiled engine segments the record into rests and constant-current steps
of either sign, counts the charge from the start, takes the OCV-SOC curve through the
rests of at least ten minutes that end in a discharge, and fits R0 and one or two RC
pairs to every discharge and charge pulse (a step of at most five minutes) over the
pulse and the rest after it. Nothing here runs on import.
"""

from __future__ import annotations

import logging
import math
import os
from collections.abc import Mapping
from dataclasses import dataclass, field

import numpy as np
import pandas as pd

from cellkit import run_files
from cellkit._native import engine
from cellkit.circuit import CIRCUIT_NAMES

#: Columns of a pulses table, as ``<record>_pulses.csv`` has them.
PULSE_COLUMNS = [
    "pulse",
    "kind",
    "start_s",
    "duration_s",
    "current_A",
    "soc",
    *CIRCUIT_NAMES,
    "rms_mV",
    *(f"{name}_se" for name in CIRCUIT_NAMES),
    "flags",
    "R_1s",
    "R_10s",
    "R_end",
]

_PAIRS = {"model1": 1, "model2": 2}

log = logging.getLogger("cellkit")


@dataclass
class Record:
    """A record's samples: time (s), voltage (V), current (A, discharge negative), and
    the cycler's step clock where the export has one (seconds since each row's step
    began, and the step's number)."""

    time_s: np.ndarray
    voltage_v: np.ndarray
    current_a: np.ndarray
    name: str = "record"
    temperature_c: float | None = None
    step_time_s: np.ndarray | None = None
    step_index: np.ndarray | None = None


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


def read_record(
    path, settings: Mapping | None = None, cutoff_v: float | None = None
) -> Record:
    """Reads a record CSV the way the pipeline does (see ``input_params.json``'s
    ``columns``, ``discharge_current``, ``units`` and ``section`` settings). With
    ``cutoff_v``, only the part the pipeline fits: a charge the record opens with
    dropped, the ``section`` or else the first pulse test of a whole test file, up to
    and including the first voltage below the cut-off."""
    raw = run_files.read_record(path, settings, cutoff_v)
    return Record(
        np.asarray(raw["time_s"], dtype=float),
        np.asarray(raw["voltage_v"], dtype=float),
        np.asarray(raw["current_a"], dtype=float),
        raw["name"],
        raw["temperature_c"],
        raw["step_time_s"],
        raw["step_index"],
    )


def _as_record(
    record, settings: Mapping | None = None, cutoff_v: float | None = None
) -> Record:
    """record as a Record: a CSV path read as the pipeline reads it (settings and
    cutoff_v as read_record takes them), the other forms taken as they are."""
    if isinstance(record, (str, os.PathLike)):
        return read_record(record, settings, cutoff_v)
    if isinstance(record, Record):
        return record
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


def _positive(name: str, value, allow_inf: bool = False) -> float:
    try:
        x = float(value)
    except (TypeError, ValueError, OverflowError):
        raise ValueError(f"{name} must be a positive number, not {value!r}") from None
    if not (x > 0 and (allow_inf or math.isfinite(x))):
        raise ValueError(f"{name} must be a positive number, not {value!r}")
    return x


def fit_record(
    record,
    *,
    model: str = "model2",
    cutoff_v: float | None = None,
    pulse_max_s: float | None = None,
    ocv_rest_min_s: float = 600.0,
    settings: Mapping | None = None,
) -> PulseTestResult:
    """Fits every pulse of a record.

    record: a CSV path, a :class:`Record`, a DataFrame or a mapping of arrays.
    model: ``"model1"`` (R0 and one RC pair) or ``"model2"`` (two pairs).
    cutoff_v: the record is cut at its first voltage below it (None: kept whole); a
        whole test file is cut to its first pulse test (a capacity check before it
        and a second series after a recharge are left out, with a warning).
    pulse_max_s: load steps longer than this are SOC steps (None: a pulse may last any
        time; pulses and SOC steps are told apart by their lengths).
    ocv_rest_min_s: rests at least this long give OCV points (when a discharge follows).
    settings: for a CSV path, the record settings of ``input_params.json``
        (``columns``, ``discharge_current``, ``units``, ``section``).
    """
    if model not in _PAIRS:
        raise ValueError(f"model: 'model1' or 'model2', not {model!r}")
    pulse_max = (
        math.inf if pulse_max_s is None else _positive("pulse_max_s", pulse_max_s, True)
    )
    rest_min = _positive("ocv_rest_min_s", ocv_rest_min_s)
    if cutoff_v is not None and not math.isfinite(float(cutoff_v)):
        raise ValueError(f"cutoff_v must be a finite voltage, not {cutoff_v!r}")
    rec = _as_record(record, settings, cutoff_v)
    # errors name the file the user gave
    label = os.fspath(record) if isinstance(record, (str, os.PathLike)) else rec.name

    try:
        native = engine.PulseTest(
            rec.time_s,
            rec.voltage_v,
            rec.current_a,
            rc_pairs=_PAIRS[model],
            cutoff_v=math.nan if cutoff_v is None else float(cutoff_v),
            pulse_max_s=pulse_max,
            ocv_rest_min_s=rest_min,
            step_time_s=rec.step_time_s,
            step_index=rec.step_index,
        )
    except ValueError as e:
        raise ValueError(f"{label}: {e}") from None
    _report_part(label, native, cutoff_v)

    return PulseTestResult(
        record=rec,
        pulses=_pulse_table(native.pulses),
        ocv=pd.DataFrame(native.ocv_points),
        steps=pd.DataFrame(native.steps),
        capacity_ah=native.capacity_ah,
        model=model,
        _native=native,
    )


def _report_part(label: str, native, cutoff_v) -> None:
    """Warnings for what a cut to the first pulse test left out, and for a record
    that stops before the cut-off (its SOC 0 is then its most discharged sample)."""
    part = native.part
    for check in part["capacity_checks"]:
        log.info(
            "%s: a capacity check before the pulse test, not fitted: %.4f Ah at %.3f A "
            "(t = %s to %s s)",
            label,
            check["charge_ah"],
            check["current_a"],
            check["start_s"],
            check["end_s"],
        )
    if part["first_row"] > 0 or part["recharged_after"]:
        log.warning(
            "%s: only the first pulse test is fitted (from row %d)%s",
            label,
            part["first_row"],
            "; a recharge and more tests after the cut-off are left out"
            if part["recharged_after"]
            else "",
        )
    if cutoff_v is not None and not native.reached_cutoff:
        log.warning(
            "%s: the voltage never falls below the cut-off %s V; SOC 0 is the record's "
            "most discharged sample, and the capacity is the charge drawn to it",
            label,
            cutoff_v,
        )


def evaluate_pulses(record, pulses: pd.DataFrame, model: str | None = None) -> list:
    """Measured against modelled voltage for every row of a pulses table (such as a
    ``<record>_pulses.csv``, whatever fitted it): a frame with time_s, voltage_v and
    model_v per row, over the rows its pulse is judged over (from the row before the
    step to the end of the rest after it), or None where no step of the record starts
    near the row's ``start_s``.

    Where the engine fits that pulse too, the curve is the engine's: the OCV through
    the counted charge, an earlier pulse's decay taken out. Elsewhere (a record without
    the long rests the engine's OCV curve needs, a step the engine does not take for a
    pulse) the circuit starts relaxed and the OCV goes linearly with the charge from
    the voltage before the step to the rested voltage at the window's end, so a long
    pulse's own OCV fall is not counted as misfit. model None: two RC pairs when the
    table has R2 values."""
    if model is None:
        model = (
            "model2"
            if pulses.get("R2", pd.Series(dtype=float)).notna().any()
            else "model1"
        )
    rec = _as_record(record)
    try:
        fitted = fit_record(rec, model=model)
        starts = fitted.pulses["start_s"].to_numpy()
    except ValueError:  # a record the engine cannot analyse (no long rests, say)
        fitted, starts = None, np.zeros(0)
    steps = None
    frames = []
    for _, row in pulses.iterrows():
        params = [float(row[c]) for c in CIRCUIT_NAMES if not pd.isna(row.get(c))]
        params = params[:5] if len(params) == 5 else params[:3]
        k = _nearest_start(starts, row)
        if k is not None:
            frames.append(fitted.curve(k, params))
            continue
        if steps is None:
            steps = engine.step_windows(
                rec.time_s,
                rec.voltage_v,
                rec.current_a,
                step_time_s=rec.step_time_s,
                step_index=rec.step_index,
            )
            rest_limit_a = engine.rest_current_limit_a(rec.current_a)
        j = _nearest_start(steps["start_s"], row)
        rows = None if j is None else slice(steps["first"][j], steps["stop"][j])
        frames.append(
            None if rows is None else _relaxed_curve(rec, rows, params, rest_limit_a)
        )
    return frames


def _nearest_start(starts: np.ndarray, row) -> int | None:
    """The start nearest to the row's start_s, when within a second or half the
    row's duration of it."""
    if not len(starts):
        return None
    start = float(row["start_s"])
    k = int(np.argmin(np.abs(starts - start)))
    return (
        k
        if abs(starts[k] - start) <= max(1.0, 0.5 * float(row["duration_s"]))
        else None
    )


def _relaxed_curve(
    rec: Record, rows: slice, params: list, rest_limit_a: float
) -> pd.DataFrame:
    """The circuit (R0, R1, C1[, R2, C2]) over the rows from a relaxed start, the OCV
    linear in the charge from the rows' first voltage to their last when that is
    rested, else held at the first. The current is held between rows and switches
    where the steps changed, as in the engine's fits."""
    t, v, i = rec.time_s[rows], rec.voltage_v[rows], rec.current_a[rows]
    grid_t, grid_i, at = engine.hold_grid(t, v, i)
    r0, r_ohm, c_f = params[0], params[1::2], params[2::2]
    rested_end = abs(i[-1]) <= rest_limit_a
    # a first pass only for the SOC at the end (capacity 1 Ah)
    flat = ([0.0, 1.0], [v[0], v[0]])
    soc_end = engine.simulate_model(grid_t, grid_i, *flat, 1.0, 0.0, r_ohm, c_f)["soc"][
        -1
    ]
    if not rested_end or soc_end == 1.0:
        table = flat
    elif soc_end < 1.0:
        table = ([soc_end, 1.0], [v[-1], v[0]])
    else:  # a charge pulse
        table = ([1.0, soc_end], [v[0], v[-1]])
    model_v = engine.simulate_model(grid_t, grid_i, *table, 1.0, r0, r_ohm, c_f)
    return pd.DataFrame(
        {"time_s": t, "voltage_v": v, "model_v": model_v["voltage_v"][at]}
    )
