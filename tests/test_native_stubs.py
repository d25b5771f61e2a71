"""The typed stubs of the compiled modules name what the modules export, no more and
no less: a function added, renamed or dropped in C++ shows here."""

from __future__ import annotations

import ast
from pathlib import Path

import pytest

from cellkit._native import engine, pipeline

STUBS = Path(__file__).resolve().parents[1] / "src" / "cellkit"


def _stub_names(body) -> set[str]:
    names = set()
    for node in body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names.add(node.target.id)
    return names


def _exported(obj) -> set[str]:
    return {n for n in vars(obj) if not n.startswith("_") or n == "__version__"}


@pytest.mark.parametrize(
    ("stub", "module"), [("_engine.pyi", engine), ("_pipeline.pyi", pipeline)]
)
def test_stub_names_match_the_module(stub, module):
    tree = ast.parse((STUBS / stub).read_text())
    assert _stub_names(tree.body) == _exported(module)
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            members = _stub_names(node.body) - {"__init__"}
            assert members == _exported(getattr(module, node.name))
