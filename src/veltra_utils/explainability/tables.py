"""Reading tables of training data and records, as users keep them in files.

    frame = read_table("train.csv", what="training data")
    frame = read_records("scored.parquet", config)    # CSV or Parquet, told by content
    records = frame_records(frame, config)             # one dict per row, gaps as None
    refused = refused_records(frame)                   # rows whose cells hold no number

Every failure is a ``TableError`` whose message names the file and says in one
line what is wrong with it.
"""
import bisect
import contextlib
import warnings

from veltra_utils.explainability._optional import require
from veltra_utils.explainability.errors import DecimalCommaWarning, TableError, TableWarning
from veltra_utils.explainability.utils.files import PARQUET_MAGIC, has_parquet_suffix
from veltra_utils.explainability.utils.text import one_line, quote
from veltra_utils.explainability.utils.values import is_missing, plain


def read_table(path, what="table", dtype=None, sep=None, decimal=None):
    """The CSV or Parquet file at ``path`` as a pandas DataFrame.

    ``what`` names the file in messages ("training data", "records"). A file
    that starts with Parquet's ``PAR1`` marker is read as Parquet, whatever its
    name, with the types it stores (``dtype``, ``sep`` and ``decimal`` do not
    apply); that needs pyarrow. Any other file is CSV: ``sep`` is its
    separator, by default the one of ``,`` ``;`` tab ``|`` its first lines use
    (``,`` when they do not tell); ``decimal`` its decimal mark, ``.`` by
    default (``,`` for ``64,9``): columns that look like numbers with decimal
    commas while it is not given are read as text, with a
    ``DecimalCommaWarning``. A byte-order mark is not part of the first
    column's name. ``dtype`` maps column names to the types to read them as. A
    space after each separator, as hand-written files often have, is not part
    of the value.
    """
    import pandas as pd

    from veltra_utils.explainability.utils.files import not_a_regular_file

    if not_a_regular_file(path, what):
        raise TableError(not_a_regular_file(path, what))
    try:
        if is_parquet(path, what):
            return _read_parquet(path, what)
        if sep is None:
            sep = sniff_separator(path)
        with _csv_errors(path, what):
            frame = pd.read_csv(path, **csv_options(sep, decimal, dtype))
        if decimal is None:
            warn_decimal_commas(decimal_comma_columns(frame), path)
        return frame
    except TableError:
        raise
    except (ValueError, OSError) as error:
        raise TableError("the {0} file {1} is not readable: {2}"
                         .format(what, path, one_line(error))) from None


def csv_options(sep, decimal=None, dtype=None):
    """The settings of pandas' ``read_csv`` that read a CSV file as ``read_table`` does."""
    return dict(dtype=dtype, sep=sep, skipinitialspace=True, na_values=sorted(MISSING_TEXT),
                keep_default_na=False, decimal=decimal or ".", encoding="utf-8-sig")


def read_csv_blocks(path, what, rows, sep, decimal=None, dtype=None, usecols=None):
    """The CSV file at ``path`` read as ``read_table`` reads it, as DataFrames of ``rows``
    rows each (one empty DataFrame for a file of a header alone). A cell is the value
    it would be in the whole table; a column's type is that of the block's cells."""
    import pandas as pd

    with _csv_errors(path, what):
        with pd.read_csv(path, chunksize=rows, usecols=usecols,
                         **csv_options(sep, decimal, dtype)) as reader:
            yield from reader


@contextlib.contextmanager
def _csv_errors(path, what):
    """Turn what pandas raises for a CSV file it cannot read into a TableError."""
    import pandas as pd

    try:
        with _file_errors(path, what):
            yield
    except pd.errors.EmptyDataError:
        raise TableError("the {0} file {1} is empty".format(what, path)) from None
    except (pd.errors.ParserError, UnicodeDecodeError, ValueError, OSError) as error:
        raise TableError("the {0} file {1} is not readable CSV: {2}"
                         .format(what, path, one_line(error))) from None


def warn_decimal_commas(columns, path):
    """Warn that the columns ``columns`` of the CSV file ``path`` look like numbers written
    with decimal commas, which were read as text."""
    if columns:
        warnings.warn(DecimalCommaWarning(
            "the column{0} {1} of {2} look{3} like numbers written with a decimal comma (64,9) "
            "and {4} read as text; pass decimal=\",\" to read {5} as numbers".format(
                "s" if len(columns) > 1 else "", ", ".join(quote(name) for name in columns),
                path, "" if len(columns) > 1 else "s", "are" if len(columns) > 1 else "is",
                "them" if len(columns) > 1 else "it"), columns), stacklevel=3)


# A cell that is a number only with a decimal comma, and one that is a whole number.
DECIMAL_COMMA_PATTERN = r"[+-]?[0-9]*,[0-9]+"
WHOLE_NUMBER_PATTERN = r"[+-]?[0-9]+"


def decimal_comma_columns(frame):
    """The text columns of ``frame`` whose cells are all numbers, some with a decimal comma."""
    import pandas as pd

    return [name for name in frame.columns
            if (pd.api.types.is_object_dtype(frame[name].dtype)
                or pd.api.types.is_string_dtype(frame[name].dtype))
            and all(decimal_commas(frame[name]))]


def decimal_commas(column):
    """(whether some cell of the text column holds a number with a decimal comma, whether
    every present cell is one or a whole number)."""
    present = column.dropna().astype(str).str.strip()
    commas = present.str.fullmatch(DECIMAL_COMMA_PATTERN)
    return (bool(len(present) and commas.any()),
            bool((commas | present.str.fullmatch(WHOLE_NUMBER_PATTERN)).all()))


# The separators a CSV file is looked at for, in the order ties go.
SEPARATORS = ",;\t|"
# The cells of a CSV file that count as missing values (pandas' own list).
MISSING_TEXT = frozenset(["", "#N/A", "#N/A N/A", "#NA", "-1.#IND", "-1.#QNAN", "-NaN", "-nan",
                          "1.#IND", "1.#QNAN", "<NA>", "N/A", "NA", "NULL", "NaN", "None", "n/a",
                          "nan", "null"])
_SNIFFED_LINES = 50
_SNIFFED_CHARACTERS = 1 << 16


def sniff_separator(path):
    """The separator among ``SEPARATORS`` the first lines of the CSV file at ``path`` use, else ``,``."""
    import csv

    lines, size = [], 0
    with open(path, encoding="utf-8-sig", errors="replace", newline="") as file:
        while len(lines) < _SNIFFED_LINES and size < _SNIFFED_CHARACTERS:
            line = file.readline(_SNIFFED_CHARACTERS - size)
            if not line:
                break
            lines.append(line)
            size += len(line)
    if len(lines) > 1 and not lines[-1].endswith("\n"):
        lines.pop()  # cut short, it would look like a line of fewer columns
    try:
        return csv.Sniffer().sniff("".join(lines), delimiters=SEPARATORS).delimiter
    except csv.Error:  # one column, or nothing to tell the separators apart
        return ","


def is_parquet(path, what="table"):
    """Whether the file at ``path`` is Parquet (by content), else CSV; TableError when it
    cannot be read or is named Parquet without being one."""
    with _file_errors(path, what):
        try:
            return starts_as_parquet(path, what)
        except OSError as error:
            if isinstance(error, (FileNotFoundError, IsADirectoryError, PermissionError)):
                raise
            raise TableError("the {0} file {1} cannot be read: {2}"
                             .format(what, path, one_line(error))) from None


@contextlib.contextmanager
def _file_errors(path, what):
    """Turn a missing, unreadable or directory ``path`` into a TableError naming the file."""
    try:
        yield
    except FileNotFoundError:
        raise TableError("the {0} file {1} does not exist".format(what, path)) from None
    except IsADirectoryError:
        raise TableError("the {0} file {1} is a directory".format(what, path)) from None
    except PermissionError:
        raise TableError("the {0} file {1} cannot be read (permission denied)"
                         .format(what, path)) from None


def csv_header(path, sep):
    """The column names of a CSV file as ``read_table`` names them: a blank name is
    "Unnamed: i", and a name seen before takes ".1", ".2", ... so that the records read
    later match."""
    import pandas as pd

    try:
        return [str(name) for name in pd.read_csv(
            path, nrows=0, sep=sep, quotechar='"', skipinitialspace=True,
            encoding="utf-8-sig", encoding_errors="replace").columns]
    except pd.errors.EmptyDataError:
        return []


def starts_as_parquet(path, what):
    """Whether the file at ``path`` starts as Parquet does; TableError for one named Parquet
    that does not."""
    with open(path, "rb") as file:
        head = file.read(len(PARQUET_MAGIC))
    if head == PARQUET_MAGIC:
        return True
    if has_parquet_suffix(path):
        # Named Parquet but not one: damaged or cut short, rather than CSV.
        raise TableError("the {0} file {1} is not Parquet: it does not start with PAR1"
                         .format(what, path))
    return False


def parquet_count(path, what="records"):
    """The number of rows a Parquet file's footer gives, without reading them; None for a
    file that is not Parquet."""
    if not is_parquet(path, what):
        return None
    pq = _parquet_module(path, what)
    try:
        return pq.ParquetFile(path).metadata.num_rows
    except Exception as error:  # pyarrow's own errors for a damaged footer
        raise TableError("the {0} file {1} is not readable Parquet: {2}"
                         .format(what, path, one_line(error))) from None


# Rows decoded at a time when reading chosen rows of a Parquet file.
_PARQUET_BATCH_ROWS = 1 << 16


def parquet_rows(path, positions, columns=None, what="records"):
    """The rows at ``positions`` (sorted, distinct) of the Parquet file at ``path`` as a
    pyarrow Table, in that order: only the row groups that hold them are read, a batch at
    a time, so memory stays bounded by the rows asked for."""
    pq = _parquet_module(path, what)
    import pyarrow

    try:
        source = pq.ParquetFile(path)
        starts, start = [], 0
        for group in range(source.metadata.num_row_groups):
            starts.append(start)
            start += source.metadata.row_group(group).num_rows
        wanted = list(positions)
        groups = sorted({bisect.bisect_right(starts, position) - 1 for position in wanted})
        pieces, following = [], 0
        for group in groups:
            row = starts[group]
            for batch in source.iter_batches(batch_size=_PARQUET_BATCH_ROWS, row_groups=[group],
                                             columns=columns):
                end = row + batch.num_rows
                chosen = []
                while following < len(wanted) and wanted[following] < end:
                    chosen.append(wanted[following] - row)
                    following += 1
                if chosen:
                    pieces.append(batch.take(pyarrow.array(chosen)))
                row = end
                if following == len(wanted) or wanted[following] >= starts[group] + \
                        source.metadata.row_group(group).num_rows:
                    break
        if pieces:
            return pyarrow.Table.from_batches(pieces)
        schema = source.schema_arrow
        return schema.empty_table() if columns is None else \
            pyarrow.schema([schema.field(name) for name in columns]).empty_table()
    except TableError:
        raise
    except Exception as error:  # pyarrow's own errors for a damaged file
        raise TableError("the {0} file {1} is not readable Parquet: {2}"
                         .format(what, path, one_line(error))) from None


def _parquet_module(path, what):
    """pyarrow.parquet, or the TableError that names the extra to install."""
    require("pyarrow", "parquet", "the {0} file {1} is Parquet, which".format(what, path),
            error=TableError)
    import pyarrow.parquet

    return pyarrow.parquet


def _read_parquet(path, what):
    import pandas as pd

    _parquet_module(path, what)  # pandas reads Parquet through it
    try:
        return pd.read_parquet(path, engine="pyarrow")
    except (FileNotFoundError, IsADirectoryError, PermissionError):
        raise
    except Exception as error:  # pyarrow's own errors for a damaged file
        raise TableError("the {0} file {1} is not readable Parquet: {2}"
                         .format(what, path, one_line(error))) from None


def read_records(path, config, sep=None, decimal=None, rows=None):
    """The records of a CSV or Parquet file as a DataFrame, checked against ``config``.

    Categorical columns whose categories are text are read as text, so a
    category "007" stays "007". Numeric columns are read cell by cell: a cell
    that holds no number, or a number past the range of its column's type, is
    left empty and noted in ``cell_errors(frame)``, so that its record fails
    alone (``refused_records``) instead of turning the whole column into text.
    ``sep`` and ``decimal`` are the CSV separator and decimal mark (see
    ``read_table``). ``rows`` (sorted, distinct positions) reads only those
    records of a Parquet file, a batch of rows at a time, so that memory stays
    bounded whatever the file holds; the frame's index is then their positions.
    Raises TableError when the file lacks a feature column or holds no records.
    """
    from veltra_utils.explainability.entity.explain_config import missing_columns

    if rows is not None and is_parquet(path, "records"):
        frame = parquet_rows(path, rows).to_pandas()
        frame.index = list(rows)
    else:
        frame = read_table(path, "records", dtype=record_dtypes(config), sep=sep,
                           decimal=decimal)
    missing = missing_columns(frame.columns, config, scored=False)
    if missing:
        raise TableError(missing_message(path, missing))
    if len(frame) == 0:
        raise TableError("the records file {0} holds no records".format(path))
    return convert_cells(frame, config, decimal)


def record_dtypes(config):
    """{column: str} for the record columns read as written: text categories, and the
    numbers that ``convert_cells`` converts cell by cell."""
    dtype = _text_columns(config.training_stats)
    dtype.update((name, str) for name in _number_columns(config))
    return dtype


def missing_message(path, missing):
    """The error for a records file that lacks the feature columns ``missing``."""
    return "the records file {0} lacks the feature column{1} {2}".format(
        path, "s" if len(missing) > 1 else "", ", ".join(quote(name) for name in missing))


def convert_cells(frame, config, decimal=None):
    """Turn ``frame``'s number columns from the text a CSV file holds into numbers; return it.

    A cell that holds no number, or a number past its column's range, is left
    empty and noted in ``cell_errors(frame)``; the message names the row by
    the frame's index. Columns already typed (as Parquet stores them) keep
    their type. ``decimal`` is the decimal mark of the text (``.`` when None).
    """
    errors = {}
    for name, kind in _number_columns(config).items():
        if name in frame.columns:
            _read_numbers(frame, name, kind, errors, decimal or ".")
    frame.attrs[_CELL_ERRORS] = {row: "; ".join(errors[row]) for row in sorted(errors)}
    return frame


_CELL_ERRORS = "cell_errors"
_INT64_END = 2.0 ** 63   # the first magnitude past the 64-bit integers
_TRUE_FALSE = {"true": True, "false": False}


def cell_errors(frame):
    """{row position: message} for the rows of a ``read_records`` frame that hold a bad cell."""
    return dict(frame.attrs.get(_CELL_ERRORS, {}))


def refused_records(frame, positions=None):
    """{index: error response} for the rows at ``positions`` (default: all) with a bad cell.

    The index is the place in ``positions``, as in ``frame_records``.
    """
    from veltra_utils.explainability.entity.explain_response import error_response

    errors = cell_errors(frame)
    if positions is None:
        positions = range(len(frame))
    return {index: error_response(errors[position])
            for index, position in enumerate(positions) if position in errors}


def around_refused(count, refused, explain):
    """(index, response) for ``count`` records in order: those in ``refused`` with the
    response given there, the others as ``explain(indexes)`` answers them.

    ``explain`` receives the indexes of the records still to explain and
    yields ``(i, response)`` in order, ``i`` counting among those indexes.
    """
    kept = [index for index in range(count) if index not in refused]
    following = 0
    if kept:
        with contextlib.closing(explain(kept)) as explained:
            for place, response in explained:
                while following < kept[place]:
                    yield following, refused[following]
                    following += 1
                yield kept[place], response
                following = kept[place] + 1
    for index in range(following, count):
        yield index, refused[index]


def _number_columns(config):
    """{column: kind} of the columns that hold numbers: "integer" and "number" for
    numeric features and output, "code" and "flag" for categories that are numbers
    or true/false."""
    from veltra_utils.explainability.entity.constants import ProblemType
    from veltra_utils.explainability.utils.values import is_integer_type, is_number

    stats = config.training_stats
    categorical = set(stats.cat_col_indexes)
    kinds = {}
    for position, name in enumerate(stats.feature_columns):
        if position not in categorical:
            kinds[name] = "integer" if is_integer_type(config.schema.get(name)) else "number"
            continue
        categories = stats.cat_cols_encoding_map.get(position)
        present = [] if categories is None else \
            [value for value in categories.tolist() if not is_missing(value)]
        if present and all(isinstance(value, bool) for value in present):
            kinds[name] = "flag"
        elif present and all(is_number(value) and not isinstance(value, bool)
                             for value in present):
            kinds[name] = "code"
    if config.problem_type is ProblemType.REGRESSION:
        kinds[config.prediction_column] = "number"
    else:
        kinds[config.probability_column] = "number"
        labels = [label for label in stats.class_labels if label is not None]
        if labels and all(isinstance(label, bool) for label in labels):
            kinds[config.prediction_column] = "flag"
        elif labels and all(is_number(label) and not isinstance(label, bool) for label in labels):
            kinds[config.prediction_column] = "code"
    return kinds


def _read_numbers(frame, name, kind, errors, decimal="."):
    """Turn the column ``name`` from the text the file holds into numbers (or true/false).

    A cell that is no number, or one past its type's range, is emptied and its
    message added to ``errors`` under its row; in a column of categories such
    a cell keeps its text, which the explainer then reports as a value the
    training data never held. Columns the file stores typed (Parquet) keep
    their type; only their integers are checked against the 64-bit range.
    """
    import numpy as np
    import pandas as pd

    column = frame[name]
    present = column.notna()
    if not all(isinstance(value, str) for value in column[present]):
        if kind == "integer" and pd.api.types.is_numeric_dtype(column.dtype) \
                and not pd.api.types.is_bool_dtype(column.dtype):
            beyond = present & (column.astype(np.float64).abs() >= _INT64_END)
            _note(errors, column, beyond, name, "beyond the 64-bit integer range")
            if beyond.any():
                frame[name] = _as_integers(column.astype(np.float64).mask(beyond))
        return
    if kind == "flag":
        frame[name] = column.map(
            lambda text: _TRUE_FALSE.get(text.strip().lower(), text) if isinstance(text, str)
            else None)
        return
    if decimal != ".":
        column = column.map(lambda text: text if not isinstance(text, str) or "." in text
                            else text.replace(decimal, "."))
    numbers = pd.to_numeric(column, errors="coerce")
    text_only = present & numbers.isna()
    if kind == "code":
        if text_only.any():
            frame[name] = pd.Series([text if bad else _whole(number) for text, number, bad
                                     in zip(column, numbers, text_only)],
                                    index=column.index, dtype=object).where(present, None)
        else:
            frame[name] = numbers
        return
    _note(errors, column, text_only, name, "which is not a number")
    # "inf" written out stays infinite (the explainer refuses it); 1e999 overflowed.
    spelled_infinite = column.str.strip().str.lstrip("+-").str.lower() \
        .isin(["inf", "infinity"]).fillna(False).astype(bool)
    magnitude = numbers.astype(np.float64).abs()
    if kind == "integer":
        beyond = present & ~spelled_infinite & (magnitude >= _INT64_END)
        _note(errors, column, beyond, name, "beyond the 64-bit integer range")
    else:
        beyond = present & ~spelled_infinite & np.isinf(magnitude)
        _note(errors, column, beyond, name, "beyond the floating-point range")
    numbers = numbers.mask(beyond) if beyond.any() else numbers
    if kind == "integer":
        numbers = _as_integers(numbers)
    frame[name] = numbers


def _note(errors, column, bad, name, why):
    import numpy as np

    for row in np.flatnonzero(bad.to_numpy()):
        errors.setdefault(int(row), []).append("The cell in row {0}, column {1} holds {2}, {3}"
                                               .format(column.index[row], quote(name),
                                                       quote(plain(column.iloc[row])), why))


def _as_integers(numbers):
    """Whole numbers as integers (nullable where cells are empty); anything else as it is."""
    import numpy as np

    values = numbers.dropna().to_numpy()
    if numbers.dtype.kind in "iu" or not len(values) or not np.isfinite(values).all() \
            or not np.array_equal(values, np.floor(values)):
        return numbers
    return numbers.astype("Int64" if numbers.isna().any() else np.int64)


def _whole(number):
    return int(number) if float(number).is_integer() else float(number)


def frame_records(frame, config, positions=None):
    """The rows at ``positions`` (default: all) as records: the feature columns, and the
    prediction and probability columns where the frame has them; empty cells become None."""
    rows = frame.to_dict("records")
    if positions is None:
        positions = range(len(rows))
    names = list(config.feature_columns) + [name for name in (config.prediction_column,
                                                              config.probability_column)
                                            if name in frame.columns]
    return [{name: _value(rows[position][name]) for name in names} for position in positions]


def _value(value):
    return None if is_missing(value) else value


def _text_columns(stats):
    dtypes = {}
    for position, name in enumerate(stats.feature_columns):
        categories = stats.cat_cols_encoding_map.get(position)
        present = [] if categories is None else \
            [value for value in categories.tolist() if not is_missing(value)]  # NaN: the gap
        if present and all(isinstance(value, str) for value in present):
            dtypes[name] = str
    return dtypes


def select_rows(text, count):
    """The row positions that ``text`` selects among ``count`` records, in order.

    ``text`` is a comma-separated list of positions (``7``) and half-open ranges
    (``0:10``, ``5:``, ``:3``), counted from 0 like the records after the header.
    A position or range that reaches past the end is treated alike: what lies
    beyond the last record is left out with a warning. Raises TableError for
    malformed text or a selection that holds no record.
    """
    selected, beyond = [], []
    for part in text.split(","):
        part = part.strip()
        try:
            start_text, colon, end_text = part.partition(":")
            start = int(start_text) if start_text.strip() or not colon else 0
            end = (int(end_text) if end_text.strip() else count) if colon else start + 1
            if start < 0 or end < 0:
                raise ValueError
        except ValueError:
            raise TableError("expected positions and ranges such as 0:10 or 3,7,9, got {0}"
                             .format(quote(text))) from None
        if end > count:
            beyond.append(part)
        selected.extend(range(start, min(end, count)))
    if beyond:
        verb = ("is" if len(beyond) == 1 else "are") if not selected or \
            not any(":" in part for part in beyond) else ("runs" if len(beyond) == 1 else "run")
        past = "{0} {1} past the end: there {2} only {3} record{4}".format(
            ", ".join(beyond), verb, "is" if count == 1 else "are", count,
            "" if count == 1 else "s")
        if not selected:
            raise TableError(past)
        warnings.warn(TableWarning(past + "; what lies beyond is left out"), stacklevel=2)
    if not selected:
        raise TableError("{0} selects no records".format(quote(text)))
    return selected
