"""The DuckDB engine: statistics of CSV or Parquet files computed out of core.

DuckDB reads the files where they lie, in about ``memory_limit`` of memory,
spilling to a temporary folder beyond it; nothing but aggregates comes into
Python. Queries run in a thread of their own so that an interrupt stops them
at once.
"""
import contextlib
import json
import os
import shutil
import tempfile
import threading
from typing import Any, Dict, List, Optional

from veltra_utils.explainability.errors import TableError
from veltra_utils.explainability.statistics._summary import Request, TableSummary
from veltra_utils.explainability.statistics.engines._base import StatisticsEngine, refuse_entropy
from veltra_utils.explainability.statistics.engines._sql import (
    CSV_FALSE,
    CSV_TRUE,
    DUCKDB,
    FLOAT_PATTERN,
    INTEGER_PATTERN,
    QUERY_COLUMNS,
    Column,
    Source,
    cell_text,
    column_kind,
    flag_value,
    literal,
    matching_files,
    number_text,
    summarize,
    typed_items,
)
from veltra_utils.explainability.tables import DECIMAL_COMMA_PATTERN, warn_decimal_commas
from veltra_utils.explainability.utils.text import one_line

# How often a waiting thread lets signal handlers run, and how long an interrupted DuckDB
# query may take to stop.
_SIGNAL_POLL_SECONDS = 0.1
_INTERRUPT_GRACE_SECONDS = 1.0
_QUERY_THREAD = "veltra-duckdb-query"
# The threads of the queries an interrupt or a termination stopped waiting for.
_interrupted: List[threading.Thread] = []


class DuckDBEngine(StatisticsEngine):
    name = "duckdb"
    description = "aggregates over CSV or Parquet files in bounded memory (DuckDB)"

    def summarize_files(self, path: Any, request: Request, sep: Optional[str] = None,
                        decimal: Optional[str] = None, **options: Any) -> TableSummary:
        """The summary of the files, computed in about ``memory_limit`` (``"256MB"``) with
        ``threads`` threads (by default up to two)."""
        return summarize_files(path, request, sep=sep, decimal=decimal,
                               memory_limit=options.get("memory_limit") or "256MB",
                               threads=options.get("threads"))


def interruptible(connection, sql):
    """The rows of ``sql`` run by DuckDB, in a thread of its own so that Ctrl-C and SIGTERM
    reach this one at once: they interrupt the query where DuckDB lets them, and the
    command ends within a second or two (``interrupted_queries`` tells it that a query is
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
    return Source(DUCKDB, table, columns, _rows(connection), where)


def _rows(connection):
    return lambda sql: [tuple(row) for row in interruptible(connection, sql)]


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
    connection = duckdb.connect(config=config)
    # A wide table is read a group of columns at a time: each query would otherwise read
    # the file's footer, thousands of columns long, anew.
    connection.execute("SET parquet_metadata_cache = true")
    return connection


def summarize_files(path: Any, request: Request, sep: Optional[str] = None,
                    decimal: Optional[str] = None, memory_limit: str = "256MB",
                    threads: Optional[int] = None) -> TableSummary:
    """The summary of the CSV or Parquet files ``path`` names, computed by DuckDB."""
    import duckdb

    from veltra_utils.explainability.statistics._columns import check_names
    from veltra_utils.explainability.tables import starts_as_parquet

    refuse_entropy(request)
    files = matching_files(path)
    try:
        parquet = starts_as_parquet(files[0], "training data")
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
                source = _csv_source(connection, files, path, sep, scratch, decimal,
                                     request.label_column)
            check_names([column.name for column in source.columns], path,
                        request.label_column, request.feature_columns)
            return summarize(source, request)
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


def _csv_source(connection, files, path, sep, scratch, decimal=None, label=None):
    """The CSV files as Parquet in ``scratch``, their columns typed as pandas would read them.

    The CSV is read once per group of at most ``_CSV_COLUMNS`` columns, each written as
    three: the cell as a number, what kind of number it is, and the text of a cell that
    is no plain number (see ``_cells``). The types then come from small aggregates of
    these, and the statistics read them as they lie. A column whose text these do not
    keep whole (text with plain numbers among it, or whole numbers past what a double
    holds exactly) is typed from the CSV's text as before, in files of at most
    ``_FILE_COLUMNS`` columns. The label, which says which rows count, is in every file.
    """
    from veltra_utils.explainability.tables import csv_header, sniff_separator

    sep = sep or sniff_separator(files[0])
    header = csv_header(files[0], sep)
    names = "[{0}]".format(", ".join(literal(name) for name in header))
    # DuckDB's default read buffer (32 MB a thread) leaves too little of the memory limit
    # for the values of a table thousands of columns wide; 4 MB holds lines up to its
    # default longest line (2 MB) and reads as fast.
    raw = ("read_csv({0}, header = true, all_varchar = true, delim = {1}, quote = '\"', "
           "escape = '\"', null_padding = true, names = {2}, buffer_size = {3})").format(
               _file_list(files), literal(sep), names, _CSV_BUFFER)
    text = duckdb_source(connection, raw, path)
    places = {column.name: place for place, column in enumerate(text.columns)}
    kept = [column for column in text.columns if column.name == label][:1]
    others = [column for column in text.columns if column not in kept]
    tables, typed = {}, {}
    texts = {places[column.name] for column in kept}  # the label's text stays whole
    for start in range(0, max(1, len(others)), _CSV_COLUMNS):
        group = kept + others[start:start + _CSV_COLUMNS]
        table = _write(connection, _cells(raw, [(places[column.name], column.sql_name)
                                                for column in group], decimal, texts),
                       scratch, "cells", start // _CSV_COLUMNS, _CELL_ROWS)
        tables.update((column.name, table) for column in group)
    commas, exact = [], []
    for table, members in _by_table(text.columns, tables):
        for start in range(0, len(members), QUERY_COLUMNS):
            chunk = members[start:start + QUERY_COLUMNS]
            for column, (found, comma) in zip(chunk, _types(
                    connection, table, [places[member.name] for member in chunk], decimal,
                    texts)):
                if found is None:
                    exact.append(column)
                else:
                    typed[column.name] = found
                if comma:
                    commas.append(column.name)
    first = tables[text.columns[0].name] if not kept else tables[kept[0].name]
    columns = {name: Column(name, sql, *column_kind(type_name))
               for name, (type_name, sql) in typed.items()}
    if exact:
        more = _typed_from_text(connection, raw, exact, kept, places, decimal, scratch, path)
        commas += more.pop("commas")
        for name, (table, column) in more.items():
            tables[name], columns[name] = table, column
    warn_decimal_commas(sorted(set(commas), key=places.get), path)
    return Source(DUCKDB, first, [columns[column.name] for column in text.columns],
                  _rows(connection), path, tables)


def _by_table(columns, tables):
    found = []
    for column in columns:
        if not found or found[-1][0] != tables[column.name]:
            found.append((tables[column.name], []))
        found[-1][1].append(column)
    return found


# The most columns of the CSV one reading of it writes to a file, and the rows of that
# file's row groups: its writer holds a buffer per column (three per CSV column).
_CSV_COLUMNS = 250
_CSV_BUFFER = 4 << 20
_CELL_ROWS = 4096
# The most columns of a file typed from the CSV's text, and the cells of its row groups.
_FILE_COLUMNS = 50
_FILE_CELLS = 1 << 20
# Whole numbers up to this size are exact as doubles.
_EXACT_WHOLE = float(1 << 53)
# What a cell is, as bits: a whole number that fits 64 bits, a number, true/false, a
# whole number (of any size), a number with a decimal comma.
_INTEGER, _NUMBER, _FLAG, _WHOLE, _COMMA = 1, 2, 4, 16, 32


def _cells(raw, columns, decimal, texts=(), source=None, passed=()):
    """A SELECT of the CSV columns ``columns`` ((place, SQL)) as the columns d<place> (the
    cell as a double), k<place> (the kind of a cell that is a plain number: no spaces
    around it, no missing-value word) and s<place> (any other cell's text), and
    x<place> (every cell's text) for the places in ``texts``; from ``source`` (``raw``),
    with its columns ``passed`` ((SQL, name)) too."""
    inner, middle, outer = [], [], []
    for place, sql in columns:
        x, d, k = "x{0}".format(place), "d{0}".format(place), "k{0}".format(place)
        inner += ["{0} AS {1}".format(sql, x), "TRY_CAST({0} AS DOUBLE) AS {1}".format(
            number_text(sql, decimal), d)]
        number = number_text(x, decimal)
        plain = ("CAST(CASE WHEN {d} IS NOT NULL AND {flt} THEN CASE WHEN {int} THEN CASE WHEN "
                 "TRY_CAST({n} AS BIGINT) IS NOT NULL THEN {a} ELSE {b} END ELSE {c} END END "
                 "AS TINYINT) AS {k}").format(
                     d=d, n=number, flt=DUCKDB.full_match(number, FLOAT_PATTERN),
                     int=DUCKDB.full_match(number, INTEGER_PATTERN),
                     a=_INTEGER | _NUMBER | _WHOLE, b=_NUMBER | _WHOLE, c=_NUMBER, k=k)
        middle += [x, d, plain]
        outer += [d, k, "CASE WHEN {0} IS NULL THEN {1} END AS s{2}".format(k, x, place)]
        outer += [x] if place in texts else []
    names = [name for sql, name in passed]
    inner += ["{0} AS {1}".format(sql, name) for sql, name in passed]
    return "SELECT {0} FROM (SELECT {1} FROM (SELECT {2} FROM {3}) AS cells) AS kinds".format(
        ", ".join(outer + names), ", ".join(middle + names), ", ".join(inner), source or raw)


def _cell_kind(cell, decimal):
    """The bits of what the cleaned text cell ``cell`` is (NULL when missing)."""
    number = number_text(cell, decimal)
    flags = ", ".join(literal(word) for word in CSV_TRUE + CSV_FALSE)
    comma = "WHEN instr({0}, ',') > 0 AND {1} THEN {2} ".format(
        cell, DUCKDB.full_match(cell, DECIMAL_COMMA_PATTERN), _COMMA) if decimal is None else ""
    return ("CAST(CASE WHEN {c} IS NULL THEN NULL WHEN {int} THEN CASE WHEN TRY_CAST({n} AS "
            "BIGINT) IS NOT NULL THEN {a} WHEN TRY_CAST({n} AS DOUBLE) IS NOT NULL THEN {b} "
            "ELSE {w} END WHEN TRY_CAST({n} AS DOUBLE) IS NOT NULL AND {flt} THEN {num} "
            "WHEN {c} IN ({flags}) THEN {flag} {comma}ELSE 0 END AS TINYINT)").format(
                c=cell, n=number, int=DUCKDB.full_match(number, INTEGER_PATTERN),
                flt=DUCKDB.full_match(number, FLOAT_PATTERN), a=_INTEGER | _NUMBER | _WHOLE,
                b=_NUMBER | _WHOLE, w=_WHOLE, num=_NUMBER, flags=flags, flag=_FLAG,
                comma=comma)


def _types(connection, table, places, decimal, texts):
    """[((type, SQL) or None when the cells do not keep the column, whether it looks
    like numbers with decimal commas)] of the columns at ``places`` of ``table``, as
    ``typed_columns`` types them; a column in ``texts`` is typed from its text when
    need be.

    Most columns hold plain numbers alone: the kinds of their cells tell their type.
    The text of the other cells is read where a column has any, and whole numbers
    and decimal commas are counted where a cell has a comma.
    """
    def query(parts, chosen):
        """The aggregates ``parts`` of each column in ``chosen``: {kind} stands for the
        kind of its plain cells, {other} for that of its other cells."""
        if not chosen:
            return {}
        kinds = ", ".join("k{0}, {1} AS v{0}".format(place, _cell_kind(cell_text(
            "s{0}".format(place)), decimal)) for place in chosen)
        row = interruptible(connection, "SELECT {0} FROM (SELECT {1} FROM {2}) AS kinds".format(
            ", ".join(part.format(kind="k{0}".format(place), other="v{0}".format(place))
                      for place in chosen for part in parts), kinds, table))[0]
        width = len(parts)
        return {place: row[width * at:width * at + width] for at, place in enumerate(chosen)}

    def plain_query(chosen):
        row = interruptible(connection, "SELECT {0} FROM {1}".format(", ".join(
            "count(k{0}), bit_and(k{0}), count(s{0}), max(abs(d{0}))".format(place)
            for place in chosen), table))[0]
        return {place: row[4 * at:4 * at + 4] for at, place in enumerate(chosen)}

    plain = plain_query(places)
    others = query(["count({other})", "bit_and({other})", "bit_or({other})"],
                   [place for place in places if plain[place][2]])
    wholes = query(["count(*) FILTER (WHERE {kind} >= 16)",
                    "count(*) FILTER (WHERE {other} >= 16 AND {other} < 32)",
                    "count(*) FILTER (WHERE {other} = 32)"],
                   [place for place in others if (others[place][2] or 0) & _COMMA])
    found = []
    for place in places:
        plain_count, plain_bits, other_cells, largest = plain[place]
        other_count, other_bits, other_any = others.get(place, (0, None, None))
        present = plain_count + other_count
        bits = (0xFF if plain_bits is None else plain_bits) & \
            (0xFF if other_bits is None else other_bits)
        counted = wholes.get(place)
        comma = bool(counted) and present == sum(counted)
        text = cell_text("x{0}".format(place)) if place in texts else None
        cell = cell_text("s{0}".format(place))
        if present and bits & _INTEGER:
            if (largest or 0) < _EXACT_WHOLE:
                found.append((("BIGINT", "TRY_CAST(d{0} AS BIGINT)".format(place)), comma))
            else:  # past what a double holds exactly
                found.append((text and ("BIGINT", "CAST({0} AS BIGINT)".format(
                    number_text(text, decimal))), comma))
        elif bits & _NUMBER or not present:
            found.append((("DOUBLE", "d{0}".format(place)), comma))
        elif plain_count:  # text with plain numbers among it, whose text the cells lack
            found.append((text and ("VARCHAR", text), comma))
        elif bits & _FLAG:
            found.append((("BOOLEAN", flag_value(cell)), comma))
        else:
            found.append((("VARCHAR", cell), comma))
    return found


def _typed_from_text(connection, raw, columns, kept, places, decimal, scratch, where):
    """{name: (table, Column)} of ``columns`` typed from the CSV's text in files of
    ``_FILE_COLUMNS`` columns each (the label's cells with them), and "commas": those
    that look like numbers with decimal commas."""
    chosen = Source(DUCKDB, raw, list(columns), _rows(connection), where)
    items, commas = typed_items(chosen, decimal)
    found: Dict[Any, Any] = {"commas": commas}
    label = [(places[column.name], column.sql_name) for column in kept]
    for start in range(0, len(columns), _FILE_COLUMNS):
        group = columns[start:start + _FILE_COLUMNS]
        typed = "(SELECT {0}{1} FROM {2}) AS typed".format(
            ", ".join(items[start:start + len(group)]),
            "".join(", " + sql for place, sql in label), raw)
        passed = [(column.sql_name, "t{0}".format(places[column.name])) for column in group]
        select = _cells(raw, label, decimal, {place for place, sql in label}, typed, passed)
        table = _write(connection, select, scratch, "typed", start // _FILE_COLUMNS,
                       max(2048, _FILE_CELLS // (len(group) + 3)))
        described = {name: type_name for name, type_name, *_ in interruptible(
            connection, "DESCRIBE SELECT * FROM {0}".format(table))}
        for column in group:
            internal = "t{0}".format(places[column.name])
            found[column.name] = (table, Column(column.name, internal,
                                                *column_kind(described[internal])))
    return found


def _read(scratch, kind, place):
    return "read_parquet({0})".format(_file(os.path.join(scratch, "{0}{1}.parquet".format(
        kind, place))))


def _write(connection, select, scratch, kind, place, rows):
    """Writes the rows of ``select`` to a Parquet file in ``scratch`` in row groups of
    ``rows`` rows; returns its table."""
    target = os.path.join(scratch, "{0}{1}.parquet".format(kind, place))
    interruptible(connection, "COPY ({0}) TO {1} (FORMAT parquet, ROW_GROUP_SIZE {2})".format(
        select, literal(target), rows))
    return _read(scratch, kind, place)
