"""Training statistics: everything LIME needs to sample around a record, without the data.

The statistics are computed once from the training data and then stand in for
it: LIME gets a single row of zeros for the shape plus ``get_lime_stats()``.
Numeric columns are binned at their quartiles exactly as LIME's
QuartileDiscretizer would bin the training data, so sampling from the
statistics matches sampling from the data itself.

Column positions are the positions in ``feature_columns``. Categorical values
are encoded by their position in the column's sorted distinct values.
"""
import math
import numbers

import numpy as np
import pandas as pd

from veltra_utils.explainability.entity.constants import ProblemType
from veltra_utils.explainability.utils.validation import column_name_list

# LIME adds this to every bin's standard deviation to avoid dividing by zero.
_STD_EPSILON = 1e-11
_FORMAT_VERSION = 1
_LIME_STATS_KEYS = ("means", "mins", "maxs", "stds", "feature_values", "feature_frequencies",
                    "bins")


class TrainingStats:
    """Statistics of the training data of one model.

    Build them with ``TrainingStats(rows, column_names, label_column, ...)`` or
    ``TrainingStats.from_dataframe(df, label_column, ...)``:

    * ``label_column``: the column holding the model's target;
    * ``categorical_columns``: names of the feature columns to treat as categories
      (every other feature column must hold numbers);
    * ``problem_type``: a ProblemType or its value text; when omitted it is
      inferred from the label: floating-point labels mean regression, other
      labels classification (binary for at most two distinct labels);
    * ``feature_columns``: the model's input columns in order; by default every
      column but the label.

    Missing values (NaN) in a numeric column are left out of that column's
    statistics; missing values in a categorical column or in the label are an
    error. Raises ValueError for data the statistics cannot describe.

    Attributes: ``label_column``, ``problem_type``, ``row_count``,
    ``feature_columns``, ``categorical_columns``, ``cat_col_indexes``,
    ``cat_cols_encoding_map`` ({position: array of category values by code}),
    ``stds`` (population standard deviation per position, 0.0 for categorical
    columns), ``class_labels`` (sorted distinct labels, [] for regression) and
    ``schema`` ({feature name: data-type name}).
    """

    def __init__(self, data, column_names, label_column, categorical_columns=(),
                 problem_type=None, feature_columns=None):
        column_names = list(column_names)
        if isinstance(data, pd.DataFrame):
            raise ValueError("Use TrainingStats.from_dataframe for a DataFrame")
        try:
            frame = pd.DataFrame(list(data), columns=column_names)
        except (ValueError, TypeError) as error:
            raise ValueError("The rows do not match the {0} column names: {1}"
                             .format(len(column_names), error)) from None
        self._compute(frame.infer_objects(), label_column, categorical_columns, problem_type,
                      feature_columns)

    @classmethod
    def from_dataframe(cls, df, label_column, categorical_columns=(), problem_type=None,
                       feature_columns=None):
        """Compute the statistics of a pandas DataFrame."""
        if not isinstance(df, pd.DataFrame):
            raise ValueError("Expected a pandas DataFrame, got {0}".format(type(df).__name__))
        stats = cls.__new__(cls)
        stats._compute(df, label_column, categorical_columns, problem_type, feature_columns)
        return stats

    # -- computation ---------------------------------------------------------

    def _compute(self, df, label_column, categorical_columns, problem_type, feature_columns):
        columns = list(df.columns)
        duplicated = sorted({str(name) for name in columns if columns.count(name) > 1})
        if duplicated:
            raise ValueError("Duplicate column names: {0}".format(", ".join(duplicated)))
        if label_column not in columns:
            raise ValueError("The label column {0!r} is not among the columns".format(label_column))
        if len(df) == 0:
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

        self.label_column = label_column
        self.row_count = int(len(df))
        self.feature_columns = list(feature_columns)
        self.categorical_columns = [name for name in feature_columns if name in categorical]
        self.cat_col_indexes = [pos for pos, name in enumerate(feature_columns)
                                if name in categorical]
        self.schema = {name: _schema_type(df[name]) for name in feature_columns}
        self.cat_cols_encoding_map = {}
        self.stds = []
        lime_stats = {key: {} for key in _LIME_STATS_KEYS}

        for pos, name in enumerate(feature_columns):
            if name in categorical:
                categories, counts = _categorical_counts(df[name], name)
                self.cat_cols_encoding_map[pos] = _object_array(categories)
                self.stds.append(0.0)
                lime_stats["feature_values"][pos] = list(range(len(categories)))
                lime_stats["feature_frequencies"][pos] = counts
            else:
                values = _numeric_values(df[name], name)
                self.stds.append(float(np.std(values)))
                for key, value in _quartile_stats(values).items():
                    lime_stats[key][pos] = value
        self._lime_stats = lime_stats

        self.problem_type, self.class_labels = _label_stats(df[label_column], label_column,
                                                            problem_type)

    # -- use -----------------------------------------------------------------

    def get_lime_stats(self):
        """The statistics in the form of LIME's ``training_data_stats``.

        Keys: "means", "mins", "maxs", "stds", "bins" (numeric column positions
        only) and "feature_values", "feature_frequencies" (every position). The
        containers are new on every call, so LIME may keep or change them.
        """
        return {key: {pos: list(values) for pos, values in by_position.items()}
                for key, by_position in self._lime_stats.items()}

    def to_dict(self):
        """Plain data for storing the statistics as JSON; see ``from_dict``."""
        return {
            "version": _FORMAT_VERSION,
            "label_column": self.label_column,
            "problem_type": self.problem_type.value,
            "row_count": self.row_count,
            "feature_columns": list(self.feature_columns),
            "categorical_columns": list(self.categorical_columns),
            "schema": dict(self.schema),
            "stds": list(self.stds),
            "class_labels": list(self.class_labels),
            "cat_cols_encoding_map": {str(pos): values.tolist()
                                      for pos, values in self.cat_cols_encoding_map.items()},
            "lime_stats": {key: {str(pos): value for pos, value in by_position.items()}
                           for key, by_position in self.get_lime_stats().items()},
        }

    @classmethod
    def from_dict(cls, data):
        """Rebuild statistics from ``to_dict()`` output, also after a JSON round trip."""
        if not isinstance(data, dict):
            raise ValueError("Expected a dict of training statistics, got {0}"
                             .format(type(data).__name__))
        required = ("label_column", "problem_type", "feature_columns", "categorical_columns",
                    "schema", "stds", "class_labels", "cat_cols_encoding_map", "lime_stats")
        missing = [key for key in required if key not in data]
        if missing:
            raise ValueError("The training statistics lack: {0}".format(", ".join(missing)))
        if data.get("version", _FORMAT_VERSION) != _FORMAT_VERSION:
            raise ValueError("Unsupported training statistics version {0!r}"
                             .format(data.get("version")))

        stats = cls.__new__(cls)
        try:
            stats.label_column = data["label_column"]
            stats.problem_type = _problem_type(data["problem_type"])
            stats.row_count = data.get("row_count")
            stats.feature_columns = list(data["feature_columns"])
            stats.categorical_columns = list(data["categorical_columns"])
            stats.cat_col_indexes = [pos for pos, name in enumerate(stats.feature_columns)
                                     if name in set(stats.categorical_columns)]
            stats.schema = dict(data["schema"])
            stats.stds = [float(value) for value in data["stds"]]
            stats.class_labels = list(data["class_labels"])
            stats.cat_cols_encoding_map = {
                int(pos): _object_array(values)
                for pos, values in data["cat_cols_encoding_map"].items()}
            lime_stats = data["lime_stats"]
            stats._lime_stats = {
                key: {int(pos): [_plain_number(item) for item in values]
                      for pos, values in lime_stats[key].items()}
                for key in _LIME_STATS_KEYS}
        except (KeyError, TypeError, AttributeError, ValueError) as error:
            raise ValueError("Malformed training statistics: {0!r}".format(error)) from None
        stats._check_consistency()
        return stats

    def _check_consistency(self):
        """Refuse statistics whose parts disagree, so LIME never samples from garbage."""
        count = len(self.feature_columns)
        if len(set(self.feature_columns)) != count:
            raise ValueError("Malformed training statistics: duplicate feature columns")
        if len(self.stds) != count:
            raise ValueError("Malformed training statistics: {0} stds for {1} feature columns"
                             .format(len(self.stds), count))
        unknown = [name for name in self.categorical_columns if name not in self.feature_columns]
        if unknown:
            raise ValueError("Malformed training statistics: categorical column {0!r} is not a "
                             "feature column".format(unknown[0]))
        untyped = [name for name in self.feature_columns if name not in self.schema]
        if untyped:
            raise ValueError("Malformed training statistics: no schema type for {0!r}"
                             .format(untyped[0]))
        stats = self._lime_stats
        for pos, name in enumerate(self.feature_columns):
            values = stats["feature_values"].get(pos)
            frequencies = stats["feature_frequencies"].get(pos)
            if values is None or frequencies is None or len(values) != len(frequencies) \
                    or not values or sum(frequencies) <= 0:
                raise ValueError("Malformed training statistics: bad value frequencies for "
                                 "column {0!r}".format(name))
            if pos in self.cat_col_indexes:
                if pos not in self.cat_cols_encoding_map \
                        or len(self.cat_cols_encoding_map[pos]) != len(values):
                    raise ValueError("Malformed training statistics: bad encoding map for "
                                     "column {0!r}".format(name))
                continue
            bins = stats["bins"].get(pos)
            if bins is None or not len(bins):
                raise ValueError("Malformed training statistics: no bins for column {0!r}"
                                 .format(name))
            for key in ("means", "stds", "mins", "maxs"):
                entry = stats[key].get(pos)
                if entry is None or len(entry) != len(bins) + 1:
                    raise ValueError("Malformed training statistics: bad {0} for column {1!r}"
                                     .format(key, name))
            if len(values) != len(bins) + 1:
                raise ValueError("Malformed training statistics: bad value frequencies for "
                                 "column {0!r}".format(name))
        extra = set(stats["bins"]) - set(range(count)) - set(self.cat_col_indexes)
        extra |= set(stats["means"]) - set(stats["bins"])
        if extra:
            raise ValueError("Malformed training statistics: statistics for unknown column "
                             "positions {0}".format(sorted(extra)))

    def __repr__(self):
        return ("TrainingStats(label_column={0!r}, problem_type={1}, feature_columns={2!r}, "
                "categorical_columns={3!r}, row_count={4!r})").format(
                    self.label_column, self.problem_type, self.feature_columns,
                    self.categorical_columns, self.row_count)


def _plain(value):
    """A numpy scalar as the equivalent Python value; anything else unchanged."""
    return value.item() if isinstance(value, np.generic) else value


def _plain_number(value):
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise ValueError("expected a number, got {0!r}".format(value))
    return _plain(value)


def _is_missing(value):
    if value is None or value is pd.NaT or value is pd.NA:
        return True
    return isinstance(value, float) and math.isnan(value)


def _sorted_distinct(values, what):
    try:
        return sorted(set(values))
    except TypeError:
        kinds = sorted({type(value).__name__ for value in values})
        raise ValueError("{0} mixes values of types that cannot be ordered: {1}"
                         .format(what, ", ".join(kinds))) from None


def _object_array(values):
    """A 1-d object array of plain Python values, so decoded categories stay plain."""
    values = list(values)
    array = np.empty(len(values), dtype=object)
    for index, value in enumerate(values):
        array[index] = value
    return array


def _categorical_counts(series, name):
    values = [_plain(value) for value in series.tolist()]
    if any(_is_missing(value) for value in values):
        raise ValueError("The categorical column {0!r} has missing values".format(name))
    categories = _sorted_distinct(values, "The categorical column {0!r}".format(name))
    code = {category: index for index, category in enumerate(categories)}
    counts = [0] * len(categories)
    for value in values:
        counts[code[value]] += 1
    return categories, counts


def _numeric_values(series, name):
    """The column's values as finite float64, missing values left out."""
    if pd.api.types.is_bool_dtype(series.dtype) or pd.api.types.is_numeric_dtype(series.dtype):
        values = series.to_numpy(dtype=np.float64, na_value=np.nan)
    else:
        values = []
        for value in series.tolist():
            value = _plain(value)
            if _is_missing(value):
                values.append(np.nan)
            elif isinstance(value, numbers.Real) and not isinstance(value, (str, bytes)):
                values.append(float(value))
            else:
                raise ValueError("The numeric column {0!r} holds the non-numeric value {1!r}; "
                                 "list it as categorical or fix the data".format(name, value))
        values = np.asarray(values, dtype=np.float64)
    values = values[~np.isnan(values)]
    if values.size == 0:
        raise ValueError("The numeric column {0!r} has no values".format(name))
    if not np.all(np.isfinite(values)):
        raise ValueError("The numeric column {0!r} holds infinite values".format(name))
    return values


def _quartile_stats(values):
    """One numeric column's LIME statistics, binned at its quartiles.

    The bins, the bin each value falls in and the per-bin figures are those
    LIME's QuartileDiscretizer and BaseDiscretizer compute from the data.
    """
    bins = np.unique(np.percentile(values, [25, 50, 75]))
    positions = np.searchsorted(bins, values)
    means, stds, frequencies = [], [], []
    for index in range(len(bins) + 1):
        selection = values[positions == index]
        frequencies.append(int(selection.size))
        mean = float(np.mean(selection)) if selection.size else 0.0
        std = float(np.std(selection)) if selection.size else 0.0
        low = float(values.min()) if index == 0 else float(bins[index - 1])
        high = float(values.max()) if index == len(bins) else float(bins[index])
        if selection.size and low == high:
            # Every value of this bin is `low` (a constant column, or a mass of
            # values at the column minimum). LIME draws a value of such a bin
            # as (min - mean) / std without undoing the scaling, which with the
            # true mean yields 0 instead of `low`. Mean 0 and std 1 make that
            # formula give `low` itself.
            means.append(0.0)
            stds.append(1.0)
            continue
        means.append(mean)
        stds.append(std + _STD_EPSILON)
    bins = [float(boundary) for boundary in bins]
    return {
        "bins": bins,
        "means": means,
        "stds": stds,
        "mins": [float(values.min())] + bins,
        "maxs": bins + [float(values.max())],
        "feature_values": list(range(len(bins) + 1)),
        "feature_frequencies": frequencies,
    }


def _problem_type(problem_type):
    if isinstance(problem_type, ProblemType):
        return problem_type
    try:
        return ProblemType(problem_type)
    except ValueError:
        raise ValueError("Unknown problem type {0!r}; expected one of {1}".format(
            problem_type, ", ".join(member.value for member in ProblemType))) from None


def _label_stats(series, name, problem_type):
    values = [_plain(value) for value in series.tolist()]
    if any(_is_missing(value) for value in values):
        raise ValueError("The label column {0!r} has missing values".format(name))
    if problem_type is None:
        if pd.api.types.is_float_dtype(series.dtype):
            problem_type = ProblemType.REGRESSION
        else:
            distinct = _sorted_distinct(values, "The label column {0!r}".format(name))
            problem_type = ProblemType.BINARY if len(distinct) <= 2 else ProblemType.MULTICLASS
    problem_type = _problem_type(problem_type)

    if problem_type is ProblemType.REGRESSION:
        for value in values:
            if isinstance(value, (bool, str, bytes)) or not isinstance(value, numbers.Real) \
                    or not math.isfinite(value):
                raise ValueError("The regression label column {0!r} holds the value {1!r}, "
                                 "not a finite number".format(name, value))
        return problem_type, []

    class_labels = _sorted_distinct(values, "The label column {0!r}".format(name))
    if problem_type is ProblemType.BINARY and len(class_labels) > 2:
        raise ValueError("The label column {0!r} of a binary problem has {1} distinct labels"
                         .format(name, len(class_labels)))
    return problem_type, class_labels


def _schema_type(series):
    """The data-type name of a column, as the model's schema would give it."""
    dtype = series.dtype
    if isinstance(dtype, pd.CategoricalDtype):
        return _schema_type(pd.Series(dtype.categories))
    if pd.api.types.is_bool_dtype(dtype):
        return "boolean"
    if pd.api.types.is_integer_dtype(dtype):
        size = dtype.itemsize + (1 if pd.api.types.is_unsigned_integer_dtype(dtype) else 0)
        if size <= 1:
            return "tinyint"
        if size <= 2:
            return "smallint"
        if size <= 4:
            return "integer"
        return "long"
    if pd.api.types.is_float_dtype(dtype):
        return "float" if dtype.itemsize <= 4 else "double"
    if pd.api.types.is_datetime64_any_dtype(dtype):
        return "timestamp"
    if pd.api.types.is_string_dtype(dtype) and not pd.api.types.is_object_dtype(dtype):
        return "string"
    inferred = pd.api.types.infer_dtype(series, skipna=True)
    return {
        "integer": "long",
        "floating": "double",
        "mixed-integer-float": "double",
        "decimal": "decimal",
        "boolean": "boolean",
        "datetime": "timestamp",
        "datetime64": "timestamp",
        "date": "date",
    }.get(inferred, "string")
