"""python -m tavrino_torso.cli: the command line, as the tavrino-torso command."""

import sys

from . import main

sys.exit(main())
