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

from veltra_utils.explainability.batch import check_columns, explain_one
from veltra_utils.explainability.entity.explain_response import error_response
from veltra_utils.explainability.entity.constants import ProblemType
from veltra_utils.explainability.explainers.lime.lime_tabular_explainer import LimeTabularExplainer


def explain_dataframe(df, scoring_function, config, *, response_column="explanation",
                      key_columns=None):
    """Explain every scored record of the PySpark DataFrame ``df``.

    Returns a DataFrame (lazy, like any other) with the ``key_columns`` of each
    record (default: all input columns) and ``response_column``: the
    explainer's response as a JSON string, an error response for a record that
    could not be explained. Rows keep the order of ``df`` within each
    partition, as ``mapInPandas`` does.

    Raises ValueError when ``df`` lacks a column the explanations need, or for
    bad key or response column names.
    """
    from pyspark.sql import functions
    from pyspark.sql.types import StringType, StructField, StructType

    columns = list(df.columns)
    check_columns(columns, config)
    keys = columns if key_columns is None else _key_columns(key_columns, columns)
    if not isinstance(response_column, str) or not response_column:
        raise ValueError("response_column must be a non-empty column name, got {0!r}"
                         .format(response_column))
    if response_column in keys:
        raise ValueError("The response column {0!r} is also a key column; name it otherwise "
                         "with response_column".format(response_column))

    needed = list(config.feature_columns) + [config.prediction_column]
    if config.problem_type is not ProblemType.REGRESSION:
        needed.append(config.probability_column)
    selected = keys + [name for name in needed if name not in keys]
    schema = StructType([df.schema[name] for name in keys]
                        + [StructField(response_column, StringType(), False)])

    from pyspark import cloudpickle

    payload = cloudpickle.dumps((config, scoring_function), protocol=pickle.HIGHEST_PROTOCOL)
    source = _broadcast(df, payload)
    explain = _PartitionExplainer(uuid.uuid4().hex, source, keys, response_column)
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
_loaded = {}


class _PartitionExplainer:
    """The function ``mapInPandas`` runs for each partition: batches of records in, responses out."""

    def __init__(self, token, source, keys, response_column):
        self.token = token
        self.source = source
        self.keys = keys
        self.response_column = response_column

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
            responses = [_json(explain_one(explainer, record, scoring_function))
                         for record in batch.to_dict("records")]
            result = batch[self.keys].copy()
            result[self.response_column] = responses
            yield result


def _json(response):
    try:
        return json.dumps(response, allow_nan=False)
    except (TypeError, ValueError) as error:
        return json.dumps(error_response("The response cannot be written as JSON: {0}"
                                         .format(error)))


def check_available():
    """Raise RuntimeError, saying what to install, when Spark cannot start on this machine.

    Checks for pyspark with its Arrow support and for a Java runtime, so a
    missing piece is reported before any work is done.
    """
    import os
    import shutil

    try:
        import pyarrow  # noqa: F401  (Spark hands the records to Python through Arrow)
        import pyspark  # noqa: F401
    except ImportError as error:
        raise RuntimeError("Spark needs pyspark with its pandas support ({0} is missing): "
                           "pip install 'veltra_utils[spark]'".format(error.name or error)) \
            from None
    java_home = os.environ.get("JAVA_HOME")
    java = os.path.join(java_home, "bin", "java") if java_home else shutil.which("java")
    if not java or not os.access(java, os.X_OK):
        raise RuntimeError("Spark needs a Java runtime: {0}".format(
            "JAVA_HOME is {0}, which has no bin/java".format(java_home) if java_home
            else "install one (e.g. OpenJDK 17) so that java is on the PATH, or set JAVA_HOME"))


def explain_keyed_records(records, scoring_function, config, master="local[2]",
                          app_name="veltra-explain"):
    """Explain ``records`` ({key: scored record}) on a Spark session; return {key: response}.

    Uses the active Spark session if there is one, else starts one on
    ``master`` and stops it afterwards. For a local master the executors run
    this interpreter (PYSPARK_PYTHON), which has this package. Raises
    RuntimeError with the telling line of Spark's error when Spark cannot
    start or the job fails.
    """
    import os
    import sys

    import pandas as pd
    from pyspark.sql import SparkSession

    frame = pd.DataFrame(list(records.values()))
    key = "row"
    while key in frame.columns:  # a feature called "row" keeps its values
        key = "_" + key
    frame[key] = list(records)

    set_python = master.startswith("local") and "PYSPARK_PYTHON" not in os.environ
    if set_python:
        os.environ["PYSPARK_PYTHON"] = sys.executable
    running = SparkSession.getActiveSession()
    session = None
    try:
        try:
            session = SparkSession.builder.master(master).appName(app_name).getOrCreate()
        except Exception as error:
            raise RuntimeError("cannot start Spark with the master {0}: {1}"
                               .format(master, spark_error(error))) from None
        session.sparkContext.setLogLevel("ERROR")
        try:
            rows = explain_dataframe(session.createDataFrame(frame), scoring_function, config,
                                     key_columns=[key]).collect()
        except Exception as error:
            raise RuntimeError("the Spark job failed: {0}".format(spark_error(error))) from None
    finally:
        if session is not None and session is not running:  # never stop a host's session
            session.stop()
        if set_python:
            os.environ.pop("PYSPARK_PYTHON", None)
    return {row[key]: json.loads(row["explanation"]) for row in rows}


def spark_error(error, limit=300):
    """The telling line of a Spark error, whose text can be a Java or Python stack trace."""
    lines = [line.strip() for line in str(error).splitlines() if line.strip()]
    if not lines:
        return type(error).__name__
    # A failure in a Python worker ends with its exception; a JVM one starts with it.
    line = lines[-1] if type(error).__name__ == "PythonException" else lines[0]
    return line if len(line) <= limit else line[:limit - 3] + "..."
