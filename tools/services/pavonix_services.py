#!/usr/bin/env python3
"""Bundled services of the Pavonix installer; see --help and tools/README.md."""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from pavsvc.cli import main  # noqa: E402

if __name__ == "__main__":
    sys.exit(main())
