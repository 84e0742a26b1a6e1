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
from veltra_utils.explainability.tables import (
    DECIMAL_COMMA_PATTERN,
    MISSING_TEXT,
    WHOLE_NUMBER_PATTERN,
    warn_decimal_commas,
)
from veltra_utils.explainability.utils.values import plain

# The largest share of the engine's memory one quantile query may fill: the
# engine keeps every value of the columns it computes quantiles of.
_QUANTILE_BYTES = 64 << 20
# The most columns whose expressions one query holds.
QUERY_COLUMNS = 64
# Distinct labels fetched at once to read the problem type; a label with more
# is summed up by its count and a few telling values.
_LABEL_SAMPLE = 10000
CSV_TRUE = ("True", "TRUE", "true")
CSV_FALSE = ("False", "FALSE", "false")
INTEGER_PATTERN = r"[+-]?[0-9]+"
FLOAT_PATTERN = (r"[+-]?(([0-9]+\.?[0-9]*|\.[0-9]+)([eE][+-]?[0-9]+)?"
                  r"|[iI][nN][fF]|[iI][nN][fF][iI][nN][iI][tT][yY])")


class Dialect:
    """What differs between the engines' SQL."""

    def __init__(self, name: str, quote_char: str, full_match: str,
                 percentiles_call: str) -> None:
        self.name = name
        self._quote_char = quote_char
        self._full_match = full_match
        self._percentiles_call = percentiles_call

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


DUCKDB = Dialect("duckdb", '"', "regexp_full_match({0}, {1})", "quantile_cont({0}, [{1}])")
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
    per_bin = _per_bin(source, numeric, bins, figures)
    columns: List[ColumnSummary] = []
    for column in features:
        if column.name in categorical:
            columns.append(_categories(source, column))
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


def _per_bin(source, numeric, bins, figures):
    """{column: [(count, mean, population std)] per bin}, grouped by bin in a query per
    group of columns.

    A value falls in the first bin whose upper boundary it does not exceed, as
    numpy's ``searchsorted`` places it (LIME's discretizers use that).
    """
    places = {column.name: place for place, column in enumerate(numeric)}
    found = {}
    for table, group in source.groups(numeric):
        queries = []
        for column in group:
            place, boundaries = places[column.name], bins[column.name]
            cases = " ".join("WHEN v <= {0} THEN {1}".format(double(boundary), index)
                             for index, boundary in enumerate(boundaries))
            queries.append(
                "SELECT {0} AS place, CASE {1} ELSE {2} END AS bin, count(v), avg(v), "
                "stddev_pop(v) FROM (SELECT {3} AS v FROM {4}) AS col{0} WHERE v IS NOT NULL "
                "GROUP BY CASE {1} ELSE {2} END".format(place, cases, len(boundaries),
                                                        _value(column, figures), table))
        for place, index, count, mean, std in source.rows(" UNION ALL ".join(queries)):
            found[int(place), int(index)] = (int(count), float(mean), float(std))
    return {column.name: [found.get((place, index), (0, 0.0, 0.0))
                          for index in range(len(bins[column.name]) + 1)]
            for place, column in enumerate(numeric)}


def _categories(source: Source, column: Column) -> CategoricalSummary:
    """The column's sorted categories and their counts, missing values last as None."""
    value = column.present()
    rows = source.rows("SELECT {0}, count(*) FROM {1} GROUP BY {0}".format(
        value, source.table_of(column)))
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


def typed_columns(source: Source, decimal: Optional[str] = None, path: Any = None) -> List[str]:
    """SELECT items that give each text column of ``source`` the type pandas reads it as.

    Leading spaces are not part of a cell, pandas' missing-value words make a
    cell missing, and a column is whole numbers, numbers, true/false or text
    when every present cell is (an empty column is numbers). ``decimal`` is
    the decimal mark (``.`` when None); while it is not given, columns that
    look like numbers with decimal commas are text, and a warning names them
    (and ``path``).
    """
    items, commas = typed_items(source, decimal)
    warn_decimal_commas(commas, path or source.where)
    return items


def cell_text(text: str) -> str:
    """The text cell ``text`` as pandas reads it: without leading spaces, NULL for a
    missing-value word."""
    return "CASE WHEN ltrim({0}) IN ({1}) THEN NULL ELSE ltrim({0}) END".format(
        text, ", ".join(literal(word) for word in sorted(MISSING_TEXT)))


def flag_value(cell: str) -> str:
    """The cleaned cell ``cell`` of a true/false column as a boolean."""
    return "CASE WHEN {0} IN ({1}) THEN true WHEN {0} IS NOT NULL THEN false END".format(
        cell, ", ".join(literal(word) for word in CSV_TRUE))


def typed_items(source: Source, decimal: Optional[str] = None) -> Tuple[List[str], List[Any]]:
    """(``typed_columns``' items, the columns that look like numbers with decimal commas)."""
    dialect = source.dialect
    cells = {column.name: cell_text(column.sql_name) for column in source.columns}
    counts: List[Any] = []
    for table, group in source.groups(source.columns):
        parts = []
        for column in group:
            parts += _type_counts(dialect, cells[column.name], decimal)
        counts += source.one("SELECT {0} FROM {1}".format(", ".join(parts), table))
    width = 5
    figures = {column.name: counts[width * place:width * place + width]
               for place, column in enumerate(source.columns)}
    # Whole numbers matter only beside numbers with decimal commas, which few columns hold.
    wholes = _whole_numbers(source, [column for column in source.columns
                                     if decimal is None and figures[column.name][4]], cells)
    items, commas = [], []
    for column in source.columns:
        present, integers, numbers, flags_seen, decimal_commas = figures[column.name]
        cell, name = cells[column.name], column.sql_name
        number = number_text(cell, decimal)
        if decimal_commas and column.name in wholes \
                and present == decimal_commas + wholes[column.name]:
            commas.append(column.name)
        if present == integers and present:
            items.append("CAST({0} AS BIGINT) AS {1}".format(number, name))
        elif present == numbers:
            items.append("CAST({0} AS DOUBLE) AS {1}".format(number, name))
        elif present == flags_seen:
            items.append("{0} AS {1}".format(flag_value(cell), name))
        else:
            items.append("{0} AS {1}".format(cell, name))
    return items, commas


def _type_counts(dialect, cell, decimal):
    """The counts ``typed_columns`` reads the type of a text column from: present cells,
    and those that are whole numbers, numbers, true/false and numbers with decimal
    commas. The cheap test comes first: the pattern is matched only where it passes."""
    number, flags = number_text(cell, decimal), CSV_TRUE + CSV_FALSE
    return ["count({0})".format(cell),
            "count(*) FILTER (WHERE try_cast({1} AS BIGINT) IS NOT NULL AND {0})"
            .format(dialect.full_match(number, INTEGER_PATTERN), number),
            "count(*) FILTER (WHERE try_cast({1} AS DOUBLE) IS NOT NULL AND {0})"
            .format(dialect.full_match(number, FLOAT_PATTERN), number),
            "count(*) FILTER (WHERE {0} IN ({1}))"
            .format(cell, ", ".join(literal(word) for word in flags)),
            "count(*) FILTER (WHERE instr({0}, ',') > 0 AND {1})".format(
                cell, dialect.full_match(cell, DECIMAL_COMMA_PATTERN))]


def _whole_numbers(source, columns, cells):
    """{column: its cells that are whole numbers} of ``columns``."""
    found = {}
    for table, group in source.groups(columns):
        row = source.one("SELECT {0} FROM {1}".format(", ".join(
            "count(*) FILTER (WHERE {0})".format(source.dialect.full_match(
                cells[column.name], WHOLE_NUMBER_PATTERN)) for column in group), table))
        found.update((column.name, count) for column, count in zip(group, row))
    return found


def number_text(cell, decimal):
    """The cell as the text of a number: its decimal mark a point. With a mark other than
    the point, a cell that holds a point is no number, as pandas reads it."""
    if decimal in (None, "."):
        return cell
    return "CASE WHEN instr({0}, '.') > 0 THEN NULL ELSE replace({0}, {1}, '.') END".format(
        cell, literal(decimal))


