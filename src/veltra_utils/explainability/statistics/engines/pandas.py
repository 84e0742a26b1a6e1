"""The pandas engine: statistics of a table held in memory as a pandas DataFrame.

Numeric columns are binned exactly as LIME's discretizer of the chosen kind
(quartile, decile or entropy) would bin the data, with numpy's own figures;
the entropy discretizer fits a tree on the rows, which only this engine has.
"""
import numbers
from typing import Any, List, Optional, Tuple

from veltra_utils.explainability.entity.constants import ProblemType
from veltra_utils.explainability.statistics._columns import (
    categorical_gaps,
    check_names,
    chosen_columns,
    infinite_values,
    no_values,
    sorted_distinct,
    unlabelled_table,
    warn_unlabelled,
)
from veltra_utils.explainability.statistics._labels import label_stats
from veltra_utils.explainability.statistics._schema import (
    inferred_categorical_columns,
    schema_type,
)
from veltra_utils.explainability.statistics._summary import (
    CategoricalSummary,
    ColumnSummary,
    NumericSummary,
    Request,
    TableSummary,
)
from veltra_utils.explainability.statistics.engines._base import StatisticsEngine
from veltra_utils.explainability.utils.text import one_line
from veltra_utils.explainability.utils.values import GAP_CATEGORY, is_missing, plain

# The seed the explainer gives LIME, which LIME's EntropyDiscretizer hands to its trees.
_ENTROPY_RANDOM_STATE = 10


class PandasEngine(StatisticsEngine):
    name = "pandas"
    description = "reads the table into memory (pandas); every discretizer, entropy included"

    def summarize_frame(self, frame: Any, request: Request) -> TableSummary:
        """The summary of the pandas DataFrame ``frame``."""
        import numpy as np

        label_column = request.label_column
        feature_columns, categorical = chosen_columns(
            list(frame.columns), len(frame), label_column, request.feature_columns,
            request.categorical_columns)
        frame = _labelled_rows(frame, label_column)
        categorical.update(inferred_categorical_columns(frame, feature_columns))
        schema = {name: schema_type(frame[name]) for name in feature_columns}
        # Entropy bins are drawn from the labels, so the label is read first.
        problem_type, class_labels = label_stats(frame[label_column], label_column,
                                                 request.problem_type)
        labels = _entropy_labels(frame[label_column], label_column, problem_type) \
            if request.discretizer == "entropy" else None
        tree_random_state = np.random.RandomState(_ENTROPY_RANDOM_STATE)

        columns: List[ColumnSummary] = []
        for name in feature_columns:
            if name in categorical:
                categories, counts = _categorical_counts(frame[name], name, request.missing)
                columns.append(CategoricalSummary(categories, counts))
                continue
            values = _numeric_values(frame[name], name)
            if labels is None:
                bins = _percentile_bins(values, request.discretizer)
            else:
                bins = _entropy_bins(values, _present_labels(frame[name], labels, values.size),
                                     name, tree_random_state)
            bins = np.unique(bins)
            columns.append(NumericSummary(bins, _per_bin(values, bins), float(values.min()),
                                          float(values.max()), float(np.std(values)),
                                          int(len(frame) - values.size)))
        return TableSummary(label_column, int(len(frame)), list(feature_columns), problem_type,
                            class_labels, schema, columns)

    def summarize_files(self, path: Any, request: Request, sep: Optional[str] = None,
                        decimal: Optional[str] = None, **options: Any) -> TableSummary:
        """The summary of the one file ``path`` names, read into memory."""
        from veltra_utils.explainability import tables

        frame = tables.read_table(path, "training data", sep=sep, decimal=decimal)
        check_names(list(frame.columns), path, request.label_column, request.feature_columns)
        return self.summarize_frame(frame, request)


def _labelled_rows(df: Any, label_column: Any) -> Any:
    """The rows of ``df`` that have a label: the model could not have learnt from the others."""
    unlabelled = df[label_column].isna().to_numpy()
    if not unlabelled.any():
        return df
    if unlabelled.all():
        raise unlabelled_table(label_column)
    warn_unlabelled(int(unlabelled.sum()), label_column)
    return df[~unlabelled]


def _categorical_counts(series: Any, name: Any, missing: str) -> Tuple[List[Any], List[int]]:
    """The column's sorted categories and their counts; missing values are the gap
    category, after the others."""
    values = [plain(value) for value in series.tolist()]
    present = [value for value in values if not is_missing(value)]
    gaps = len(values) - len(present)
    if gaps and missing == "error":
        raise categorical_gaps(name)
    categories = sorted_distinct(present, "The categorical column {0!r}".format(name))
    code = {category: index for index, category in enumerate(categories)}
    counts = [0] * len(categories)
    for value in present:
        counts[code[value]] += 1
    if gaps:
        categories.append(GAP_CATEGORY)
        counts.append(gaps)
    return categories, counts


def _numeric_values(series: Any, name: Any) -> Any:
    """The column's values as finite float64, missing values left out."""
    import numpy as np
    import pandas as pd

    if pd.api.types.is_bool_dtype(series.dtype) or pd.api.types.is_numeric_dtype(series.dtype):
        values = series.to_numpy(dtype=np.float64, na_value=np.nan)
    else:
        found = []
        for value in series.tolist():
            value = plain(value)
            if is_missing(value):
                found.append(np.nan)
            elif isinstance(value, numbers.Real) and not isinstance(value, (str, bytes)):
                found.append(float(value))
            else:
                raise ValueError("The numeric column {0!r} holds the non-numeric value {1!r}; "
                                 "list it as categorical or fix the data".format(name, value))
        values = np.asarray(found, dtype=np.float64)
    values = values[~np.isnan(values)]
    if values.size == 0:
        raise no_values(name)
    if not np.all(np.isfinite(values)):
        raise infinite_values(name)
    return values


def _entropy_labels(series: Any, name: Any, problem_type: ProblemType) -> Any:
    """The labels as an array, for drawing entropy bins; only classes can be separated."""
    if problem_type is ProblemType.REGRESSION:
        raise ValueError("The entropy discretizer bins by the class labels, and the label "
                         "column {0!r} of a regression problem has none; use the quartile or "
                         "decile discretizer".format(name))
    return series.to_numpy()


def _present_labels(series: Any, labels: Any, count: int) -> Any:
    """The labels of the rows whose value in ``series`` is present, as ``_numeric_values``
    keeps them."""
    present = labels[[not is_missing(plain(value)) for value in series.tolist()]]
    if present.size != count:
        raise RuntimeError("{0} labels for the {1} values of column {2!r}"
                           .format(present.size, count, series.name))
    return present


def _percentile_bins(values: Any, discretizer: str) -> Any:
    """The boundaries LIME's QuartileDiscretizer or DecileDiscretizer draws for a column."""
    import numpy as np

    percentiles = [25, 50, 75] if discretizer == "quartile" else list(range(10, 100, 10))
    return np.percentile(values, percentiles)


def _entropy_bins(values: Any, labels: Any, name: Any, random_state: Any) -> Any:
    """The boundaries LIME's EntropyDiscretizer draws for a column: the splits of a
    decision tree, three levels deep, that predicts the labels from the column
    alone; the median when the tree cannot split."""
    import numpy as np
    from sklearn.tree import DecisionTreeClassifier

    tree = DecisionTreeClassifier(criterion="entropy", max_depth=3, random_state=random_state)
    try:
        tree.fit(values.reshape(-1, 1), labels)
    except ValueError as error:  # values beyond what the tree's float32 holds, say
        raise ValueError("The entropy bins of the numeric column {0!r} cannot be drawn: {1}"
                         .format(name, one_line(error))) from None
    bins = tree.tree_.threshold[np.where(tree.tree_.children_left > -1)]
    return np.sort(bins) if bins.size else np.array([np.median(values)])


def _per_bin(values: Any, bins: Any) -> List[Tuple[int, float, float]]:
    """(count, mean, population std) of the values in each bin, placed as LIME's
    BaseDiscretizer places them."""
    import numpy as np

    positions = np.searchsorted(bins, values)
    per_bin = []
    for index in range(len(bins) + 1):
        selection = values[positions == index]
        per_bin.append((int(selection.size),
                        float(np.mean(selection)) if selection.size else 0.0,
                        float(np.std(selection)) if selection.size else 0.0))
    return per_bin
