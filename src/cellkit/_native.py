"""The compiled modules under this package, imported in this one place: the rest of
the package asks for ``engine`` (the pulse-test engine, the record reader, the model
simulation) and ``pipeline`` (the cellfit run as a function) here, so where the
modules live is written once. Importing either is cheap: the pipeline imports numpy,
scipy and pandas on its first run."""

from __future__ import annotations

from cellkit import _engine as engine
from cellkit import _pipeline as pipeline

__all__ = ["engine", "pipeline"]
