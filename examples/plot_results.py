"""Plots a cellfit run: OCV curves, fitted parameters over temperature, and pulse fits.

Run it in the folder that holds input_params.json (the folder cellfit runs in), or give
that folder's path:

  python examples/plot_results.py [folder] [--no-run] [--verbose]

It runs the pipeline once in this process (loading cellfit runs it), because the per-cycle
fits live only in cellfit's namespace, then reads results/*_params.json and writes PNGs
into the working folder's results/:

  ocv_curves.png                 OCV over SOC per temperature
  parameters_vs_temperature.png  median R0, R1, C1, R2, C2, time constants and capacity
  pulse_fits_<record>.png        measured voltage residual and fitted model, cycle by
                                 cycle, for the record the run processed last

Where the working folder holds a truth.json (as the demo cell does, written by
generate_demo_cell.py), the true values are drawn beside the fitted ones. --no-run skips
the pipeline and the pulse fits and plots the files an earlier run left.
"""

from __future__ import annotations

import argparse
import contextlib
import io
import json
import logging
import os
import sys
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt
import numpy as np
import pandas as pd
from matplotlib.colors import LinearSegmentedColormap
from matplotlib.ticker import ScalarFormatter
from scipy.integrate import cumulative_trapezoid
from scipy.signal import lfilter

log = logging.getLogger("plot_results")

# Both bounds of every circuit parameter in the pipeline's least-squares fits.
FIT_BOUNDS = (0.0001, 50000.0)


def read_config(folder: Path) -> tuple:
    """The working folder (battery_database + battery_folder, relative to folder) and the
    cut-off voltage of folder/input_params.json."""
    values = json.loads((folder / "input_params.json").read_text())
    workdir = (
        folder / (values["battery_database"] + values["battery_folder"])
    ).resolve()
    return workdir, float(values["low_cutoff"])


def rest_points(record: Path, cutoff_v: float) -> tuple:
    """SOC and voltage at the end of each rest before a pulse: the points the OCV curve is
    drawn through. SOC counts the charge delivered down to the cut-off, as the run does."""
    df = pd.read_csv(record)
    v = df["Voltage(V)"].to_numpy(dtype=float)
    below = np.flatnonzero(v < cutoff_v)
    n = below[0] if below.size else v.size
    t = df["Seconds"].to_numpy(dtype=float)[:n]
    i = df["Current(A)"].to_numpy(dtype=float)[:n]
    charge = cumulative_trapezoid(i, t, initial=0.0)  # negative while discharging
    # a pulse starts where the current falls by more than a quarter of its largest value
    ends = np.flatnonzero(np.diff(i) < -0.25 * np.max(np.abs(i)))
    return 1.0 + charge[ends] / abs(charge[-1]), v[ends]


def load_truth(workdir: Path) -> dict:
    """True values per temperature (degC) from truth.json, or {} when there is none."""
    path = workdir / "truth.json"
    if not path.exists():
        return {}
    return {int(e["temp_c"]): e for e in json.loads(path.read_text())["temperatures"]}


def load_params(results_dir: Path) -> list:
    """(record name, parameter map) of every results/*_params.json, coldest first."""
    found = []
    for path in results_dir.glob("*_params.json"):
        found.append((path.name[: -len("_params.json")], json.loads(path.read_text())))
    return sorted(found, key=lambda item: item[1]["TempC"])


def temperature_colors(temps) -> dict:
    """Blue for the coldest record through purple to red for the warmest."""
    cmap = LinearSegmentedColormap.from_list("temp", ["#2166ac", "#7b3294", "#d6301f"])
    lo, hi = min(temps), max(temps)
    span = (hi - lo) or 1.0
    return {tc: cmap((tc - lo) / span) for tc in temps}


def run_cellfit(folder: Path, verbose: bool):
    """Loads cellfit with folder as the current directory and returns the module.

    A failing model file builder is logged instead of raised: the per-temperature files
    are written by then, and the fits still need the module's namespace.
    """
    import cellgen

    build_model_file = cellgen.write_battery_model_file

    def tolerant_builder(*args, **kwargs):
        try:
            return build_model_file(*args, **kwargs)
        except Exception as err:
            log.warning("the battery model file was not written: %r", err)
            return None

    # cellfit takes the builder from cellgen's namespace when it loads
    cellgen.write_battery_model_file = tolerant_builder
    start = Path.cwd()
    stdout = (
        contextlib.nullcontext()
        if verbose
        else contextlib.redirect_stdout(io.StringIO())
    )
    try:
        os.chdir(folder)
        with stdout:
            import cellfit
    finally:
        os.chdir(start)  # the model builder leaves the process in results/
        cellgen.write_battery_model_file = build_model_file
    return cellfit


def plot_ocv(
    params: list, truth: dict, raw_dir: Path, cutoff_v: float, out: Path
) -> None:
    temps = [p["TempC"] for _, p in params]
    colors = temperature_colors(temps)
    fig, (ax, ax_err) = plt.subplots(
        2, 1, figsize=(8, 7), sharex=True, gridspec_kw={"height_ratios": [3, 1.3]}
    )
    for name, p in params:
        tc = p["TempC"]
        soc, ocv = (np.asarray(x) for x in p["Tparam_3"])
        ax.plot(soc, ocv, color=colors[tc], lw=1.8, label=f"{tc} °C  ({name})")
        record = raw_dir / f"{name}.csv"
        if record.exists():
            rest_soc, rest_v = rest_points(record, cutoff_v)
            ax.plot(rest_soc, rest_v, "o", color=colors[tc], ms=4, mfc="white")
        true = truth.get(tc)
        if true is None:
            continue
        # The run counts SOC over the charge delivered down to the cut-off (Tparam_1),
        # not over the cell's capacity: put the true curve on that scale to compare.
        soc_cell = 1.0 - (1.0 - soc) * p["Tparam_1"] / true["capacity_ah"]
        true_ocv = np.interp(soc_cell, true["ocv"]["soc"], true["ocv"]["ocv_v"])
        ax.plot(soc, true_ocv, color=colors[tc], ls="--", lw=1.0)
        ax_err.plot(soc, 1000.0 * (ocv - true_ocv), color=colors[tc], lw=1.2)
    ax.plot(
        [],
        [],
        "o",
        color="grey",
        ms=4,
        mfc="white",
        label="rested voltage before a pulse",
    )
    if truth:
        ax.plot(
            [], [], color="grey", ls="--", lw=1.0, label="truth, on the run's SOC scale"
        )
        ax_err.axhline(0.0, color="grey", lw=0.6)
        ax_err.set_ylabel("fitted - true (mV)")
        lim = np.nanmax(np.abs(ax_err.get_ylim()))
        ax_err.set_ylim(-min(lim, 50.0), min(lim, 50.0))
    else:
        ax_err.set_visible(False)
    ax.set_ylabel("OCV (V)")
    ax.set_title("OCV over SOC (SOC from the charge delivered down to the cut-off)")
    ax.legend(loc="lower right", fontsize=9)
    ax.grid(alpha=0.3)
    ax_err.grid(alpha=0.3)
    ax_err.set_xlabel("SOC")
    ax_err.set_xlim(0.0, 1.0)
    fig.tight_layout()
    fig.savefig(out, dpi=110)
    plt.close(fig)


def plot_parameters(params: list, truth: dict, out: Path) -> None:
    temps = np.array([p["TempC"] for _, p in params], dtype=float)
    fitted = np.array([p["Tparam_2"] for _, p in params], dtype=float)
    two_rc = fitted.shape[1] == 5
    r0, r1, c1 = fitted[:, 0], fitted[:, 1], fitted[:, 2]
    r2, c2 = (fitted[:, 3], fitted[:, 4]) if two_rc else (None, None)

    def true_of(*keys, scale=1.0):
        return lambda e: scale * sum(e[k] for k in keys)

    # (title, fitted values, true value of a truth entry, logarithmic axis)
    panels = [("R0 (mΩ)", 1000 * r0, true_of("R0", scale=1000), False)]
    panels.append(("R1 (mΩ)", 1000 * r1, true_of("R1", scale=1000), False))
    if two_rc:
        panels.append(("R2 (mΩ)", 1000 * r2, true_of("R2", scale=1000), False))
    panels.append(("C1 (F)", c1, true_of("C1"), True))
    if two_rc:
        panels.append(("C2 (F)", c2, true_of("C2"), True))
        panels.append(
            ("R1 + R2 (mΩ)", 1000 * (r1 + r2), true_of("R1", "R2", scale=1000), False)
        )
    panels.append(("τ1 = R1·C1 (s)", r1 * c1, true_of("tau1"), True))
    if two_rc:
        panels.append(("τ2 = R2·C2 (s)", r2 * c2, true_of("tau2"), True))

    true_temps = sorted(truth)
    ncols = 3
    nrows = -(-(len(panels) + 1) // ncols)
    fig, axes = plt.subplots(nrows, ncols, figsize=(4.2 * ncols, 3.1 * nrows))
    axes = list(axes.flat)
    for ax, (title, values, true_value, log_y) in zip(axes, panels):
        ax.plot(temps, values, "o-", color="C0", label="fitted (median over cycles)")
        if true_temps:
            true_vals = [true_value(truth[tc]) for tc in true_temps]
            ax.plot(true_temps, true_vals, "s--", color="C3", mfc="none", label="true")
        if title.startswith("C") and np.any(values >= 0.999 * FIT_BOUNDS[1]):
            ax.axhline(
                FIT_BOUNDS[1], color="grey", ls=":", lw=1.0, label="bound of the fit"
            )
            ax.legend(fontsize=7, loc="center right")
        if log_y:
            ax.set_yscale("log")
            ax.yaxis.set_major_formatter(ScalarFormatter())
            ax.yaxis.set_minor_formatter(ScalarFormatter())
            ax.tick_params(axis="y", which="both", labelsize=7)
        ax.set_title(title, fontsize=10)
        ax.grid(alpha=0.3, which="both")
    axes[0].legend(fontsize=8)

    ax = axes[len(panels)]
    ax.plot(
        temps,
        [p["Tparam_1"] for _, p in params],
        "o-",
        color="C0",
        label="run: charge down to the cut-off",
    )
    if true_temps:
        ax.plot(
            true_temps,
            [truth[tc]["capacity_ah"] for tc in true_temps],
            "s--",
            color="C3",
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
                ms=8,
                label="true charge down to the cut-off",
            )
    ax.set_title("capacity (Ah)", fontsize=10)
    ax.grid(alpha=0.3)
    ax.legend(fontsize=7)
    for ax in axes[len(panels) + 1 :]:
        ax.set_visible(False)
    for ax in axes[-ncols:]:
        ax.set_xlabel("temperature (°C)")
    fig.suptitle("Fitted circuit parameters and capacity over temperature")
    fig.tight_layout()
    fig.savefig(out, dpi=110)
    plt.close(fig)


def true_response(current_a: np.ndarray, true: dict) -> np.ndarray:
    """Voltage (V) of the true circuit for a window's current, from rest at its start; the
    current is held over each sample interval, as in the records."""
    v = true["R0"] * current_a
    for r, tau in (
        (true["R1"], true["tau1"]),
        (true.get("R2", 0.0), true.get("tau2", 1.0)),
    ):
        if r > 0:
            a = np.exp(-1.0 / tau)
            v = v + lfilter([0.0, r * (1.0 - a)], [1.0, -a], current_a)
    return v


def describe_fit(fit_params) -> str:
    """The fitted circuit of one cycle in readable units, for a plot title."""
    r = [1000.0 * x for x in fit_params[0::2][:1] + fit_params[1::2]]  # R0, R1[, R2]
    tau = [fit_params[1] * fit_params[2]]
    if len(fit_params) == 5:
        tau.append(fit_params[3] * fit_params[4])
    names = "/".join(f"R{k}" for k in range(len(r)))
    taus = "/".join(f"τ{k + 1}" for k in range(len(tau)))
    return (
        f"{names} {'/'.join(f'{x:.1f}' for x in r)} mΩ, "
        f"{taus} {'/'.join(f'{x:.0f}' for x in tau)} s"
    )


def plot_pulse_fits(cellfit, truth: dict, out: Path) -> None:
    t = np.asarray(cellfit.t)
    ocv_diff = np.asarray(cellfit.ocv_diff)
    iload = np.asarray(cellfit.iload)
    rows = cellfit.results
    true = truth.get(int(cellfit.temperature))
    record = Path(str(cellfit.infile)).name

    n = len(rows)
    ncols = min(n, 4)
    nrows = -(-n // ncols)
    fig = plt.figure(figsize=(4.3 * ncols, 3.4 * nrows))
    # leave half an inch above the plots for the title
    top = 1.0 - 0.5 / (3.4 * nrows)
    outer = fig.add_gridspec(nrows, ncols, hspace=0.42, wspace=0.28, top=top)
    for k, row in enumerate(rows):
        rms_v, _, _, fit_params, (t_vec, model_v), _ = row
        t_vec = np.asarray(t_vec)
        model_v = np.asarray(model_v)
        # the window holds consecutive samples of the record, from its first time stamp on
        start = int(np.searchsorted(t, t_vec[0]))
        window = slice(start, start + t_vec.size)
        measured = ocv_diff[window]
        elapsed = t_vec - t_vec[0]

        r, c = divmod(k, ncols)
        inner = outer[r, c].subgridspec(2, 1, height_ratios=[3, 1], hspace=0.06)
        ax = fig.add_subplot(inner[0])
        ax_res = fig.add_subplot(inner[1], sharex=ax)
        ax.plot(elapsed, 1000.0 * measured, color="0.6", lw=2.4, label="measured")
        ax.plot(elapsed, 1000.0 * model_v, color="C0", lw=1.0, label="fitted")
        ax_res.plot(elapsed, 1000.0 * (measured - model_v), color="C0", lw=0.7)
        if true is not None:
            true_v = true_response(iload[window], true)
            ax.plot(elapsed, 1000.0 * true_v, color="C3", ls="--", lw=0.9, label="true")
            ax_res.plot(
                elapsed, 1000.0 * (measured - true_v), color="C3", lw=0.5, alpha=0.7
            )
        ax_res.axhline(0.0, color="k", lw=0.5)
        ax.set_title(
            f"cycle {k + 1}: rms {1000.0 * rms_v:.2f} mV\n{describe_fit(list(fit_params))}",
            fontsize=8,
        )
        ax.tick_params(labelbottom=False, labelsize=7)
        ax_res.tick_params(labelsize=7)
        ax.grid(alpha=0.3)
        ax_res.grid(alpha=0.3)
        if c == 0:
            ax.set_ylabel("v - OCV (mV)", fontsize=8)
            ax_res.set_ylabel("meas. - model\n(mV)", fontsize=7)
        if k >= n - ncols:
            ax_res.set_xlabel("time since window start (s)", fontsize=8)
        if k == 0:
            ax.legend(fontsize=7, loc="lower right")
    fig.suptitle(
        f"{record} at {cellfit.temperature} °C: pulse fits, cycle by cycle", y=1.0
    )
    fig.savefig(out, dpi=100, bbox_inches="tight")
    plt.close(fig)


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "folder", nargs="?", default=".", help="folder of input_params.json"
    )
    parser.add_argument(
        "--no-run", action="store_true", help="plot an earlier run's files"
    )
    parser.add_argument(
        "--verbose", action="store_true", help="show the solver's output"
    )
    args = parser.parse_args(argv)
    logging.basicConfig(format="%(levelname)s:%(message)s", level=logging.INFO)

    folder = Path(args.folder).resolve()
    workdir, cutoff_v = read_config(folder)
    results_dir = workdir / "results"
    truth = load_truth(workdir)

    cellfit = None if args.no_run else run_cellfit(folder, args.verbose)
    params = load_params(results_dir)
    if not params:
        log.error("no *_params.json in %s", results_dir)
        return 1

    written = [
        results_dir / "ocv_curves.png",
        results_dir / "parameters_vs_temperature.png",
    ]
    plot_ocv(params, truth, workdir / "raw_data", cutoff_v, written[0])
    plot_parameters(params, truth, written[1])
    if cellfit is not None and cellfit.results:
        record = Path(str(cellfit.infile)).stem
        written.append(results_dir / f"pulse_fits_{record}.png")
        plot_pulse_fits(cellfit, truth, written[-1])
    for path in written:
        log.info("wrote %s", path)
    return 0


if __name__ == "__main__":
    sys.exit(main())
