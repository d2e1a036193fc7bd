"""`python -m lodestack`: the command-line sorter (see lodestack.cli)."""

import sys

from lodestack.cli import main

sys.exit(main())
