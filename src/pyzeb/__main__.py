"""``python -m pyzeb``: the `zeb` command."""
import sys

from .cli import main

sys.exit(main())
