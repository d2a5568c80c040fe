"""``python -m valdrune_data``: the command line of ``valdrune_data.cli``."""

import sys

from valdrune_data.cli import main

sys.exit(main(prog="python -m valdrune_data"))
