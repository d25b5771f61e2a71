"""cellkit: the pulse-test engine, the command line and the tools around the cellfit
pipeline (batch runs, reports, validation, exports).

Importing this package runs nothing; ``import cellfit`` is what runs the pipeline in the
current folder.
"""

from __future__ import annotations

try:
    from importlib.metadata import PackageNotFoundError, version
except ImportError:  # pragma: no cover - Python < 3.8 is not supported anyway
    raise

try:
    __version__ = version("cellfit")
except PackageNotFoundError:  # running from a source tree that is not installed
    __version__ = "0.0.0"

from cellkit.pulse_test import (
    PulseTestResult,
    Record,
    evaluate_pulses,
    fit_record,
    read_record,
)

__all__ = [
    "PulseTestResult",
    "Record",
    "__version__",
    "evaluate_pulses",
    "fit_record",
    "read_record",
]
