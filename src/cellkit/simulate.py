"""The finished run's model driven by any current profile.

``simulate(folder, profile, temperature_c)`` runs results/battery_model.json as the
validation replays it (OCV over SOC at the temperature, SOC counted from a start value
with the model's capacity, R0 and the RC pairs relaxed at the start, natively) for a
current profile: a drive cycle someone logged or wrote, or a record of the cell. The
profile is read by the records' reader with the folder's settings, so ``columns`` and
``discharge_current`` apply to it as to the records; it needs time and current, a
voltage column is optional. With one, the profile is handled as the validation handles
a record: cut at its first voltage below the low cut-off, and each current step placed
where the voltage says it happened; without one, the current is taken as linear
between the profile's samples.
"""

from __future__ import annotations

import logging
import math
import os
from pathlib import Path

import numpy as np
import pandas as pd

from cellkit import run_files

log = logging.getLogger("cellkit")

__all__ = ["simulate", "write_simulation"]


def simulate(folder, profile, temperature_c: float, soc: float = 1.0) -> pd.DataFrame:
    """The model's voltage for a current profile, one row per profile sample.

    folder: the cell's working folder after a run. profile: a CSV path (read with the
    folder's settings), or a mapping/DataFrame with time_s and current_a (A, discharge
    negative) and optionally voltage_v. temperature_c: inside the range of the model's
    records (the model is refused beyond it: its parameters are measured only there).
    soc: the state of charge at the profile's start, 0 to 1.

    Columns: time_s, current_a, soc, model_v, and voltage_v (measured) and error_mv
    (model minus measured) when the profile has voltages. A profile that drives the
    SOC below 0 is simulated up to there, with a warning saying when; ``attrs`` of the
    frame hold the profile's name, the temperature and the start SOC.
    """
    folder = Path(folder)
    if not 0.0 <= float(soc) <= 1.0:
        raise ValueError(f"soc: the SOC at the profile's start is 0 to 1, not {soc}")
    settings = run_files.load_settings(folder)
    model = run_files.load_model(folder)
    at_temp = run_files.model_at_temperature(
        model, _checked_temperature(model, float(temperature_c), folder)
    )
    name, samples = _profile(profile, settings)
    measured = bool(np.isfinite(samples["voltage_v"]).all())
    if measured:
        cutoff_v = run_files.low_cutoff_v(settings, model)
        samples = run_files.cut_at_cutoff(samples, cutoff_v)
    if samples["time_s"].size < 2:
        raise ValueError(f"{name}: a profile needs at least two samples")
    frame = _run(samples, at_temp, float(soc), measured, name)
    frame.attrs.update(
        {"profile": name, "temperature_c": float(temperature_c), "soc": float(soc)}
    )
    _warn_about_limits(frame, settings, model, name)
    return frame


def _checked_temperature(model: dict, temp_c: float, folder: Path) -> float:
    temps = [float(t) for t in model["temps"]]
    lo, hi = min(temps), max(temps)
    if not math.isfinite(temp_c) or not lo <= temp_c <= hi:
        span = f"at {lo:g} °C only" if lo == hi else f"from {lo:g} to {hi:g} °C"
        raise ValueError(
            f"{folder / 'results' / 'battery_model.json'}: the model's records are "
            f"{span}; {temp_c:g} °C is outside them, and its parameters are not "
            "extrapolated"
        )
    return temp_c


def _profile(profile, settings: dict) -> tuple[str, dict]:
    """The profile's name and samples: time_s, current_a, voltage_v (NaN without)."""
    if isinstance(profile, (str, os.PathLike)):
        from cellkit._engine import read_record

        raw = read_record(os.fspath(profile), settings, voltage_optional=True)
        return raw["name"], {k: raw[k] for k in ("time_s", "voltage_v", "current_a")}
    if isinstance(profile, (pd.DataFrame, dict)):
        t = np.asarray(profile["time_s"], dtype=float)
        columns = profile.keys() if isinstance(profile, dict) else profile.columns
        v = profile["voltage_v"] if "voltage_v" in columns else np.full(t.size, np.nan)
        samples = {
            "time_s": t,
            "voltage_v": np.asarray(v, dtype=float),
            "current_a": np.asarray(profile["current_a"], dtype=float),
        }
        if np.any(np.diff(t) <= 0):
            raise ValueError("profile: time_s must increase from sample to sample")
        return "profile", samples
    raise TypeError(
        "profile: a CSV path, or a mapping or DataFrame with time_s and current_a"
    )


def _run(samples: dict, model, soc: float, measured: bool, name: str) -> pd.DataFrame:
    """The native simulation over the profile, as the validation runs it; with
    voltages the current as the fits see it (the rows a cycler logs at a step instant
    mended, each step placed where it happened)."""
    from cellkit._engine import simulate_model
    from cellkit.validate import replay_current

    t, v, i = samples["time_s"], samples["voltage_v"], samples["current_a"]
    grid_t, grid_i, at = t, i, np.arange(t.size)
    if measured:
        current = replay_current(samples)
        grid_t, grid_i, at = current.grid_time_s, current.grid_current_a, current.at
        i = current.current_a
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
            soc_start=soc,
        )
    except ValueError as err:
        raise ValueError(f"{name}: cannot simulate the model: {err}") from err
    frame = pd.DataFrame(
        {
            "time_s": t,
            "current_a": i,
            "soc": sim["soc"][at],
            "model_v": sim["voltage_v"][at],
        }
    )
    if measured:
        frame["voltage_v"] = v
        frame["error_mv"] = 1000.0 * (frame["model_v"] - v)
    return _stop_when_empty(frame, name)


def _stop_when_empty(frame: pd.DataFrame, name: str) -> pd.DataFrame:
    """The samples up to the one before the SOC falls below 0: the model knows no
    charge beyond empty."""
    below = np.flatnonzero(frame["soc"].to_numpy() < 0.0)
    if not below.size:
        return frame
    k = int(below[0])
    log.warning(
        "%s: the SOC falls below 0 at %.6g s (sample %d of %d); the simulation stops "
        "there",
        name,
        frame["time_s"].iloc[k],
        k + 1,
        len(frame),
    )
    return frame.iloc[:k].reset_index(drop=True)


def _warn_about_limits(frame: pd.DataFrame, settings: dict, model: dict, name: str):
    """Warnings for what the model does not describe: an SOC above 1 (the OCV is held
    at full charge there) and voltages beyond the cell's limits (a cycler would have
    stopped)."""
    soc, v, t = (frame[c].to_numpy() for c in ("soc", "model_v", "time_s"))
    above = np.flatnonzero(soc > 1.0 + 1e-9)
    if above.size:
        log.warning(
            "%s: the SOC rises above 1 (to %.4f) from %.6g s; the OCV is held at its "
            "full-charge value there",
            name,
            soc.max(),
            t[above[0]],
        )
    low = run_files.low_cutoff_v(settings, model)
    high = float(settings.get("high_cutoff", model["param_2"][-1]))
    for beyond, text in (
        (v < low, f"falls below the low cut-off {low:g} V"),
        (v > high, f"rises above the high cut-off {high:g} V"),
    ):
        if beyond.any():
            log.warning(
                "%s: the model's voltage %s at %.6g s",
                name,
                text,
                t[np.flatnonzero(beyond)[0]],
            )


def output_stem(frame: pd.DataFrame) -> str:
    """<profile>_simulated_<T>C: the name of the CSV and the figure."""
    return f"{frame.attrs['profile']}_simulated_{frame.attrs['temperature_c']:g}C"


def write_simulation(folder, frame: pd.DataFrame, figure: bool = True) -> list[Path]:
    """Writes results/<profile>_simulated_<T>C.csv and, with matplotlib and figure
    true, the .png beside it; returns the paths written (a note in the log when the
    figure is skipped for want of matplotlib)."""
    results = Path(folder) / "results"
    stem = output_stem(frame)
    csv = results / f"{stem}.csv"
    run_files.write_text_atomically(csv, frame.to_csv(index=False))
    log.info("Saved file '%s'", csv)
    written = [csv]
    if figure:
        try:
            import matplotlib
        except ImportError:
            log.warning(
                "no figure of the simulation: matplotlib is not installed "
                "(pip install 'cellfit[plot]')"
            )
            return written
        png = results / f"{stem}.png"
        fig = _figure(folder, frame)
        with run_files.atomic_output(png, "wb") as f:
            fig.savefig(f, format="png", dpi=100)
        log.info("Saved file '%s'", png)
        written.append(png)
    return written


def _figure(folder, frame: pd.DataFrame):
    from cellkit import report_figures, validate

    lowest = _lowest_rested_soc(folder, frame.attrs["temperature_c"])
    if "voltage_v" in frame:
        replay = validate.Replay(
            record=frame.attrs["profile"],
            temp_c=frame.attrs["temperature_c"],
            time_s=frame["time_s"].to_numpy(),
            current_a=frame["current_a"].to_numpy(),
            voltage_v=frame["voltage_v"].to_numpy(),
            model_v=frame["model_v"].to_numpy(),
            soc=frame["soc"].to_numpy(),
            loaded=np.zeros(len(frame), bool),
        )
        return report_figures.validation_figure(replay, lowest)
    return report_figures.simulation_figure(frame, lowest)


def _lowest_rested_soc(folder, temp_c: float) -> float | None:
    """The lowest SOC with a rested voltage at the tables' temperature nearest temp_c:
    below it the OCV is extrapolated. None without battery_tables.json."""
    path = Path(folder) / "results" / "battery_tables.json"
    if not path.exists():
        return None
    import json

    tables = json.loads(path.read_text())
    temps = np.asarray(tables.get("temps", []), dtype=float)
    ranges = tables.get("rested_soc") or []
    if not temps.size or len(ranges) != temps.size:
        return None
    lowest = ranges[int(np.argmin(np.abs(temps - temp_c)))]
    return None if not lowest or lowest[0] is None else float(lowest[0])
