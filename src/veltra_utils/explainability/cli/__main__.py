"""``python -m veltra_utils.explainability.cli``: the command line."""
import sys

from veltra_utils.explainability.cli import main

sys.exit(main())
