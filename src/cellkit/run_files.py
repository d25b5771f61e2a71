"""The files a cellfit run leaves in a working folder, read back for the tools.

A working folder holds ``raw_data/<record>.csv``, usually ``input_params.json``, and
after a run ``results/`` with ``<record>_params.json``, ``battery_model.json`` and, from
the pulse engine, ``<record>_pulses.csv``; the command line keeps the run's log in
``cellfit.log``. ``results/manifest.json`` says which of the files the last run wrote
and whether it finished. The validation and the report read them all through this
module, and refuse a folder whose last run did not finish.
"""

from __future__ import annotations

import contextlib
import json
import os
import uuid
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np
import pandas as pd

from cellkit._native import engine

CONFIG_FILE = "input_params.json"
# The columns a record is read by when the engine's reader is not there.
_RECORD_COLUMNS = ("time_s", "voltage_v", "current_a")


def load_settings(folder: Path) -> dict:
    """FOLDER/input_params.json as a dict, {} when there is none; ValueError naming
    the file when it is not a JSON object. Read with or without a byte-order mark, as
    editors on Windows save it and as the pipeline reads it."""
    path = Path(folder) / CONFIG_FILE
    if not path.is_file():
        return {}
    try:
        settings = json.loads(path.read_text(encoding="utf-8-sig"))
    except (OSError, UnicodeDecodeError, ValueError) as exc:
        raise ValueError(f"{path}: not a readable JSON file ({exc})") from None
    if not isinstance(settings, dict):
        raise ValueError(f"{path}: expected a JSON object, found {settings!r}")
    return settings


def read_record(
    path,
    settings: dict | None = None,
    cutoff_v: float | None = None,
    *,
    notes: bool = True,
    voltage_optional: bool = False,
) -> dict:
    """A record's columns (time_s, voltage_v, current_a as float arrays, the step
    clock step_time_s and step_index or None), its name and temperature_c, read as the
    pipeline reads it: the settings' column map, discharge sign and units applied, the
    rows cleaned; with cutoff_v, the part the pipeline fits. notes=False keeps the
    reader's notes on what it cleaned quiet (a run's log said them already);
    voltage_optional reads a current profile without a voltage column."""
    return engine.read_record(
        os.fspath(path),
        dict(settings or {}),
        cutoff_v,
        notes=notes,
        voltage_optional=voltage_optional,
    )


def cut_at_cutoff(record: dict, low_cutoff_v: float) -> dict:
    """The record up to its first sample below low_cutoff_v, as the pipeline cuts it."""
    below = np.flatnonzero(record["voltage_v"] < low_cutoff_v)
    end = int(below[0]) if below.size else record["voltage_v"].size
    cut = dict(record)
    for key in (*_RECORD_COLUMNS, "step_time_s", "step_index"):
        if cut.get(key) is not None:
            cut[key] = record[key][:end]
    return cut


def low_cutoff_v(settings: dict, model: dict) -> float:
    """The run's low cut-off (V): from the settings, else from the model file, whose
    voltage grid starts 10 mV below it."""
    if "low_cutoff" in settings:
        return float(settings["low_cutoff"])
    return round(float(model["param_2"][0]) + 0.01, 9)


def load_manifest(folder: Path) -> dict | None:
    """results/manifest.json, None where no run wrote one (an older version's)."""
    path = Path(folder) / "results" / "manifest.json"
    if not path.exists():
        return None
    try:
        manifest = json.loads(path.read_text(encoding="utf-8"))
    except ValueError as exc:
        raise ValueError(f"{path}: not a readable manifest ({exc})") from None
    if not isinstance(manifest, dict):
        raise ValueError(f"{path}: not a readable manifest (not a JSON object)")
    return manifest


def finished_run(folder: Path) -> dict | None:
    """The manifest of the folder's last run (None without one); ValueError when that
    run did not complete, so that its results/ mixes two runs' files."""
    manifest = load_manifest(folder)
    if manifest is None or manifest.get("status") == "complete":
        return manifest
    started, status = manifest.get("started", "?"), manifest.get("status")
    what = f"the run started at {started}"
    if status == "running":
        what += " has not finished (or was killed)"
    elif status == "interrupted":
        what += " was interrupted"
    else:
        what += f" {status}" + (
            f" ({manifest['error']})" if "error" in manifest else ""
        )
    raise ValueError(
        f"{Path(folder) / 'results' / 'manifest.json'}: {what}; results/ holds a part "
        "of its files beside older ones: run cellfit there again"
    )


def load_model(folder: Path) -> dict:
    """results/battery_model.json; FileNotFoundError naming it when it is missing,
    ValueError when the last run did not finish."""
    finished_run(folder)
    path = Path(folder) / "results" / "battery_model.json"
    if not path.exists():
        raise FileNotFoundError(f"{path}: no model file; run cellfit in {folder} first")
    return json.loads(path.read_text())


def load_tables(folder: Path) -> dict | None:
    """results/battery_tables.json, None when the run wrote none (cellgen writes the
    tables only from the pulse files)."""
    path = Path(folder) / "results" / "battery_tables.json"
    return json.loads(path.read_text()) if path.exists() else None


def load_params(folder: Path) -> list[tuple[str, dict]]:
    """(record name, contents) of every results/<record>_params.json the last run
    wrote (all of them without a manifest), coldest first; ValueError when the last
    run did not finish."""
    manifest = finished_run(folder)
    current = None
    if manifest is not None:
        current = {Path(p).name for p in manifest.get("outputs", {})}
    found = []
    for path in (Path(folder) / "results").glob("*_params.json"):
        if current is not None and path.name not in current:
            continue  # a record no longer in raw_data/: not in the model either
        found.append((path.name[: -len("_params.json")], json.loads(path.read_text())))
    return sorted(found, key=lambda item: (item[1]["TempC"], item[0]))


def load_pulses(folder: Path, record: str) -> pd.DataFrame | None:
    """results/<record>_pulses.csv, None when the run wrote none; flags as text."""
    path = Path(folder) / "results" / f"{record}_pulses.csv"
    if not path.exists():
        return None
    pulses = pd.read_csv(path, dtype={"flags": str, "kind": str})
    pulses["flags"] = pulses["flags"].fillna("")
    return pulses


def load_ocv_points(folder: Path, record: str) -> pd.DataFrame | None:
    """results/<record>_ocv_points.csv (time_s, soc, ocv_V: the rested voltages the
    record's OCV curve goes through), None when the run wrote none."""
    path = Path(folder) / "results" / f"{record}_ocv_points.csv"
    return pd.read_csv(path) if path.exists() else None


def run_warnings(folder: Path) -> list[str] | None:
    """The WARNING and ERROR lines of folder/cellfit.log, None without a log."""
    path = Path(folder) / "cellfit.log"
    if not path.exists():
        return None
    lines = path.read_text(errors="replace").splitlines()
    return [line for line in lines if line.startswith(("WARNING:", "ERROR:"))]


@dataclass
class RecordFiles:
    """One record's files of a finished run: its parameter file, and its pulses and
    OCV points (None where the run wrote none)."""

    name: str
    params: dict
    pulses: pd.DataFrame | None
    ocv_points: pd.DataFrame | None

    @property
    def temp_c(self) -> float:
        return float(self.params["TempC"])


@dataclass
class FinishedRun:
    """A folder's finished run, read once: its settings, model file, tables, records'
    files (coldest first) and log warnings. The validation, the report and the HPPC
    summary all work from one; ``FinishedRun.of`` takes a folder or a loaded run."""

    folder: Path
    settings: dict
    model: dict
    tables: dict | None
    records: list[RecordFiles]
    warnings: list[str] | None

    @classmethod
    def load(cls, folder, records_needed: bool = False) -> FinishedRun:
        """ValueError when the last run did not finish; FileNotFoundError without a
        model file, or with records_needed, without a parameter file."""
        folder = Path(folder)
        params = load_params(folder)
        if records_needed and not params:
            raise FileNotFoundError(
                f"{folder / 'results'}: no parameter files (*_params.json); run "
                "cellfit there first"
            )
        records = [
            RecordFiles(
                name, p, load_pulses(folder, name), load_ocv_points(folder, name)
            )
            for name, p in params
        ]
        return cls(
            folder,
            settings=load_settings(folder),
            model=load_model(folder),
            tables=load_tables(folder),
            records=records,
            warnings=run_warnings(folder),
        )

    @classmethod
    def of(cls, run) -> FinishedRun:
        """run itself when loaded already, else the run of the folder it names."""
        return run if isinstance(run, FinishedRun) else cls.load(run)

    @property
    def cutoff_v(self) -> float:
        return low_cutoff_v(self.settings, self.model)

    @property
    def voltage_limits(self) -> tuple[float, float]:
        """The run's low and high cut-off (V): from the settings, else from the model
        file's voltage grid (10 mV below the low cut-off up to the high one)."""
        high = self.settings.get("high_cutoff")
        high_v = float(high) if high is not None else float(self.model["param_2"][-1])
        return self.cutoff_v, high_v

    def record_samples(self, name: str) -> dict | None:
        """raw_data/<name>.csv as the run fitted it (cut at the low cut-off), None
        when the record is gone."""
        path = self.folder / "raw_data" / f"{name}.csv"
        if not path.exists():
            return None
        cutoff_v = self.cutoff_v
        record = read_record(path, self.settings, cutoff_v, notes=False)
        return cut_at_cutoff(record, cutoff_v)


def _numbers(values) -> np.ndarray:
    """A list from the model file as floats; null (a non-finite number) becomes NaN."""
    return np.array([np.nan if v is None else v for v in values], dtype=float)


@dataclass
class ModelAtTemperature:
    """The merged model at one temperature: OCV table, capacity, R0 and RC pairs."""

    temp_c: float
    soc: np.ndarray
    ocv_v: np.ndarray
    capacity_ah: float
    r0_ohm: float
    r_ohm: np.ndarray = field(default_factory=lambda: np.zeros(0))
    c_f: np.ndarray = field(default_factory=lambda: np.zeros(0))

    def simulate(
        self, time_s, current_a, name: str, soc_start: float = 1.0
    ) -> dict[str, np.ndarray]:
        """The model's terminal voltage and SOC ({'voltage_v', 'soc'}) for the current,
        from soc_start with the RC pairs relaxed; ValueError naming what was driven."""
        try:
            return engine.simulate_model(
                time_s,
                current_a,
                self.soc,
                self.ocv_v,
                self.capacity_ah,
                self.r0_ohm,
                self.r_ohm,
                self.c_f,
                soc_start=soc_start,
            )
        except ValueError as err:
            raise ValueError(f"{name}: cannot simulate the model: {err}") from err


def model_at_temperature(model: dict, temp_c: float) -> ModelAtTemperature:
    """Reads battery_model.json's tables at temp_c.

    The OCV is param_4 + param_3 T at each SOC of param_1. R0, the RC pairs and the
    capacity are tabulated per entry of temps (duplicates included; the RC tables hold
    all first-pair values, then all second-pair ones); between temperatures they are
    interpolated linearly, beyond the ends held.
    """
    temps = _numbers(model["temps"])
    soc = _numbers(model["param_1"])
    ocv = _numbers(model["param_4"]) + _numbers(model["param_3"]) * temp_c
    tau = _numbers(model["param_10"]).reshape(-1, temps.size)
    r_pairs = _numbers(model["param_11"]).reshape(-1, temps.size)

    def at_temp(values: np.ndarray) -> float:
        # equal temperatures hold equal values (the same winning file): keep one
        kept, first = np.unique(temps, return_index=True)
        return float(np.interp(temp_c, kept, values[first]))

    r = np.array([at_temp(row) for row in r_pairs])
    return ModelAtTemperature(
        temp_c=temp_c,
        soc=soc,
        ocv_v=ocv,
        capacity_ah=at_temp(_numbers(model["param_12"])),
        r0_ohm=at_temp(_numbers(model["param_9"])),
        r_ohm=r,
        c_f=np.array([at_temp(row) for row in tau]) / r,
    )


@contextlib.contextmanager
def atomic_output(path: Path, mode: str = "w"):
    """An open file that becomes path when the block ends without error.

    The file is written beside path under a unique name (created with the usual
    permissions) and renamed over path at the end; on an error it is removed and an
    earlier path stays as it was.
    """
    path = Path(path)
    tmp = path.with_name(f".{path.name}.{uuid.uuid4().hex}.tmp")
    text = {"encoding": "utf-8", "newline": "\n"} if "b" not in mode else {}
    try:
        with open(tmp, mode.replace("w", "x"), **text) as f:
            yield f
        os.replace(tmp, path)
    except BaseException:
        if tmp.exists():
            tmp.unlink()
        raise


def write_text_atomically(path: Path, text: str) -> None:
    """Writes text to path through a temporary file beside it and a rename."""
    with atomic_output(path) as f:
        f.write(text)
