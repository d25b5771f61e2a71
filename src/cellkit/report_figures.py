"""The report's figures, each drawn on its own matplotlib Figure.

Figures are made without pyplot, on Agg canvases: no global backend is chosen and no
window can open, so the report runs the same in scripts, on servers and in workers.
Every function takes plain data (arrays, frames, dicts) and returns the Figure; the
report saves it.
"""

from __future__ import annotations

import numpy as np

from cellkit._native import engine
from cellkit.circuit import BOUND_TOLERANCE, BOUNDS, CIRCUIT_NAMES, on_bound

BAD_COLOR = "#c0392b"
NOTE_COLOR = "0.25"  # notes on the drawing (off scale, ...): not a flag
# Measured data as a wide light band under the thin dark model line: both stay visible
# where they agree, and where they part.
MEASURED_STYLE = {"color": "#9ecae1", "lw": 3.2, "solid_capstyle": "butt"}
MODEL_STYLE = {"color": "#08306b", "lw": 0.9}
# The tables' replay beside the model file's: another hue, not the flag's red.
TABLES_STYLE = {"color": "#1b7837", "lw": 0.9}
EXTRAPOLATED_COLOR = "#f0b27a"


def centred_note(ax, text: str, fontsize: float) -> None:
    """A note in the middle of an axes that has nothing to show."""
    ax.text(
        0.5,
        0.5,
        text,
        transform=ax.transAxes,
        ha="center",
        va="center",
        fontsize=fontsize,
        color=NOTE_COLOR,
    )


def corner_note(ax, text: str, top: float, fontsize: float) -> None:
    """A note at the top right of an axes, on white over what is drawn there."""
    ax.text(
        0.99,
        top,
        text,
        transform=ax.transAxes,
        ha="right",
        va="top",
        fontsize=fontsize,
        color=NOTE_COLOR,
        bbox={"facecolor": "white", "alpha": 0.85, "lw": 0},
    )


def shade_extrapolated(axes, x: np.ndarray, low: np.ndarray, label: str) -> None:
    """Shades the stretches where low holds (the SOC below the lowest rested one, the
    OCV extrapolated there) over the full height of each axes; the first names it in
    its legend."""
    for k, a in enumerate(axes):
        a.fill_between(
            x,
            0,
            1,
            where=low,
            transform=a.get_xaxis_transform(),
            color=EXTRAPOLATED_COLOR,
            alpha=0.35,
            lw=0,
            label=label if k == 0 else None,
        )


def new_figure(width_in: float, height_in: float):
    """A Figure with an Agg canvas attached (matplotlib imported here, lazily)."""
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    fig = Figure(figsize=(width_in, height_in), layout="constrained")
    FigureCanvasAgg(fig)
    return fig


def temperature_colors(temps) -> dict:
    """Blue for the coldest record through teal to amber for the warmest: no red,
    which marks what is flagged."""
    from matplotlib.colors import LinearSegmentedColormap

    cmap = LinearSegmentedColormap.from_list("temp", ["#2166ac", "#1b9e77", "#d99a00"])
    lo, hi = min(temps), max(temps)
    span = (hi - lo) or 1.0
    return {tc: cmap((tc - lo) / span) for tc in temps}


def _grid(n: int, ncols: int) -> tuple[int, int]:
    ncols = max(1, min(n, ncols))
    return -(-n // ncols), ncols


def _log_axis(ax) -> None:
    """A logarithmic y axis labelled with plain numbers (600, 2000), which read faster
    than powers of ten; the ticks between decades are labelled only when the data
    span less than a decade, where they are the only labels."""
    from matplotlib.ticker import NullFormatter, ScalarFormatter

    ax.set_yscale("log")
    ax.yaxis.set_major_formatter(ScalarFormatter())
    values = np.concatenate([line.get_ydata() for line in ax.get_lines()] or [[]])
    values = values[np.isfinite(values) & (values > 0)]
    narrow = values.size and values.max() < 10 * values.min()
    ax.yaxis.set_minor_formatter(ScalarFormatter() if narrow else NullFormatter())
    ax.tick_params(axis="y", which="both", labelsize=7)


def gaps_cut_out(time_s: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """A time axis (s from the start) with the record's gaps cut out, each becoming one
    median sampling interval, and the indices of the samples after each gap. Records
    put together from snippets of a longer test would otherwise be drawn as hours of
    straight lines between a few seconds of data."""
    after_gap = engine.gap_ends(time_s)
    step = np.diff(time_s)
    if after_gap.size:
        step[after_gap - 1] = np.median(step)
    return np.concatenate([[0.0], np.cumsum(step)]), after_gap


def validation_figure(replay, extrapolated_below_soc: float | None, tables=None):
    """Measured and simulated voltage over a whole record, and their difference: the
    model file's replay, and the tables' replay (tables) as a second line.

    Where the SOC is below the lowest rest point, the OCV is extrapolated: that part is
    shaded. Gaps in the record are cut out and marked.
    """
    elapsed_s, after_gap = gaps_cut_out(replay.time_s)
    in_hours = elapsed_s[-1] > 2 * 3600.0
    x = elapsed_s / 3600.0 if in_hours else elapsed_s
    models = [(replay, MODEL_STYLE, "model file, simulated")]
    if tables is not None:
        models = [
            (replay, MODEL_STYLE, "model file (medians), simulated"),
            (tables, TABLES_STYLE, "tables over SOC, simulated"),
        ]

    def broken(y):  # no line across a gap
        return np.insert(np.asarray(y, dtype=float), after_gap, np.nan)

    xb = broken(x)
    fig = new_figure(10, 5.6)
    ax, ax_err = fig.subplots(
        2, 1, sharex=True, gridspec_kw={"height_ratios": [2.2, 1]}
    )
    ax.plot(xb, broken(replay.voltage_v), **MEASURED_STYLE, label="measured")
    errors_mv = []
    for run, style, label in models:
        errors_mv.append(1000.0 * (run.model_v - replay.voltage_v))
        ax.plot(xb, broken(run.model_v), **style, label=label)
        ax_err.plot(xb, broken(errors_mv[-1]), color=style["color"], lw=0.7)
    ax_err.axhline(0.0, color="k", lw=0.5)
    for k, a in enumerate((ax, ax_err)):
        for j, start in enumerate(after_gap):
            label = "gap in the record (cut out)" if k == 0 and j == 0 else None
            a.axvline(x[start], color="k", ls=":", lw=0.8, label=label)
    if extrapolated_below_soc is not None:
        low = replay.soc < extrapolated_below_soc
        shade_extrapolated(
            (ax, ax_err), x, low, "OCV not measured (SOC below the lowest rest point)"
        )
        _clip_extrapolated_error(
            ax_err, np.concatenate(errors_mv), np.tile(low, len(errors_mv))
        )
    ax.set_ylabel("voltage (V)")
    ax_err.set_ylabel("model minus\nmeasured (mV)")
    unit = "h" if in_hours else "s"
    cut = ", gaps cut out" if after_gap.size else ""
    ax_err.set_xlabel(f"time since the record's start ({unit}{cut})")
    ax.legend(fontsize=8, loc="lower left")
    for a in (ax, ax_err):
        a.grid(alpha=0.3)
    what = "both models" if tables is not None else "the merged model"
    ax.set_title(
        f"{replay.record} at {replay.temp_c:g} °C: {what} over the whole record"
    )
    return fig


def simulation_figure(frame, extrapolated_below_soc: float | None):
    """The model's voltage for a current profile without measured voltages, with the
    current and the SOC below it; shaded where the SOC is below the lowest rested one
    (there the OCV is extrapolated)."""
    t = frame["time_s"].to_numpy(dtype=float)
    elapsed = t - t[0]
    in_hours = elapsed[-1] > 2 * 3600.0
    x = elapsed / 3600.0 if in_hours else elapsed
    fig = new_figure(10, 6.4)
    ax_v, ax_i, ax_soc = fig.subplots(
        3, 1, sharex=True, gridspec_kw={"height_ratios": [2.2, 1, 1]}
    )
    ax_v.plot(x, frame["model_v"], color="C0", lw=0.9, label="model, simulated")
    ax_i.plot(x, frame["current_a"], color="0.3", lw=0.8)
    ax_i.axhline(0.0, color="k", lw=0.5)
    ax_soc.plot(x, frame["soc"], color="C2", lw=1.2)
    if extrapolated_below_soc is not None:
        low = frame["soc"].to_numpy() < extrapolated_below_soc
        shade_extrapolated(
            (ax_v, ax_i, ax_soc),
            x,
            low,
            "OCV extrapolated (SOC below the lowest rest point)",
        )
    ax_v.set_ylabel("voltage (V)")
    ax_i.set_ylabel("current (A)\ndischarge < 0")
    ax_soc.set_ylabel("SOC")
    ax_soc.set_xlabel(f"time since the profile's start ({'h' if in_hours else 's'})")
    ax_v.legend(fontsize=8, loc="best")
    for a in (ax_v, ax_i, ax_soc):
        a.grid(alpha=0.3)
    ax_v.set_title(
        f"{frame.attrs.get('profile', 'profile')} at "
        f"{frame.attrs.get('temperature_c', float('nan')):g} °C: the model's voltage"
    )
    return fig


def _clip_extrapolated_error(ax, error_mv: np.ndarray, extrapolated: np.ndarray):
    """Scales the error axis to the part with a measured OCV when the extrapolated part
    would squash it, and says how far the extrapolated part goes."""
    if not extrapolated.any() or extrapolated.all():
        return
    span = float(np.max(np.abs(error_mv[~extrapolated])))
    peak = float(np.max(np.abs(error_mv[extrapolated])))
    if peak > 3 * span:
        ax.set_ylim(-1.5 * span, 1.5 * span)
        corner_note(ax, f"off scale in the shaded part: up to {peak:.0f} mV", 0.95, 8)


def ocv_figure(curves: list[dict], truth: dict):
    """Per record: the rest points, the OCV curve (dashed where extrapolated beyond the
    measured SOC range) and below it the model file's OCV at that temperature minus the
    record's curve. All OCV panels share one voltage range, so that records compare at
    a glance, and each has its legend; a difference below 1 µV (one record: the model
    file is its curve) is said in words instead of drawn as noise.

    Each entry of curves: name, temp_c, soc, ocv_v (the record's curve), points_soc,
    points_v (rested voltages), measured_soc (the SOC range of the rest points, or
    None), model_ocv_v (the model file's OCV on soc) and capacity_ah.
    """
    nrows, ncols = _grid(len(curves), 2 if len(curves) in (2, 4) else 3)
    fig = new_figure(4.6 * ncols, 4.4 * nrows)
    outer = fig.add_gridspec(nrows, ncols)
    colors = temperature_colors([c["temp_c"] for c in curves])
    first = None
    for k, c in enumerate(curves):
        inner = outer[divmod(k, ncols)].subgridspec(2, 1, height_ratios=[3, 1.2])
        ax = fig.add_subplot(inner[0], sharey=first)
        first = first or ax
        ax_diff = fig.add_subplot(inner[1], sharex=ax)
        _ocv_panel(ax, c, truth.get(c["temp_c"]), colors[c["temp_c"]])
        _ocv_difference_panel(ax_diff, c, colors[c["temp_c"]])
    return fig


def _ocv_panel(ax, c: dict, true, color) -> None:
    soc, ocv = c["soc"], c["ocv_v"]
    lo, hi = c["measured_soc"] or (0.0, 1.0)
    inside = (soc >= lo - 1e-9) & (soc <= hi + 1e-9)
    ax.plot(soc, np.where(inside, ocv, np.nan), color=color, lw=1.8, label="OCV curve")
    ax.plot(
        soc,
        np.where(inside, np.nan, ocv),
        color=color,
        lw=1.2,
        ls="--",
        label="curve, extrapolated",
    )
    ax.plot(
        c["points_soc"],
        c["points_v"],
        "o",
        color=color,
        ms=4,
        mfc="white",
        label="rested voltage",
    )
    if true is not None and "capacity_ah" in c:
        # truth is over the cell's capacity, the run's SOC over the charge drawn
        # down to the cut-off: put the true curve on the run's scale
        soc_cell = 1.0 - (1.0 - soc) * c["capacity_ah"] / true["capacity_ah"]
        true_v = np.interp(soc_cell, true["ocv"]["soc"], true["ocv"]["ocv_v"])
        ax.plot(soc, true_v, color="k", lw=0.7, ls=":", label="true OCV")
    ax.set_title(f"{c['name']} ({c['temp_c']:g} °C)", fontsize=10)
    ax.set_ylabel("OCV (V)", fontsize=9)
    ax.tick_params(labelbottom=False, labelsize=8)
    ax.set_xlim(-0.02, 1.02)
    ax.grid(alpha=0.3)
    ax.legend(fontsize=7, loc="lower right")


def _ocv_difference_panel(ax, c: dict, color) -> None:
    lo, hi = c["measured_soc"] or (0.0, 1.0)
    diff_mv = 1000.0 * (c["model_ocv_v"] - c["ocv_v"])
    ax.axvspan(lo, hi, color="0.9", zorder=0, label="SOC range of the rests")
    if np.nanmax(np.abs(diff_mv)) < 1e-3:
        centred_note(ax, "the model file's OCV is this curve\n(within 0.001 mV)", 8)
        ax.set_yticks([])
    else:
        ax.plot(c["soc"], diff_mv, color=color, lw=1.0)
        ax.axhline(0.0, color="k", lw=0.5)
    ax.set_ylabel("model file minus\ncurve (mV)", fontsize=8)
    ax.set_xlabel("SOC", fontsize=9)
    ax.tick_params(labelsize=8)
    ax.grid(alpha=0.3)


def soc_lines_figure(model: dict, curves: list[dict]):
    """The model file's SOC over the voltage grid at each of its temperatures, with the
    grid steps where it falls as the voltage rises marked, and those steps below (with
    a note where the scale that shows the falling steps cuts the others off)."""
    volts = np.asarray(model["param_2"], dtype=float)
    soc0 = np.asarray(model["param_8"], dtype=float)
    soc_rel = np.asarray(model["param_7"], dtype=float)
    temps = sorted({float(t) for t in model["temps"]})
    by_temp = {c["temp_c"]: c for c in curves}
    fig = new_figure(4.4 * len(temps), 5.4)
    axes = fig.subplots(2, len(temps), squeeze=False, sharex=True)
    colors = temperature_colors(temps)
    grid_mv = 1000.0 * float(np.median(np.diff(volts)))
    for col, tc in enumerate(temps):
        ax, ax_step = axes[0, col], axes[1, col]
        soc = soc0 + soc_rel * tc
        step = np.diff(soc)
        falls = np.flatnonzero(step < 0)
        curve = by_temp.get(tc)
        if curve is not None:
            ax.plot(
                curve["ocv_v"],
                curve["soc"],
                **MEASURED_STYLE,
                label="record's OCV curve",
            )
        ax.plot(volts, soc, color=colors[tc], lw=1.0, label="model file")
        if falls.size:
            ends = np.unique(np.concatenate([falls, falls + 1]))
            ax.plot(
                volts[ends],
                soc[ends],
                "o",
                color=BAD_COLOR,
                ms=5,
                mfc="none",
                label="SOC falls as V rises",
            )
        mid_v = (volts[1:] + volts[:-1]) / 2
        ax_step.bar(
            mid_v,
            1000.0 * step,
            width=np.diff(volts),
            color=np.where(step < 0, BAD_COLOR, "0.6"),
        )
        ax_step.axhline(0.0, color="k", lw=0.5)
        ax.set_title(
            f"{tc:g} °C: {falls.size} falling step{'s' * (falls.size != 1)}",
            fontsize=10,
            color=BAD_COLOR if falls.size else "k",
        )
        ax.legend(fontsize=7, loc="upper left")
        ax_step.set_xlabel("voltage (V)")
        for a in (ax, ax_step):
            a.grid(alpha=0.3)
        if col == 0:
            ax.set_ylabel("SOC in the model file")
            ax_step.set_ylabel(f"SOC gained per\n{grid_mv:.0f} mV step, per mille")
        if falls.size:
            # the falling steps are small: a scale around them shows them
            top = 1000.0 * np.max(np.abs(step[falls]))
            ax_step.set_ylim(-3 * top, 12 * top)
            _note_off_scale(ax_step, 1000.0 * step, 12 * top, "bars")
    return fig


def _note_off_scale(ax, values: np.ndarray, top: float, what: str) -> None:
    """A note in the panel's corner when values reach above the axis' top."""
    peak = float(np.nanmax(values))
    if peak <= top:
        return
    corner_note(ax, f"{what} off scale: up to {peak:.3g}", 0.97, 7)


def plain_flags(flags: str) -> str:
    """A pulse's flags in words: "C2_at_bound;not_converged" -> "C2 on a fit bound,
    fit not converged"."""
    words = []
    for flag in filter(None, str(flags).split(";")):
        if flag.endswith("_at_bound"):
            words.append(f"{flag[: -len('_at_bound')]} on a fit bound")
        elif flag == "not_converged":
            words.append("fit not converged")
        else:
            words.append(flag.replace("_", " "))
    return ", ".join(words)


def pulse_grid_figure(title: str, frames: list, pulses, bad: np.ndarray):
    """Every fitted pulse: measured and fitted voltage (mV from the voltage before the
    pulse, over the seconds from the pulse's start) in a grid of small plots; bad fits
    in red frames. A rest logged sparsely before the pulse (a minute between samples)
    is drawn as its level just before the pulse, not as a minute-long slope."""
    from matplotlib.ticker import MaxNLocator

    n = len(frames)
    nrows, ncols = _grid(n, 6)
    fig = new_figure(2.7 * ncols, 2.3 * nrows + 0.6)
    axes = np.atleast_1d(fig.subplots(nrows, ncols, squeeze=False)).ravel()
    for k, (frame, (_, row)) in enumerate(zip(frames, pulses.iterrows())):
        ax = axes[k]
        if frame is None:  # a row of the table at a time the record has no step
            centred_note(ax, "no step in the record\nat this time", 7)
        else:
            elapsed, measured, fitted = _from_pulse_start(frame, row["start_s"])
            ax.plot(elapsed, measured, **MEASURED_STYLE)
            ax.plot(elapsed, fitted, **MODEL_STYLE)
        label = f"pulse {row['pulse']}, {row['kind']}, SOC {row['soc']:.2f}\n"
        label += f"fit error {row['rms_mV']:.2f} mV RMS"
        if row["flags"]:
            label += f"\n{plain_flags(row['flags'])}"
        color = BAD_COLOR if bad[k] else "k"
        ax.set_title(label, fontsize=7, color=color)
        if bad[k]:
            for spine in ax.spines.values():
                spine.set_edgecolor(BAD_COLOR)
                spine.set_linewidth(2.0)
        ax.xaxis.set_major_locator(MaxNLocator(5))
        ax.yaxis.set_major_locator(MaxNLocator(5))
        ax.tick_params(labelsize=7)
        ax.grid(alpha=0.3)
        if k % ncols == 0:
            ax.set_ylabel("mV from the\nvoltage before", fontsize=7)
        if k + ncols >= n:
            ax.set_xlabel("s from the pulse's start", fontsize=7)
    for ax in axes[n:]:
        ax.set_visible(False)
    axes[0].plot([], [], **MEASURED_STYLE, label="measured")
    axes[0].plot([], [], **MODEL_STYLE, label="fitted")
    axes[0].legend(fontsize=6, loc="best")
    fig.suptitle(title, fontsize=10)
    return fig


def _from_pulse_start(frame, start_s: float):
    """Seconds from the pulse's start, and the measured and fitted voltage in mV from
    the voltage before the pulse. The samples before the pulse are drawn just before
    it (a fiftieth of the window), held up to its start: the cell rested until then,
    however sparsely the rest was logged."""
    elapsed = frame["time_s"].to_numpy(float) - float(start_s)
    v0 = float(frame["voltage_v"].iloc[0])
    measured = 1000.0 * (frame["voltage_v"].to_numpy(float) - v0)
    fitted = 1000.0 * (frame["model_v"].to_numpy(float) - v0)
    before = int(np.count_nonzero(elapsed < 0))
    if before:
        lead = 0.02 * max(float(elapsed[-1]), 1e-9)
        elapsed = np.insert(np.maximum(elapsed, -lead), before, 0.0)
        measured = np.insert(measured, before, measured[before - 1])
        fitted = np.insert(fitted, before, fitted[before - 1])
    return elapsed, measured, fitted


def parameters_over_soc_figure(pulses_by_temp: dict):
    """Fitted parameters of every pulse over SOC: colour for the temperature, solid
    circles for discharge pulses, hollow triangles for charge pulses; pulses flagged
    by the fit crossed out."""
    frames = list(pulses_by_temp.values())
    names = [p for p in CIRCUIT_NAMES if any(f[p].notna().any() for f in frames)]
    panels = [*names, "tau1"] + (["tau2"] if "R2" in names else [])
    # one panel more, for the legend
    nrows, ncols = _grid(len(panels) + 1, 4)
    fig = new_figure(3.6 * ncols, 2.9 * nrows)
    axes = np.atleast_1d(fig.subplots(nrows, ncols, squeeze=False)).ravel()
    colors = temperature_colors(list(pulses_by_temp))
    for ax, name in zip(axes, panels):
        for tc, frame in pulses_by_temp.items():
            values = _panel_values(frame, name)
            for kind, marker, fill in (
                ("discharge", "o", None),
                ("charge", "^", "none"),
            ):
                rows = (frame["kind"] == kind).to_numpy()
                if not rows.any():
                    continue
                ax.plot(
                    frame["soc"][rows],
                    values[rows],
                    marker=marker,
                    ls="-" if kind == "discharge" else "--",
                    color=colors[tc],
                    mfc=fill,
                    ms=4,
                    lw=0.8,
                )
            flagged = frame["flags"].str.len().to_numpy() > 0
            ax.plot(frame["soc"][flagged], values[flagged], "x", color=BAD_COLOR, ms=6)
        if name.startswith(("C", "tau")):
            _log_axis(ax)
        ax.set_title(_panel_title(name), fontsize=9)
        ax.set_xlabel("SOC at the pulse start", fontsize=8)
        ax.tick_params(labelsize=7)
        ax.grid(alpha=0.3, which="both")
    for ax in axes[len(panels) + 1 :]:
        ax.set_visible(False)
    legend_ax = axes[len(panels)]
    legend_ax.axis("off")
    for tc in pulses_by_temp:
        legend_ax.plot([], [], color=colors[tc], lw=2, label=f"{tc:g} °C")
    legend_ax.plot([], [], "ok", ms=4, label="discharge")
    legend_ax.plot([], [], "^k", mfc="none", ms=4, ls="--", label="charge")
    legend_ax.plot([], [], "x", color=BAD_COLOR, label="flagged by the fit")
    legend_ax.legend(fontsize=8, loc="center")
    return fig


def _panel_values(frame, name: str) -> np.ndarray:
    if name == "tau1":
        return (frame["R1"] * frame["C1"]).to_numpy(dtype=float)
    if name == "tau2":
        return (frame["R2"] * frame["C2"]).to_numpy(dtype=float)
    scale = 1000.0 if name.startswith("R") else 1.0
    return scale * frame[name].to_numpy(dtype=float)


def _panel_title(name: str) -> str:
    if name == "R1+R2":
        return "R1 + R2 (mΩ)"
    if name.startswith("R"):
        return f"{name} (mΩ)"
    if name.startswith("C"):
        return f"{name} (F)"
    return f"τ{name[-1]} = R{name[-1]}·C{name[-1]} (s)"


def parameters_over_temperature_figure(params: list, truth: dict):
    """The records' median parameters over temperature; medians on a fit bound ringed
    in red with the bound drawn; the true values where the folder has a truth.json."""
    temps = np.array([p["TempC"] for _, p in params], dtype=float)
    fitted = np.array([p["Tparam_2"] for _, p in params], dtype=float)
    two_rc = fitted.shape[1] == 5
    columns = {
        name: fitted[:, k] for k, name in enumerate(CIRCUIT_NAMES[: fitted.shape[1]])
    }
    panels = [n for n in ("R0", "R1", "R2") if n in columns]
    if two_rc:
        # the pairs' split is what a two-pass fit gets wrong; their sum it gets right
        panels.append("R1+R2")
    panels += [n for n in ("C1", "C2") if n in columns]
    panels += ["tau1", "tau2"] if two_rc else ["tau1"]
    nrows, ncols = _grid(len(panels) + 1, 4)
    fig = new_figure(3.6 * ncols, 2.9 * nrows)
    axes = np.atleast_1d(fig.subplots(nrows, ncols, squeeze=False)).ravel()
    true_temps = sorted(truth)
    for ax, key in zip(axes, panels):
        values = _median_values(columns, key)
        shown = 1000.0 * values if key.startswith("R") else values
        ax.plot(temps, shown, "o-", color="C0", label="median over pulses")
        # only fitted values have bounds; time constants and sums are derived
        stuck = on_bound(values) if key in columns else np.zeros(values.size, bool)
        if stuck.any():
            ax.plot(
                temps[stuck],
                shown[stuck],
                "o",
                ms=11,
                mfc="none",
                mec=BAD_COLOR,
                mew=1.6,
                label="on a fit bound",
            )
            for bound in BOUNDS:
                if np.any(np.isclose(values[stuck], bound, rtol=BOUND_TOLERANCE)):
                    scale = 1000.0 if key.startswith("R") else 1.0
                    ax.axhline(scale * bound, color=BAD_COLOR, ls=":", lw=1.0)
        if true_temps:
            true_vals = [_true_value(truth[tc], key) for tc in true_temps]
            scale = 1000.0 if key.startswith("R") else 1.0
            ax.plot(
                true_temps,
                scale * np.asarray(true_vals),
                "s--",
                color="k",
                mfc="none",
                label="true",
            )
        if key.startswith(("C", "tau")):
            _log_axis(ax)
        ax.set_title(_panel_title(key), fontsize=10)
        ax.grid(alpha=0.3, which="both")
        if stuck.any() or ax is axes[0]:
            ax.legend(fontsize=7)
    ax = axes[len(panels)]
    ax.plot(
        temps,
        [p["Tparam_1"] for _, p in params],
        "o-",
        color="C0",
        label="from the run",
    )
    if true_temps:
        ax.plot(
            true_temps,
            [truth[tc]["capacity_ah"] for tc in true_temps],
            "s--",
            color="k",
            mfc="none",
            label="true capacity",
        )
        if all("discharged_ah" in truth[tc] for tc in true_temps):
            ax.plot(
                true_temps,
                [truth[tc]["discharged_ah"] for tc in true_temps],
                "^:",
                color="C2",
                mfc="none",
                label="true charge down to the cut-off",
            )
    ax.set_title("charge down to the cut-off (Ah)", fontsize=10)
    ax.grid(alpha=0.3)
    ax.legend(fontsize=7)
    for ax in axes[len(panels) + 1 :]:
        ax.set_visible(False)
    for ax in axes:
        ax.set_xlabel("temperature (°C)", fontsize=8)
    fig.suptitle("Median circuit parameters and capacity over temperature")
    return fig


def _median_values(columns: dict, key: str) -> np.ndarray:
    if key == "R1+R2":
        return columns["R1"] + columns["R2"]
    if key == "tau1":
        return columns["R1"] * columns["C1"]
    if key == "tau2":
        return columns["R2"] * columns["C2"]
    return columns[key]


def _true_value(entry: dict, key: str) -> float:
    if key == "R1+R2":
        return float(entry.get("R1", np.nan) + entry.get("R2", np.nan))
    return float(entry.get(key, np.nan))


def hppc_power_figure(table, limits: tuple[float, float]):
    """From results/hppc_summary.csv: the pulse resistance over SOC (the fitted
    circuit's over the pulse length, and the one read from the measured voltage at
    10 s), the discharge pulse power at the low cut-off and the regen pulse power at
    the high one; a line per temperature."""
    length = float(table["pulse_length_s"].iloc[0])
    temps = sorted(table["temperature_c"].unique())
    colors = temperature_colors(temps)
    fig = new_figure(13, 3.8)
    ax_r, ax_dis, ax_reg = fig.subplots(1, 3)
    for tc in temps:
        at = table[table["temperature_c"] == tc]
        for kind, ax, marker in (
            ("discharge", ax_dis, "o"),
            ("charge", ax_reg, "^"),
        ):
            rows = at[at["kind"] == kind]
            if not len(rows):
                continue
            ax.plot(rows["soc"], rows["power_W"], marker + "-", color=colors[tc], ms=4)
            style = "-" if kind == "discharge" else "--"
            ax_r.plot(rows["soc"], 1000 * rows["R_pulse_ohm"], marker + style,
                      color=colors[tc], ms=4, lw=0.9)  # fmt: skip
            ax_r.plot(rows["soc"], 1000 * rows["R_10s_measured_ohm"], marker,
                      color=colors[tc], mfc="none", ms=7)  # fmt: skip
    ax_r.set_title(f"pulse resistance (mΩ), {length:g} s", fontsize=10)
    ax_dis.set_title(f"discharge pulse power at {limits[0]:g} V (W)", fontsize=10)
    ax_reg.set_title(f"regen pulse power at {limits[1]:g} V (W)", fontsize=10)
    for ax in (ax_r, ax_dis, ax_reg):
        ax.set_xlabel("SOC at the pulse's start", fontsize=9)
        ax.tick_params(labelsize=8)
        ax.grid(alpha=0.3)
    for tc in temps:
        ax_dis.plot([], [], color=colors[tc], lw=2, label=f"{tc:g} °C")
    ax_dis.legend(fontsize=8)
    ax_r.plot([], [], "ok", ms=4, label="fitted circuit, discharge")
    if (table["kind"] == "charge").any():
        ax_r.plot([], [], "^--k", ms=4, lw=0.9, label="fitted circuit, charge")
    else:
        centred_note(ax_reg, "no charge pulses in the records", 9)
        ax_reg.set_xticks([])
        ax_reg.set_yticks([])
    ax_r.plot([], [], "ok", mfc="none", ms=7, label="measured dV/dI at 10 s")
    ax_r.legend(fontsize=7)
    return fig
