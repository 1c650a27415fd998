"""python -m vesk: the vesk command."""

import sys

from .cli import main

sys.exit(main())
