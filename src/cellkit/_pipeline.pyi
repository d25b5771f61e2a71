# The cellfit run as a function, as cellkit._native imports it: one process runs it
# for cell after cell, each in a fresh namespace.
from __future__ import annotations

import os
from typing import Any

__version__: str
#: Every key the settings may hold; any other is ignored with a warning.
SETTINGS_KEYS: tuple[str, ...]

def run(
    namespace: dict[str, Any],
    config: dict[str, Any] | None = None,
    workdir: str | os.PathLike[str] | None = None,
    source: str | None = None,
    settings_file: str | None = None,
) -> None: ...
