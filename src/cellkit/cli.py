"""The ``cellfit`` command: one cell (``cellfit run``) or many (``cellfit batch``), with
progress while it works and a summary at the end."""

from __future__ import annotations

import argparse
import math
import os
import sys
from pathlib import Path

import numpy as np

from cellkit import __version__
from cellkit.run import CONFIG_FILE, LOG_FILE, CellResult, one_line, run_cell

DESCRIPTION = """\
Fits equivalent-circuit models to a cell's pulse records and merges them into one
temperature-dependent battery model. A cell folder holds raw_data/*.csv (one record per
temperature); the results go to FOLDER/results/ (<record>_params.json, <record>_ocv.csv,
battery_model.json), the same files as `python -c "import cellfit"` writes, and the run's
log to FOLDER/cellfit.log."""

SETTINGS_HELP = f"""\
Settings come from FOLDER/{CONFIG_FILE} where it exists (its battery_database and
battery_folder are ignored: the working folder is FOLDER); the options below override
them. Without the file, --model, --low-cutoff and --high-cutoff are needed."""

EPILOG = """\
examples:
  cellfit run examples/demo_cell
  cellfit run cells/A_BOL --model model2 --fit-method joint
  cellfit batch cells/*/ --workers 4
  cellfit batch cells/*/ --scheduler tcp://10.0.0.5:8786
  cellfit report examples/demo_cell
  cellfit simulate examples/demo_cell drive_cycle.csv --temp 25 --soc 0.9
  cellfit export-pybamm examples/demo_cell
  cellfit export-tables examples/demo_cell"""


def positive_int(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be 1 or more, not {value}")
    return value


def count(text: str) -> int:
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more, not {value}")
    return value


def add_settings(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("settings", SETTINGS_HELP)
    group.add_argument(
        "--model",
        choices=["model1", "model2"],
        help="model1: R0 and one RC pair; model2: R0 and two RC pairs",
    )
    group.add_argument(
        "--fit-method",
        choices=["two_pass", "joint", "pulse_test"],
        help="two_pass (default) or joint (for model2: all five parameters refitted) "
        "fit discharge pulses per cycle; pulse_test fits every pulse of every record "
        "with the pulse-test engine (recommended for real cycler records)",
    )
    group.add_argument("--low-cutoff", type=float, metavar="V", help="low cut-off (V)")
    group.add_argument(
        "--high-cutoff", type=float, metavar="V", help="high cut-off (V)"
    )
    group.add_argument(
        "--cycles",
        type=count,
        metavar="N",
        help="fit at most N pulses per record (total_number_of_cycles)",
    )
    parser.add_argument("-q", "--quiet", action="store_true", help="no progress bar")


def build_parser() -> argparse.ArgumentParser:
    # allow_abbrev=False everywhere: "--low 3.1" must not pass for --low-cutoff
    parser = argparse.ArgumentParser(
        prog="cellfit",
        description=DESCRIPTION,
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        allow_abbrev=False,
    )
    parser.add_argument("--version", action="version", version=f"cellfit {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True

    run = commands.add_parser(
        "run",
        help="fit one cell folder and print a table per record",
        description=DESCRIPTION
        + "\n\nEnds with a table per record: temperature, pulses fitted, capacity, R0,"
        "\nmedian RMS error of the fits, warnings. Exit status 1 if the run fails.",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        allow_abbrev=False,
    )
    run.set_defaults(handler=command_run)
    run.add_argument("folder", metavar="FOLDER", help="cell folder holding raw_data/")
    add_settings(run)
    run.add_argument(
        "-v", "--verbose", action="store_true", help="print the whole log as it runs"
    )

    batch = commands.add_parser(
        "batch",
        help="fit many cell folders, in parallel or on a Dask cluster",
        description="Runs each FOLDER as `cellfit run` would, with the same settings "
        "options for all. One cell's failure never stops the others; the end is a "
        "table of cells, ok or failed with the error on one line, and the exit "
        "status is 1 if any cell failed. Each cell keeps its log in "
        f"FOLDER/{LOG_FILE}.",
        epilog="Dask is optional: pip install 'cellfit[dask]'. With --scheduler ADDRESS "
        "the folders must be at the same paths on the workers.",
        allow_abbrev=False,
    )
    batch.set_defaults(handler=command_batch)
    batch.add_argument("folders", nargs="+", metavar="FOLDER", help="cell folders")
    add_settings(batch)
    batch.add_argument(
        "--workers",
        type=positive_int,
        metavar="N",
        help="run the cells in N local processes (default: one after another in "
        "this process); with --scheduler local, the number of Dask workers",
    )
    batch.add_argument(
        "--scheduler",
        metavar="local|ADDRESS",
        help="run the cells as Dask tasks: 'local' starts a local cluster, an address "
        "(tcp://host:port) uses a running scheduler",
    )
    add_tool_commands(commands)
    return parser


TOOL_COMMANDS = {
    "report": (
        "write FOLDER/report/index.html: fits, OCV, parameters, validation",
        "Writes FOLDER/report/index.html with PNG figures from a finished run: per "
        "record the OCV points and curve, every fitted pulse measured against fitted "
        "voltage, the parameters over SOC per temperature and direction, the medians "
        "over temperature with the fit bounds marked, a quality table, the model "
        "file and the tables simulated over each record (results/validation.csv), "
        "and the pulse resistance and pulse power over SOC "
        "(results/hppc_summary.csv). Needs matplotlib: pip install 'cellfit[plot]'.",
    ),
    "validate": (
        "simulate both models over every record: results/validation.csv",
        "Simulates results/battery_model.json (R0 and the RC pairs at the record's "
        "temperature) and the tables of results/battery_tables.json (looked up at "
        "each sample's SOC and the record's temperature) over each record's current, "
        "SOC by coulomb counting, and writes results/validation.csv: per record and "
        "model, the RMS and largest voltage error (mV) over the whole record and over "
        "the pulses only.",
    ),
    "simulate": (
        "the model's voltage for a current profile: a CSV and a figure in results/",
        "Drives results/battery_model.json with the current of PROFILE.csv (a drive "
        "cycle or a record: time and current, voltage optional; read as the records "
        "are, with the folder's columns and discharge_current settings) at --temp, "
        "from --soc, and writes results/<profile>_simulated_<T>C.csv (time_s, "
        "current_a, soc, model_v, and voltage_v and error_mv when the profile has "
        "voltages) and a PNG beside it (with matplotlib). A profile with voltages is "
        "cut at the low cut-off and replayed as cellfit validate replays a record. "
        "Temperatures outside the model's records are refused; a profile that drives "
        "the SOC below 0 is simulated up to there, with a warning.",
    ),
    "export-pybamm": (
        "write a PyBaMM Thevenin parameter set from results/battery_tables.json",
        "Writes results/pybamm_parameters.py, a parameter set for PyBaMM's Thevenin "
        "equivalent-circuit model (OCV over SOC and temperature, R0 and the RC pairs "
        "over SOC and temperature, capacity). Needs pybamm to be used: "
        "pip install 'cellfit[pybamm]'.",
    ),
    "export-tables": (
        "write the SOC x temperature tables as CSV files for lookup tables",
        "Writes the tables of results/battery_tables.json as CSV files beside it: "
        "battery_tables_ocv.csv, battery_tables_<discharge|charge>_<R0|R1|C1|R2|C2>"
        ".csv (one row per SOC, one column per temperature in °C; ohm, farad, V) and "
        "battery_tables_capacity.csv. Cells without a value are left empty unless "
        "--fill is given.",
    ),
}


def add_tool_commands(commands) -> None:
    """The commands that work on a finished run's files."""
    for name, (summary, description) in TOOL_COMMANDS.items():
        parser = commands.add_parser(
            name, help=summary, description=description, allow_abbrev=False
        )
        parser.add_argument("folder", metavar="FOLDER", help="cell folder after a run")
        parser.set_defaults(handler=tool(TOOL_HANDLERS[name]))
    simulate = commands.choices["simulate"]
    simulate.add_argument("profile", metavar="PROFILE.csv", help="the current profile")
    simulate.add_argument(
        "--temp",
        type=float,
        required=True,
        metavar="C",
        help="cell temperature, °C (within the model's records)",
    )
    simulate.add_argument(
        "--soc",
        type=float,
        default=1.0,
        metavar="S",
        help="state of charge at the profile's start, 0 to 1 (default 1)",
    )
    commands.choices["export-tables"].add_argument(
        "--fill",
        action="store_true",
        help="fill cells without a value with the nearest value in SOC, then in "
        "temperature (as the PyBaMM export does)",
    )
    export = commands.choices["export-pybamm"]
    export.add_argument(
        "--temperature",
        type=float,
        default=25.0,
        metavar="C",
        help="initial and ambient temperature of the set, °C (default 25)",
    )


def command_report(args: argparse.Namespace) -> None:
    from cellkit.report import write_report

    print(f"report in {write_report(args.folder)}")


def command_validate(args: argparse.Namespace) -> None:
    from cellkit.validate import validate

    table = validate(args.folder)
    print(table.to_string(index=False, float_format=lambda x: f"{x:.2f}"))


def command_export_tables(args: argparse.Namespace) -> None:
    from cellkit.export_tables import export_tables

    paths = export_tables(args.folder, fill=args.fill)
    print(f"{len(paths)} tables in {paths[0].parent}")


def command_export_pybamm(args: argparse.Namespace) -> None:
    from cellkit.export import export_pybamm

    path = export_pybamm(args.folder, temp_c=args.temperature)
    print(f"PyBaMM parameter set in {path}")


def tool(command):
    """A command on a finished run's files, whose bad input (a missing or unfinished
    run, a missing library) ends in one line on stderr and exit status 1."""

    def run(args: argparse.Namespace) -> int:
        try:
            command(args)
        except (OSError, ValueError, ImportError) as exc:
            print(f"cellfit: {one_line(str(exc))}", file=sys.stderr)
            return 1
        return 0

    return run


def command_simulate(args: argparse.Namespace) -> None:
    """cellfit simulate; its warnings (an SOC below 0, no matplotlib) reach stderr
    through the logging module's last-resort handler."""
    from cellkit.simulate import simulate, write_simulation

    frame = simulate(args.folder, args.profile, args.temp, soc=args.soc)
    paths = write_simulation(args.folder, frame)
    summary = f"{len(frame)} samples, SOC {frame['soc'].iloc[0]:.3f} to "
    summary += f"{frame['soc'].iloc[-1]:.3f}"
    if "error_mv" in frame:
        rms = float(np.sqrt(np.mean(frame["error_mv"] ** 2)))
        summary += f", model - measured: {rms:.2f} mV RMS"
    print(summary)
    for path in paths:
        print(f"written: {path}")


TOOL_HANDLERS = {
    "report": command_report,
    "validate": command_validate,
    "simulate": command_simulate,
    "export-pybamm": command_export_pybamm,
    "export-tables": command_export_tables,
}


def overrides_from(args: argparse.Namespace) -> dict:
    return {
        "model": args.model,
        "fit_method": args.fit_method,
        "low_cutoff": args.low_cutoff,
        "high_cutoff": args.high_cutoff,
        "total_number_of_cycles": args.cycles,
    }


def progress_bar(total: int, unit: str, quiet: bool):
    from tqdm import tqdm

    return tqdm(
        total=total,
        unit=unit,
        file=sys.stderr,
        disable=quiet or not sys.stderr.isatty(),
        leave=False,
    )


def figure(value, fmt: str = "{}", scale: float = 1.0) -> str:
    """A table entry: "-" for a figure the run did not give, nan as nan."""
    if value is None:
        return "-"
    if isinstance(value, float) and not math.isfinite(value):
        return str(value)
    return fmt.format(value * scale if scale != 1.0 else value)


def table(header: list[str], rows: list[list[str]]) -> str:
    """Columns padded to their widest cell; the last column is left ragged."""
    widths = [max(len(r[k]) for r in [header, *rows]) for k in range(len(header))]
    lines = []
    for row in [header, *rows]:
        cells = [c.ljust(w) for c, w in zip(row[:-1], widths)] + [row[-1]]
        lines.append("  ".join(cells).rstrip())
    return "\n".join(lines)


def record_table(result: CellResult) -> str:
    header = ["record", "°C", "pulses", "capacity Ah", "R0 mΩ", "median RMS mV"]
    rows = [
        [
            r.record,
            figure(r.temp_c),
            figure(r.pulses),
            figure(r.capacity_ah, "{:.4f}"),
            figure(r.r0_ohm, "{:.2f}", 1e3),
            figure(r.median_rms_mv, "{:.2f}"),
            str(len(r.warnings)),
        ]
        for r in result.records
    ]
    text = table([*header, "warnings"], rows) if rows else ""
    notes = [f"  {r.record}: {w}" for r in result.records for w in r.warnings]
    notes += [f"  {w}" for w in result.warnings]
    if notes:
        text += "\n\nwarnings:\n" + "\n".join(notes)
    return text.lstrip("\n")


def command_run(args: argparse.Namespace) -> int:
    folder = Path(args.folder)
    bar = progress_bar(len(list(folder.glob("raw_data/*.csv"))), "record", args.quiet)

    def on_record(path: str, finished: bool) -> None:
        if finished:
            bar.update(1)
        else:
            bar.set_description(Path(path).name)

    def on_line(line: str) -> None:
        bar.write(line, file=sys.stderr)

    with bar:
        result = run_cell(
            folder,
            overrides_from(args),
            on_line=on_line if args.verbose else None,
            on_record=on_record,
        )
    if result.records or result.warnings:
        print(record_table(result))
    if not result.ok:
        print(f"cellfit: {result.error}", file=sys.stderr)
        return 1
    where = os.path.join(args.folder, "results")
    print(f"\nresults in {where}, log in {os.path.join(args.folder, LOG_FILE)}")
    return 0


def cell_table(results: list[CellResult], names: dict[str, str]) -> str:
    header = ["cell", "status", "records", "warnings", "seconds", "error"]
    rows = [
        [
            names.get(r.folder, r.folder),
            "ok" if r.ok else "failed",
            str(len(r.records)),
            str(sum(len(x.warnings) for x in r.records) + len(r.warnings)),
            f"{r.seconds:.1f}",
            r.error or "",
        ]
        for r in results
    ]
    return table(header, rows)


def command_batch(args: argparse.Namespace) -> int:
    from cellkit import batch

    if args.scheduler:
        try:
            batch.require_dask()
        except RuntimeError as exc:
            print(f"cellfit: {exc}", file=sys.stderr)
            return 1
    names = {str(Path(f).absolute()): f for f in args.folders}
    results = {}
    failed = 0
    with progress_bar(len(names), "cell", args.quiet) as bar:
        for result in batch.run_batch(
            list(names),
            overrides_from(args),
            workers=args.workers,
            scheduler=args.scheduler,
        ):
            results[result.folder] = result
            failed += not result.ok
            bar.set_postfix(failed=failed)
            bar.update(1)
    print(cell_table([results[f] for f in names if f in results], names))
    print(f"\n{len(results) - failed} ok, {failed} failed")
    return 1 if failed else 0


def parse(argv: list[str] | None) -> argparse.Namespace:
    """The arguments; an unknown option is refused with its own command's usage (a
    plain parse_args would show the top-level usage for `cellfit run X --modle`)."""
    parser = build_parser()
    args, unknown = parser.parse_known_args(argv)
    if unknown:
        commands = next(
            a for a in parser._actions if isinstance(a, argparse._SubParsersAction)
        )
        commands.choices[args.command].error(
            f"unrecognized arguments: {' '.join(unknown)}"
        )
    return args


def main(argv: list[str] | None = None) -> int:
    args = parse(argv)
    try:
        return args.handler(args)
    except KeyboardInterrupt:
        print("cellfit: interrupted", file=sys.stderr)
        return 130
