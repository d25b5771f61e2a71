"""An HTML report of a cellfit run: ``write_report(folder)`` writes
``folder/report/index.html`` with its PNG figures beside it.

The report gathers what an engineer checks before trusting a model: a quality table
(pulse-fit errors, parameters stuck on a bound, poorly determined parameters, the run's
warnings), both models replayed over every whole record (the validation), the OCV
curves with the part that is extrapolated, the model file's SOC-over-voltage lines,
every fitted pulse against its fit, the parameters over SOC and their medians over
temperature. It needs matplotlib (the ``plot`` extra).
"""

from __future__ import annotations

import html
import json
import logging
from pathlib import Path

import numpy as np
import pandas as pd

from cellkit import hppc, run_files, validate
from cellkit._native import engine
from cellkit.circuit import BOUNDS_TEXT, CIRCUIT_NAMES, on_bound
from cellkit.pulse_test import evaluate_pulses

log = logging.getLogger("cellkit")

# A pulse fit is shown as bad when its RMS error is this many times the record's median.
BAD_RMS_FACTOR = 3.0
# A standard error above this fraction of its value means the record hardly pins the
# parameter down.
LARGE_RELATIVE_SE = 0.5
SE_COLUMNS = {f"{p}_se": p for p in CIRCUIT_NAMES}


def _figures():
    """The figure module, or an ImportError saying how to get matplotlib."""
    try:
        import matplotlib
    except ImportError as err:
        raise ImportError(
            "the report draws its figures with matplotlib, which is not installed: "
            "pip install 'cellfit[plot]'"
        ) from err
    from cellkit import report_figures

    return report_figures


def write_report(folder) -> Path:
    """Writes folder/report/index.html and its figures, and folder/results/
    validation.csv and hppc_summary.csv; returns the path of index.html."""
    figures = _figures()
    run = run_files.FinishedRun.load(folder, records_needed=True)
    folder, settings, model = run.folder, run.settings, run.model
    out_dir = folder / "report"
    out_dir.mkdir(exist_ok=True)

    replays = validate.replay_folder(run)
    table = validate.validation_table(replays)
    validate.write_validation(folder, table)
    records = [_RecordView(r, replays) for r in run.records]
    params = [(r.name, r.params) for r in run.records]
    saver = _Saver(out_dir)
    truth = _load_truth(folder)

    body = [
        f"<h1>cellfit report: {_e(folder.resolve().name)}</h1>",
        _intro(settings, model, records),
        _quality_section(records, table, run.warnings),
        _validation_section(figures, saver, records, table),
        _ocv_section(figures, saver, model, records, truth),
        _pulse_section(figures, saver, records, settings.get("model")),
        _hppc_section(figures, saver, run),
        _parameter_section(figures, saver, records, params, truth),
    ]
    target = out_dir / "index.html"
    run_files.write_text_atomically(target, _page(folder, "\n".join(body)))
    log.info("Saved file '%s'", target)
    return target


class _RecordView:
    """What the report knows of one record: its parameter file, pulses file and the
    replays of the model file and of the tables over it (None when there is none)."""

    def __init__(self, files: run_files.RecordFiles, replays: list) -> None:
        self.name = files.name
        self.params = files.params
        self.temp_c = files.temp_c
        self.pulses = files.pulses
        self.ocv_points = files.ocv_points
        self.replay = self._replay_of(replays, validate.MEDIANS_MODEL)
        self.tables_replay = self._replay_of(replays, validate.TABLES_MODEL)

    def _replay_of(self, replays: list, model: str):
        return next(
            (r for r in replays if (r.record, r.model) == (self.name, model)), None
        )

    def replays(self) -> list:
        """The record's replays, the model file's first."""
        return [r for r in (self.replay, self.tables_replay) if r is not None]

    def rest_points(self) -> tuple[np.ndarray, np.ndarray]:
        """SOC and rested voltage of the OCV points, as the run wrote them
        (results/<record>_ocv_points.csv), or for an older run's results, every rest
        that ends in a step out of rest, taken as the per-cycle fit takes them: the
        voltage two samples before the rest's last one, the record's first sample where
        that reaches before it."""
        if self.ocv_points is not None:
            return (
                self.ocv_points["soc"].to_numpy(dtype=float),
                self.ocv_points["ocv_V"].to_numpy(dtype=float),
            )
        r = self.replay
        if r is None:
            return np.zeros(0), np.zeros(0)
        ends = np.flatnonzero(~r.loaded[:-1] & r.loaded[1:])

        # the replay's SOC uses the model's capacity at this temperature, which is this
        # record's own charge down to the cut-off
        return r.soc[ends], r.voltage_v[np.maximum(ends - 2, 0)]

    def measured_soc_range(self) -> tuple[float, float] | None:
        """The SOC range with rest points, those of the pulses file included."""
        soc = self.rest_points()[0]
        if self.pulses is not None:
            soc = np.concatenate([soc, self.pulses["soc"].to_numpy(dtype=float)])
        soc = soc[np.isfinite(soc)]
        return (float(soc.min()), float(soc.max())) if soc.size else None

    def bad_pulses(self) -> np.ndarray:
        """True for pulses whose fit is flagged, on a bound, or far off."""
        flagged = self.pulses["flags"].str.len().to_numpy() > 0
        return self.poor_rms_pulses() | flagged | self.stuck_pulses()

    def poor_rms_pulses(self) -> np.ndarray:
        """True for pulses whose RMS error is far above the record's usual."""
        rms = self.pulses["rms_mV"].to_numpy(dtype=float)
        median = np.nanmedian(rms) if np.isfinite(rms).any() else np.nan
        return ~np.isfinite(rms) | (rms > BAD_RMS_FACTOR * median)

    def stuck_pulses(self) -> np.ndarray:
        """True for pulses with a parameter on a fit bound (by flag or by value)."""
        p = self.pulses
        stuck = p["flags"].str.contains("_at_bound", regex=False).to_numpy()
        for name in CIRCUIT_NAMES:
            stuck = stuck | on_bound(p[name].to_numpy(dtype=float))
        return stuck

    def large_se_pulses(self) -> np.ndarray:
        p = self.pulses
        large = np.zeros(len(p), bool)
        for se, name in SE_COLUMNS.items():
            with np.errstate(divide="ignore", invalid="ignore"):
                ratio = p[se].to_numpy(dtype=float) / np.abs(p[name].to_numpy(float))
            large = large | (ratio > LARGE_RELATIVE_SE)
        return large


class _Saver:
    """Saves figures as PNG files in the report folder, each through a temporary file
    and a rename."""

    def __init__(self, out_dir: Path) -> None:
        self.out_dir = out_dir

    def __call__(self, fig, name: str, alt: str) -> str:
        with run_files.atomic_output(self.out_dir / name, "wb") as f:
            fig.savefig(f, format="png", dpi=100)
        return f'<p><img src="{_e(name)}" alt="{_e(alt)}"></p>'


def _e(text) -> str:
    return html.escape(str(text))


def _load_truth(folder: Path) -> dict:
    """True values per temperature from folder/truth.json (a generated cell), or {}."""
    path = folder / "truth.json"
    if not path.exists():
        return {}
    entries = json.loads(path.read_text())["temperatures"]
    return {float(e["temp_c"]): e for e in entries}


def _intro(settings: dict, model: dict, records: list) -> str:
    temps = ", ".join(f"{r.temp_c:g}" for r in records)
    with_pulses = sum(r.pulses is not None for r in records)
    return (
        f"<p>Model <code>{_e(settings.get('model', '?'))}</code>, "
        f"{len(records)} record{'s' * (len(records) != 1)} at {_e(temps)} °C, "
        f"{with_pulses} with a pulses file. Model file "
        f"<code>results/battery_model.json</code> ({_e(''.join(model.get('name', [])))})."
        "</p>"
    )


def _quality_section(records: list, table: pd.DataFrame, warnings) -> str:
    head = [
        "record",
        "°C",
        "pulses (discharge / charge)",
        "fit error, median (mV RMS)",
        "fit error, worst (mV RMS)",
        "pulses with a parameter on a fit bound",
        "fits not converged",
        f"pulses with a parameter uncertain by over {LARGE_RELATIVE_SE:.0%}",
        "medians on a fit bound",
        "model file over the record / under load (mV RMS)",
        "tables over the record / under load (mV RMS)",
        "warnings",
    ]
    rows = []
    for r in records:
        names = CIRCUIT_NAMES[: len(r.params["Tparam_2"])]
        stuck = [n for n, v in zip(names, r.params["Tparam_2"]) if on_bound([v])[0]]
        cells = [_e(r.name), f"{r.temp_c:g}", *_pulse_quality(r)]
        cells.append(_bad(", ".join(stuck)) if stuck else "none")
        for model in (validate.MEDIANS_MODEL, validate.TABLES_MODEL):
            cells.append(_validation_cell(table, r.name, model))
        n_warn = sum(r.name in w for w in (warnings or []))
        cells.append(_bad(n_warn) if n_warn else "0")
        rows.append(cells)
    parts = [
        "<h2>Quality</h2>",
        "<p>Per record: the pulse fits (from <code>results/&lt;record&gt;_pulses.csv"
        "</code>; a fit counts as bad when flagged, on a fit bound "
        f"({BOUNDS_TEXT}) or "
        f"its RMS error is over {BAD_RMS_FACTOR:g} times the record's median; a "
        "parameter is uncertain when its standard error is over half its value), the "
        "medians of <code>_params.json</code> that sit on a fit bound, and the error of "
        "the model file and of the tables over the whole record (see Validation).</p>",
        _table(head, rows),
        "<h3>Warnings of the run</h3>",
    ]
    if warnings is None:
        parts.append(
            "<p>No <code>cellfit.log</code> in the folder (it is kept by "
            "<code>cellfit run</code>).</p>"
        )
    elif not warnings:
        parts.append("<p>None.</p>")
    else:
        items = "".join(f"<li><code>{_e(w)}</code></li>" for w in warnings)
        parts.append(f"<ul>{items}</ul>")
    return "\n".join(parts)


def _pulse_quality(r: _RecordView) -> list[str]:
    if r.pulses is None or not len(r.pulses):
        return ["no pulses file", "", "", "", "", ""]
    p = r.pulses
    kinds = p["kind"].value_counts()
    rms = p["rms_mV"].to_numpy(dtype=float)
    worst = int(np.nanargmax(rms)) if np.isfinite(rms).any() else 0
    poor = r.poor_rms_pulses()
    stuck = int(r.stuck_pulses().sum())
    unconverged = int(p["flags"].str.contains("not_converged", regex=False).sum())
    large_se = int(r.large_se_pulses().sum())
    worst_text = f"{rms[worst]:.2f} (#{p['pulse'].iloc[worst]})"
    return [
        f"{kinds.get('discharge', 0)} / {kinds.get('charge', 0)}",
        f"{np.nanmedian(rms):.2f}",
        _bad(worst_text) if poor[worst] else worst_text,
        _bad(stuck) if stuck else "0",
        _bad(unconverged) if unconverged else "0",
        _bad(large_se) if large_se else "0",
    ]


def _validation_cell(table: pd.DataFrame, name: str, model: str) -> str:
    row = table[(table["record"] == name) & (table["model"] == model)]
    if not len(row):
        return "not validated"
    return f"{row['rms_mv'].iloc[0]:.1f} / {row['pulses_rms_mv'].iloc[0]:.1f}"


def _bad(value) -> str:
    return f'<span class="bad">{_e(value)}</span>'


def _table(head: list, rows: list) -> str:
    th = "".join(f"<th>{h}</th>" for h in head)
    body = "".join(
        "<tr>" + "".join(f"<td>{c}</td>" for c in row) + "</tr>" for row in rows
    )
    return f"<table><tr>{th}</tr>{body}</table>"


def _validation_section(figures, saver, records: list, table: pd.DataFrame) -> str:
    head = [
        "record",
        "model",
        "°C",
        "RMS (mV)",
        "largest (mV)",
        "pulses: RMS",
        "pulses: largest",
        "RMS where the OCV is measured",
    ]
    by_name = {r.name: r for r in records}
    rows = [
        [_e(row["record"]), _e(row["model"]), f"{row['temperature_c']:g}"]
        + [f"{row[c]:.1f}" for c in validate.COLUMNS[3:]]
        + [_measured_range_rms(by_name[row["record"]], row["model"])]
        for row in table.to_dict("records")
    ]
    parts = [
        "<h2>Validation: the models over each whole record</h2>",
        "<p>Both models a run hands over, driven by the record's whole current, SOC "
        "counted from 1 at the record's start, as in <code>results/validation.csv"
        "</code>: <code>battery_model</code>, the model file (OCV over SOC at the "
        "record's temperature, one R0, RC pairs and capacity per temperature: the "
        "medians), and <code>battery_tables</code>, the tables over SOC and "
        "temperature (OCV, R0 and the RC pairs looked up at each sample's SOC, "
        "discharge or charge tables by the current's sign; empty cells filled as the "
        'PyBaMM export fills them). "Pulses" are the samples whose current is beyond '
        "the rest level. Shaded: SOC below the lowest rest point, where neither "
        "model's OCV is measured; the last column leaves that part out.</p>",
        _table(head, rows),
    ]
    for r in records:
        if r.replay is None:
            continue
        measured = r.measured_soc_range()
        fig = figures.validation_figure(
            r.replay, measured[0] if measured else None, r.tables_replay
        )
        parts.append(saver(fig, f"validation_{r.name}.png", f"validation of {r.name}"))
    return "\n".join(parts)


def _measured_range_rms(r: _RecordView, model: str) -> str:
    """RMS error (mV) of a model's replay over the samples whose SOC is inside the
    rest points' range."""
    measured = r.measured_soc_range()
    replay = next((p for p in r.replays() if p.model == model), None)
    if measured is None or replay is None:
        return ""
    inside = replay.soc >= measured[0]
    error_mv = 1000.0 * (replay.model_v - replay.voltage_v)[inside]
    return f"{np.sqrt(np.mean(error_mv**2)):.1f}" if error_mv.size else ""


def _ocv_section(figures, saver, model: dict, records: list, truth: dict) -> str:
    curves = []
    for r in records:
        soc = np.asarray(r.params["Tparam_3"][0], dtype=float)
        points_soc, points_v = r.rest_points()
        at_temp = run_files.model_at_temperature(model, r.temp_c)
        curves.append(
            {
                "name": r.name,
                "temp_c": r.temp_c,
                "soc": soc,
                "ocv_v": np.asarray(r.params["Tparam_3"][1], dtype=float),
                "points_soc": points_soc,
                "points_v": points_v,
                "measured_soc": r.measured_soc_range(),
                "model_ocv_v": np.interp(soc, at_temp.soc, at_temp.ocv_v),
                "capacity_ah": float(r.params["Tparam_1"]),
            }
        )
    return "\n".join(
        [
            "<h2>OCV over SOC</h2>",
            "<p>Each record's OCV curve through its rested voltages before the pulses; "
            "dashed beyond the SOC range of those points, where the spline is "
            "extrapolated. All panels share one voltage scale. Below each: the model "
            "file's OCV at the record's temperature (straight lines in temperature "
            "through all records) minus the record's curve; grey is the SOC range of "
            "the rests.</p>",
            saver(figures.ocv_figure(curves, truth), "ocv.png", "OCV curves"),
            "<h3>SOC over voltage in the model file</h3>",
            "<p>The model file's SOC lines (<code>param_8 + param_7·T</code> over the "
            "voltage grid <code>param_2</code>) at each of its temperatures, over the "
            "record's own OCV curve (light band). A user inverting the OCV expects SOC "
            "to rise with the voltage; red marks the grid steps where it falls instead."
            "</p>",
            saver(
                figures.soc_lines_figure(model, curves), "soc_lines.png", "SOC lines"
            ),
        ]
    )


def _pulse_section(figures, saver, records: list, model_name) -> str:
    parts = [
        "<h2>Pulse fits</h2>",
        "<p>Every fitted pulse, measured (light band) against fitted voltage (dark "
        "line) from the pulse's start over the pulse and the rest after it, in mV "
        "from the voltage before the pulse; red frames mark bad fits (see Quality)."
        "</p>",
    ]
    shown = 0
    for r in records:
        if r.pulses is None or not len(r.pulses) or r.replay is None:
            continue
        rec = {
            "time_s": r.replay.time_s,
            "voltage_v": r.replay.voltage_v,
            "current_a": r.replay.current_a,
            "name": r.name,
        }
        frames = evaluate_pulses(rec, r.pulses, model_name)
        title = f"{r.name} at {r.temp_c:g} °C"
        fig = figures.pulse_grid_figure(title, frames, r.pulses, r.bad_pulses())
        parts.append(f"<h3>{_e(title)}</h3>")
        parts.append(saver(fig, f"pulses_{r.name}.png", f"pulse fits of {r.name}"))
        shown += 1
    if not shown:
        parts.append("<p>No pulses files in <code>results/</code>.</p>")
    return "\n".join(parts)


def _parameter_section(figures, saver, records: list, params: list, truth) -> str:
    parts = ["<h2>Circuit parameters</h2>"]
    by_temp = {r.temp_c: r.pulses for r in records if r.pulses is not None}
    by_temp = {t: p for t, p in by_temp.items() if len(p)}
    if by_temp:
        parts.append(
            "<p>Every pulse's fitted parameters over the SOC at its start, per "
            "temperature and direction.</p>"
        )
        fig = figures.parameters_over_soc_figure(by_temp)
        parts.append(saver(fig, "parameters_over_soc.png", "parameters over SOC"))
    if len({float(p["TempC"]) for _, p in params}) == 1:
        parts.append(_median_table(params, truth))
        return "\n".join(parts)
    parts.append(
        "<p>The medians over the pulses that <code>_params.json</code> holds and the "
        "model file tabulates, over temperature; a median on a fit bound "
        f"({BOUNDS_TEXT}) "
        "is ringed in red."
        + (" The generated cell's true values in black squares." if truth else "")
        + "</p>"
    )
    fig = figures.parameters_over_temperature_figure(params, truth)
    parts.append(
        saver(fig, "parameters_over_temperature.png", "parameters over temperature")
    )
    return "\n".join(parts)


def _median_table(params: list, truth: dict) -> str:
    """The medians of records at one temperature, as a table (a figure over
    temperature would be panels of single dots)."""
    names = CIRCUIT_NAMES[: len(params[0][1]["Tparam_2"])]
    head = ["record", "°C", *[_unit(n) for n in names], "charge to the cut-off (Ah)"]
    rows = []
    for name, p in params:
        values = p["Tparam_2"]
        cells = [_e(name), f"{float(p['TempC']):g}"]
        cells += [
            _bad(_number(n, v)) if on_bound([v])[0] else _number(n, v)
            for n, v in zip(names, values)
        ]
        rows.append([*cells, f"{float(p['Tparam_1']):.4f}"])
        true = truth.get(float(p["TempC"]))
        if true is not None:
            rows.append(
                ["true values", "", *[_number(n, true.get(n)) for n in names],
                 f"{true['capacity_ah']:.4f}"]
            )  # fmt: skip
    return (
        "<p>The medians over the pulses that <code>_params.json</code> holds and the "
        "model file tabulates (all records at one temperature); a median on a fit "
        f"bound ({BOUNDS_TEXT}) in red.</p>" + _table(head, rows)
    )


def _unit(name: str) -> str:
    return f"{name} (mΩ)" if name.startswith("R") else f"{name} (F)"


def _number(name: str, value) -> str:
    if value is None or not np.isfinite(value):
        return ""
    return f"{1000 * value:.2f}" if name.startswith("R") else f"{value:.4g}"


def _hppc_section(figures, saver, run: run_files.FinishedRun) -> str:
    table = hppc.write_hppc_summary(run)
    if not len(table):
        return ""
    limits = run.voltage_limits
    length = hppc.PULSE_LENGTH_S
    parts = [
        "<h2>Pulse resistance and pulse power</h2>",
        f"<p>As battery test manuals (the HPPC manual) define them, over a {length:g} s "
        "pulse: the pulse resistance R of each pulse's fitted circuit (R0 + Ri (1 - "
        f"exp(-{length:g} s / RiCi))), beside dV/dI read from the measured voltage "
        f"at 10 s (hollow markers); the discharge pulse power at the low cut-off, "
        f"V_min (OCV - V_min) / R with V_min = {limits[0]:g} V, and the regen (charge) "
        f"pulse power at the high cut-off, V_max (V_max - OCV) / R with V_max = "
        f"{limits[1]:g} V, the OCV the record's curve at the pulse's SOC. One row per "
        "pulse in <code>results/hppc_summary.csv</code>.</p>",
        saver(
            figures.hppc_power_figure(table, limits), "hppc_power.png", "pulse power"
        ),
    ]
    return "\n".join(parts)


_STYLE = """
body { font-family: sans-serif; max-width: 1400px; margin: 1em auto; padding: 0 1em; }
table { border-collapse: collapse; margin: 0.5em 0 1em; font-size: 0.9em; }
th, td { border: 1px solid #bbb; padding: 0.2em 0.6em; text-align: right; }
th { background: #eee; }
td:first-child { text-align: left; }
.bad { color: #c0392b; font-weight: bold; }
img { max-width: 100%; }
"""


def _page(folder: Path, body: str) -> str:
    title = f"cellfit report: {folder.resolve().name}"
    return (
        '<!DOCTYPE html>\n<html lang="en">\n<head>\n<meta charset="utf-8">\n'
        f"<title>{_e(title)}</title>\n<style>{_STYLE}</style>\n</head>\n<body>\n"
        f"{body}\n</body>\n</html>\n"
    )
