"""The DuckDB engine: statistics of CSV or Parquet files computed out of core.

DuckDB reads Parquet files where they lie, in about ``memory_limit`` of memory,
spilling to a temporary folder beyond it; nothing but aggregates comes into
Python. A CSV file is first read by pandas a block of rows at a time and
written to Parquet by DuckDB (see ``_csv_source``). Queries run in a thread of
their own so that an interrupt stops them at once.
"""
import contextlib
import json
import os
import queue
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
)
from veltra_utils.explainability.statistics.engines._text_types import (
    typed_items,
    whole_numbers,
)
from veltra_utils.explainability.tables import (
    DECIMAL_COMMA_PATTERN,
    warn_decimal_commas,
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
                source = _csv_source(connection, files, path, sep, decimal, scratch,
                                     request)
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


def _csv_source(connection, files, path, sep, decimal, scratch, request):
    """The CSV files as Parquet files in ``scratch``, their columns typed as pandas reads them.

    pandas reads the CSV a block of rows at a time (about ``_BLOCK_CELLS`` cells), with
    the settings of ``read_table``, so that a cell is the value the pandas engine sees;
    DuckDB writes each block to Parquet files of at most ``_GROUP_COLUMNS`` columns: a
    column of numbers or true/false as n<place> (a double), one of text as t<place>, and
    the label's text as ``l`` in every file. A column's type is then the one its blocks
    agree on (see ``_Seen``), as pandas joins the blocks of a file it reads whole. A
    column whose blocks disagree (text beside numbers), or whose whole numbers a double
    does not hold exactly, is read again as text and typed from it; so is the label,
    which says which rows count.
    """
    from veltra_utils.explainability.statistics._columns import check_names
    from veltra_utils.explainability.tables import csv_header, sniff_separator

    sep = sep or sniff_separator(files[0])
    names = csv_header(files[0], sep)
    label = request.label_column
    check_names(names, path, label, request.feature_columns)
    label_at = names.index(label)
    features = [place for place in range(len(names)) if place != label_at]
    groups = [features[start:start + _GROUP_COLUMNS]
              for start in range(0, len(features), _GROUP_COLUMNS)] or [[]]
    seen = [_Seen() for _ in names]

    def cells(frame, places):
        data = {"l": _text(frame.iloc[:, label_at])}
        for place in places:
            data.update(seen[place].cells(frame.iloc[:, place], place))
        return data

    blocks = _blocks(files, names, sep, decimal, {label: str})
    written, layouts = _write_blocks(connection, blocks, groups, cells, scratch, "g")
    tables = [_table(files_of, len(layout) > 1) for files_of, layout in zip(written, layouts)]
    typed_label, label_type, commas = _label_typing(connection, tables[0], label, decimal, path)
    columns = {label: Column(label, typed_label, *column_kind(label_type))}
    table_of = {label: tables[0]}
    for group, places in enumerate(groups):
        for place in places:
            found = seen[place].type(place)
            if found is not None:
                columns[names[place]] = Column(names[place], found[1], *column_kind(found[0]))
                table_of[names[place]] = tables[group]
    commas += _decimal_comma_columns(connection, [
        (table_of[name], column) for name, column in columns.items()
        if column.kind == "text" and name != label], decimal)
    again = [place for place in features if names[place] not in columns]
    if again:
        typed, more = _typed_from_text(connection, files, names, again, label_at, sep,
                                       decimal, scratch, path)
        commas += more
        for name, (table, column) in typed.items():
            table_of[name], columns[name] = table, column
    places = {name: place for place, name in enumerate(names)}
    warn_decimal_commas(sorted(set(commas), key=places.get), path)
    return Source(DUCKDB, tables[0], [columns[name] for name in names], _rows(connection),
                  path, table_of)


# The most cells and rows of a block of the CSV that pandas reads at a time (two are held
# at once), and the most columns of a file of a block's cells: DuckDB's writer holds a
# buffer per column.
_BLOCK_CELLS = 1 << 23
_BLOCK_ROWS = 1 << 17
_GROUP_COLUMNS = 250
# Whole numbers up to this size are exact as doubles.
_EXACT_WHOLE = float(1 << 53)


class _Seen:
    """What the blocks of one CSV column held: the kinds of their cells ("integer",
    "float", "flag" for true/false, "text", "empty" for none present, "other" for what
    one type does not hold, as text beside numbers in one block) and the largest whole
    number."""

    def __init__(self):
        self.kinds = set()
        self.largest = 0.0

    def cells(self, column, place):
        """{name: values} of the block's ``column`` to write, noting what it holds."""
        import numpy as np

        kind, values = _block_cells(column)
        self.kinds.add(kind)
        if kind == "integer" and len(values):
            self.largest = max(self.largest, float(np.abs(values).max()))
        if kind == "other":
            return {}
        return {("t{0}" if kind == "text" else "n{0}").format(place): values}

    def type(self, place):
        """(type, SQL) of the column, as pandas types it when it reads the file whole;
        None when it is to be typed from its text."""
        kinds = self.kinds - {"empty"}
        if "other" in kinds:
            return None
        if kinds == {"integer"} and "empty" not in self.kinds:  # gaps make floats
            return ("BIGINT", "CAST(n{0} AS BIGINT)".format(place)) \
                if self.largest < _EXACT_WHOLE else None
        if kinds <= {"integer", "float"}:
            return "DOUBLE", "n{0}".format(place)
        if kinds == {"flag"}:
            return "BOOLEAN", "CAST(n{0} AS BOOLEAN)".format(place)
        if kinds == {"text"}:
            return "VARCHAR", "t{0}".format(place)
        return None


def _block_cells(column):
    """(kind, values) of a block's column as pandas read it: numbers and true/false as
    doubles (NaN for a gap), text as an object array (None for a gap)."""
    import numpy as np
    import pandas as pd

    kind = column.dtype.kind
    if kind in "biu":
        return {"b": "flag", "i": "integer", "u": "other"}[kind], \
            column.to_numpy(dtype=np.float64)
    if kind == "f":
        values = column.to_numpy(dtype=np.float64)
        return ("empty" if np.isnan(values).all() else "float"), values
    found = pd.api.types.infer_dtype(column, skipna=True)
    if found == "empty":
        return "empty", np.full(len(column), np.nan)
    if found == "string":
        return "text", _text(column)
    if found == "boolean":
        return "flag", column.map({True: 1.0, False: 0.0}).to_numpy(
            dtype=np.float64, na_value=np.nan)
    return "other", None


def _text(column):
    import numpy as np

    return column.to_numpy(dtype=object, na_value=None) if len(column) else \
        np.empty(0, dtype=object)


def _blocks(files, names, sep, decimal, dtype, usecols=None):
    """The CSV files as blocks of rows (DataFrames), the columns of each file the
    first one's."""
    from veltra_utils.explainability.tables import csv_header, read_csv_blocks

    rows = max(1, min(_BLOCK_ROWS, _BLOCK_CELLS // max(1, len(usecols or names))))
    for number, name in enumerate(files):
        if number and csv_header(name, sep) not in ([], names):  # [] when empty
            raise TableError("the training data file {0} has other columns than {1}"
                             .format(name, files[0]))
        yield from read_csv_blocks(name, "training data", rows, sep, decimal, dtype, usecols)


def _write_blocks(connection, blocks, groups, data_of, scratch, kind):
    """Writes each block of ``blocks`` (DataFrames, read ahead) to a Parquet file per group
    of places in ``groups``, its columns ``data_of(frame, places)`` ({name: values});
    returns ([the files of each group], [the column layouts of each group's files])."""
    written: List[List[str]] = [[] for _ in groups]
    layouts: List[set] = [set() for _ in groups]
    with contextlib.closing(_read_ahead(blocks)) as ahead:
        for block, frame in enumerate(ahead):
            for group, places in enumerate(groups):
                data = data_of(frame, places)
                layouts[group].add(tuple(data))
                written[group].append(_write_block(connection, data, scratch, kind, group,
                                                   block))
    return written, layouts


def _read_ahead(items):
    """The items of the iterator ``items``, each taken from it in a thread of its own while
    the caller works on the one before: pandas parses the next block of the CSV while
    DuckDB writes this one. What the iterator raises reaches the caller; the caller
    stopping (an error, an interrupt) stops the thread after the item it is taking."""
    ready: "queue.Queue[Any]" = queue.Queue(maxsize=1)
    stop = threading.Event()

    def hand(entry):
        while not stop.is_set():
            with contextlib.suppress(queue.Full):
                ready.put(entry, timeout=_SIGNAL_POLL_SECONDS)
                return True
        return False

    def take():
        try:
            for item in items:
                if not hand((item, None)):
                    return
            hand((_END, None))
        except BaseException as error:  # handed to the caller's thread
            hand((None, error))
        finally:
            items.close()

    thread = threading.Thread(target=take, name=_READ_AHEAD_THREAD, daemon=True)
    thread.start()
    try:
        while True:
            try:
                item, error = ready.get(timeout=_SIGNAL_POLL_SECONDS)
            except queue.Empty:
                continue
            if error is not None:
                raise error
            if item is _END:
                return
            yield item
    finally:
        stop.set()
        thread.join(_INTERRUPT_GRACE_SECONDS)


_END = object()
_READ_AHEAD_THREAD = "veltra-csv-blocks"


def _write_block(connection, data, scratch, kind, group, block):
    """Writes the columns ``data`` ({name: values}) of a block to a Parquet file of its
    own in ``scratch``; returns the file's path."""
    import pandas as pd

    target = os.path.join(scratch, "{0}{1}-{2}.parquet".format(kind, group, block))
    connection.register(_BLOCK_VIEW, pd.DataFrame(data, copy=False))
    try:
        interruptible(connection, "COPY (SELECT * FROM {0}) TO {1} (FORMAT parquet)".format(
            _BLOCK_VIEW, literal(target)))
    finally:
        connection.unregister(_BLOCK_VIEW)
    return target


_BLOCK_VIEW = "veltra_block"


def _table(files, differ=False):
    """The SQL of the table of the Parquet files ``files``; where their columns ``differ``,
    a column a file lacks is empty in it."""
    return "read_parquet({0}{1})".format(_file_list(files),
                                        ", union_by_name = true" if differ else "")


def _label_typing(connection, table, label, decimal, path):
    """(the SQL that types the label's text ``l`` of ``table`` as pandas would, its type,
    [the label] when it looks like numbers with decimal commas)."""
    items, commas = typed_items(Source(DUCKDB, table, [Column(label, "l", "text", "string")],
                                       _rows(connection), path), decimal)
    typed = items[0][:-len(" AS l")]  # the item names the column it types
    described = interruptible(connection, "DESCRIBE SELECT {0} FROM {1}".format(typed, table))
    return typed, described[0][1], commas


def _decimal_comma_columns(connection, columns, decimal):
    """The names of the text columns ((table, Column)) whose cells are all numbers, some
    with a decimal comma, as ``decimal_commas`` tells them (blanks around a cell aside)."""
    if decimal is not None:
        return []
    source = Source(DUCKDB, "", [column for table, column in columns], _rows(connection),
                    None, {column.name: table for table, column in columns})
    cells = {column.name: "trim({0}, ' \t\n\r\x0b\x0c')".format(column.sql_name)
             for column in source.columns}
    counts = {}
    for table, group in source.groups(source.columns):
        row = source.one("SELECT {0} FROM {1}".format(", ".join(
            "count({0}), count(*) FILTER (WHERE instr({0}, ',') > 0 AND {1})".format(
                cells[column.name], DUCKDB.full_match(cells[column.name], DECIMAL_COMMA_PATTERN))
            for column in group), table))
        counts.update((column.name, row[2 * at:2 * at + 2]) for at, column in enumerate(group))
    chosen = [column for column in source.columns if counts[column.name][1]]
    wholes = whole_numbers(source, chosen, cells)
    return [column.name for column in chosen
            if counts[column.name][0] == counts[column.name][1] + wholes[column.name]]


def _typed_from_text(connection, files, names, places, label_at, sep, decimal, scratch, where):
    """({name: (table, Column)} of the columns at ``places`` read again as text and typed
    from it, as ``typed_items`` types it; the names of those that look like numbers with
    decimal commas)."""
    chosen = sorted(places + [label_at])
    groups = [places[start:start + _GROUP_COLUMNS]
              for start in range(0, len(places), _GROUP_COLUMNS)]

    def text(frame, members):
        data = {"t{0}".format(place): _text(frame.iloc[:, chosen.index(place)])
                for place in members}
        data["l"] = _text(frame.iloc[:, chosen.index(label_at)])
        return data

    blocks = _blocks(files, names, sep, decimal, str, chosen)
    written, _ = _write_blocks(connection, blocks, groups, text, scratch, "x")
    found, commas = {}, []
    for group, members in enumerate(groups):
        raw = _table(written[group])
        text = Source(DUCKDB, raw, [Column(names[place], "t{0}".format(place), "text", "string")
                                    for place in members], _rows(connection), where)
        items, more = typed_items(text, decimal)
        commas += more
        table = "(SELECT {0}, l FROM {1}) AS x{2}".format(", ".join(items), raw, group)
        described = {name: type_name for name, type_name, *_ in interruptible(
            connection, "DESCRIBE SELECT * FROM {0}".format(table))}
        for place in members:
            internal = "t{0}".format(place)
            found[names[place]] = (table, Column(names[place], internal,
                                                 *column_kind(described[internal])))
    return found, commas
