"""``python -m cellkit``: the ``cellfit`` command."""

from __future__ import annotations

import sys

from cellkit.cli import main

if __name__ == "__main__":
    sys.exit(main())
