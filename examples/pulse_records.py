"""Synthetic pulse-discharge records of a two-RC equivalent-circuit cell.

The cell is simulated exactly for a current that is constant between samples: each RC
pair relaxes as exp(-dt/tau) and the charge counts down the state of charge. Used by the
demo cell and by the tests, which need records whose true parameters are known.
"""

from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np
from scipy.signal import lfilter


def default_ocv(soc: np.ndarray) -> np.ndarray:
    """A Li-ion-like open-circuit voltage (V) over state of charge, with the low-SOC knee."""
    soc = np.asarray(soc, dtype=float)
    return (
        3.45
        + 0.7 * soc
        - 0.35 * np.exp(-soc / 0.06)
        + 0.05 * np.tanh((soc - 0.5) / 0.1)
    )


@dataclass
class Cell:
    """Circuit parameters (ohm, farad) and capacity (Ah). r2 = 0 gives a one-RC cell."""

    r0: float = 0.03
    r1: float = 0.015
    c1: float = 1000.0
    r2: float = 0.0
    c2: float = 1.0
    capacity_ah: float = 2.0
    ocv: object = field(default=default_ocv)


@dataclass
class Protocol:
    """Pulse train: rest, then pulses of `pulse_s` with `rest_s` rests, sampled every dt_s.

    The last pulse runs on until the voltage falls below `end_v` (at most `final_s`).
    With `charge_s` > 0 the test opens with a charge at `charge_a` (positive) for that
    long before the first rest; `soc0` is the SOC the charge starts from.
    """

    current_a: float = -2.0
    pulse_s: float = 150.0
    rest_s: float = 600.0
    first_rest_s: float = 60.0
    n_pulses: int = 8
    dt_s: float = 1.0
    end_v: float = 3.0
    final_s: float = 20000.0
    soc0: float = 1.0
    charge_s: float = 0.0
    charge_a: float = 2.0


def current_profile(p: Protocol) -> np.ndarray:
    """Current per sample (A), constant over the interval after each sample."""
    step = round(p.pulse_s / p.dt_s), round(p.rest_s / p.dt_s)
    parts = [np.full(round(p.charge_s / p.dt_s), p.charge_a)]
    parts.append(np.zeros(round(p.first_rest_s / p.dt_s)))
    for _ in range(p.n_pulses):
        parts += [np.full(step[0], p.current_a), np.zeros(step[1])]
    parts.append(np.full(round(p.final_s / p.dt_s), p.current_a))
    return np.concatenate(parts)


def simulate(cell: Cell, p: Protocol, noise_v: float = 0.0, seed: int = 0) -> dict:
    """Times (s), terminal voltages (V) and currents (A) of the test, cut after end_v."""
    i = current_profile(p)
    n = i.size
    t = np.arange(n) * p.dt_s
    v, soc = simulate_profile(cell, t, i, p.soc0)
    v += np.random.default_rng(seed).normal(0.0, noise_v, n) if noise_v > 0 else 0.0
    below = np.flatnonzero(v < p.end_v)
    stop = below[0] + 5 if below.size else n
    return {"t": t[:stop], "v": v[:stop], "i": i[:stop], "soc": soc[:stop]}


def write_record(
    path, rec: dict, temperature_c=None, columns=None, decimals=None
) -> None:
    """Writes a record CSV. temperature_c: None (no column), a number or a per-row array.

    decimals maps column names to the digits kept after the point, as a logger would round
    them; such a column is written without trailing zeros ("-2.5", "0"). Other columns are
    written in full.
    """
    cols = {"Seconds": rec["t"], "Voltage(V)": rec["v"], "Current(A)": rec["i"]}
    if temperature_c is not None:
        cols["Temperature(C)"] = np.broadcast_to(
            np.asarray(temperature_c, dtype=float), rec["t"].shape
        )
    names = columns or list(cols)
    decimals = decimals or {}
    text = [
        _column_text(np.asarray(cols[c], dtype=float), decimals.get(c)) for c in names
    ]
    with open(path, "w", newline="\n") as f:
        f.write(",".join(names) + "\n")
        for row in zip(*text):
            f.write(",".join(row) + "\n")


def _column_text(x: np.ndarray, digits) -> list:
    """One column as text: repr of each value, or rounded to `digits` and trimmed."""
    if digits is None:
        return [repr(float(v)) for v in x]
    # adding 0.0 turns the -0.0 that rounding leaves into 0.0, so no "-0" is written
    rounded = np.round(x, digits) + 0.0
    text = [f"{v:.{digits}f}" for v in rounded]
    return [s.rstrip("0").rstrip(".") if "." in s else s for s in text]


@dataclass
class HppcProtocol:
    """An HPPC test from full charge: blocks of a discharge pulse, a short rest, a
    charge pulse, a short rest, an SOC step (a long discharge of `step_fraction` of the
    capacity) and a long rest, then a discharge to `end_v`. Sampling is dt_pulse_s in
    the pulses and their rests, dt_step_s in the SOC steps and dt_rest_s in long rests.
    """

    discharge_a: float = -4.0
    charge_a: float = 3.0
    discharge_s: float = 30.0
    charge_s: float = 10.0
    short_rest_s: float = 40.0
    step_a: float = -0.7
    step_fraction: float = 0.1
    long_rest_s: float = 3600.0
    n_blocks: int = 8
    dt_pulse_s: float = 0.1
    dt_step_s: float = 1.0
    dt_rest_s: float = 60.0
    end_v: float = 3.0


def hppc_profile(p: HppcProtocol, capacity_ah: float):
    """Times (s) and currents (A, held after each sample) of the test, and the indices
    of the first sample of every charge pulse and of every sample that ends a discharge
    pulse (where loggers put their quirk rows)."""
    parts, charge_starts, pulse_ends = [], [], []
    now, n = 0.0, 0

    def segment(duration, current, dt):
        nonlocal now, n
        k = round(duration / dt)
        parts.append((now + dt * np.arange(k), np.full(k, current)))
        now += k * dt
        n += k

    segment(p.long_rest_s, 0.0, p.dt_rest_s)
    step_s = p.step_fraction * capacity_ah * 3600.0 / abs(p.step_a)
    for _ in range(p.n_blocks):
        segment(p.discharge_s, p.discharge_a, p.dt_pulse_s)
        pulse_ends.append(n)
        segment(p.short_rest_s, 0.0, p.dt_pulse_s)
        charge_starts.append(n)
        segment(p.charge_s, p.charge_a, p.dt_pulse_s)
        segment(p.short_rest_s, 0.0, p.dt_pulse_s)
        segment(step_s, p.step_a, p.dt_step_s)
        segment(p.long_rest_s, 0.0, p.dt_rest_s)
    segment(2 * capacity_ah * 3600.0 / abs(p.step_a), p.step_a, p.dt_step_s)
    t = np.concatenate([a for a, _ in parts])
    i = np.concatenate([b for _, b in parts])
    return t, i, np.array(charge_starts), np.array(pulse_ends)


def simulate_profile(cell: Cell, t: np.ndarray, i: np.ndarray, soc0: float = 1.0):
    """Terminal voltage and SOC for a current held after each sample, any sampling."""
    dt = np.diff(t)
    soc = (
        soc0
        + np.concatenate(([0.0], np.cumsum(i[:-1] * dt))) / 3600.0 / cell.capacity_ah
    )
    v = cell.ocv(soc) + cell.r0 * i
    for r, c in ((cell.r1, cell.c1), (cell.r2, cell.c2)):
        if r > 0:
            v += pair_voltage(t, i, r, c)
    return v, soc


def pair_voltage(t: np.ndarray, i: np.ndarray, r: float, c: float) -> np.ndarray:
    """Voltage across one RC pair at each sample, the current held after each sample:
    x[k+1] = a x[k] + r (1 - a) i[k] with a = exp(-dt[k]/(r c))."""
    i = np.asarray(i, dtype=float)  # an integer current would round the voltage off
    dt = np.diff(t)
    if dt.size == 0 or np.all(dt == dt[0]):  # even sampling: one linear filter
        a = np.exp(-dt[0] / (r * c)) if dt.size else 1.0
        return lfilter([0.0, r * (1.0 - a)], [1.0, -a], i)
    a = np.exp(-dt / (r * c))
    x = np.zeros_like(i)
    for k in range(dt.size):
        x[k + 1] = a[k] * x[k] + r * (1.0 - a[k]) * i[k]
    return x


def simulate_hppc(
    cell: Cell,
    p: HppcProtocol | None = None,
    noise_v: float = 0.0,
    seed: int = 0,
    quirks: bool = False,
    repeat_every: int = 0,
) -> dict:
    """An HPPC record of the cell, cut after end_v. With quirks, the row at the start of
    every charge pulse logs the old current (0 A) while its voltage has moved, and the
    row after every discharge pulse logs 0 A while its voltage is still loaded, as real
    loggers do; repeat_every > 0 logs every such row twice (same time, same values)."""
    p = p or HppcProtocol()
    t, i, charge_starts, pulse_ends = hppc_profile(p, cell.capacity_ah)
    if quirks:  # the cell sees the load one row earlier and one row longer
        i = i.copy()
        i[charge_starts - 1] = p.charge_a
        i[pulse_ends] = p.discharge_a
    v, soc = simulate_profile(cell, t, i)
    v += (
        np.random.default_rng(seed).normal(0.0, noise_v, v.size) if noise_v > 0 else 0.0
    )
    logged = i.copy()
    if quirks:  # ... but the logger reads the current of the other side of the step
        logged[charge_starts - 1] = 0.0
        logged[pulse_ends] = 0.0
    below = np.flatnonzero(v < p.end_v)
    stop = below[0] + 5 if below.size else v.size
    rec = {"t": t[:stop], "v": v[:stop], "i": logged[:stop], "soc": soc[:stop]}
    if repeat_every > 0:
        rows = np.sort(
            np.concatenate([np.arange(stop), np.arange(0, stop, repeat_every)])
        )
        rec = {k: x[rows] for k, x in rec.items()}
    return rec


def simulate_cycler_log(
    cell: Cell, steps, noise_v: float = 0.0, seed: int = 0, start_s: float = 0.0
) -> dict:
    """A record of the cell as a cycler such as Arbin logs it: steps of constant current,
    (duration s, current A, logging interval s) each, with rows every interval from one
    interval in and one more at the step's end, the step clock beside them (step_time:
    seconds since the step began; step_index: its number from 1). Also the charge drawn
    (Ah, positive for a discharge) up to each row, exactly."""
    rng = np.random.default_rng(seed)
    pairs = [(r, c) for r, c in ((cell.r1, cell.c1), (cell.r2, cell.c2)) if r > 0]
    x, soc, drawn, now = np.zeros(len(pairs)), 1.0, 0.0, start_s
    out = {k: [] for k in ("t", "v", "i", "step_time", "step_index", "drawn_ah")}
    for index, (duration, current, dt) in enumerate(steps, start=1):
        at = np.append(np.arange(dt, duration - 1e-9, dt), duration)
        v = cell.ocv(soc + current * at / 3600.0 / cell.capacity_ah) + cell.r0 * current
        for k, (r, c) in enumerate(pairs):
            decay = np.exp(-at / (r * c))
            v = v + x[k] * decay + r * (1.0 - decay) * current
        for key, value in (
            ("t", now + at),
            ("v", v + (rng.normal(0.0, noise_v, at.size) if noise_v > 0 else 0.0)),
            ("i", np.full(at.size, float(current))),
            ("step_time", at),
            ("step_index", np.full(at.size, float(index))),
            ("drawn_ah", drawn - current * at / 3600.0),
        ):
            out[key].append(value)
        for k, (r, c) in enumerate(pairs):
            decay = np.exp(-duration / (r * c))
            x[k] = x[k] * decay + r * (1.0 - decay) * current
        soc += current * duration / 3600.0 / cell.capacity_ah
        drawn -= current * duration / 3600.0
        now += duration
    return {k: np.concatenate(v) for k, v in out.items()}


def write_arbin_record(path, rec: dict, temperature_c: float = 25.0) -> None:
    """Writes a cycler log of simulate_cycler_log with Arbin's column names."""
    cols = {
        "Data_Point": np.arange(1, rec["t"].size + 1),
        "Test_Time(s)": rec["t"],
        "Step_Time(s)": rec["step_time"],
        "Step_Index": rec["step_index"],
        "Current(A)": rec["i"],
        "Voltage(V)": rec["v"],
        "Aux_Temperature_1(C)": np.full(rec["t"].size, temperature_c),
    }
    with open(path, "w", newline="\n") as f:
        f.write(",".join(cols) + "\n")
        for row in zip(*(np.asarray(c, dtype=float) for c in cols.values())):
            f.write(",".join(repr(float(x)) for x in row) + "\n")
