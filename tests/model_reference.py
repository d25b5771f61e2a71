"""Reference for the model builder's tests: the steps of write_battery_model_file written
out with numpy and pandas, one line per step, and parameter files made by hand.

The fits go through the same numpy calls in the same order, so the native builder has to
agree with this to the last bit, and its JSON text to the last character.
"""

from __future__ import annotations

import glob
import json
import os

import numpy as np
import pandas as pd


def write_params(results, name, temp_c, capacity_ah, circuit, soc, ocv):
    """One <name>_params.json as the extraction writes it (json.dumps, one line)."""
    bat_params = {
        "TempC": temp_c,
        "Tparam_1": capacity_ah,
        "Tparam_2": list(circuit),
        "Tparam_3": [list(soc), list(ocv)],
    }
    path = os.path.join(str(results), f"{name}_params.json")
    with open(path, "w") as f:
        f.write(json.dumps(bat_params))
    return path


def listed_parameter_files(results):
    """The parameter files in the order the folder listing gives them."""
    pattern = os.path.join(glob.escape(str(results)), "*_params.json")
    return [os.path.basename(p) for p in glob.glob(pattern)]


def reference_maps(results, vbatlow, vbathigh):
    """(params, params_json) for the parameter files in results."""
    json_files = listed_parameter_files(results)
    temperatures = np.array([])
    cap_data, rcparams = {}, {}
    ocv_data = pd.DataFrame()
    for name in json_files:
        with open(os.path.join(str(results), name)) as f:
            batdata = json.load(f)
        temp = batdata["TempC"]
        temperatures = np.append(temperatures, temp)
        cap_data[temp] = batdata["Tparam_1"]
        ocv_data["SOC"] = batdata["Tparam_3"][0]
        ocv_data[temp] = batdata["Tparam_3"][1]
        rcparams[temp] = batdata["Tparam_2"]
    temperatures = np.sort(temperatures)
    params = {"SOC": batdata["Tparam_3"][0], "temps": temperatures}
    capacities = [cap_data[t] for t in temperatures]
    vovc = np.linspace(vbatlow - 0.01, vbathigh, 122)
    soc_data = pd.DataFrame()
    soc_data["vocv"] = vovc
    for vtemp in temperatures:
        soc_data[vtemp] = np.interp(vovc, ocv_data[vtemp], ocv_data["SOC"])
    params["OCV"] = vovc

    x = np.array(ocv_data.columns[1:], dtype=float)
    a = np.vstack([x, np.ones(len(x))]).T
    solution = np.linalg.lstsq(a, ocv_data.iloc[:, 1:].T, rcond=None)[0]
    params["OCVrel"], params["OCV0"] = solution[0], solution[1]
    dz = np.mean(np.diff(ocv_data["SOC"]))
    for name, of in (("dOCV0", "OCV0"), ("dOCVrel", "OCVrel")):
        d = np.diff(params[of]) / dz
        params[name] = (np.insert(d, 0, d[0]) + np.insert(d, -1, d[-1])) / 2
    socrel, soc0 = [], []
    x = np.array(soc_data.columns[1:], dtype=float)
    a = np.vstack([x, np.ones(len(x))]).T
    for i in range(soc_data.shape[0]):
        row = np.array(soc_data.iloc[i, 1:], dtype=float)
        s = np.linalg.lstsq(a, row, rcond=None)[0]
        socrel.append(s[0])
        soc0.append(s[1])
    params["SOCrel"], params["SOC0"] = np.array(socrel), np.array(soc0)

    r0, tau1, tau2, r1, r2 = [], [], [], [], []
    for temp in temperatures:
        p = rcparams[temp]
        r0.append(float(p[0]))
        tau1.append(float(p[1] * p[2]))
        r1.append(float(p[1]))
        if len(p) > 3:
            tau2.append(float(p[3] * p[4]))
            r2.append(float(p[3]))
    two_pairs = len(rcparams[temperatures[-1]]) > 3
    params["R0Param"] = r0
    params["RCParam"] = tau1 + tau2 if two_pairs else tau1
    params["RParam"] = r1 + r2 if two_pairs else r1
    params["QParam"] = [float(c) for c in capacities]
    name = json_files[0].split("_", 1)[0]
    params["name"] = "".join("'" + c + "'" for c in name)

    json_keys = ["param_1", "temps"] + [f"param_{i}" for i in range(2, 13)]
    params_json = {}
    for key, (mat_name, value) in zip(json_keys, params.items()):
        params_json[key] = value if mat_name == "SOC" else [float(v) for v in value]
    params_json["name"] = list(name)
    return params, params_json


def reference_number_text(val):
    """A number of the model file: its str(), or fixed point where that has an exponent."""
    val_str = str(val)
    if "e" in val_str:
        _, exp2 = np.frexp(val)
        exp10 = int(np.abs(np.floor(exp2 * np.log10(2)))) + 3
        val_str = f"{val:.{exp10}f}"
    return val_str


def reference_encode(o):
    """The model file's JSON text of the map o."""
    s = "{"
    for key, value in o.items():
        if len(value) == 0:
            continue
        if key == "name":
            s += f'"{key}": "{"".join(value)}", '
        else:
            s += f'"{key}": [' + ", ".join(map(reference_number_text, value)) + "], "
    return s[:-2] + "}"


PULSE_COLUMNS = [
    "pulse", "kind", "start_s", "duration_s", "current_A", "soc",
    "R0", "R1", "C1", "R2", "C2", "rms_mV",
    "R0_se", "R1_se", "C1_se", "R2_se", "C2_se", "flags",
]  # fmt: skip


def write_pulses(results, name, rows):
    """<name>_pulses.csv as the pipeline writes it: one row per fitted pulse, numbers as
    repr, empty cells where a row (a dict by column name) has no value or None."""

    def cell(value):
        if value is None:
            return ""
        if isinstance(value, (str, int)):
            return str(value)
        return repr(float(value))

    lines = [",".join(PULSE_COLUMNS)]
    for k, row in enumerate(rows, start=1):
        row = {"pulse": k, **row}
        lines.append(",".join(cell(row.get(c)) for c in PULSE_COLUMNS))
    path = os.path.join(str(results), f"{name}_pulses.csv")
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")
    return path
