"""Reading tables of training data and records, as users keep them in files.

    frame = read_table("train.csv", what="training data")
    records = read_records("scored.csv", config)      # one dict per row, gaps as None

Every failure is a ``TableError`` whose message names the file and says in one
line what is wrong with it.
"""
from veltra_utils.explainability.utils.text import one_line, quote
from veltra_utils.explainability.utils.values import is_missing


class TableError(ValueError):
    """A table file that cannot be read, or that lacks what it must hold."""


def read_table(path, what="table", dtype=None):
    """The CSV file at ``path`` as a pandas DataFrame.

    ``what`` names the file in messages ("training data", "records").
    ``dtype`` maps column names to the types to read them as. A space after
    each comma, as hand-written files often have, is not part of the value.
    """
    import pandas as pd

    try:
        return pd.read_csv(path, dtype=dtype, skipinitialspace=True)
    except FileNotFoundError:
        raise TableError("the {0} file {1} does not exist".format(what, path)) from None
    except IsADirectoryError:
        raise TableError("the {0} file {1} is a directory".format(what, path)) from None
    except PermissionError:
        raise TableError("the {0} file {1} cannot be read (permission denied)"
                         .format(what, path)) from None
    except pd.errors.EmptyDataError:
        raise TableError("the {0} file {1} is empty".format(what, path)) from None
    except (pd.errors.ParserError, UnicodeDecodeError, ValueError, OSError) as error:
        raise TableError("the {0} file {1} is not readable CSV: {2}"
                         .format(what, path, one_line(error))) from None


def read_records(path, config):
    """The records of a CSV file as a DataFrame, checked against ``config``.

    Categorical columns whose categories are text are read as text, so a
    category "007" stays "007". Raises TableError when the file lacks a feature
    column or holds no records.
    """
    from veltra_utils.explainability.entity.explain_config import missing_columns

    frame = read_table(path, "records", dtype=_text_columns(config.training_stats))
    missing = missing_columns(frame.columns, config, scored=False)
    if missing:
        raise TableError("the records file {0} lacks the feature column{1} {2}".format(
            path, "s" if len(missing) > 1 else "", ", ".join(quote(name) for name in missing)))
    if len(frame) == 0:
        raise TableError("the records file {0} holds no records".format(path))
    return frame


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
            [value for value in categories.tolist() if value is not None]  # None: a gap
        if present and all(isinstance(value, str) for value in present):
            dtypes[name] = str
    return dtypes


def select_rows(text, count):
    """The row positions that ``text`` selects among ``count`` records, in order.

    ``text`` is a comma-separated list of positions (``7``) and half-open ranges
    (``0:10``, ``5:``, ``:3``), counted from 0 like the records after the header.
    Raises TableError for malformed text, a position past the end or an empty
    selection.
    """
    selected = []
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
        if start >= count and (start > 0 or not colon):
            raise TableError("{0} is past the end: there {1} only {2} record{3}".format(
                part, "is" if count == 1 else "are", count, "" if count == 1 else "s"))
        selected.extend(range(start, min(end, count)))
    if not selected:
        raise TableError("{0} selects no records".format(quote(text)))
    return selected
