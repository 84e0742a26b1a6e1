"""Explanations of a Spark DataFrame of scored records, one explainer per task.

Needs the ``spark`` extra (``pip install veltra_utils[spark]``); nothing else in
the package imports pyspark. The configuration (with its training statistics)
and the scoring function are pickled once on the driver with Spark's
cloudpickle, so a scoring function defined inside a function works too, and
broadcast: each executor fetches them once, and each of its Python workers
loads them once for all the tasks it runs.
"""
import json
import pickle
import uuid
from typing import Any, Callable, Dict, Hashable, Mapping, Optional, Sequence, Tuple

from veltra_utils.explainability._spark import (
    check_available,
    literal_path,
    quiet_warnings,
    read_csv_text,
    session,
    spark_error,
    started,
)
from veltra_utils.explainability.entity.constants import ProblemType
from veltra_utils.explainability.explainers.lime.lime_tabular_explainer import LimeTabularExplainer
from veltra_utils.explainability.models.scoring import score_records
from veltra_utils.explainability.running._records import check_columns, explain_one
from veltra_utils.explainability.running.outputs import (
    free_name,
    output_columns,
    response_json,
    split_result,
    stability_column,
)
from veltra_utils.explainability.utils.files import has_parquet_suffix

# The session helpers are Spark's own, shared with the statistics; they are offered here too.
__all__ = ["check_available", "explain_dataframe", "explain_file", "explain_keyed_records",
           "quiet_warnings", "session", "spark_error", "started"]


def explain_dataframe(df: Any, scoring_function: Callable[[Any], Any], config: Any, *,
                      response_column: str = "explanation",
                      key_columns: Optional[Sequence[str]] = None,
                      task: Any = None, stability_column: str = "stability") -> Any:
    """Explain every record of the PySpark DataFrame ``df``.

    Returns a DataFrame (lazy, like any other) with the ``key_columns`` of each
    record (default: all input columns) and ``response_column``: the
    explainer's response as a JSON string, an error response for a record that
    could not be explained. With a ``task`` (``stability.StabilityTask``) each
    record's stability follows in ``stability_column``, as JSON text
    (``Stability.to_dict()``). Rows keep the order of ``df`` within each
    partition, as ``mapInPandas`` does. Records without the model's output
    columns are scored with ``scoring_function`` first, a batch at a time; a
    record the model cannot score gets its own error response.

    Raises ValueError when ``df`` lacks a feature column, or for bad key or
    response column names.
    """
    return _explained(df, scoring_function, config, response_column, key_columns, cells=None,
                      task=task, stability=stability_column if task is not None else None)


def _explained(df, scoring_function, config, response_column, key_columns, cells,
               decimal=None, task=None, stability=None):
    """``explain_dataframe``, with ``cells`` saying how the records' cells are stored:
    None as the DataFrame holds them, "csv" as text to convert (``decimal`` its decimal
    mark), "parquet" as typed values."""
    from pyspark.sql import functions
    from pyspark.sql.types import StringType, StructField, StructType

    columns = list(df.columns)
    check_columns(columns, config, scored=False)
    keys = columns if key_columns is None else _key_columns(key_columns, columns)
    if not isinstance(response_column, str) or not response_column:
        raise ValueError("response_column must be a non-empty column name, got {0!r}"
                         .format(response_column))
    if response_column in keys:
        raise ValueError("The response column {0!r} is also a key column; name it otherwise "
                         "with response_column".format(response_column))
    if stability is not None and stability in keys + [response_column]:
        raise ValueError("The stability column {0!r} is also a key or the response column; "
                         "name it otherwise with stability_column".format(stability))

    needed = list(config.feature_columns) + [config.prediction_column]
    if config.problem_type is not ProblemType.REGRESSION:
        needed.append(config.probability_column)
    selected = keys + [name for name in needed if name in columns and name not in keys]
    schema = StructType([df.schema[name] for name in keys]
                        + [StructField(response_column, StringType(), False)]
                        + ([StructField(stability, StringType(), False)]
                           if stability is not None else []))

    from pyspark import cloudpickle

    payload = cloudpickle.dumps((config, scoring_function), protocol=pickle.HIGHEST_PROTOCOL)
    source = _broadcast(df, payload)
    explain = _PartitionExplainer(uuid.uuid4().hex, source, keys, response_column, cells,
                                  decimal, task, stability)
    return df.select(*[functions.col(_quoted(name)) for name in selected]) \
        .mapInPandas(explain, schema)


def _key_columns(key_columns, columns):
    if isinstance(key_columns, str):
        raise ValueError("key_columns must be a list of column names, not the text {0!r}"
                         .format(key_columns))
    keys = list(key_columns)
    if len(set(keys)) != len(keys):
        raise ValueError("key_columns lists a column more than once")
    missing = [name for name in keys if name not in columns]
    if missing:
        raise ValueError("The DataFrame has no key column {0}"
                         .format(", ".join(repr(name) for name in missing)))
    return keys


def _quoted(name):
    # A name with a dot would otherwise be read as a field of a struct.
    return "`{0}`".format(name.replace("`", "``"))


def _broadcast(df, payload):
    """The payload broadcast to the executors, or the payload itself where it cannot be.

    Spark Connect sessions have no SparkContext; there the payload travels in
    the task's closure, which Spark broadcasts by itself once it is large.
    """
    try:
        context = df.sparkSession.sparkContext
    except Exception:
        return payload
    return context.broadcast(payload)


# The payload the last task of this Python worker loaded, by its token. A
# worker runs one task at a time and is reused for the next, so loading the
# statistics and the model happens once per worker, not once per task.
_loaded: Dict[str, Any] = {}


class _PartitionExplainer:
    """The function ``mapInPandas`` runs for each partition: batches of records in, responses out."""

    def __init__(self, token, source, keys, response_column, cells=None, decimal=None,
                 task=None, stability_column=None):
        self.token = token
        self.task = task
        self.stability_column = stability_column
        self.source = source
        self.keys = keys
        self.response_column = response_column
        self.cells = cells
        self.decimal = decimal

    def _payload(self):
        payload = _loaded.get(self.token)
        if payload is None:
            data = self.source if isinstance(self.source, bytes) else self.source.value
            try:
                payload = pickle.loads(data)
            except Exception as error:
                raise RuntimeError(
                    "The Spark worker could not load the configuration and the scoring function "
                    "({0}: {1}). A scoring function from a module the executors lack must be "
                    "shipped to them, with SparkContext.addPyFile for instance"
                    .format(type(error).__name__, error)) from error
            _loaded.clear()
            _loaded[self.token] = payload
        return payload

    def __call__(self, batches):
        config, scoring_function = self._payload()
        explainer = LimeTabularExplainer(config)
        for batch in batches:
            result = batch[self.keys].copy()  # the keys as the file holds them
            if self.cells == "csv":
                result = _missing_as_none(result)
            records, responses = self._records(batch, config)
            kept = [position for position in range(len(records)) if position not in responses]
            failed = score_records([records[position] for position in kept], scoring_function,
                                   config)
            responses.update((kept[index], response) for index, response in failed.items())
            task = self.task or explain_one
            answers = [split_result(responses[position] if position in responses
                                    else task(explainer, record, scoring_function))
                       for position, record in enumerate(records)]
            result[self.response_column] = [response_json(answer) for answer, _ in answers]
            if self.stability_column is not None:
                result[self.stability_column] = [_stability_json(answer, stability)
                                                  for answer, stability in answers]
            yield result

    def _records(self, batch, config):
        """The batch's records, and {position: error response} for those refused already."""
        if self.cells is None:
            return batch.to_dict("records"), {}
        from veltra_utils.explainability import tables

        if self.cells == "csv":
            # The index is the record's row number, which names it in cell errors.
            batch = _missing_as_none(batch.set_index(batch[self.keys[0]].to_numpy()))
        tables.convert_cells(batch, config, self.decimal)
        return tables.frame_records(batch, config), tables.refused_records(batch)


def _stability_json(response, stability):
    """A record's stability as JSON text; a record the task never saw has that of its error."""
    from veltra_utils.explainability.running.stability import as_stability

    return json.dumps(stability if stability is not None else as_stability(response).to_dict(),
                      allow_nan=False)


def _missing_as_none(frame):
    """The text cells that a CSV file's reader counts as missing, as None."""
    from veltra_utils.explainability.tables import MISSING_TEXT

    for name in frame.columns:
        column = frame[name]
        if column.dtype == object or str(column.dtype) in ("str", "string"):
            frame[name] = column.astype(object).where(~column.isin(MISSING_TEXT), None)
    return frame


# ---------------------------------------------------------------- files

# Records per task when a file is explained: enough to outweigh a task's start,
# few enough that the cores share the work evenly.
_RECORDS_PER_TASK = 500


def explain_file(spark: Any, path: str, scoring_function: Callable[[Any], Any], config: Any,
                 output: str, *, key_columns: Sequence[str] = (), sep: Optional[str] = None,
                 rows: Optional[str] = None, overwrite: bool = False,
                 decimal: Optional[str] = None, task: Any = None) -> Tuple[int, int]:
    """Explain the records of a CSV or Parquet file on Spark and write them to Parquet.

    Spark reads ``path`` itself (a CSV file with a header row, or Parquet) and
    writes the folder ``output``: for each record its row number in the file
    (counted from 0, as ``veltra-explain`` numbers records), the
    ``key_columns`` as the file holds them (a CSV file's cells as text), and
    the response as JSON text; nothing passes through the driver. The column
    names are ``output_columns(file columns, key_columns)``. ``rows`` selects
    records as ``--rows`` does (``tables.select_rows``). CSV cells are
    converted as the local engine converts them (``decimal`` is their decimal
    mark), so a bad cell fails only its own record. ``overwrite`` replaces an
    existing ``output``. A ``task`` (``stability.StabilityTask``) adds the column
    ``stability_column(file columns, key_columns)``, as ``outputs`` describes.

    Returns ``(explained, failed)``: the number of records written and of
    error responses among them. Raises ValueError (``tables.TableError``) for a
    file that cannot be read or lacks a feature column, and RuntimeError when
    the Spark job fails.
    """
    from pyspark.sql import functions

    from veltra_utils.explainability import tables

    frame, cells = _read(spark, path, config, sep)
    keys = list(key_columns or ())
    _key_columns(keys, list(frame.columns))
    row, response = output_columns(frame.columns, keys)
    try:
        frame, count = _numbered(frame, row)
    except Exception as error:  # a file damaged past its header, say
        raise RuntimeError("Spark cannot read the records file {0}: {1}"
                           .format(path, spark_error(error))) from None
    if count == 0:
        raise tables.TableError("the records file {0} holds no records".format(path))
    if rows:
        chosen = tables.select_rows(rows, count)
        frame = frame.where(_row_filter(functions.col(row), chosen))
        count = len(set(chosen))
    parts = max(1, min(count, max(spark.sparkContext.defaultParallelism,
                                  -(-count // _RECORDS_PER_TASK))))
    frame = frame.repartitionByRange(parts, row).sortWithinPartitions(row)
    stability = stability_column(frame.columns, keys) if task is not None else None
    explained = _explained(frame, scoring_function, config, response, [row] + keys, cells,
                           decimal, task, stability)
    try:
        explained.write.mode("overwrite" if overwrite else "errorifexists").parquet(output)
        written = spark.read.parquet(output)
        failed = written.where(functions.get_json_object(response, "$.error").isNotNull()) \
            .count()
    except Exception as error:
        raise RuntimeError("the Spark job failed: {0}".format(spark_error(error))) from None
    return count, failed


def _read(spark, path, config, sep):
    """The file at ``path`` as a Spark DataFrame, and how it stores cells ("csv", "parquet")."""
    from veltra_utils.explainability import tables
    from veltra_utils.explainability.entity.explain_config import missing_columns

    local = "://" not in str(path) or str(path).startswith("file://")
    if local:
        parquet = tables.is_parquet(str(path).replace("file://", "", 1), "records")
    else:  # a cluster's file system: told by its name
        parquet = has_parquet_suffix(path)
    try:
        if parquet:
            frame = spark.read.parquet(literal_path(path) if local else path)
        else:
            frame = read_csv_text(spark, [path] if local else path, sep)
    except Exception as error:
        raise tables.TableError("the records file {0} is not readable {1}: {2}".format(
            path, "Parquet" if parquet else "CSV", spark_error(error))) from None
    missing = missing_columns(frame.columns, config, scored=False)
    if missing:
        raise tables.TableError(tables.missing_message(path, missing))
    return frame, "parquet" if parquet else "csv"


def _numbered(frame, row):
    """``frame`` with the column ``row``: each record's place in the file, from 0; and the count.

    Spark reads a file's parts in order, one partition each; a partition's
    count gives where the next one starts. The file is read twice for that,
    by the JVM alone.
    """
    from itertools import chain

    from pyspark.sql import functions

    ids = frame.withColumn(row, functions.monotonically_increasing_id())
    part = functions.shiftright(functions.col(row), 33)  # the id's upper bits: the partition
    counts = {item[0]: item[1] for item in
              ids.groupBy(part.alias("part")).count().collect()}
    offsets, start = {}, 0
    for index in sorted(counts):
        offsets[index] = start
        start += counts[index]
    if not offsets:
        return ids, 0
    starts = functions.create_map(*chain.from_iterable(
        (functions.lit(index), functions.lit(offset)) for index, offset in offsets.items()))
    number = functions.col(row) - functions.shiftleft(part, 33) + starts[part]
    return ids.withColumn(row, number), start


def _row_filter(column, positions):
    """A condition that holds for the row numbers in ``positions``, as ranges of them."""
    ranges = []
    for position in sorted(set(positions)):
        if ranges and ranges[-1][1] == position:
            ranges[-1][1] = position + 1
        else:
            ranges.append([position, position + 1])
    if len(ranges) > 50:  # a long chain of conditions is slow to plan; a set is not
        return column.isin(sorted(set(positions)))
    condition = None
    for start, end in ranges:
        part = column.between(start, end - 1)
        condition = part if condition is None else condition | part
    return condition


def explain_keyed_records(records: Mapping[Any, Any], scoring_function: Callable[[Any], Any],
                          config: Any, master: Optional[str] = "local[2]",
                          app_name: str = "veltra-explain",
                          verbose: bool = False, task: Any = None) -> Dict[Hashable, Any]:
    """Explain ``records`` ({key: scored record}) on a Spark session; return {key: response}
    ({key: Stability} with a ``task``, a ``stability.StabilityTask``).

    Uses the active Spark session if there is one, else starts one with
    ``session(master, verbose)`` and stops it afterwards. Raises RuntimeError
    with the telling line of Spark's error when Spark cannot start or the job
    fails.
    """
    import pandas as pd

    frame = pd.DataFrame(list(records.values()))
    key = free_name("row", frame.columns)  # a feature called "row" keeps its values
    frame[key] = list(records)

    with started(master, verbose, app_name) as spark:
        try:
            rows = explain_dataframe(spark.createDataFrame(frame), scoring_function, config,
                                     key_columns=[key], task=task).collect()
        except Exception as error:
            raise RuntimeError("the Spark job failed: {0}".format(spark_error(error))) from None
    if task is None:
        return {row[key]: json.loads(row["explanation"]) for row in rows}
    from veltra_utils.explainability.running.stability import Stability

    return {row[key]: Stability.from_dict(json.loads(row["explanation"]),
                                          json.loads(row["stability"])) for row in rows}

