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
