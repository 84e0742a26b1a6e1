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
from typing import Any, List, Optional

from veltra_utils.explainability.errors import TableError
from veltra_utils.explainability.statistics._summary import Request, TableSummary
from veltra_utils.explainability.statistics.engines._base import StatisticsEngine, refuse_entropy
from veltra_utils.explainability.statistics.engines._sql import (
    DUCKDB,
    Column,
    Source,
    column_kind,
    literal,
    matching_files,
    summarize,
    typed_columns,
)
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
    """The CSV files as typed Parquet in ``scratch``, typed as pandas would read them.

    A Parquet writer holds a buffer per column, so a wide table is written as
    several files of at most ``_FILE_COLUMNS`` columns each, typed from files of the
    text of ``_TEXT_COLUMNS`` columns each (one reading of the CSV per file); the
    label, which says which rows count, is in every one of them.
    """
    from veltra_utils.explainability.tables import csv_header, sniff_separator

    sep = sep or sniff_separator(files[0])
    header = csv_header(files[0], sep)
    names = "[{0}]".format(", ".join(literal(name) for name in header))
    raw = ("read_csv({0}, header = true, all_varchar = true, delim = {1}, quote = '\"', "
           "escape = '\"', null_padding = true, names = {2})").format(
               _file_list(files), literal(sep), names)
    text = duckdb_source(connection, raw, path)
    kept = [column for column in text.columns if column.name == label][:1]
    others = [column for column in text.columns if column not in kept]
    def grouped(size):
        return [kept + others[start:start + size] for start in range(0, max(1, len(others)),
                                                                      size)]

    groups = grouped(_FILE_COLUMNS)
    if len(groups) == 1:  # one file: typed straight from the CSV
        items = typed_columns(text, decimal, path)
        table = _write(connection, "SELECT {0} FROM {1}".format(", ".join(items), raw),
                       scratch, "typed", 0, len(items))
        return duckdb_source(connection, table, path)
    names = [column.name for column in text.columns]
    text = _grouped(connection, grouped(_TEXT_COLUMNS), lambda group: "SELECT {0} FROM {1}"
                    .format(", ".join(column.sql_name for column in group), raw),
                    scratch, "text", names, path)
    items = dict(zip(names, typed_columns(text, decimal, path)))
    return _grouped(connection, groups, lambda group: "SELECT {0} FROM {1}".format(
        ", ".join(items[column.name] for column in group), text.table_of(group[-1])),
        scratch, "typed", names, path)


def _grouped(connection, groups, select, scratch, kind, names, where):
    """The Source of the files ``select(group)`` writes for each group of columns, its
    columns in the order of ``names``."""
    tables, columns = {}, {}
    for place, group in enumerate(groups):
        table = _write(connection, select(group), scratch, kind, place, len(group))
        tables.update((column.name, table) for column in group)
        for column in duckdb_source(connection, table, where).columns:
            columns.setdefault(column.name, column)
    return Source(DUCKDB, tables[groups[0][0].name], [columns[name] for name in names],
                  _rows(connection), where, tables)


# The most columns one Parquet file the CSV is typed into holds, and the rows of its
# row groups that keep its writer within a few megabytes per column.
_FILE_COLUMNS = 50
_TEXT_COLUMNS = 2 * _FILE_COLUMNS  # text columns take less of a writer's buffers
_FILE_CELLS = 1 << 20


def _read(scratch, kind, place):
    return "read_parquet({0})".format(_file(os.path.join(scratch, "{0}{1}.parquet".format(
        kind, place))))


def _write(connection, select, scratch, kind, place, width):
    """Writes the rows of ``select`` to a Parquet file in ``scratch``; returns its table."""
    target = os.path.join(scratch, "{0}{1}.parquet".format(kind, place))
    rows = max(2048, min(122880, _FILE_CELLS // max(1, width)))
    interruptible(connection, "COPY ({0}) TO {1} (FORMAT parquet, ROW_GROUP_SIZE {2})".format(
        select, literal(target), rows))
    return _read(scratch, kind, place)
