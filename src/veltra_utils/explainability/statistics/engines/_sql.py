"""The SQL both DuckDB and Spark compute training statistics with.

The data never comes into Python: every figure is an aggregate query, and the
summaries are exactly what the pandas engine computes from the same table (to
floating-point rounding). The queries are the same for both engines but for a
few functions, which ``Dialect`` names.

Numeric columns are summed up (count, extremes, standard deviation), binned
at their exact quantiles (a few columns per query, so the engine holds only
that many columns' values at a time), and summed up per bin. Categorical
columns and the label are counted by group. Every query holds the expressions
of at most ``QUERY_COLUMNS`` columns: the engines plan a query in time that
grows with the square of its expressions, so a wide table is read in groups
of columns rather than in one query of thousands of expressions.
"""
import glob
import os
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

from veltra_utils.explainability.errors import TableError
from veltra_utils.explainability.statistics._columns import (
    categorical_gaps,
    chosen_columns,
    infinite_values,
    no_values,
    sorted_distinct,
    unlabelled_table,
    warn_unlabelled,
)
from veltra_utils.explainability.statistics._labels import label_problem
from veltra_utils.explainability.statistics._summary import (
    CategoricalSummary,
    ColumnSummary,
    NumericSummary,
    Request,
    TableSummary,
)
from veltra_utils.explainability.utils.values import plain

# The largest share of the engine's memory one quantile query may fill: the
# engine keeps every value of the columns it computes quantiles of.
_QUANTILE_BYTES = 64 << 20
# The most columns whose expressions one query holds.
QUERY_COLUMNS = 64
# Up to this many rows, the per-bin figures and categories of a query's columns come
# from one scan of their table, each row unnested into a value per column: a scan of a
# column of its own costs more than its values on a table thousands of columns wide.
_ONE_SCAN_ROWS = 50_000
# Distinct labels fetched at once to read the problem type; a label with more
# is summed up by its count and a few telling values.
_LABEL_SAMPLE = 10000


class Dialect:
    """What differs between the engines' SQL."""

    def __init__(self, name: str, quote_char: str, full_match: str,
                 percentiles_call: str, unnest: Optional[str] = None) -> None:
        self.name = name
        self._quote_char = quote_char
        self._full_match = full_match
        self._percentiles_call = percentiles_call
        # The SELECT item of a list's items, one row each, several lists side by side.
        self.unnest = unnest

    def quote(self, name: Any) -> str:
        """A column name as an identifier."""
        char = self._quote_char
        return char + str(name).replace(char, char * 2) + char

    def full_match(self, expression: str, pattern: str) -> str:
        """Whether the text ``expression`` matches ``pattern`` as a whole."""
        return self._full_match.format(expression, literal(pattern))

    def percentiles(self, expression: str, fractions: Sequence[float]) -> str:
        """The exact, linearly interpolated quantiles of ``expression`` as one list."""
        return self._percentiles_call.format(expression, ", ".join(
            double(fraction) for fraction in fractions))


DUCKDB = Dialect("duckdb", '"', "regexp_full_match({0}, {1})", "quantile_cont({0}, [{1}])",
                 "unnest([{0}])")
SPARK = Dialect("spark", "`", "({0} RLIKE concat('^(', {1}, ')$'))",
                "percentile({0}, array({1}))")


def literal(text: Any) -> str:
    """``text`` as a SQL string literal."""
    return "'" + str(text).replace("'", "''") + "'"


def double(value: float) -> str:
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

    def __init__(self, name: Any, sql_name: str, kind: str, schema: str,
                 category: bool = False) -> None:
        self.name, self.sql_name, self.kind, self.schema = name, sql_name, kind, schema
        self.category = category  # a pandas category column: categorical whatever its values

    @property
    def numeric(self) -> bool:
        return self.kind in ("integer", "float") and not self.category

    def value(self) -> str:
        """The column as a double, NaN as NULL (pandas reads both as missing)."""
        if self.kind == "float":
            return "CASE WHEN isnan({0}) THEN NULL ELSE CAST({0} AS DOUBLE) END" \
                .format(self.sql_name)
        return "CAST({0} AS DOUBLE)".format(self.sql_name)

    def number(self) -> str:
        """The column as a double, NaN kept (cheaper where it holds none)."""
        return "CAST({0} AS DOUBLE)".format(self.sql_name)

    def present(self) -> str:
        """The column with NaN as NULL, in its own type."""
        if self.kind == "float":
            return "CASE WHEN isnan({0}) THEN NULL ELSE {0} END".format(self.sql_name)
        return self.sql_name


_INTEGER_TYPES = {"tinyint": "tinyint", "smallint": "smallint", "integer": "integer",
                  "int": "integer", "bigint": "long", "long": "long", "utinyint": "smallint",
                  "usmallint": "integer", "uinteger": "long", "ubigint": "long"}
_FLOAT_TYPES = {"float": "float", "real": "float", "double": "double"}


def column_kind(type_name: str) -> Tuple[str, str]:
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
    ``rows(sql)``, which runs a query and returns its rows as tuples.

    A wide table may lie in several tables of a few columns each, every one of them
    the table's rows with their label: ``tables`` then maps a column's name to the
    SQL of the one that holds it (``table`` holds every column not in it).
    """

    def __init__(self, dialect: Dialect, table: str, columns: List[Column],
                 run: Callable[[str], List[Tuple[Any, ...]]], where: Any,
                 tables: Optional[Dict[Any, str]] = None) -> None:
        self.dialect, self.table, self.columns, self._run = dialect, table, columns, run
        self.where = where  # names the data in messages
        self.tables = dict(tables or {})

    def rows(self, sql: str) -> List[Tuple[Any, ...]]:
        return self._run(sql)

    def one(self, sql: str) -> Tuple[Any, ...]:
        return self._run(sql)[0]

    def table_of(self, column: "Column") -> str:
        """The SQL of the table that holds ``column``."""
        return self.tables.get(column.name, self.table)

    def groups(self, columns: Sequence["Column"], size: int = QUERY_COLUMNS
               ) -> List[Tuple[str, List["Column"]]]:
        """``columns`` in order, as (table, at most ``size`` columns it holds) for one
        query each."""
        found: List[Tuple[str, List[Column]]] = []
        for column in columns:
            table = self.table_of(column)
            if not found or found[-1][0] != table or len(found[-1][1]) >= size:
                found.append((table, []))
            found[-1][1].append(column)
        return found


# ---------------------------------------------------------------- the computation

def summarize(source: Source, request: Request) -> TableSummary:
    """The summary of ``source``, as the pandas engine gives it of the same table."""
    label_column, feature_columns = request.label_column, request.feature_columns
    by_name = {column.name: column for column in source.columns}
    names = [column.name for column in source.columns]
    if label_column in by_name:
        row_count = source.one("SELECT count(*) FROM {0}".format(source.table))[0]
    else:
        row_count = None
    feature_columns, categorical = chosen_columns(names, row_count, label_column,
                                                  feature_columns, request.categorical_columns)
    source, row_count = _labelled_rows(source, by_name[label_column], row_count)
    categorical.update(name for name in feature_columns if not by_name[name].numeric)
    features = [by_name[name] for name in feature_columns]
    numeric = [column for column in features if column.name not in categorical]
    figures = _figures(source, features, numeric)
    schema = {column.name: _schema(column, figures[column.name]) for column in features}
    problem_type, class_labels = _label(source, by_name[label_column], request.problem_type,
                                        row_count)
    for column in features:  # errors in column order, as the pandas engine raises them
        _check_column(column, figures[column.name], column.name in categorical,
                      request.missing)

    bins = _bins(source, numeric, figures, request.discretizer)
    one_scan = bool(source.dialect.unnest) and row_count <= _ONE_SCAN_ROWS
    per_bin = _per_bin(source, numeric, bins, figures, one_scan)
    counted = _counted(source, [column for column in features if column.name in categorical],
                       one_scan)
    columns: List[ColumnSummary] = []
    for column in features:
        if column.name in categorical:
            columns.append(_categories(column, counted[column.name]))
        else:
            found = figures[column.name]
            columns.append(NumericSummary(bins[column.name], per_bin[column.name],
                                          float(found["min"]), float(found["max"]),
                                          float(found["std"]), int(found["gaps"])))
    return TableSummary(label_column, int(row_count), list(feature_columns), problem_type,
                        class_labels, schema, columns)


def _figures(source: Source, features: List[Column], numeric: List[Column]
             ) -> Dict[Any, Dict[str, Any]]:
    """{column: figures} of a scan per group of columns: gaps, and for numeric
    columns count, extremes, population std and whether it holds infinite values
    ("nan" tells that it holds NaN, which the figures then leave out)."""
    numeric_names = {column.name for column in numeric}
    figures: Dict[Any, Dict[str, Any]] = {column.name: {} for column in features}
    _scan(source, features, figures, lambda column: _plain_figure_parts(
        column, column.name in numeric_names))
    # NaN is the largest value to min and max: a column that holds any is read again,
    # leaving NaN out (the plain aggregates are cheaper, and NaN is rare in a file).
    with_nan = [column for column in numeric if figures[column.name]["max"] is not None
                and figures[column.name]["max"] != figures[column.name]["max"]]
    _scan(source, with_nan, figures, _nan_figure_parts)
    for column in numeric:
        found = figures[column.name]
        found["nan"] = column in with_nan
        if not found["nan"]:
            found["infinite"] = found["max"] is not None and (
                found["max"] == float("inf") or found["min"] == float("-inf"))
    return figures


def _scan(source, columns, figures, parts_of):
    for table, group in source.groups(columns):
        parts: List[Tuple[Tuple[Any, str], str]] = []
        for column in group:
            parts += parts_of(column)
        row = source.one("SELECT {0} FROM {1}".format(", ".join(part for key, part in parts),
                                                       table))
        for ((name, figure), _call), value in zip(parts, row):
            figures[name][figure] = value


def _plain_figure_parts(column, numeric):
    """[((column, figure), aggregate)] of ``column``'s gaps, and of a numeric column's
    count and extremes (infinite values among them) and population std, NaN counted
    as a value."""
    if not numeric:
        return [((column.name, "gaps"), "count(*) - count({0})".format(column.present()))]
    value = column.number()
    return [((column.name, figure), call.format(value)) for figure, call in (
        ("gaps", "count(*) - count({0})"), ("count", "count({0})"), ("min", "min({0})"),
        ("max", "max({0})"), ("std", "stddev_pop({0})"))]


def _nan_figure_parts(column):
    """The parts of ``_plain_figure_parts`` with NaN as a gap, and infinite values
    counted and left out of the extremes and the std."""
    value = column.value()
    finite = "CASE WHEN abs({0}) = {1} THEN NULL ELSE {0} END".format(value, _INFINITY)
    return [((column.name, figure), call) for figure, call in (
        ("gaps", "count(*) - count({0})".format(column.present())),
        ("count", "count({0})".format(value)),
        ("infinite", "count(*) FILTER (WHERE abs({0}) = {1})".format(value, _INFINITY)),
        ("min", "min({0})".format(finite)), ("max", "max({0})".format(finite)),
        ("std", "stddev_pop({0})".format(finite)))]


def _schema(column, figures):
    if column.category and column.kind not in ("text", "other"):
        return column.schema
    if figures.get("gaps") and column.kind == "integer":
        return "double"  # pandas reads an integer column with gaps as float64
    return column.schema


def _labelled_rows(source, label, row_count):
    """``source`` without the rows that have no label, and their number; warns of those
    left out, as the pandas engine does."""
    present = label.present()
    gaps = source.one("SELECT count(*) - count({0}) FROM {1}".format(present, source.table))[0]
    if not gaps:
        return source, row_count
    if gaps == row_count:
        raise unlabelled_table(label.name)
    warn_unlabelled(int(gaps), label.name)
    def labelled(table):
        return "(SELECT * FROM {0} WHERE {1} IS NOT NULL) AS labelled".format(table, present)

    return Source(source.dialect, labelled(source.table), source.columns, source._run,
                  source.where, {name: labelled(table) for name, table in source.tables.items()}
                  ), row_count - gaps


def _check_column(column, figures, categorical, missing):
    name = column.name
    if categorical:
        if figures["gaps"] and missing == "error":
            raise categorical_gaps(name)
        return
    if not figures["count"]:
        raise no_values(name)
    if figures["infinite"]:
        raise infinite_values(name)


def _value(column, figures):
    """The numeric column as a double, NaN as NULL where it holds any."""
    return column.value() if figures[column.name]["nan"] else column.number()


def _bins(source, numeric, figures, discretizer):
    """{column: sorted distinct boundaries} at the exact quartiles or deciles, a few
    columns per query."""
    import numpy as np

    fractions = [0.25, 0.5, 0.75] if discretizer == "quartile" \
        else [tenth / 10 for tenth in range(1, 10)]
    bins, group, held = {}, [], 0
    for column in numeric + [None]:
        size = 0 if column is None else 8 * max(1, figures[column.name]["count"])
        if group and (column is None or held + size > _QUANTILE_BYTES
                      or len(group) >= QUERY_COLUMNS
                      or source.table_of(column) != source.table_of(group[0])):
            row = source.one("SELECT {0} FROM {1}".format(", ".join(
                source.dialect.percentiles(_value(member, figures), fractions) for member in group),
                source.table_of(group[0])))
            for member, values in zip(group, row):
                bins[member.name] = np.unique(np.asarray(list(values), dtype=np.float64))
            group, held = [], 0
        if column is not None:
            group.append(column)
            held += size
    return bins


def _per_bin(source, numeric, bins, figures, one_scan):
    """{column: [(count, mean, population std)] per bin}, grouped by bin in a query per
    group of columns: a scan of each column, or with ``one_scan`` (a table of few rows,
    ``_ONE_SCAN_ROWS``, on an engine that can unnest) one scan of all of them.

    A value falls in the first bin whose upper boundary it does not exceed, as
    numpy's ``searchsorted`` places it (LIME's discretizers use that).
    """
    places = {column.name: place for place, column in enumerate(numeric)}
    found = {}
    for table, group in source.groups(numeric):
        values = [_value(column, figures) for column in group]
        if one_scan:
            unnest = source.dialect.unnest.format
            sql = ("SELECT place, bin, count(v), avg(v), stddev_pop(v) FROM (SELECT {0} AS "
                   "place, {1} AS bin, {2} AS v FROM {3}) AS cells WHERE v IS NOT NULL "
                   "GROUP BY place, bin").format(
                       unnest(", ".join(str(places[column.name]) for column in group)),
                       unnest(", ".join(_bin_of(value, bins[column.name])
                                        for column, value in zip(group, values))),
                       unnest(", ".join(values)), table)
        else:
            sql = " UNION ALL ".join(
                "SELECT {0} AS place, {1} AS bin, count(v), avg(v), stddev_pop(v) FROM (SELECT "
                "{2} AS v FROM {3}) AS col{0} WHERE v IS NOT NULL GROUP BY {1}".format(
                    places[column.name], _bin_of("v", bins[column.name]), value, table)
                for column, value in zip(group, values))
        for place, index, count, mean, std in source.rows(sql):
            found[int(place), int(index)] = (int(count), float(mean), float(std))
    return {column.name: [found.get((place, index), (0, 0.0, 0.0))
                          for index in range(len(bins[column.name]) + 1)]
            for place, column in enumerate(numeric)}


def _bin_of(value, boundaries):
    """The SQL of the bin the number ``value`` falls in."""
    return "CASE {0} ELSE {1} END".format(" ".join(
        "WHEN {0} <= {1} THEN {2}".format(value, double(boundary), index)
        for index, boundary in enumerate(boundaries)), len(boundaries))


def _counted(source, columns, one_scan):
    """{column: [(category, count)]} of the categorical ``columns``: a query each, or with
    ``one_scan`` (see ``_per_bin``) one scan for a query's text columns."""
    found = {}
    for table, group in source.groups(columns):
        text = [column for column in group if column.kind == "text"]
        if one_scan and len(text) > 1:
            unnest = source.dialect.unnest.format
            rows = source.rows("SELECT place, value, count(*) FROM (SELECT {0} AS place, {1} AS "
                               "value FROM {2}) AS cells GROUP BY place, value".format(
                                   unnest(", ".join(map(str, range(len(text))))),
                                   unnest(", ".join(column.present() for column in text)),
                                   table))
            found.update((column.name, []) for column in text)
            for place, value, count in rows:
                found[text[place].name].append((value, count))
        for column in group:
            if column.name not in found:
                found[column.name] = source.rows("SELECT {0}, count(*) FROM {1} GROUP BY {0}"
                                                 .format(column.present(), table))
    return found


def _categories(column: Column, rows: List[Tuple[Any, int]]) -> CategoricalSummary:
    """The column's sorted categories and their counts ``rows``, missing values last as
    None."""
    gaps = sum(count for category, count in rows if category is None)
    counted = {plain(category): int(count) for category, count in rows if category is not None}
    categories = sorted_distinct(list(counted), "The categorical column {0!r}"
                                  .format(column.name))
    counts = [counted[category] for category in categories]
    if gaps:
        categories.append(None)  # the gap category
        counts.append(int(gaps))
    return CategoricalSummary(categories, counts)


# How pandas holds a column of each kind.
_PANDAS_DTYPES = {"integer": "int64", "float": "float64", "boolean": "bool"}


def _label(source, column, problem_type, row_count):
    """(problem type, class labels), read from the label's distinct values."""
    import pandas as pd

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
    return lambda: [plain(row[0]) for row in source.rows(sql)]


def matching_files(path: Any, what: str = "training data") -> List[str]:
    """The files ``path`` names: itself, or those its glob pattern matches, sorted."""

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
