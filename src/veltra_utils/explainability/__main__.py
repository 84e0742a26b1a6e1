"""``python -m veltra_utils.explainability``: the same as the ``veltra-explain`` command."""
import sys

from veltra_utils.explainability.cli import main

if __name__ == "__main__":
    sys.exit(main())
