"""One cell, run in this process: the cellfit pipeline on ``FOLDER/raw_data`` in a fresh
namespace, with its log and solver output captured, summarised per record.

``import cellfit`` runs the pipeline once per interpreter, in the module's own namespace;
the pipeline module's ``run`` runs the same stages on any dict, so a batch worker
imports numpy, scipy and pandas once and then runs cell after cell. The pipeline changes
the current directory, prints the solver's reports on ``sys.stdout`` and logs through
the root logger; all three are process-wide, so runs in one process take a lock and
each run puts them back as it found them. It tells each record's start and results to
a callback, which the summary is made from.
"""

from __future__ import annotations

import contextlib
import io
import logging
import math
import os
import re
import sys
import threading
import time
import traceback
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable

from cellkit import run_files
from cellkit._native import pipeline
from cellkit.run_files import CONFIG_FILE

LOG_FILE = "cellfit.log"
# The working folder is the cell folder itself, whatever the file says.
IGNORED_KEYS = ("battery_database", "battery_folder")
REQUIRED_KEYS = {
    "low_cutoff": "--low-cutoff",
    "high_cutoff": "--high-cutoff",
    "model": "--model",
}
# The format `import cellfit` gives its log when the host has not configured logging.
LOG_FORMAT = "%(levelname)s:%(message)s"

_RUN_LOCK = threading.Lock()


class CellError(Exception):
    """A cell that cannot be run as given (no folder, no settings)."""


@dataclass
class RecordSummary:
    """What one record's fit gave: the figures a user checks first."""

    record: str
    temp_c: float | None = None
    pulses: int | None = None
    capacity_ah: float | None = None
    r0_ohm: float | None = None
    median_rms_mv: float | None = None
    warnings: list[str] = field(default_factory=list)


@dataclass
class CellResult:
    """The outcome of one cell: ok, or failed with its error on one line."""

    folder: str
    ok: bool
    error: str | None = None
    records: list[RecordSummary] = field(default_factory=list)
    warnings: list[str] = field(default_factory=list)  # outside any record
    seconds: float = 0.0


def settings_source(folder: Path, overrides: dict | None = None) -> str:
    """Where the run's settings come from, as its error messages name it."""
    path = folder / CONFIG_FILE
    given = any(v is not None for v in (overrides or {}).values())
    if not path.is_file():
        return "the command line's options"
    return f"'{path}'" + (" and the command line's options" if given else "")


def _misspelt(settings: dict, key: str) -> str:
    """The note on a missing key the file seems to misspell: ' (the file has
    "low_cuttoff")', or nothing."""
    from difflib import get_close_matches

    known = pipeline.SETTINGS_KEYS
    unknown = [k for k in settings if isinstance(k, str) and k not in known]
    close = get_close_matches(key, unknown, n=1)
    return f' (the file has "{close[0]}")' if close else ""


def load_settings(folder: Path, overrides: dict | None = None) -> dict:
    """The run's settings: FOLDER/input_params.json where it exists, without its
    working-folder keys, then the overrides that are not None."""
    try:
        settings = run_files.load_settings(folder)
    except ValueError as exc:
        raise CellError(str(exc)) from None
    for key in IGNORED_KEYS:
        settings.pop(key, None)
    settings.update({k: v for k, v in (overrides or {}).items() if v is not None})
    missing = [key for key in REQUIRED_KEYS if key not in settings]
    if missing:
        flags = ", ".join(REQUIRED_KEYS[key] for key in missing)
        them = "it" if len(missing) == 1 else "them"
        hints = "".join(_misspelt(settings, key) for key in missing)
        raise CellError(
            f"{folder}: no {', '.join(missing)}{hints}: set {them} in "
            f"{folder / CONFIG_FILE} or pass {flags}"
        )
    return settings


def check_cell_folder(path: Path) -> None:
    """CellError saying what to pass when path is not a cell folder with records."""
    records = path / "raw_data"
    if path.is_file():
        hint = ""
        if path.parent.name == "raw_data":
            hint = f": pass the cell folder, {path.parent.parent}"
        raise CellError(f"{path}: a file, not a cell folder holding raw_data/{hint}")
    if records.is_dir():
        return
    if path.name == "raw_data" and path.is_dir():
        raise CellError(
            f"{path}: the records folder itself; pass the cell folder above it, "
            f"{path.parent}"
        )
    raise CellError(f"{path}: no raw_data folder")


class _Discard(io.TextIOBase):
    """A sys.stdout that drops the solver's iteration tables."""

    def writable(self) -> bool:
        return True

    def write(self, text: str) -> int:
        return len(text)


class _RunLog(logging.Handler):
    """Writes the run's log lines to its log file as they come (a run cut short leaves
    the log up to that point) and follows the run record by record: the pipeline
    tells each record's start and results (record_event), and the warnings logged
    in between are that record's."""

    def __init__(self, on_line=None, on_record=None):
        super().__init__(logging.INFO)
        self.setFormatter(logging.Formatter(LOG_FORMAT))
        self.file: io.TextIOBase | None = None
        self.records: list[RecordSummary] = []
        self.cell_warnings: list[str] = []
        self._current: RecordSummary | None = None
        self._on_line = on_line
        self._on_record = on_record

    def write(self, text: str) -> None:
        """Text to the log file, at once."""
        if self.file is not None:
            self.file.write(text)
            self.file.flush()

    def emit(self, record: logging.LogRecord) -> None:
        line = self.format(record)
        self.write(f"{line}\n")
        if self._on_line:
            self._on_line(line)
        if record.levelno >= logging.WARNING:
            current = self._current
            (current.warnings if current else self.cell_warnings).append(
                record.getMessage()
            )

    def record_event(self, event: dict) -> None:
        """A record starts ({'path'}) or ends with its results."""
        path = event["path"]
        finished = "pulses" in event
        if finished and self._current is not None:
            self.records.append(_summary(self._current, event))
            self._current = None
        elif not finished:
            self._current = RecordSummary(record=Path(path).name.removesuffix(".csv"))
        if self._on_record:
            self._on_record(path, finished)


def _finite(value) -> float | None:
    return value if value is not None and math.isfinite(value) else None


def _summary(summary: RecordSummary, results: dict) -> RecordSummary:
    summary.temp_c = results["temp_c"]
    summary.pulses = results["pulses"]
    summary.capacity_ah = results["capacity_ah"]
    summary.r0_ohm = results["r0_ohm"]
    summary.median_rms_mv = _finite(results["median_rms_mv"])
    return summary


def one_line(text: str) -> str:
    """A message on one line: its lines joined, blanks dropped (a library's message
    may end in a line break, or close a bracket on a line of its own)."""
    text = " ".join(line.strip() for line in text.splitlines() if line.strip())
    return re.sub(r" ([)\]}])", r"\1", text)


def _type_name(exc: BaseException) -> str:
    cls = type(exc)
    if cls.__module__ in ("builtins", "__main__"):
        return cls.__qualname__
    return f"{cls.__module__}.{cls.__qualname__}"


def _error_line(exc: BaseException) -> tuple[str, str]:
    """The error on one line, and the text `import cellfit` would print for it
    (without the stack: the run's frames say nothing to a user)."""
    if isinstance(exc, SystemExit):
        text = exc.code if isinstance(exc.code, str) else f"exit status {exc.code}"
        return one_line(text) or "exit", f"{text}\n"
    if isinstance(exc, CellError):
        return one_line(str(exc)), f"{exc}\n"
    printed = "".join(traceback.format_exception_only(type(exc), exc))
    message = one_line(str(exc))
    return (f"{_type_name(exc)}: {message}" if message else _type_name(exc)), printed


@contextlib.contextmanager
def _log_file(folder: Path):
    """FOLDER/cellfit.log open for writing from the start (None unless FOLDER is a
    cell folder: nothing is written into a folder given by mistake); created as any
    file the user makes, and left with a final line break."""
    if not (folder / "raw_data").is_dir():
        yield None
        return
    try:
        with open(folder / LOG_FILE, "w", encoding="utf-8", newline="\n") as f:
            yield f
    except OSError as exc:  # opening it, or a line written to it
        raise CellError(f"{folder / LOG_FILE}: cannot write the log ({exc})") from None


@contextlib.contextmanager
def _captured(handler: logging.Handler):
    """Root logger at INFO through handler, solver output dropped, the current directory
    kept: for the run's duration only. With a handler in place the pipeline's own
    logging.basicConfig does nothing."""
    root = logging.getLogger()
    level, cwd = root.level, os.getcwd()
    root.addHandler(handler)
    root.setLevel(logging.INFO)
    try:
        with contextlib.redirect_stdout(_Discard()):
            yield
    finally:
        root.removeHandler(handler)
        root.setLevel(level)
        os.chdir(cwd)


def _pipeline_run(
    namespace: dict, settings: dict, workdir: Path, overrides, on_record
) -> None:
    source = settings_source(workdir, overrides)
    file = workdir / CONFIG_FILE
    settings_file = str(file) if file.is_file() else None
    pipeline.run(namespace, settings, str(workdir), source, settings_file, on_record)


# What the log ends with when the user stops a run; the run's manifest says the same.
INTERRUPTED = (
    "interrupted: the run was stopped before its end; results/manifest.json names "
    "the files it wrote\n"
)


def _run_logged(path: Path, overrides, handler: _RunLog) -> tuple[str | None, str]:
    """The run with its log going to handler; (error line or None, error text)."""
    namespace: dict = {"__name__": "cellfit"}
    try:
        check_cell_folder(path)
        settings = load_settings(path, overrides)
        with _RUN_LOCK, _captured(handler):
            _pipeline_run(namespace, settings, path, overrides, handler.record_event)
    except SystemExit as exc:  # how the pipeline ends on bad input
        if exc.code not in (None, 0):
            return _error_line(exc)
    except KeyboardInterrupt:
        handler.write(INTERRUPTED)
        raise
    except Exception as exc:  # a bad cell ends as a failed cell
        return _error_line(exc)
    finally:
        # the stages' functions hold the namespace: clearing it frees the run's arrays
        namespace.clear()
    return None, ""


def run_cell(
    folder: str | os.PathLike,
    overrides: dict | None = None,
    *,
    on_line: Callable[[str], None] | None = None,
    on_record: Callable[[str, bool], None] | None = None,
) -> CellResult:
    """Runs one cell folder as ``import cellfit`` would run it, in this process.

    Never raises for a bad cell: its error is in the result (KeyboardInterrupt passes,
    once the log has said so). on_line gets each log line, on_record(record_path,
    finished) each record's start and end. The log goes to FOLDER/cellfit.log as the
    run goes.
    """
    path = Path(folder).absolute()
    start = time.perf_counter()
    handler = _RunLog(on_line, on_record)
    try:
        with _log_file(path) as handler.file:
            error, printed = _run_logged(path, overrides, handler)
            handler.write(printed)
    except CellError as exc:  # the log itself cannot be written
        error = one_line(str(exc))
    result = CellResult(str(path), ok=error is None, error=error)
    result.warnings = handler.cell_warnings
    result.records = handler.records
    result.seconds = time.perf_counter() - start
    return result
