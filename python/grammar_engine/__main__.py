"""`python -m grammar_engine`: the same as the `grammar-engine` command."""

import sys

from .cli import main

sys.exit(main())
