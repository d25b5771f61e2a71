# The pulse-test engine's module, as cellkit._native imports it: the record reader,
# the segmentation and per-pulse fits of a pulse test, and the circuit simulations.
from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

__version__: str

Floats = npt.ArrayLike
FloatArray = npt.NDArray[np.float64]

class PulseTest:
    """A pulse test analysed: steps, OCV points, per-pulse fits."""

    def __init__(
        self,
        time_s: Floats,
        voltage_v: Floats,
        current_a: Floats,
        rc_pairs: int = 2,
        cutoff_v: float = ...,
        pulse_max_s: float = ...,
        ocv_rest_min_s: float = 600.0,
        rest_limit_a: float = -1.0,
        step_time_s: Floats | None = None,
        step_index: Floats | None = None,
    ) -> None: ...
    @property
    def pulses(self) -> dict[str, Any]: ...
    @property
    def ocv_points(self) -> dict[str, FloatArray]: ...
    @property
    def steps(self) -> dict[str, Any]: ...
    @property
    def capacity_ah(self) -> float: ...
    @property
    def samples(self) -> int: ...
    @property
    def repeated_rows(self) -> int: ...
    @property
    def part(self) -> dict[str, Any]: ...
    @property
    def reached_cutoff(self) -> bool: ...
    @property
    def gaps(self) -> list[int]: ...
    @property
    def quirks(self) -> list[str]: ...
    @property
    def soc(self) -> FloatArray: ...
    def ocv(self, soc: Floats) -> FloatArray: ...
    def window(self, pulse: int, rc_pairs: int = 2) -> dict[str, Any]: ...
    def curve(
        self, pulse: int, params: list[float] | None = None
    ) -> tuple[FloatArray, FloatArray, FloatArray]: ...

#: R0, then R and C of each RC pair: the circuit's parameters as every table names them.
CIRCUIT_NAMES: tuple[str, str, str, str, str]
#: The lower and upper bound of every resistance (ohm) and capacitance (F) in the fits.
BOUNDS: tuple[float, float]
#: A value within this fraction of a bound sits on it.
BOUND_TOLERANCE: float

def on_bound(values: Floats) -> npt.NDArray[np.bool_]: ...
def read_record(
    path: str,
    settings: dict[str, Any] | None = None,
    cutoff_v: float | None = None,
    notes: bool = True,
    voltage_optional: bool = False,
) -> dict[str, Any]: ...
def hold_grid(
    time_s: Floats,
    voltage_v: Floats,
    current_a: Floats,
    step_time_s: Floats | None = None,
    step_index: Floats | None = None,
) -> tuple[FloatArray, FloatArray, npt.NDArray[np.intp]]: ...
def increasing_time_rows(time_s: Floats) -> dict[str, Any]: ...
def rest_after_leading_charge(current_a: Floats, rest_limit_a: float) -> int: ...
def rest_current_limit_a(current_a: Floats) -> float: ...
def step_windows(
    time_s: Floats,
    voltage_v: Floats,
    current_a: Floats,
    step_time_s: Floats | None = None,
    step_index: Floats | None = None,
) -> dict[str, Any]: ...
def gap_ends(time_s: Floats) -> npt.NDArray[np.intp]: ...
def simulate_model(
    time_s: Floats,
    current_a: Floats,
    ocv_soc: Floats,
    ocv_v: Floats,
    capacity_ah: float,
    r0_ohm: float,
    r_ohm: Floats,
    c_f: Floats,
    soc_start: float = 1.0,
) -> dict[str, FloatArray]: ...
def varying_circuit(
    time_s: Floats, current_a: Floats, r0_ohm: Floats, r_ohm: Floats, c_f: Floats
) -> FloatArray: ...
