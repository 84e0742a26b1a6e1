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


def categorical_columns(frame, names):
    """The columns among ``names`` that can only be categories: text, true/false, anything not numeric."""
    import pandas as pd

    return [name for name in names
            if pd.api.types.is_bool_dtype(frame[name].dtype)
            or not pd.api.types.is_numeric_dtype(frame[name].dtype)]


def read_records(path, config):
    """The records of a CSV file as a DataFrame, checked against ``config``.

    Categorical columns whose categories are text are read as text, so a
    category "007" stays "007". Raises TableError when the file lacks a feature
    column or holds no records.
    """
    frame = read_table(path, "records", dtype=_text_columns(config.training_stats))
    missing = [name for name in config.feature_columns if name not in frame.columns]
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
        if categories is not None and len(categories) \
                and all(isinstance(value, str) for value in categories.tolist()):
            dtypes[name] = str
    return dtypes
