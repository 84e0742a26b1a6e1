"""Entry points of the SQL engines under the names the command line imports them by."""
from typing import Any, Optional

from veltra_utils.explainability.statistics.engines.duckdb import interrupted_queries

__all__ = ["interrupted_queries", "stats_of_files_on_spark"]


def stats_of_files_on_spark(session: Any, path: Any, label_column: Any, sep: Optional[str] = None,
                            decimal: Optional[str] = None, **settings: Any) -> Any:
    """TrainingStats of the CSV or Parquet files ``path`` names, computed on the Spark
    session ``session``; ``settings`` are those of ``TrainingStats.from_spark``."""
    from veltra_utils.explainability.statistics.training_stats import TrainingStats

    return TrainingStats.from_files(path, label_column, engine="spark", spark=session, sep=sep,
                                    decimal=decimal, **settings)
