"""`python -m velkor` runs the command line."""

import sys

from velkor.cli import main

sys.exit(main())
