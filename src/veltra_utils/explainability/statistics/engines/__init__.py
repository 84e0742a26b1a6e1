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
import abc
from typing import Any, ClassVar, Dict, Optional

from veltra_utils.explainability.errors import Option, VeltraError
from veltra_utils.explainability.statistics._summary import Request, TableSummary


class UnsuitableEngine(VeltraError, ValueError):
    """An engine cannot compute what was asked of it; the message names the one that can."""


class StatisticsEngine(abc.ABC):
    """A way of computing the summary of a table of training data."""

    name: ClassVar[str]
    description: ClassVar[str]  # one line, for listings and help
    extra: ClassVar[Optional[str]] = None

    def summarize_frame(self, frame: Any, request: Request) -> TableSummary:
        """The summary of ``frame``, a table of the engine's own kind (a pandas or Spark
        DataFrame); engines that only read files refuse."""
        raise UnsuitableEngine("the {0} engine reads files, not a DataFrame".format(self.name))

    @abc.abstractmethod
    def summarize_files(self, path: Any, request: Request, sep: Optional[str] = None,
                        decimal: Optional[str] = None, **options: Any) -> TableSummary:
        """The summary of the CSV or Parquet files ``path`` names (one file or a glob
        pattern), read as ``tables.read_table`` reads them; ``options`` are the engine's
        own settings, which other engines ignore."""


def refuse_entropy(request: Request) -> None:
    """The entropy discretizer fits a tree on the rows, which only the pandas engine has."""
    if request.discretizer == "entropy":
        raise UnsuitableEngine(
            "The entropy discretizer fits a tree on the rows themselves, which this engine "
            "does not bring into memory; use the pandas engine (TrainingStats.from_dataframe, "
            "or {engine})", engine=Option("engine", '"pandas"'))


def engine(name: Any) -> StatisticsEngine:
    """The engine called ``name``; ValueError naming the others for an unknown name."""
    found = ENGINES.get(name) if isinstance(name, str) else None
    if found is None:
        raise ValueError("engine is {0!r}; expected one of {1}".format(
            name, ", ".join(sorted(ENGINES))))
    return found


# The engines' modules import the interface above.
from veltra_utils.explainability.statistics.engines.duckdb import DuckDBEngine  # noqa: E402
from veltra_utils.explainability.statistics.engines.pandas import PandasEngine  # noqa: E402
from veltra_utils.explainability.statistics.engines.spark import SparkEngine  # noqa: E402

ENGINES: Dict[str, StatisticsEngine] = {
    each.name: each for each in (PandasEngine(), DuckDBEngine(), SparkEngine())}
