"""Training statistics: computed by an engine, stored, adjusted to one record."""
# Loaded with the package: the command line asks sys.modules for it to learn whether a
# DuckDB query is still stopping.
from veltra_utils.explainability.statistics import _queries  # noqa: F401
