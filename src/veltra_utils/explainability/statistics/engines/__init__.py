"""The engines that compute training statistics, by name.

An engine sums a table up column by column (``TableSummary``); one assembler
turns any engine's summary into ``TrainingStats``, so every engine gives the
same statistics of the same table:

* ``pandas`` reads the table into memory: every discretizer, entropy included;
* ``duckdb`` computes aggregates over CSV or Parquet files in bounded memory;
* ``spark`` computes aggregates on a Spark cluster.

Engines are looked up in ``ENGINES`` (``engine(name)``); each names its
``extra``, the package extra it needs (None when the core install has it).
"""
from typing import Any, Dict

from veltra_utils.explainability.statistics.engines._base import (
    StatisticsEngine,
    UnsuitableEngine,
    refuse_entropy,
)
from veltra_utils.explainability.statistics.engines.duckdb import DuckDBEngine
from veltra_utils.explainability.statistics.engines.pandas import PandasEngine
from veltra_utils.explainability.statistics.engines.spark import SparkEngine

__all__ = ["ENGINES", "StatisticsEngine", "UnsuitableEngine", "engine", "refuse_entropy"]

ENGINES: Dict[str, StatisticsEngine] = {
    each.name: each for each in (PandasEngine(), DuckDBEngine(), SparkEngine())}


def engine(name: Any) -> StatisticsEngine:
    """The engine called ``name``; ValueError naming the others for an unknown name."""
    found = ENGINES.get(name) if isinstance(name, str) else None
    if found is None:
        raise ValueError("engine is {0!r}; expected one of {1}".format(
            name, ", ".join(sorted(ENGINES))))
    return found
