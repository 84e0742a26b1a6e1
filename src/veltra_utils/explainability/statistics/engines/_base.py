"""What every statistics engine offers, and the refusals they share."""
import abc
from typing import Any, ClassVar, Optional

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

