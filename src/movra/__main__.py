"""``python -m movra``: the ``movra`` command."""

import sys

from ._cli import main

sys.exit(main())
