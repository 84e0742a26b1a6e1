"""The Spark engine: statistics of a Spark DataFrame, or of files, computed on Spark.

Only aggregates come back to the driver; the queries are those of the DuckDB
engine in Spark's dialect.
"""
import uuid
from typing import Any, Optional, Tuple

from veltra_utils.explainability._optional import install_hint
from veltra_utils.explainability.statistics._summary import Request, TableSummary
from veltra_utils.explainability.statistics.engines._base import StatisticsEngine, refuse_entropy
from veltra_utils.explainability.statistics.engines._sql import (
    SPARK,
    Column,
    Source,
    column_kind,
    matching_files,
    summarize,
)
from veltra_utils.explainability.statistics.engines._text_types import typed_columns


class SparkEngine(StatisticsEngine):
    name = "spark"
    description = "aggregates computed on a Spark cluster (pyspark)"
    extra = "spark"

    def summarize_frame(self, frame: Any, request: Request) -> TableSummary:
        """The summary of the Spark DataFrame ``frame``."""
        try:
            from pyspark.sql import DataFrame
        except ImportError:
            raise RuntimeError("Spark statistics need pyspark: " + install_hint("spark")) \
                from None
        if not isinstance(frame, DataFrame):
            raise ValueError("Expected a Spark DataFrame, got {0}".format(type(frame).__name__))
        refuse_entropy(request)
        source, view = spark_source(frame)
        try:
            return summarize(source, request)
        finally:
            frame.sparkSession.catalog.dropTempView(view)

    def summarize_files(self, path: Any, request: Request, sep: Optional[str] = None,
                        decimal: Optional[str] = None, **options: Any) -> TableSummary:
        """The summary of the files, computed by the Spark session ``spark``; without one,
        by a local session started for it and stopped after it."""
        from veltra_utils.explainability import _spark
        from veltra_utils.explainability.statistics._columns import check_names

        refuse_entropy(request)
        session = options.get("spark")
        if session is None:
            with _spark.started() as started:
                return self.summarize_files(path, request, sep, decimal, spark=started)
        try:
            frame = spark_table(session, path, sep, decimal)
            check_names(frame.columns, path, request.label_column, request.feature_columns)
            return self.summarize_frame(frame, request)
        except (ValueError, RuntimeError):
            raise
        except Exception as error:  # Spark's own, with a Java stack trace as its text
            raise RuntimeError("the Spark job failed: {0}".format(_spark.spark_error(error))) \
                from None


def spark_source(df: Any) -> Tuple[Source, str]:
    """A Spark DataFrame as a Source, through a temporary view of its own, and the view."""
    view = "veltra_stats_" + uuid.uuid4().hex
    df.createOrReplaceTempView(view)
    columns = [Column(name, SPARK.quote(name), *column_kind(type_name.split("(")[0]
                                                          if type_name.startswith("decimal")
                                                          else type_name))
               for name, type_name in df.dtypes]
    session = df.sparkSession
    return Source(SPARK, SPARK.quote(view), columns,
                  lambda sql: [tuple(row) for row in session.sql(sql).collect()],
                  "the DataFrame"), view


def spark_table(session: Any, path: Any, sep: Optional[str] = None,
                decimal: Optional[str] = None) -> Any:
    """The CSV or Parquet files ``path`` names as a Spark DataFrame, typed as pandas reads them."""
    from veltra_utils.explainability._spark import literal_path, read_csv_text
    from veltra_utils.explainability.tables import starts_as_parquet

    files = matching_files(path)
    if starts_as_parquet(files[0], "training data"):
        return session.read.parquet(*[literal_path(name) for name in files])
    raw = read_csv_text(session, files, sep)
    view = "veltra_text_" + uuid.uuid4().hex
    raw.createOrReplaceTempView(view)
    source = Source(SPARK, SPARK.quote(view),
                    [Column(name, SPARK.quote(name), "text", "string") for name in raw.columns],
                    lambda sql: [tuple(row) for row in session.sql(sql).collect()], path)
    return session.sql("SELECT {0} FROM {1}".format(", ".join(typed_columns(source, decimal, path)),
                                                    source.table))
