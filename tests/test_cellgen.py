"""cellgen: the battery model file built from per-temperature parameter files.

The parameter files are made by hand (no fitting needed). Numbers are checked against
the interpreter's own texts and against the builder's steps written out with numpy and
pandas (model_reference.py); closed forms check that those steps mean what they should.
"""

from __future__ import annotations

import json
import logging
import math
import os
import re
import subprocess
import sys

import _cellkernels
import cellgen
import numpy as np
import pytest
import scipy.io
from model_reference import (
    listed_parameter_files,
    reference_encode,
    reference_maps,
    reference_number_text,
    write_params,
)
from numpy.testing import assert_allclose, assert_array_equal

SOC_GRID = np.arange(0, 1.005, 0.005)  # the extraction's 201-point SOC axis
# parameter files alone (no pulse files beside them) give no SOC tables
NO_TABLES = "No pulse files (*_pulses.csv): battery_tables.json is not written"


def random_bits(rng, n):
    """Doubles with uniformly drawn bit patterns: every exponent, subnormals, NaNs."""
    return rng.integers(0, 2**64, n, dtype=np.uint64, endpoint=False).view(np.float64)


def ocv_curve(rng, soc, temp_c):
    """A rising OCV curve over soc with a temperature shift and some bends."""
    steps = rng.uniform(0.2, 2.0, len(soc) - 1)
    shape = np.concatenate([[0.0], np.cumsum(steps)]) / steps.sum()
    return 3.0 + 1.2 * shape + 0.0004 * temp_c + rng.normal(0, 1e-4) * soc


def random_cell(
    results, rng, temps_c, pairs=1, soc=SOC_GRID, prefix="cellR", axis_step=0.0
):
    """One parameter file per temperature with random values; with axis_step, file i has
    its SOC axis stretched by 1 + i * axis_step."""
    for i, t in enumerate(temps_c):
        soc_i = (np.asarray(soc) * (1 + i * axis_step)).tolist() if axis_step else soc
        circuit = [
            rng.uniform(0.02, 0.08),
            rng.uniform(0.005, 0.03),
            rng.uniform(500, 3000),
        ]
        if pairs == 2:
            circuit += [rng.uniform(0.005, 0.03), rng.uniform(5e3, 5e4)]
        ocv = ocv_curve(rng, np.asarray(soc_i, dtype=float), t)
        name = f"{prefix}_{i}_{t}"
        write_params(
            results, name, t, rng.uniform(2.5, 3.5), circuit, soc_i, ocv.tolist()
        )


def plain_cell(results, name):
    """One parameter file at 25 °C with a straight OCV line."""
    write_params(
        results, name, 25, 3.0, [0.05, 0.01, 1000.0], SOC_GRID, (3 + SOC_GRID).tolist()
    )


@pytest.fixture
def results(tmp_path, monkeypatch):
    """<tmp>/cell/results; the test starts in tmp and the caller's folder is restored."""
    monkeypatch.chdir(tmp_path)
    folder = tmp_path / "cell" / "results"
    folder.mkdir(parents=True)
    return folder


def build(results, *args, **kwargs):
    """write_battery_model_file on the results folder's cell; returns the JSON text."""
    cellgen.write_battery_model_file(str(results.parent), 3.0, 4.2, *args, **kwargs)
    return (results / "battery_model.json").read_text()


def load_mat(results):
    return scipy.io.loadmat(str(results / "battery_model.mat"))["model"][0, 0]


def test_float_repr_matches_python_on_random_bit_patterns():
    x = random_bits(np.random.default_rng(11), 1_000_000)
    assert _cellkernels.float_reprs(x) == list(map(repr, x.tolist()))


def test_float_repr_matches_python_on_everyday_magnitudes():
    # decimals as measurements and fits produce them, around both notation switches
    rng = np.random.default_rng(12)
    x = np.round(
        rng.uniform(-10, 10, 500_000) * 10.0 ** rng.integers(-8, 20, 500_000), 6
    )
    x = np.concatenate(
        [x, rng.uniform(0, 1, 100_000) * 10.0 ** rng.integers(-6, 18, 100_000)]
    )
    assert _cellkernels.float_reprs(x) == list(map(repr, x.tolist()))


@pytest.mark.parametrize(
    "x",
    [
        1e-4,
        9.999999999999999e-05,
        1e-05,
        1e16,
        9999999999999998.0,
        1e22,
        1e23,
        5e-324,
        2.225073858507201e-308,
        2.2250738585072014e-308,
        1.7976931348623157e308,
        0.0,
        -0.0,
        0.1,
        1 / 3,
        -2.5e-07,
        123456789012345680.0,
        math.nan,
        math.inf,
        -math.inf,
    ],
    ids=repr,
)
def test_float_repr_edge_cases(x):
    assert _cellkernels.float_repr(x) == repr(x)


def test_fixed_text_matches_str_format():
    rng = np.random.default_rng(13)
    x = random_bits(rng, 100_000)
    x = x[np.isfinite(x)]
    decimals = rng.integers(0, 340, len(x))
    want = [f"{v:.{d}f}" for v, d in zip(x.tolist(), decimals.tolist())]
    assert _cellkernels.fixed_texts(x, decimals) == want


def test_model_number_text_follows_the_frexp_rule():
    rng = np.random.default_rng(14)
    x = random_bits(rng, 100_000)
    x = x[np.isfinite(x)]
    # the rule vectorised: same frexp, floor and log10 on doubles as the scalar rule
    _, exp2 = np.frexp(x)
    decimals = (np.abs(np.floor(exp2 * np.log10(2))) + 3).astype(int)
    want = [
        f"{v:.{d}f}" if "e" in repr(v) else repr(v)
        for v, d in zip(x.tolist(), decimals.tolist())
    ]
    assert _cellkernels.model_number_texts(x) == want


@pytest.mark.parametrize(
    ("x", "text"),
    [
        (1e-05, "0.00001000"),
        (2.5e-07, "0.0000002500"),
        (-3e-05, "-0.00003000"),
        (9.9e-05, "0.0000990"),
        (1e16, "10000000000000000.0000000000000000000"),
        (0.0001, "0.0001"),
        (0.00012, "0.00012"),
        (25.0, "25.0"),
        (-0.0, "-0.0"),
        (0.005, "0.005"),
    ],
    ids=repr,
)
def test_model_number_text_examples(x, text):
    assert _cellkernels.model_number_text(x) == text
    assert reference_number_text(x) == text


def encode(o):
    return json.dumps(o, cls=cellgen.CustomEncoder)


def test_encoder_example_is_72_characters():
    o = {"param_1": [0.0, 0.005, 0.01], "temps": [-10.0, 25.0], "name": list("cellA")}
    text = encode(o)
    assert (
        text
        == '{"param_1": [0.0, 0.005, 0.01], "temps": [-10.0, 25.0], "name": "cellA"}'
    )
    assert len(text) == 72


@pytest.mark.parametrize(
    ("o", "text"),
    [
        ({"a": [], "b": [1.5], "name": []}, '{"b": [1.5]}'),
        ({"a": [], "name": []}, "}"),
        ({}, "}"),
        ({"param_1": [0, 0.5, 1]}, '{"param_1": [0, 0.5, 1]}'),
        (
            {"x": [-1e-05, 1e20, -0.0]},
            '{"x": [-0.00001000, 100000000000000000000.00000000000000000000000, -0.0]}',
        ),
        ({"name": ["c", '"', "\\", "\n"]}, '{"name": "c\\"\\\\\\n"}'),
        ({"name": "ab"}, '{"name": "ab"}'),
    ],
    ids=[
        "empty-entries-skipped",
        "all-empty-is-brace",
        "no-keys",
        "integers-as-digits",
        "exponents-rewritten",
        "name-escaped",
        "name-as-text",
    ],
)
def test_encoder_texts(o, text):
    assert encode(o) == text
    if text != "}":
        json.loads(text)


def test_encoder_agrees_with_reference_on_random_lists():
    rng = np.random.default_rng(15)
    o = {
        "wide": random_bits(rng, 2000),
        "small": rng.normal(0, 1e-4, 500),
        "plain": rng.normal(0, 10, 500),
        "name": list("cell_x"),
    }
    o = {
        k: v if k == "name" else [float(x) for x in v if math.isfinite(x)]
        for k, v in o.items()
    }
    assert encode(o) == reference_encode(o)


def test_encoder_writes_non_finite_as_null_and_warns(caplog):
    caplog.set_level(logging.WARNING, logger="cellgen")
    text = encode({"param_9": [0.1, math.nan, math.inf], "param_10": [-math.inf]})
    assert text == '{"param_9": [0.1, null, null], "param_10": [null]}'
    assert [r.levelname for r in caplog.records] == ["WARNING", "WARNING"]
    assert "'param_9' holds 2 non-finite values" in caplog.records[0].getMessage()
    assert "'param_10' holds 1 non-finite value," in caplog.records[1].getMessage()


def test_encoder_is_a_json_encoder_with_default_hook():
    class Holder:
        def __init__(self):
            self.r0 = 0.05

    enc = cellgen.CustomEncoder()
    assert isinstance(enc, json.JSONEncoder)
    assert enc.default(Holder()) == {"r0": 0.05}
    assert enc.encode({"k": [1.0]}) == '{"k": [1.0]}'


@pytest.mark.parametrize(
    "o",
    [{"k": ["3.0"]}, {"k": [True]}, {"name": [1, 2]}, {5: [1.0]}],
    ids=["text-number", "bool", "name-not-text", "key-not-text"],
)
def test_encoder_rejects_what_it_cannot_write(o):
    with pytest.raises(TypeError):
        encode(o)


@pytest.mark.parametrize(
    ("temps_c", "pairs", "soc", "axis_step"),
    [
        ([25, -10, 0, 40], 1, SOC_GRID.tolist(), 0.0),
        ([25, 10, 25.0, -20, 45], 2, SOC_GRID.tolist(), 0.0),
        ([25], 1, SOC_GRID.tolist(), 0.0),
        ([0, 23], 2, [0, 0.25, 0.5, 0.75, 1], 0.0),
        ([-5, 5, 15], 1, np.linspace(0, 1, 11)[::-1].tolist(), 0.0),
        ([30, 0, 10], 1, SOC_GRID.tolist(), 0.5),
    ],
    ids=[
        "one-pair",
        "two-pairs-duplicate-temperature",
        "single-temperature",
        "integer-soc-ends",
        "descending-soc",
        "axes-differ-last-listed-wins",
    ],
)
def test_model_agrees_with_reference(results, temps_c, pairs, soc, axis_step):
    rng = np.random.default_rng(len(temps_c))
    random_cell(results, rng, temps_c, pairs, soc, axis_step=axis_step)
    params, params_json = reference_maps(results, 3.0, 4.2)
    text = build(results, velmarrun=True)
    assert text == reference_encode(params_json)
    mat = load_mat(results)
    assert mat.dtype.names == tuple(params)
    for key, value in params.items():
        if key == "name":
            assert mat[key][0] == value
        else:
            # savemat keeps the element type; the values are the same doubles
            assert_array_equal(mat[key], np.atleast_2d(np.asarray(value)), err_msg=key)


def test_linear_temperature_dependence_is_recovered(results):
    # OCV(SOC, T) = a(SOC) + b(SOC) T exactly, on a grid inside every curve's range
    soc = SOC_GRID
    a = 3.0 + 1.2 * soc
    b = -2e-4 + 4e-4 * soc
    for t in (-10, 0, 25, 45):
        write_params(
            results, f"lin_{t}", t, 3.0, [0.05, 0.01, 1000.0], soc, (a + b * t).tolist()
        )
    model = json.loads(build(results, True))
    mat = load_mat(results)
    # exact data: the least-squares line reproduces it up to SVD rounding (~1e-15 V)
    assert_allclose(mat["OCV0"][0], a, rtol=0, atol=1e-12)
    assert_allclose(mat["OCVrel"][0], b, rtol=0, atol=1e-13)
    # slopes over SOC of straight lines: 1.2 V and 4e-4 V/°C per unit SOC, up to the
    # rounding of the differences divided by a 0.005 step (~1e-12)
    assert_allclose(mat["dOCV0"][0], 1.2, rtol=1e-10)
    assert_allclose(mat["dOCVrel"][0], 4e-4, rtol=1e-7)
    assert len(model["param_2"]) == 122
    assert model["param_2"][0] == pytest.approx(2.99, abs=1e-15)
    assert model["param_2"][-1] == 4.2


def test_single_temperature_gives_minimum_norm_line(results):
    t, soc = 25.0, SOC_GRID
    ocv = 3.0 + 1.2 * soc
    write_params(results, "one_p25", 25, 3.0, [0.05, 0.01, 1000.0], soc, ocv.tolist())
    build(results, True)
    mat = load_mat(results)
    # one point: slope = T v / (T² + 1), intercept = v / (T² + 1); SVD rounding only
    assert_allclose(mat["OCVrel"][0], t * ocv / (t * t + 1), rtol=1e-13)
    assert_allclose(mat["OCV0"][0], ocv / (t * t + 1), rtol=1e-13)
    soc_on_grid = np.interp(mat["OCV"][0], ocv, soc)
    assert_allclose(mat["SOC0"][0], soc_on_grid / (t * t + 1), rtol=1e-13, atol=1e-17)


def test_descending_soc_axis_keeps_the_slope_sign(results):
    soc = SOC_GRID[::-1]
    write_params(
        results,
        "down_p25",
        25,
        3.0,
        [0.05, 0.01, 1000.0],
        soc,
        (3 + 1.2 * soc).tolist(),
    )
    build(results, True)
    # OCV rises with SOC however the axis is listed: mean step -0.005, slope stays > 0
    assert_allclose(load_mat(results)["dOCV0"][0], 1.2 / (25.0**2 + 1), rtol=1e-10)


@pytest.mark.parametrize(
    ("circuits", "rc", "r"),
    [
        ([[0.05, 0.01, 1000.0]] * 2, [10.0, 20.0], [0.01, 0.02]),
        (
            [[0.05, 0.01, 1000.0, 0.02, 2e4]] * 2,
            [10.0, 20.0, 400.0, 800.0],
            [0.01, 0.02, 0.02, 0.04],
        ),
    ],
    ids=["one-pair", "two-pairs-block-layout"],
)
def test_circuit_tables(results, circuits, rc, r):
    # the second temperature's pair values are doubled: tables in temperature order
    for t, p in zip((10, 30), circuits):
        scale = 1.0 if t == 10 else 2.0
        p = [p[0]] + [v * scale if i % 2 == 1 else v for i, v in enumerate(p[1:], 1)]
        write_params(results, f"c_{t}", t, t / 10, p, SOC_GRID, (3 + SOC_GRID).tolist())
    model = json.loads(build(results))
    assert model["param_9"] == [0.05, 0.05]
    assert model["param_10"] == pytest.approx(rc, rel=1e-15)
    assert model["param_11"] == pytest.approx(r, rel=1e-15)
    assert model["param_12"] == [1.0, 3.0]


def test_later_file_wins_on_equal_temperatures(results):
    soc = SOC_GRID
    write_params(
        results, "dup_a", 25, 2.0, [0.01, 0.01, 100.0], soc, (3.0 + soc).tolist()
    )
    write_params(
        results, "dup_b", 25.0, 4.0, [0.09, 0.02, 100.0], soc, (3.2 + soc).tolist()
    )
    write_params(
        results, "dup_c", 5, 1.0, [0.03, 0.01, 100.0], soc, (3.1 + soc).tolist()
    )
    order = listed_parameter_files(results)
    later = (
        "dup_a"
        if order.index("dup_a_params.json") > order.index("dup_b_params.json")
        else "dup_b"
    )
    r0, q, ocv_low = {"dup_a": (0.01, 2.0, 3.0), "dup_b": (0.09, 4.0, 3.2)}[later]
    model = json.loads(build(results, True))
    assert model["temps"] == [5.0, 25.0, 25.0]
    assert model["param_9"] == [0.03, r0, r0]
    assert model["param_12"] == [1.0, q, q]
    # the OCV line through (5 °C, 3.1 V) and (25 °C, the later file's curve) at SOC 0
    slope = (ocv_low - 3.1) / 20
    assert_allclose(load_mat(results)["OCVrel"][0, 0], slope, rtol=1e-12)


def test_model_name_and_mat_layout(results):
    soc = [0, 1]  # integers, as a parameter file may hold them
    write_params(results, "cellA_p25", 25, 3.0, [0.05, 0.01, 1000.0], soc, [3.0, 4.2])
    text = build(results, True)
    assert text.startswith('{"param_1": [0, 1], "temps": [25.0], "param_2": [2.99, ')
    assert text.endswith('"name": "cellA"}')
    mat = load_mat(results)
    assert mat["name"][0] == "'c''e''l''l''A'"
    assert mat["SOC"].dtype == np.int64  # the axis as read
    for key in ("temps", "OCV", "SOC0", "R0Param", "QParam"):
        assert mat[key].shape[0] == 1, key
        assert mat[key].dtype == np.float64, key
    assert mat["OCV"].shape == (1, 122)


@pytest.mark.parametrize(
    ("file_name", "model_name", "in_json"),
    [
        ('ce"ll\\x_p25', 'ce"ll\\x', True),
        ("_p25", "", False),
        ("zelle\u00e9_p25", "zelle\u00e9", True),
    ],
    ids=["quote-and-backslash", "empty-name", "non-ascii"],
)
def test_model_name_from_file_name(results, file_name, model_name, in_json):
    plain_cell(results, file_name)
    model = json.loads(build(results))
    assert model.get("name") == (model_name if in_json else None)


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        (
            ("w", 3.0),
            {},
            "write_battery_model_file() takes at least 3 positional arguments (2 given)",
        ),
        (
            ("w", 3.0, 4.2, True, 1),
            {},
            "write_battery_model_file() takes at most 4 positional arguments (5 given)",
        ),
        (
            ("w", 3.0, 4.2),
            {"vmax": 1},
            "write_battery_model_file() got an unexpected keyword argument 'vmax'",
        ),
        (
            ("w", 3.0, 4.2),
            {"wdir": "w"},
            "write_battery_model_file() got multiple values for keyword argument 'wdir'",
        ),
    ],
    ids=["too-few", "too-many", "unknown-keyword", "twice"],
)
def test_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as err:
        cellgen.write_battery_model_file(*args, **kwargs)
    assert str(err.value) == message


def test_keywords_relative_wdir_and_current_folder(results, tmp_path):
    plain_cell(results, "kw_p25")
    assert (
        cellgen.write_battery_model_file(
            velmarrun=0, vbathigh=4.2, vbatlow=3, wdir="cell"
        )
        is None
    )
    assert os.getcwd() == str(results)  # left in the results folder
    first = (results / "battery_model.json").read_text()
    # called again, a relative wdir now resolves inside the results folder
    with pytest.raises(FileNotFoundError):
        cellgen.write_battery_model_file("cell", 3, 4.2)
    cellgen.write_battery_model_file(str(tmp_path / "cell"), 3.0, 4.2)
    assert (results / "battery_model.json").read_text() == first
    assert sorted(os.listdir(results)) == ["battery_model.json", "kw_p25_params.json"]


@pytest.mark.parametrize(
    ("velmarrun", "writes_mat"),
    [
        (1, True),
        ("yes", True),
        ([0], True),
        (0, False),
        ("", False),
        (None, False),
        (False, False),
    ],
    ids=["one", "text", "list", "zero", "empty-text", "none", "false"],
)
def test_velmarrun_is_tested_for_truth(results, velmarrun, writes_mat):
    plain_cell(results, "v_p25")
    (results / "battery_model.mat").write_bytes(b"earlier")
    build(results, velmarrun)
    assert ((results / "battery_model.mat").read_bytes() != b"earlier") == writes_mat


def test_mat_failure_keeps_the_json_file(results):
    plain_cell(results, "m_p25")
    (results / "battery_model.mat").mkdir()  # cannot be replaced by a file
    with pytest.raises(OSError, match=r"battery_model\.mat"):
        build(results, True)
    json.loads((results / "battery_model.json").read_text())
    assert sorted(os.listdir(results)) == [
        "battery_model.json",
        "battery_model.mat",
        "m_p25_params.json",
    ]


def test_non_finite_parameters_written_as_null(results, caplog):
    caplog.set_level(logging.INFO, logger="cellgen")
    ocv = (3 + SOC_GRID).tolist()
    write_params(results, "nan_p25", 25, 3.0, [math.nan, 0.01, 1000.0], SOC_GRID, ocv)
    write_params(results, "nan_p5", 5, math.inf, [0.05, 0.01, 1000.0], SOC_GRID, ocv)
    model = json.loads(build(results))
    assert model["param_9"] == [0.05, None]
    assert model["param_12"] == [None, 3.0]
    messages = [(r.levelname, r.getMessage()) for r in caplog.records]
    assert messages == [
        (
            "WARNING",
            "battery_model.json: 'param_9' (R0Param) holds 1 non-finite value, written as null",
        ),
        (
            "WARNING",
            "battery_model.json: 'param_12' (QParam) holds 1 non-finite value, written as null",
        ),
        ("INFO", "Saved file 'battery_model.json'"),
        ("INFO", NO_TABLES),
    ]


def curve(n=201):
    soc = np.linspace(0, 1, n)
    return soc.tolist(), (3 + soc).tolist()


def good(**changes):
    soc, ocv = curve()
    params = {
        "TempC": 25,
        "Tparam_1": 3.0,
        "Tparam_2": [0.05, 0.01, 1000.0],
        "Tparam_3": [soc, ocv],
    }
    params.update(changes)
    return json.dumps({k: v for k, v in params.items() if v is not None})


BAD_FOLDERS = {
    "no-files": ({}, ["no parameter files (*_params.json) in ", "results"]),
    "not-json": ({"b_params.json": "{TempC: 25"}, ["b_params.json: not valid JSON"]),
    "not-an-object": (
        {"b_params.json": "[1, 2]"},
        ["b_params.json: holds [1, 2], not a JSON object"],
    ),
    "missing-key": (
        {"b_params.json": good(Tparam_2=None)},
        ["b_params.json: no 'Tparam_2' entry"],
    ),
    "temperature-text": (
        {"b_params.json": good(TempC="25")},
        ["b_params.json: TempC is 25, not a number"],
    ),
    "temperature-nan": (
        {"b_params.json": good(TempC=math.nan)},
        ["b_params.json: TempC is nan, not a temperature"],
    ),
    "circuit-of-four": (
        {"b_params.json": good(Tparam_2=[0.05, 0.01, 1000.0, 0.01])},
        [
            "b_params.json: Tparam_2 holds 4 values; a circuit has 3 (one RC pair) or 5 (two RC pairs)"
        ],
    ),
    "curve-not-two-lists": (
        {"b_params.json": good(Tparam_3=[curve()[0]])},
        ["b_params.json: Tparam_3 holds 1 lists"],
    ),
    "ocv-shorter": (
        {"b_params.json": good(Tparam_3=[curve()[0], curve()[1][:-1]])},
        ["b_params.json: Tparam_3 has 201 SOC points but 200 OCV values"],
    ),
    "single-soc-point": (
        {"b_params.json": good(Tparam_3=[[0.5], [3.5]])},
        ["b_params.json: the SOC axis (Tparam_3[0]) has 1 points"],
    ),
    "null-in-curve": (
        {"b_params.json": good(Tparam_3=[curve()[0], [*curve()[1][:-1], None]])},
        ["b_params.json: Tparam_3[1][200] is None, not a number"],
    ),
    "axis-lengths-differ": (
        {"a_params.json": good(), "b_params.json": good(Tparam_3=list(curve(101)))},
        ["the SOC axis has ", " points, but ", " has "],
    ),
    "mixed-model-orders": (
        {
            "a_params.json": good(),
            "b_params.json": good(TempC=5, Tparam_2=[0.05, 0.01, 1e3, 0.01, 1e4]),
        },
        [
            "mixed circuit models",
            "one RC pair in a_params.json",
            "two RC pairs in b_params.json",
        ],
    ),
}


@pytest.mark.parametrize(
    ("files", "fragments"), BAD_FOLDERS.values(), ids=BAD_FOLDERS.keys()
)
def test_bad_parameter_files(results, files, fragments):
    for name, text in files.items():
        (results / name).write_text(text)
    (results / "battery_model.json").write_text("earlier model")
    with pytest.raises(ValueError, match=re.escape(fragments[0])) as err:
        build(results, True)
    for fragment in fragments[1:]:
        assert fragment in str(err.value)
    assert (results / "battery_model.json").read_text() == "earlier model"
    assert sorted(os.listdir(results)) == sorted([*files, "battery_model.json"])


def run_python(code, cwd):
    return subprocess.run(
        [sys.executable, "-c", code],
        cwd=cwd,
        capture_output=True,
        text=True,
        check=False,
    )


def test_log_lines_of_a_call_on_its_own(results):
    plain_cell(results, "log_p25")
    run = run_python(
        "import cellgen; cellgen.write_battery_model_file('cell', 3.0, 4.2, True)",
        results.parent.parent,
    )
    assert run.returncode == 0, run.stderr
    assert run.stderr == (
        "INFO:Saved file 'battery_model.json'\n"
        "INFO:Saved file: 'battery_model.mat'\n"
        f"INFO:{NO_TABLES}\n"
    )
    assert run.stdout == ""


def test_loading_runs_nothing_and_exports_the_builder(tmp_path):
    code = (
        "from cellgen import *\n"
        "import logging\n"
        "print(sorted(k for k in dir() if not k.startswith('_')))\n"
        "print(logging.getLogger().handlers)\n"
    )
    run = run_python(code, tmp_path)
    assert run.returncode == 0, run.stderr
    names = [
        "CustomEncoder",
        "JSONEncoder",
        "glob",
        "json",
        "lg",
        "np",
        "os",
        "pd",
        "savemat",
        "write_battery_model_file",
    ]
    assert run.stdout == f"{sorted([*names, 'logging'])}\n[]\n"
    assert os.listdir(tmp_path) == []
