"""Typing columns of CSV text as pandas types them, in SQL (DuckDB and Spark).

A column is whole numbers, numbers, true/false or text when every present cell
is one; leading spaces are not part of a cell, and pandas' missing-value words
make a cell missing.
"""
from typing import Any, List, Optional, Tuple

from veltra_utils.explainability.statistics.engines._sql import Source, literal
from veltra_utils.explainability.tables import (
    DECIMAL_COMMA_PATTERN,
    MISSING_TEXT,
    WHOLE_NUMBER_PATTERN,
    warn_decimal_commas,
)

CSV_TRUE = ("True", "TRUE", "true")
CSV_FALSE = ("False", "FALSE", "false")
INTEGER_PATTERN = r"[+-]?[0-9]+"
FLOAT_PATTERN = (r"[+-]?(([0-9]+\.?[0-9]*|\.[0-9]+)([eE][+-]?[0-9]+)?"
                  r"|[iI][nN][fF]|[iI][nN][fF][iI][nN][iI][tT][yY])")


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
    wholes = whole_numbers(source, [column for column in source.columns
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


def whole_numbers(source, columns, cells):
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


