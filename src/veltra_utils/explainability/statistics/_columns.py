"""Choosing the columns of the statistics, and the rules every engine applies to them."""
import warnings
from typing import Any, Iterable, List, Optional, Sequence, Set, Tuple

from veltra_utils.explainability.utils.text import quote
from veltra_utils.explainability.utils.validation import column_name_list
from veltra_utils.explainability.utils.values import GAP_CATEGORY
from veltra_utils.explainability.utils.values import plain as _plain


def chosen_columns(columns: List[Any], row_count: Optional[int], label_column: Any,
                   feature_columns: Optional[Iterable[Any]],
                   categorical_columns: Iterable[Any]) -> Tuple[List[Any], Set[Any]]:
    """The feature columns and the named categorical ones, checked against ``columns``.

    Raises ValueError for duplicate column names, a missing label column, a
    table without rows, and feature or categorical columns that are not among
    ``columns``.
    """
    duplicated = sorted({str(name) for name in columns if columns.count(name) > 1})
    if duplicated:
        raise ValueError("Duplicate column names: {0}".format(", ".join(duplicated)))
    if label_column not in columns:
        raise ValueError("The label column {0!r} is not among the columns".format(label_column))
    if row_count == 0:
        raise ValueError("The training data has no rows")
    if feature_columns is None:
        feature_columns = [name for name in columns if name != label_column]
    else:
        feature_columns = column_name_list(feature_columns, "feature_columns")
        for name in feature_columns:
            if name == label_column:
                raise ValueError("The label column {0!r} is listed as a feature column"
                                 .format(label_column))
            if name not in columns:
                raise ValueError("The feature column {0!r} is not among the columns"
                                 .format(name))
    categorical = set(column_name_list(categorical_columns, "categorical_columns"))
    for name in categorical:
        if name == label_column:
            raise ValueError("The label column {0!r} is listed as a categorical column"
                             .format(label_column))
        if name not in feature_columns:
            raise ValueError("The categorical column {0!r} is not a feature column"
                             .format(name))
    return list(feature_columns), categorical


def check_names(names: Sequence[Any], path: Any, label_column: Any,
                feature_columns: Optional[Iterable[Any]]) -> None:
    """Name the file and its columns when a column asked for is not among them."""
    wanted = [label_column] + ([] if feature_columns is None or isinstance(feature_columns, str)
                               else list(feature_columns))
    for name in wanted:
        if name not in names:
            raise ValueError("the training data {0} has no column {1}; its columns are {2}"
                             .format(path, quote(name), ", ".join(map(str, names))))


def sorted_distinct(values: Iterable[Any], what: str) -> List[Any]:
    """The distinct ``values`` in order; ValueError naming ``what`` when they mix kinds
    that cannot be ordered."""
    values = list(values)
    try:
        return sorted(set(values))
    except TypeError:
        kinds = sorted({type(value).__name__ for value in values})
        raise ValueError("{0} mixes values of types that cannot be ordered: {1}"
                         .format(what, ", ".join(kinds))) from None


def object_array(values: Iterable[Any]) -> Any:
    """A 1-d object array of plain Python values, so decoded categories stay plain;
    None (as engines and stored files give a column's gaps) is the gap category."""
    import numpy as np

    values = list(values)
    array = np.empty(len(values), dtype=object)
    for index, value in enumerate(values):
        value = _plain(value)
        array[index] = GAP_CATEGORY if value is None else value
    return array


def warn_unlabelled(count: int, label_column: Any) -> None:
    """The warning for ``count`` training rows without a label, which are left out."""
    warnings.warn("{0} row{1} without a value in the label column {2!r} {3} left out of the "
                  "statistics".format(count, "" if count == 1 else "s", label_column,
                                      "is" if count == 1 else "are"), UserWarning, stacklevel=5)


def no_values(name: Any) -> ValueError:
    return ValueError("The numeric column {0!r} has no values".format(name))


def infinite_values(name: Any) -> ValueError:
    return ValueError("The numeric column {0!r} holds infinite values".format(name))


def categorical_gaps(name: Any) -> ValueError:
    """The refusal of a categorical column's gaps, with ``missing="error"``."""
    return ValueError("The categorical column {0!r} has missing values".format(name))


def unlabelled_table(label_column: Any) -> ValueError:
    return ValueError("The label column {0!r} has no values".format(label_column))
