"""The ``cellfit`` command."""

from __future__ import annotations

import argparse

from cellkit import __version__


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="cellfit")
    parser.add_argument("--version", action="version", version=f"cellfit {__version__}")
    parser.parse_args(argv)
    return 0
