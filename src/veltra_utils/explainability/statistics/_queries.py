"""Training statistics computed by a SQL engine: DuckDB on files, or Spark.

The data never comes into Python: every figure is an aggregate query, and the
results are exactly what ``TrainingStats.from_dataframe`` computes from the same
table in pandas (to floating-point rounding). The queries are the same for
both engines but for a few functions, which ``Dialect`` names.

    stats = TrainingStats.from_files("train/*.parquet", "churn")   # DuckDB, out of core
    stats = TrainingStats.from_spark(spark_df, "churn")

Numeric columns are summed up in one scan (count, extremes, standard
deviation), binned at their exact quantiles (a few columns per query, so the
engine holds only that many columns' values at a time), and summed up per bin
in one more scan. Categorical columns and the label are counted by group.
"""
import contextlib
import glob
import json
import os
import shutil
import tempfile
import threading
import uuid

import numpy as np
import pandas as pd

from veltra_utils.explainability.tables import (
    DECIMAL_COMMA_PATTERN,
    MISSING_TEXT,
    WHOLE_NUMBER_PATTERN,
    warn_decimal_commas,
)
from veltra_utils.explainability.utils.text import one_line, quote

# How often a waiting thread lets signal handlers run, and how long an interrupted DuckDB
# query may take to stop.
_SIGNAL_POLL_SECONDS = 0.1
_INTERRUPT_GRACE_SECONDS = 1.0
_QUERY_THREAD = "veltra-duckdb-query"
# The threads of the queries an interrupt or a termination stopped waiting for.
_interrupted = []
# The largest share of the engine's memory one quantile query may fill: the
# engine keeps every value of the columns it computes quantiles of.
_QUANTILE_BYTES = 64 << 20
# Distinct labels fetched at once to read the problem type; a label with more
# is summed up by its count and a few telling values.
_LABEL_SAMPLE = 10000
_CSV_TRUE = ("True", "TRUE", "true")
_CSV_FALSE = ("False", "FALSE", "false")
_INTEGER_PATTERN = r"[+-]?[0-9]+"
_FLOAT_PATTERN = (r"[+-]?(([0-9]+\.?[0-9]*|\.[0-9]+)([eE][+-]?[0-9]+)?"
                  r"|[iI][nN][fF]|[iI][nN][fF][iI][nN][iI][tT][yY])")
_ENTROPY_REFUSED = ("The entropy discretizer fits a tree on the rows themselves, which this "
                    "engine does not bring into memory; use the pandas engine "
                    "(TrainingStats.from_dataframe, or --engine pandas)")


class Dialect:
    """What differs between the engines' SQL."""

    def __init__(self, name, quote_char, full_match, percentiles_call):
        self.name = name
        self._quote_char = quote_char
        self._full_match = full_match
        self._percentiles_call = percentiles_call

    def quote(self, name):
        """A column name as an identifier."""
        char = self._quote_char
        return char + str(name).replace(char, char * 2) + char

    def full_match(self, expression, pattern):
        """Whether the text ``expression`` matches ``pattern`` as a whole."""
        return self._full_match.format(expression, literal(pattern))

    def percentiles(self, expression, fractions):
        """The exact, linearly interpolated quantiles of ``expression`` as one list."""
        return self._percentiles_call.format(expression, ", ".join(
            double(fraction) for fraction in fractions))


DUCKDB = Dialect("duckdb", '"', "regexp_full_match({0}, {1})", "quantile_cont({0}, [{1}])")
SPARK = Dialect("spark", "`", "({0} RLIKE concat('^(', {1}, ')$'))",
                "percentile({0}, array({1}))")


def literal(text):
    """``text`` as a SQL string literal."""
    return "'" + str(text).replace("'", "''") + "'"


def double(value):
    """A float as a SQL double, written so that it reads back exactly."""
    return "CAST('{0!r}' AS DOUBLE)".format(float(value))


_INFINITY = "CAST('Infinity' AS DOUBLE)"


# ---------------------------------------------------------------- columns

class Column:
    """One column of the source: its SQL identifier and how pandas would type it.

    ``kind`` is "integer", "float", "boolean", "text" or "other"; ``schema`` the
    data-type name ``TrainingStats.schema`` gives it (before gaps are counted:
    an integer column with gaps is "double", as pandas reads it as float).
    """

    def __init__(self, name, sql_name, kind, schema, category=False):
        self.name, self.sql_name, self.kind, self.schema = name, sql_name, kind, schema
        self.category = category  # a pandas category column: categorical whatever its values

    @property
    def numeric(self):
        return self.kind in ("integer", "float") and not self.category

    def value(self):
        """The column as a double, NaN as NULL (pandas reads both as missing)."""
        if self.kind == "float":
            return "CASE WHEN isnan({0}) THEN NULL ELSE CAST({0} AS DOUBLE) END" \
                .format(self.sql_name)
        return "CAST({0} AS DOUBLE)".format(self.sql_name)

    def present(self):
        """The column with NaN as NULL, in its own type."""
        if self.kind == "float":
            return "CASE WHEN isnan({0}) THEN NULL ELSE {0} END".format(self.sql_name)
        return self.sql_name


_INTEGER_TYPES = {"tinyint": "tinyint", "smallint": "smallint", "integer": "integer",
                  "int": "integer", "bigint": "long", "long": "long", "utinyint": "smallint",
                  "usmallint": "integer", "uinteger": "long", "ubigint": "long"}
_FLOAT_TYPES = {"float": "float", "real": "float", "double": "double"}


def column_kind(type_name):
    """(kind, schema type) of an engine's type name, as pandas would read that type."""
    lowered = type_name.lower()
    if lowered in _INTEGER_TYPES:
        return "integer", _INTEGER_TYPES[lowered]
    if lowered in _FLOAT_TYPES:
        return "float", _FLOAT_TYPES[lowered]
    if lowered == "boolean":
        return "boolean", "boolean"
    if lowered in ("varchar", "string", "text") or lowered.startswith("varchar"):
        return "text", "string"
    if lowered.startswith("decimal"):
        return "other", "decimal"
    if lowered == "date":
        return "other", "date"
    if lowered.startswith("timestamp"):
        return "other", "timestamp"
    return "other", "string"


# ---------------------------------------------------------------- sources

class Source:
    """A table an engine can query: ``columns``, ``table`` (the SQL to select from) and
    ``rows(sql)``, which runs a query and returns its rows as tuples."""

    def __init__(self, dialect, table, columns, run, where):
        self.dialect, self.table, self.columns, self._run = dialect, table, columns, run
        self.where = where  # names the data in messages

    def rows(self, sql):
        return self._run(sql)

    def one(self, sql):
        return self._run(sql)[0]


def interruptible(connection, sql):
    """The rows of ``sql`` run by DuckDB, in a thread of its own so that Ctrl-C and SIGTERM
    reach this one at once: they interrupt the query where DuckDB lets them, and the
    command ends within a second or two (``running_queries`` tells it that a query is
    left behind, which only the end of the process stops).

    DuckDB holds the calling thread until a query is done, and a query can take long to
    plan before it reads a row; Python runs signal handlers only between its own steps.
    """
    outcome = {}

    def run():
        try:
            outcome["rows"] = connection.execute(sql).fetchall()
        except BaseException as error:  # handed to the caller's thread below
            outcome["error"] = error

    thread = threading.Thread(target=run, name=_QUERY_THREAD, daemon=True)
    thread.start()
    try:
        while thread.is_alive():
            thread.join(_SIGNAL_POLL_SECONDS)
    except BaseException:  # an interrupt or a termination: stop DuckDB too, if it lets us
        _interrupted.append(thread)
        with contextlib.suppress(Exception):  # a client that refuses a second caller
            connection.interrupt()
        thread.join(_INTERRUPT_GRACE_SECONDS)
        raise
    if "error" in outcome:
        raise outcome["error"]
    return outcome["rows"]


def interrupted_queries():
    """Whether a DuckDB query was interrupted in this process: DuckDB may still be winding
    it down, so the process should end without tearing DuckDB down itself."""
    return bool(_interrupted)


def duckdb_source(connection, table, where, categories=()):
    """The DuckDB relation ``table`` (SQL) as a Source; ``categories`` names pandas
    category columns."""
    described = interruptible(connection, "DESCRIBE SELECT * FROM {0}".format(table))
    columns = [Column(name, DUCKDB.quote(name), *column_kind(type_name),
                      category=name in categories)
               for name, type_name, *_ in described]
    return Source(DUCKDB, table, columns,
                  lambda sql: [tuple(row) for row in interruptible(connection, sql)], where)


def spark_source(df):
    """A Spark DataFrame as a Source, through a temporary view of its own."""
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


# ---------------------------------------------------------------- the computation

def compute(stats, source, label_column, categorical_columns=(), problem_type=None,
            feature_columns=None, missing="category"):
    """Fill ``stats`` (a bare TrainingStats) from ``source`` as ``_compute`` does from a DataFrame."""
    from veltra_utils.explainability.statistics import training_stats as ts

    if missing not in ts._MISSING_POLICIES:
        raise ValueError("missing is {0!r}; expected one of {1}".format(
            missing, ", ".join(ts._MISSING_POLICIES)))
    if stats.discretizer == "entropy":
        raise ValueError(_ENTROPY_REFUSED)
    by_name = {column.name: column for column in source.columns}
    names = [column.name for column in source.columns]
    if label_column in by_name:
        row_count = source.one("SELECT count(*) FROM {0}".format(source.table))[0]
    else:
        row_count = None
    feature_columns, categorical = ts.chosen_columns(names, row_count, label_column,
                                                     feature_columns, categorical_columns)
    source, row_count = _labelled_rows(source, by_name[label_column], row_count)
    categorical.update(name for name in feature_columns if not by_name[name].numeric)
    features = [by_name[name] for name in feature_columns]
    numeric = [column for column in features if column.name not in categorical]
    summary = _summary(source, features, numeric)

    stats.label_column = label_column
    stats.row_count = int(row_count)
    stats.feature_columns = list(feature_columns)
    stats.categorical_columns = [name for name in feature_columns if name in categorical]
    stats.cat_col_indexes = [pos for pos, name in enumerate(feature_columns)
                             if name in categorical]
    stats.schema = {column.name: _schema(column, summary[column.name]) for column in features}
    stats.numeric_gaps = {pos: int(summary[column.name]["gaps"])
                          for pos, column in enumerate(features)
                          if column.name not in categorical and summary[column.name]["gaps"]}
    stats.problem_type, stats.class_labels = _label(source, by_name[label_column], problem_type,
                                                    row_count)
    for column in features:  # errors in column order, as the pandas path raises them
        _check_column(column, summary[column.name], column.name in categorical, missing)

    bins = _bins(source, numeric, summary, stats.discretizer)
    per_bin = _per_bin(source, numeric, bins)
    stats.cat_cols_encoding_map, stats.stds = {}, []
    lime_stats = {key: {} for key in ts._LIME_STATS_KEYS}
    for pos, column in enumerate(features):
        if column.name in categorical:
            categories, counts = _categories(source, column)
            stats.cat_cols_encoding_map[pos] = ts._object_array(categories)
            stats.stds.append(0.0)
            lime_stats["feature_values"][pos] = list(range(len(categories)))
            lime_stats["feature_frequencies"][pos] = counts
        else:
            figures = summary[column.name]
            stats.stds.append(float(figures["std"]))
            entries = ts.bin_entries(bins[column.name], per_bin[column.name],
                                     float(figures["min"]), float(figures["max"]))
            for key, value in entries.items():
                lime_stats[key][pos] = value
    stats._lime_stats = lime_stats
    stats._check_gap_room()
    return stats


def _summary(source, features, numeric):
    """{column: figures} of one scan: gaps, and for numeric columns
    count, extremes, population std and infinite values."""
    parts, keys = [], []
    numeric_names = {column.name for column in numeric}
    for column in features:
        present = column.present()
        parts.append("count(*) - count({0})".format(present))
        keys.append((column.name, "gaps"))
        if column.name in numeric_names:
            value = column.value()
            finite = "CASE WHEN abs({0}) = {1} THEN NULL ELSE {0} END".format(value, _INFINITY)
            for figure, call in (("count", "count({0})".format(value)),
                                 ("infinite", "count(*) FILTER (WHERE abs({0}) = {1})"
                                  .format(value, _INFINITY)),
                                 ("min", "min({0})".format(finite)),
                                 ("max", "max({0})".format(finite)),
                                 ("std", "stddev_pop({0})".format(finite))):
                parts.append(call)
                keys.append((column.name, figure))
    summary = {column.name: {} for column in features}
    if parts:
        row = source.one("SELECT {0} FROM {1}".format(", ".join(parts), source.table))
        for (name, figure), value in zip(keys, row):
            summary[name][figure] = value
    return summary


def _schema(column, figures):
    if column.category and column.kind not in ("text", "other"):
        return column.schema
    if figures.get("gaps") and column.kind == "integer":
        return "double"  # pandas reads an integer column with gaps as float64
    return column.schema


def _labelled_rows(source, label, row_count):
    """``source`` without the rows that have no label, and their number; warns of those
    left out, as the pandas path does."""
    from veltra_utils.explainability.statistics.training_stats import warn_unlabelled

    present = label.present()
    gaps = source.one("SELECT count(*) - count({0}) FROM {1}".format(present, source.table))[0]
    if not gaps:
        return source, row_count
    if gaps == row_count:
        raise ValueError("The label column {0!r} has no values".format(label.name))
    warn_unlabelled(int(gaps), label.name)
    table = "(SELECT * FROM {0} WHERE {1} IS NOT NULL) AS labelled".format(source.table, present)
    return Source(source.dialect, table, source.columns, source._run, source.where), \
        row_count - gaps


def _check_column(column, figures, categorical, missing):
    name = column.name
    if categorical:
        if figures["gaps"] and missing == "error":
            raise ValueError("The categorical column {0!r} has missing values".format(name))
        return
    if not figures["count"]:
        raise ValueError("The numeric column {0!r} has no values".format(name))
    if figures["infinite"]:
        raise ValueError("The numeric column {0!r} holds infinite values".format(name))


def _bins(source, numeric, summary, discretizer):
    """{column: sorted distinct boundaries} at the exact quartiles or deciles, a few
    columns per query."""
    fractions = [0.25, 0.5, 0.75] if discretizer == "quartile" \
        else [tenth / 10 for tenth in range(1, 10)]
    bins, group, held = {}, [], 0
    for column in numeric + [None]:
        size = 0 if column is None else 8 * max(1, summary[column.name]["count"])
        if group and (column is None or held + size > _QUANTILE_BYTES):
            row = source.one("SELECT {0} FROM {1}".format(", ".join(
                source.dialect.percentiles(member.value(), fractions) for member in group),
                source.table))
            for member, values in zip(group, row):
                bins[member.name] = np.unique(np.asarray(list(values), dtype=np.float64))
            group, held = [], 0
        if column is not None:
            group.append(column)
            held += size
    return bins


def _per_bin(source, numeric, bins):
    """{column: [(count, mean, population std)] per bin}, grouped by bin in one query.

    A value falls in the first bin whose upper boundary it does not exceed, as
    numpy's ``searchsorted`` places it (LIME's discretizers use that).
    """
    queries = []
    for place, column in enumerate(numeric):
        boundaries = bins[column.name]
        cases = " ".join("WHEN v <= {0} THEN {1}".format(double(boundary), index)
                         for index, boundary in enumerate(boundaries))
        queries.append(
            "SELECT {0} AS place, CASE {1} ELSE {2} END AS bin, count(v), avg(v), "
            "stddev_pop(v) FROM (SELECT {3} AS v FROM {4}) AS col{0} WHERE v IS NOT NULL "
            "GROUP BY CASE {1} ELSE {2} END".format(place, cases, len(boundaries),
                                                    column.value(), source.table))
    figures = {}
    if queries:
        for place, index, count, mean, std in source.rows(" UNION ALL ".join(queries)):
            figures[int(place), int(index)] = (int(count), float(mean), float(std))
    return {column.name: [figures.get((place, index), (0, 0.0, 0.0))
                          for index in range(len(bins[column.name]) + 1)]
            for place, column in enumerate(numeric)}


def _categories(source, column):
    """The column's sorted categories and their counts, missing values last as None."""
    from veltra_utils.explainability.statistics.training_stats import _sorted_distinct
    from veltra_utils.explainability.utils.values import plain

    value = column.present()
    rows = source.rows("SELECT {0}, count(*) FROM {1} GROUP BY {0}".format(value, source.table))
    gaps = sum(count for category, count in rows if category is None)
    counted = {plain(category): int(count) for category, count in rows if category is not None}
    categories = _sorted_distinct(list(counted), "The categorical column {0!r}"
                                  .format(column.name))
    counts = [counted[category] for category in categories]
    if gaps:
        categories.append(None)  # the gap category
        counts.append(int(gaps))
    return categories, counts


_PANDAS_DTYPES = {"integer": np.int64, "float": np.float64, "boolean": bool}


def _label(source, column, problem_type, row_count):
    """(problem type, class labels), read from the label's distinct values."""
    from veltra_utils.explainability.statistics.training_stats import label_problem
    from veltra_utils.explainability.utils.values import plain

    value, table = column.present(), source.table
    gaps = source.one("SELECT count(*) - count({0}) FROM {1}".format(value, table))[0]
    if gaps:
        raise ValueError("The label column {0!r} has missing values".format(column.name))
    distinct = "SELECT DISTINCT {0} FROM {1}".format(value, table)
    values = [plain(row[0]) for row in source.rows("{0} LIMIT {1}".format(distinct,
                                                                          _LABEL_SAMPLE + 1))]
    distinct_count, every_label = len(values), None
    if len(values) > _LABEL_SAMPLE:
        distinct_count = source.one("SELECT count(*) FROM ({0}) AS labels".format(distinct))[0]
        if column.kind == "float":  # the values that make a label continuous, or refused
            telling = source.rows("SELECT {0} FROM {1} WHERE NOT ({0} % 1 = 0) LIMIT 1"
                                  .format(value, table))
            values += [plain(row[0]) for row in telling]
        every_label = _all_rows(source, distinct)
    dtype = _PANDAS_DTYPES.get(column.kind, object)
    series = pd.Series(values, dtype=dtype, name=column.name)
    return label_problem(series, values, column.name, problem_type, row_count=row_count,
                         distinct_count=distinct_count, every_label=every_label)


def _all_rows(source, sql):
    """A function that runs ``sql`` and returns the first value of each row."""
    from veltra_utils.explainability.utils.values import plain

    return lambda: [plain(row[0]) for row in source.rows(sql)]


# ---------------------------------------------------------------- DuckDB on files

def matching_files(path, what="training data"):
    """The files ``path`` names: itself, or those its glob pattern matches, sorted."""
    from veltra_utils.explainability.tables import TableError

    path = os.fspath(path)
    if glob.has_magic(path) and not os.path.exists(path):
        files = sorted(name for name in glob.glob(path) if os.path.isfile(name))
        if not files:
            raise TableError("no {0} file matches {1}".format(what, path))
        return files
    if not os.path.exists(path):
        raise TableError("the {0} file {1} does not exist".format(what, path))
    if os.path.isdir(path):
        raise TableError("the {0} file {1} is a directory".format(what, path))
    from veltra_utils.explainability.utils.files import not_a_regular_file

    if not_a_regular_file(path, what):
        raise TableError(not_a_regular_file(path, what))
    return [path]


def duckdb_connection(memory_limit="256MB", threads=None, temp_directory=None):
    """A DuckDB connection set to work in bounded memory, spilling to ``temp_directory``."""
    try:
        import duckdb
    except ImportError:
        raise RuntimeError('statistics from files need DuckDB: pip install duckdb') from None
    config = {"memory_limit": memory_limit, "preserve_insertion_order": False,
              "threads": threads or min(2, os.cpu_count() or 1)}
    if temp_directory is not None:
        config["temp_directory"] = temp_directory
    return duckdb.connect(config=config)


def stats_from_files(stats, path, label_column, categorical_columns=(), problem_type=None,
                     feature_columns=None, missing="category", sep=None,
                     memory_limit="256MB", threads=None, decimal=None):
    """Fill ``stats`` from the CSV or Parquet files ``path`` names, computed by DuckDB."""
    import duckdb

    from veltra_utils.explainability.tables import TableError, _starts_as_parquet

    if stats.discretizer == "entropy":
        raise ValueError(_ENTROPY_REFUSED)
    files = matching_files(path)
    try:
        parquet = _starts_as_parquet(files[0], "training data")
    except PermissionError:
        raise TableError("the training data file {0} cannot be read (permission denied)"
                         .format(files[0])) from None
    scratch = tempfile.mkdtemp(prefix="veltra-stats-")
    try:
        connection = duckdb_connection(memory_limit, threads, os.path.join(scratch, "spill"))
        try:
            if parquet:
                source = _parquet_source(connection, files, path)
            else:
                source = _csv_source(connection, files, path, sep, scratch, decimal)
            check_names([column.name for column in source.columns], path, label_column,
                        feature_columns)
            return compute(stats, source, label_column, categorical_columns, problem_type,
                           feature_columns, missing)
        except duckdb.Error as error:
            raise TableError("the training data {0} cannot be read: {1}"
                             .format(path, one_line(error))) from None
        finally:
            # A query still stopping after an interrupt keeps the connection, and the
            # folder it may spill to: DuckDB would crash under it.
            if not interrupted_queries():
                connection.close()
    finally:
        if not interrupted_queries():
            shutil.rmtree(scratch, ignore_errors=True)


def _file_list(files):
    return "[{0}]".format(", ".join(_file(name) for name in files))


def _file(name):
    """A file's path as a SQL literal that DuckDB reads as that very file: DuckDB takes
    every path as a glob pattern, so its pattern characters stand in brackets."""
    escaped = "".join("[{0}]".format(character) if character in "*?[" else character
                      for character in str(name))
    return literal(escaped)


def _parquet_source(connection, files, path):
    table = "read_parquet({0})".format(_file_list(files))
    return duckdb_source(connection, table, path, _pandas_categories(connection, files[0]))


def _pandas_categories(connection, first):
    """The columns a Parquet file written from pandas stores as pandas categories."""
    rows = interruptible(connection, "SELECT value FROM parquet_kv_metadata({0}) "
                                     "WHERE key = 'pandas'".format(_file(first)))
    try:
        described = json.loads(bytes(rows[0][0]).decode("utf-8")) if rows else {}
        return {column["name"] for column in described.get("columns", [])
                if column.get("pandas_type") == "categorical"}
    except (ValueError, TypeError, KeyError, AttributeError):
        return set()


def _csv_source(connection, files, path, sep, scratch, decimal=None):
    """The CSV files as typed Parquet in ``scratch``, typed as pandas would read them."""
    from veltra_utils.explainability.tables import csv_header, sniff_separator

    sep = sep or sniff_separator(files[0])
    names = "[{0}]".format(", ".join(literal(name) for name in csv_header(files[0], sep)))
    raw = ("read_csv({0}, header = true, all_varchar = true, delim = {1}, quote = '\"', "
           "escape = '\"', null_padding = true, names = {2})").format(
               _file_list(files), literal(sep), names)
    text = duckdb_source(connection, raw, path)
    typed = os.path.join(scratch, "typed.parquet")
    interruptible(connection, "COPY (SELECT {0} FROM {1}) TO {2} (FORMAT parquet)".format(
        ", ".join(typed_columns(text, decimal, path)), raw, literal(typed)))
    return duckdb_source(connection, "read_parquet({0})".format(_file(typed)), path)


def typed_columns(source, decimal=None, path=None):
    """SELECT items that give each text column of ``source`` the type pandas reads it as.

    Leading spaces are not part of a cell, pandas' missing-value words make a
    cell missing, and a column is whole numbers, numbers, true/false or text
    when every present cell is (an empty column is numbers). ``decimal`` is
    the decimal mark (``.`` when None); while it is not given, columns that
    look like numbers with decimal commas are text, and a warning names them
    (and ``path``).
    """
    dialect = source.dialect
    cells = {column.name: "CASE WHEN ltrim({0}) IN ({1}) THEN NULL ELSE ltrim({0}) END"
             .format(column.sql_name, ", ".join(literal(word) for word in sorted(MISSING_TEXT)))
             for column in source.columns}
    flags = _CSV_TRUE + _CSV_FALSE
    parts = []
    for column in source.columns:
        cell, number = cells[column.name], _number_text(cells[column.name], decimal)
        parts += ["count({0})".format(cell),
                  "count(*) FILTER (WHERE {0} AND try_cast({1} AS BIGINT) IS NOT NULL)"
                  .format(dialect.full_match(number, _INTEGER_PATTERN), number),
                  "count(*) FILTER (WHERE {0} AND try_cast({1} AS DOUBLE) IS NOT NULL)"
                  .format(dialect.full_match(number, _FLOAT_PATTERN), number),
                  "count(*) FILTER (WHERE {0} IN ({1}))"
                  .format(cell, ", ".join(literal(word) for word in flags)),
                  "count(*) FILTER (WHERE {0})".format(dialect.full_match(
                      cell, DECIMAL_COMMA_PATTERN)),
                  "count(*) FILTER (WHERE {0})".format(dialect.full_match(
                      cell, WHOLE_NUMBER_PATTERN))]
    width = 6
    counts = source.one("SELECT {0} FROM {1}".format(", ".join(parts), source.table)) \
        if parts else ()
    items, commas = [], []
    for place, column in enumerate(source.columns):
        present, integers, numbers, flags_seen, decimal_commas, wholes = \
            counts[width * place:width * place + width]
        cell, name = cells[column.name], column.sql_name
        number = _number_text(cell, decimal)
        if decimal is None and decimal_commas and present == decimal_commas + wholes:
            commas.append(column.name)
        if present == integers and present:
            items.append("CAST({0} AS BIGINT) AS {1}".format(number, name))
        elif present == numbers:
            items.append("CAST({0} AS DOUBLE) AS {1}".format(number, name))
        elif present == flags_seen:
            items.append("CASE WHEN {0} IN ({1}) THEN true WHEN {0} IS NOT NULL THEN false END "
                         "AS {2}".format(cell, ", ".join(literal(word) for word in _CSV_TRUE),
                                         name))
        else:
            items.append("{0} AS {1}".format(cell, name))
    warn_decimal_commas(commas, path or source.where)
    return items


def _number_text(cell, decimal):
    """The cell as the text of a number: its decimal mark a point. With a mark other than
    the point, a cell that holds a point is no number, as pandas reads it."""
    if decimal in (None, "."):
        return cell
    return "CASE WHEN instr({0}, '.') > 0 THEN NULL ELSE replace({0}, {1}, '.') END".format(
        cell, literal(decimal))


def check_names(names, path, label_column, feature_columns):
    """Name the file and its columns when a column asked for is not among them."""
    wanted = [label_column] + ([] if feature_columns is None or isinstance(feature_columns, str)
                               else list(feature_columns))
    for name in wanted:
        if name not in names:
            raise ValueError("the training data {0} has no column {1}; its columns are {2}"
                             .format(path, quote(name), ", ".join(map(str, names))))


# ---------------------------------------------------------------- Spark

def stats_from_spark(stats, df, label_column, categorical_columns=(), problem_type=None,
                     feature_columns=None, missing="category"):
    """Fill ``stats`` from the Spark DataFrame ``df``, computed by Spark."""
    if stats.discretizer == "entropy":
        raise ValueError(_ENTROPY_REFUSED)
    source, view = spark_source(df)
    try:
        return compute(stats, source, label_column, categorical_columns, problem_type,
                       feature_columns, missing)
    finally:
        df.sparkSession.catalog.dropTempView(view)


def stats_of_files_on_spark(session, path, label_column, sep=None, decimal=None, **settings):
    """TrainingStats of the CSV or Parquet files ``path`` names, computed on Spark;
    ``settings`` are those of ``TrainingStats.from_spark``."""
    from veltra_utils.explainability._spark import spark_error
    from veltra_utils.explainability.statistics.training_stats import TrainingStats

    try:
        frame = spark_table(session, path, sep, decimal)
        check_names(frame.columns, path, label_column, settings.get("feature_columns"))
        return TrainingStats.from_spark(frame, label_column, **settings)
    except (ValueError, RuntimeError):
        raise
    except Exception as error:  # Spark's own, with a Java stack trace as its text
        raise RuntimeError("the Spark job failed: {0}".format(spark_error(error))) from None


def spark_table(session, path, sep=None, decimal=None):
    """The CSV or Parquet files ``path`` names as a Spark DataFrame, typed as pandas reads them."""
    from veltra_utils.explainability._spark import read_csv_text
    from veltra_utils.explainability.tables import _starts_as_parquet

    files = matching_files(path)
    if _starts_as_parquet(files[0], "training data"):
        from veltra_utils.explainability._spark import literal_path

        return session.read.parquet(*[literal_path(name) for name in files])
    raw = read_csv_text(session, files, sep)
    view = "veltra_text_" + uuid.uuid4().hex
    raw.createOrReplaceTempView(view)
    source = Source(SPARK, SPARK.quote(view),
                    [Column(name, SPARK.quote(name), "text", "string") for name in raw.columns],
                    lambda sql: [tuple(row) for row in session.sql(sql).collect()], path)
    return session.sql("SELECT {0} FROM {1}".format(", ".join(typed_columns(source, decimal, path)),
                                                    source.table))
