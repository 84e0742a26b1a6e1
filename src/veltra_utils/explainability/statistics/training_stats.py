"""Training statistics: everything LIME needs to sample around a record, without the data.

The statistics are computed once from the training data and then stand in for
it: LIME gets a single row of zeros for the shape plus ``get_lime_stats()``.
Numeric columns are binned exactly as LIME's discretizer of the chosen kind
(quartile, decile or entropy) would bin the training data, so sampling from
the statistics matches sampling from the data itself. LIME takes the bins
from the statistics whatever discretizer it is given, so the choice is made
here, once.

Column positions are the positions in ``feature_columns``. Categorical values
are encoded by their position in the column's sorted distinct values, followed
by the gap category (NaN) when the column has missing values. A numeric column
with missing values has one bin more than its boundaries make: the gap, drawn
as often as the training data held it (see ``utils.values``).
"""
import copy
import hashlib
import json
import math
import numbers
import warnings

import numpy as np
import pandas as pd

from veltra_utils.explainability.entity.constants import ProblemType
from veltra_utils.explainability.utils.text import one_line, quote
from veltra_utils.explainability.utils.validation import column_name_list
from veltra_utils.explainability.utils.values import GAP_BOUNDARY, GAP_CATEGORY, GAP_NUMBER
from veltra_utils.explainability.utils.values import is_missing as _is_missing
from veltra_utils.explainability.utils.values import is_number as _is_number
from veltra_utils.explainability.utils.values import plain as _plain

# LIME adds this to every bin's standard deviation to avoid dividing by zero.
_STD_EPSILON = 1e-11
# The ways of binning a numeric column, as LIME names its discretizers.
DISCRETIZERS = ("quartile", "decile", "entropy")
# Files written before the choice existed were binned at the quartiles.
_STORED_DEFAULT_DISCRETIZER = "quartile"
# The most bin boundaries each discretizer makes: three quartiles, nine deciles,
# the seven splits of an entropy tree three levels deep.
_MOST_BOUNDARIES = {"quartile": 3, "decile": 9, "entropy": 7}
# The seed the explainer gives LIME, which LIME's EntropyDiscretizer hands to its trees.
_ENTROPY_RANDOM_STATE = 10
_FORMAT_VERSION = 1
_LIME_STATS_KEYS = ("means", "mins", "maxs", "stds", "feature_values", "feature_frequencies",
                    "bins")
# The LIME statistics every column has; the others are for numeric columns only.
_EVERY_COLUMN_KEYS = ("feature_values", "feature_frequencies")
# A stored file carries the SHA-256 digest of the rest of its content under this key.
_DIGEST_KEY = "sha256"
_CHANGED = "the statistics file was changed after it was written"
# Errors quote at most this many characters of a stored value.


class TrainingStats:
    """Statistics of the training data of one model.

    Build them with ``TrainingStats(rows, column_names, label_column, ...)`` or
    ``TrainingStats.from_dataframe(df, label_column, ...)``:

    * ``label_column``: the column holding the model's target;
    * ``categorical_columns``: names of numeric feature columns to treat as
      categories as well (columns of codes); columns of text, pandas
      ``category`` and true/false columns always are (``inferred_categorical_columns``);
    * ``problem_type``: a ProblemType or its value text; when omitted it is
      read from the label: numbers with a fractional part mean regression,
      text and other class labels classification (binary for at most two
      distinct labels). Whole numbers with many distinct values (more than
      20, or more than 5% of the rows) could be either, so they raise
      ValueError (``AmbiguousLabelError``) until the problem type is given;
    * ``feature_columns``: the model's input columns in order; by default every
      column but the label;
    * ``discretizer``: how numeric columns are binned, "quartile" (the
      default), "decile" or "entropy" (the bins that best separate the class
      labels, so classification only), as LIME's discretizers of those names
      bin the training data.

    Missing values (None, NaN, pd.NA) are one more state of their column,
    which LIME draws as often as the training data held it and the scoring
    function receives as NaN: in a categorical column the category NaN
    (``missing="error"`` refuses such gaps instead), in a numeric column a bin
    of its own beside the bins of the present values, whose figures leave the
    gaps out (``numeric_gaps`` counts them). Rows without a label are left
    out, with a warning giving their count. Raises ValueError for data the
    statistics cannot describe.

    Attributes: ``label_column``, ``problem_type``, ``row_count``,
    ``feature_columns``, ``categorical_columns``, ``cat_col_indexes``,
    ``cat_cols_encoding_map`` ({position: array of category values by code}),
    ``stds`` (population standard deviation per position, 0.0 for categorical
    columns), ``class_labels`` (sorted distinct labels, [] for regression),
    ``schema`` ({feature name: data-type name}: the type the data held, so a
    float column stays floating), ``numeric_gaps`` ({position: count of
    missing values} of the numeric columns that have any) and ``discretizer``.
    """

    def __init__(self, data, column_names, label_column, categorical_columns=(),
                 problem_type=None, feature_columns=None, discretizer="quartile",
                 missing="category"):
        column_names = list(column_names)
        if isinstance(data, pd.DataFrame):
            raise ValueError("Use TrainingStats.from_dataframe for a DataFrame")
        try:
            frame = pd.DataFrame(list(data), columns=column_names)
        except (ValueError, TypeError) as error:
            raise ValueError("The rows do not match the {0} column names: {1}"
                             .format(len(column_names), error)) from None
        self.discretizer = _chosen_discretizer(discretizer)
        self._compute(frame.infer_objects(), label_column, categorical_columns, problem_type,
                      feature_columns, missing=missing)

    @classmethod
    def from_dataframe(cls, df, label_column, categorical_columns=(), problem_type=None,
                       feature_columns=None, discretizer="quartile", missing="category"):
        """Compute the statistics of a pandas DataFrame.

        ``missing`` says what a missing value in a categorical column is:
        "category" (the default) one more category, None; "error" a ValueError.
        """
        if not isinstance(df, pd.DataFrame):
            raise ValueError("Expected a pandas DataFrame, got {0}".format(type(df).__name__))
        stats = cls.__new__(cls)
        stats.discretizer = _chosen_discretizer(discretizer)
        stats._compute(df, label_column, categorical_columns, problem_type, feature_columns,
                       missing=missing)
        return stats

    @classmethod
    def from_files(cls, path, label_column, categorical_columns=(), problem_type=None,
                   feature_columns=None, discretizer="quartile", missing="category",
                   engine="duckdb", sep=None, memory_limit="256MB", decimal=None):
        """Compute the statistics of CSV or Parquet files without loading them into memory.

        ``path`` is one file or a glob pattern (``"train/*.parquet"``) whose files
        share their columns. The keyword arguments and the result are those of
        ``from_dataframe`` on the same table. CSV files are read as
        ``tables.read_table`` reads them: a header row, the separator ``sep`` or
        the one their first lines use, the decimal mark ``decimal`` (``.``
        unless given; columns of numbers with decimal commas are text then,
        with a warning), empty cells and NA, n/a, ... missing.

        ``engine="duckdb"`` (the default) computes every figure in DuckDB, in
        about ``memory_limit`` of memory, spilling to a temporary folder
        beyond it; the entropy discretizer, which fits a tree on the rows,
        needs ``engine="pandas"``, which reads the one file into pandas.
        Raises ValueError (``tables.TableError`` for unreadable files).
        """
        if engine == "pandas":
            from veltra_utils.explainability import tables
            from veltra_utils.explainability.statistics._queries import check_names

            frame = tables.read_table(path, "training data", sep=sep, decimal=decimal)
            check_names(list(frame.columns), path, label_column, feature_columns)
            return cls.from_dataframe(frame, label_column, categorical_columns, problem_type,
                                      feature_columns, discretizer, missing)
        if engine != "duckdb":
            raise ValueError("engine is {0!r}; expected duckdb or pandas (for Spark, "
                             "TrainingStats.from_spark)".format(engine))
        from veltra_utils.explainability.statistics._queries import stats_from_files

        stats = cls.__new__(cls)
        stats.discretizer = _chosen_discretizer(discretizer)
        return stats_from_files(stats, path, label_column, categorical_columns, problem_type,
                                feature_columns, missing, sep=sep, memory_limit=memory_limit,
                                decimal=decimal)

    @classmethod
    def from_spark(cls, df, label_column, categorical_columns=(), problem_type=None,
                   feature_columns=None, discretizer="quartile", missing="category"):
        """Compute the statistics of a PySpark DataFrame on Spark.

        The keyword arguments and the result are those of ``from_dataframe`` on
        the same table; only aggregates come back to the driver. The entropy
        discretizer, which fits a tree on the rows, is refused: use
        ``from_dataframe``. Needs ``pip install "veltra_utils[spark]"``.
        """
        try:
            from pyspark.sql import DataFrame
        except ImportError:
            raise RuntimeError('Spark statistics need pyspark: pip install '
                               '"veltra_utils[spark]"') from None
        if not isinstance(df, DataFrame):
            raise ValueError("Expected a Spark DataFrame, got {0}".format(type(df).__name__))
        from veltra_utils.explainability.statistics._queries import stats_from_spark

        stats = cls.__new__(cls)
        stats.discretizer = _chosen_discretizer(discretizer)
        return stats_from_spark(stats, df, label_column, categorical_columns, problem_type,
                                feature_columns, missing)

    # -- computation ---------------------------------------------------------

    def _compute(self, df, label_column, categorical_columns, problem_type, feature_columns,
                 missing="category"):
        if missing not in _MISSING_POLICIES:
            raise ValueError("missing is {0!r}; expected one of {1}".format(
                missing, ", ".join(_MISSING_POLICIES)))
        feature_columns, categorical = chosen_columns(list(df.columns), len(df), label_column,
                                                      feature_columns, categorical_columns)
        df = _labelled_rows(df, label_column)
        categorical.update(inferred_categorical_columns(df, feature_columns))

        self.label_column = label_column
        self.row_count = int(len(df))
        self.feature_columns = list(feature_columns)
        self.categorical_columns = [name for name in feature_columns if name in categorical]
        self.cat_col_indexes = [pos for pos, name in enumerate(feature_columns)
                                if name in categorical]
        self.schema = {name: _schema_type(df[name]) for name in feature_columns}
        self.cat_cols_encoding_map = {}
        self.numeric_gaps = {}
        self.stds = []
        lime_stats = {key: {} for key in _LIME_STATS_KEYS}
        # Entropy bins are drawn from the labels, so the label is read first.
        self.problem_type, self.class_labels = _label_stats(df[label_column], label_column,
                                                            problem_type)
        labels = _entropy_labels(df[label_column], label_column, self.problem_type) \
            if self.discretizer == "entropy" else None
        tree_random_state = np.random.RandomState(_ENTROPY_RANDOM_STATE)

        for pos, name in enumerate(feature_columns):
            if name in categorical:
                categories, counts = _categorical_counts(df[name], name, missing)
                self.cat_cols_encoding_map[pos] = _object_array(categories)
                self.stds.append(0.0)
                lime_stats["feature_values"][pos] = list(range(len(categories)))
                lime_stats["feature_frequencies"][pos] = counts
            else:
                values = _numeric_values(df[name], name)
                if values.size < len(df):
                    self.numeric_gaps[pos] = int(len(df) - values.size)
                self.stds.append(float(np.std(values)))
                if labels is None:
                    bins = _percentile_bins(values, self.discretizer)
                else:
                    bins = _entropy_bins(values, _present_labels(df[name], labels, values.size),
                                         name, tree_random_state)
                for key, value in _binned_stats(values, bins).items():
                    lime_stats[key][pos] = value
        self._lime_stats = lime_stats
        self._check_gap_room()

    # -- use -----------------------------------------------------------------

    def get_lime_stats(self):
        """The statistics in the form of LIME's ``training_data_stats``.

        Keys: "means", "mins", "maxs", "stds", "bins" (numeric column positions
        only) and "feature_values", "feature_frequencies" (every position). The
        containers are new on every call, so LIME may keep or change them.

        A numeric column with gaps gets the gap bin last: its boundary
        GAP_BOUNDARY lies beyond every number a record may hold, and its only
        value is GAP_NUMBER (a bin whose min and max agree is drawn as exactly
        that value, with mean 0 and std 1). The bins below keep their figures,
        so the present values are drawn as before.
        """
        lime_stats = {key: {pos: list(values) for pos, values in by_position.items()}
                      for key, by_position in self._lime_stats.items()}
        for pos, gaps in self.numeric_gaps.items():
            for key, value in (("bins", GAP_BOUNDARY), ("means", 0.0), ("stds", 1.0),
                               ("mins", GAP_NUMBER), ("maxs", GAP_NUMBER),
                               ("feature_values", len(lime_stats["feature_values"][pos])),
                               ("feature_frequencies", gaps)):
                lime_stats[key][pos].append(value)
        for pos in getattr(self, "held_positions", ()):
            # Only the record's own state is drawn: its value holds in every row.
            frequencies = lime_stats["feature_frequencies"][pos]
            frequencies[:] = [0] * (len(frequencies) - 1) + [1]
        return lime_stats

    def for_record(self, gaps=(), new_categories=None):
        """These statistics, adjusted to one record whose values the training data lacked.

        ``gaps`` are the positions of the record's missing values in columns
        without a gap state: the gap becomes their only state, so the model
        sees it in every perturbed row (the gap is held). ``new_categories``
        maps a categorical position to the record's value, which the training
        data never held: it becomes one more category that LIME never draws,
        so only the record itself carries it. The result shares everything
        else with these statistics and is not meant to be stored.
        """
        adjusted = copy.copy(self)
        adjusted.cat_cols_encoding_map = dict(self.cat_cols_encoding_map)
        adjusted.numeric_gaps = dict(self.numeric_gaps)
        adjusted._lime_stats = {key: dict(by_position)
                                for key, by_position in self._lime_stats.items()}
        held = set(getattr(self, "held_positions", ()))
        for pos, value in dict(new_categories or {}).items():
            adjusted._add_category(pos, value, 0)
        for pos in gaps:
            held.add(pos)
            if pos in self.cat_cols_encoding_map:
                adjusted._add_category(pos, GAP_CATEGORY, 1)
            else:
                adjusted.numeric_gaps[pos] = 1
        adjusted.held_positions = frozenset(held)
        return adjusted

    def _add_category(self, pos, value, count):
        categories = self.cat_cols_encoding_map[pos].tolist()
        self.cat_cols_encoding_map[pos] = _object_array(categories + [value])
        self._lime_stats["feature_values"][pos] = \
            list(self._lime_stats["feature_values"][pos]) + [len(categories)]
        self._lime_stats["feature_frequencies"][pos] = \
            list(self._lime_stats["feature_frequencies"][pos]) + [count]

    def to_dict(self):
        """Plain data for storing the statistics as JSON; see ``from_dict``.

        The "sha256" entry is the digest of everything else, so a file that is
        edited or cut short after it was written is refused when loaded.
        """
        document = {
            "version": _FORMAT_VERSION,
            "label_column": self.label_column,
            "problem_type": self.problem_type.value,
            "row_count": self.row_count,
            "feature_columns": list(self.feature_columns),
            "categorical_columns": list(self.categorical_columns),
            "schema": dict(self.schema),
            "stds": list(self.stds),
            "class_labels": list(self.class_labels),
            "cat_cols_encoding_map": {str(pos): [None if _is_missing(value) else value
                                                 for value in values.tolist()]
                                      for pos, values in self.cat_cols_encoding_map.items()},
            "discretizer": self.discretizer,
            "lime_stats": {key: {str(pos): list(value) for pos, value in by_position.items()}
                           for key, by_position in self._lime_stats.items()},
        }
        if self.numeric_gaps:  # absent from files of tables without numeric gaps, as before
            document["numeric_gaps"] = {str(pos): count
                                        for pos, count in sorted(self.numeric_gaps.items())}
        document[_DIGEST_KEY] = _digest(document)
        return document

    @classmethod
    def from_dict(cls, data):
        """Rebuild statistics from ``to_dict()`` output, also after a JSON round trip.

        Raises ValueError for statistics that were changed after they were
        written or whose parts LIME could not sample from. A dict without a
        digest still loads, with a UserWarning that it cannot be checked.
        """
        if not isinstance(data, dict):
            raise ValueError("Expected a dict of training statistics, got {0}"
                             .format(type(data).__name__))
        _check_digest(data)
        required = ("label_column", "problem_type", "feature_columns", "categorical_columns",
                    "schema", "stds", "class_labels", "cat_cols_encoding_map", "lime_stats")
        missing = [key for key in required if key not in data]
        if missing:
            raise ValueError("The training statistics lack: {0}".format(", ".join(missing)))
        version = data.get("version", _FORMAT_VERSION)
        if isinstance(version, bool) or version != _FORMAT_VERSION:
            raise ValueError("Unsupported training statistics version {0}".format(_shown(version)))

        stats = cls.__new__(cls)
        try:
            stats.label_column = _column_name(data["label_column"], "label_column")
            stats.problem_type = _stored_problem_type(data["problem_type"])
            stats.row_count = _row_count(data.get("row_count"))
            stats.feature_columns = _column_names(data["feature_columns"], "feature_columns")
            stats.categorical_columns = _column_names(data["categorical_columns"],
                                                      "categorical_columns")
            categorical = set(stats.categorical_columns)
            stats.cat_col_indexes = [pos for pos, name in enumerate(stats.feature_columns)
                                     if name in categorical]
            stats.schema = _stored_dict(data["schema"], "schema")
            stats.stds = _stored_list(data["stds"], "stds")
            stats.class_labels = _stored_list(data["class_labels"], "class_labels")
            stats.cat_cols_encoding_map = {
                pos: _object_array(values) for pos, values in
                _by_position(data["cat_cols_encoding_map"], "cat_cols_encoding_map").items()}
            stats.discretizer = _stored_discretizer(
                data.get("discretizer", _STORED_DEFAULT_DISCRETIZER))
            stats._lime_stats = _stored_lime_stats(data["lime_stats"])
            stats.numeric_gaps = _stored_gaps(data.get("numeric_gaps", {}))
        except (KeyError, TypeError, AttributeError) as error:
            raise _malformed("{0}", _shown(error)) from None
        stats._check_consistency()
        stats.stds = [float(value) for value in stats.stds]
        return stats

    def save(self, path):
        """Write the statistics to ``path`` as JSON, in one step: a failure leaves no half file.

        Raises ValueError for statistics JSON cannot hold (non-text column names,
        say) and OSError when the file cannot be written.
        """
        from veltra_utils.explainability.utils.files import write_text_atomically

        write_text_atomically(path, self.to_json())

    def to_json(self):
        """The statistics as JSON text (``to_dict`` indented), as ``save`` writes them."""
        try:
            return json.dumps(self.to_dict(), indent=2, allow_nan=False) + "\n"
        except (TypeError, ValueError) as error:
            raise ValueError("The statistics cannot be stored as JSON: {0}"
                             .format(one_line(error))) from None

    @classmethod
    def load(cls, path):
        """Read statistics that ``save`` (or ``veltra-explain stats``) wrote to ``path``.

        Raises ValueError, naming the file, when it cannot be read, is not JSON
        or does not hold sound statistics (see ``from_dict``); a file without a
        digest loads with a UserWarning.
        """
        from veltra_utils.explainability.utils.files import not_a_regular_file

        if not_a_regular_file(path, "statistics"):
            raise ValueError(not_a_regular_file(path, "statistics"))
        try:
            with open(path, encoding="utf-8") as stream:
                data = json.load(stream)
        except FileNotFoundError:
            raise ValueError("the statistics file {0} does not exist".format(path)) from None
        except IsADirectoryError:
            raise ValueError("the statistics file {0} is a directory".format(path)) from None
        except (OSError, UnicodeDecodeError) as error:
            raise ValueError("cannot read the statistics file {0}: {1}"
                             .format(path, one_line(error))) from None
        except (ValueError, RecursionError) as error:  # nesting too deep for the parser, say
            raise ValueError("the statistics file {0} is not JSON: {1}"
                             .format(path, one_line(error))) from None
        try:
            return cls.from_dict(data)
        except ValueError as error:
            raise ValueError("the statistics file {0} does not hold training statistics: {1}"
                             .format(path, one_line(error))) from None

    def _check_consistency(self):
        """Refuse statistics whose parts disagree, so LIME never samples from garbage."""
        _check_columns(self)
        _check_class_labels(self)
        _check_positions(self)
        for position in sorted(self.numeric_gaps):
            if position >= len(self.feature_columns) or position in self.cat_cols_encoding_map:
                raise _malformed("numeric_gaps has an entry for position {0}, which is no "
                                 "numeric column", position)
        self._check_gap_room()

    def _check_gap_room(self):
        """Refuse a numeric column with gaps whose numbers reach into the gap's bin."""
        for position in sorted(self.numeric_gaps):
            extremes = self._lime_stats["mins"][position][:1] + \
                self._lime_stats["maxs"][position][-1:]
            if any(abs(value) >= GAP_BOUNDARY for value in extremes):
                raise ValueError(
                    "The numeric column {0} has gaps and numbers of 2**62 (about 4.6e18) or "
                    "more in magnitude, which LIME could not tell from its gaps".format(
                        _shown(self.feature_columns[position])))
        for pos, name in enumerate(self.feature_columns):
            if pos in self.cat_cols_encoding_map:
                _check_categorical_column(self, pos, name)
            else:
                _check_numeric_column(self, pos, name)

    def __repr__(self):
        return ("TrainingStats(label_column={0!r}, problem_type={1}, feature_columns={2!r}, "
                "categorical_columns={3!r}, row_count={4!r})").format(
                    self.label_column, self.problem_type, self.feature_columns,
                    self.categorical_columns, self.row_count)



def chosen_columns(columns, row_count, label_column, feature_columns, categorical_columns):
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


def _sorted_distinct(values, what):
    try:
        return sorted(set(values))
    except TypeError:
        kinds = sorted({type(value).__name__ for value in values})
        raise ValueError("{0} mixes values of types that cannot be ordered: {1}"
                         .format(what, ", ".join(kinds))) from None


def _object_array(values):
    """A 1-d object array of plain Python values, so decoded categories stay plain;
    None (as engines and stored files give a column's gaps) is the gap category."""
    values = list(values)
    array = np.empty(len(values), dtype=object)
    for index, value in enumerate(values):
        value = _plain(value)
        array[index] = GAP_CATEGORY if value is None else value
    return array


def _labelled_rows(df, label_column):
    """The rows of ``df`` that have a label: the model could not have learnt from the others."""
    unlabelled = df[label_column].isna().to_numpy()
    if not unlabelled.any():
        return df
    if unlabelled.all():
        raise ValueError("The label column {0!r} has no values".format(label_column))
    warn_unlabelled(int(unlabelled.sum()), label_column)
    return df[~unlabelled]


def warn_unlabelled(count, label_column):
    """The warning for ``count`` training rows without a label, which are left out."""
    warnings.warn("{0} row{1} without a value in the label column {2!r} {3} left out of the "
                  "statistics".format(count, "" if count == 1 else "s", label_column,
                                      "is" if count == 1 else "are"), UserWarning, stacklevel=4)


# What a missing value in a categorical column becomes: one more category (None), or an error.
_MISSING_POLICIES = ("category", "error")


def inferred_categorical_columns(df, names):
    """The columns among ``names`` that can only be categories: text, pandas ``category``,
    true/false, anything whose type is not numeric. Numeric columns of codes are for the
    caller to name."""
    return [name for name in names
            if pd.api.types.is_bool_dtype(df[name].dtype)
            or not pd.api.types.is_numeric_dtype(df[name].dtype)]


def _categorical_counts(series, name, missing="category"):
    """The column's sorted categories and their counts; missing values are the gap
    category, after the others."""
    values = [_plain(value) for value in series.tolist()]
    present = [value for value in values if not _is_missing(value)]
    gaps = len(values) - len(present)
    if gaps and missing == "error":
        raise ValueError("The categorical column {0!r} has missing values".format(name))
    categories = _sorted_distinct(present, "The categorical column {0!r}".format(name))
    code = {category: index for index, category in enumerate(categories)}
    counts = [0] * len(categories)
    for value in present:
        counts[code[value]] += 1
    if gaps:
        categories.append(GAP_CATEGORY)
        counts.append(gaps)
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


def _chosen_discretizer(discretizer):
    if not isinstance(discretizer, str) or discretizer not in DISCRETIZERS:
        raise ValueError("discretizer must be one of {0}, got {1!r}"
                         .format(", ".join(DISCRETIZERS), discretizer))
    return discretizer


def _entropy_labels(series, name, problem_type):
    """The labels as an array, for drawing entropy bins; only classes can be separated."""
    if problem_type is ProblemType.REGRESSION:
        raise ValueError("The entropy discretizer bins by the class labels, and the label "
                         "column {0!r} of a regression problem has none; use the quartile or "
                         "decile discretizer".format(name))
    return series.to_numpy()


def _present_labels(series, labels, count):
    """The labels of the rows whose value in ``series`` is present, as ``_numeric_values``
    keeps them."""
    present = labels[[not _is_missing(_plain(value)) for value in series.tolist()]]
    if present.size != count:
        raise RuntimeError("{0} labels for the {1} values of column {2!r}"
                           .format(present.size, count, series.name))
    return present


def _percentile_bins(values, discretizer):
    """The boundaries LIME's QuartileDiscretizer or DecileDiscretizer draws for a column."""
    percentiles = [25, 50, 75] if discretizer == "quartile" else list(range(10, 100, 10))
    return np.percentile(values, percentiles)


def _entropy_bins(values, labels, name, random_state):
    """The boundaries LIME's EntropyDiscretizer draws for a column: the splits of a
    decision tree, three levels deep, that predicts the labels from the column
    alone; the median when the tree cannot split."""
    from sklearn.tree import DecisionTreeClassifier

    tree = DecisionTreeClassifier(criterion="entropy", max_depth=3, random_state=random_state)
    try:
        tree.fit(values.reshape(-1, 1), labels)
    except ValueError as error:  # values beyond what the tree's float32 holds, say
        raise ValueError("The entropy bins of the numeric column {0!r} cannot be drawn: {1}"
                         .format(name, one_line(error))) from None
    bins = tree.tree_.threshold[np.where(tree.tree_.children_left > -1)]
    return np.sort(bins) if bins.size else np.array([np.median(values)])


def _binned_stats(values, bins):
    """One numeric column's LIME statistics, binned at the boundaries ``bins``.

    The bin each value falls in and the per-bin figures are those LIME's
    BaseDiscretizer computes from the data.
    """
    bins = np.unique(bins)
    positions = np.searchsorted(bins, values)
    per_bin = []
    for index in range(len(bins) + 1):
        selection = values[positions == index]
        per_bin.append((int(selection.size),
                        float(np.mean(selection)) if selection.size else 0.0,
                        float(np.std(selection)) if selection.size else 0.0))
    return bin_entries(bins, per_bin, float(values.min()), float(values.max()))


def bin_entries(bins, per_bin, lowest, highest):
    """A numeric column's LIME statistics from its bins and a (count, mean, population
    std) per bin, the first for values up to ``bins[0]``; ``lowest`` and ``highest``
    are the column's extremes."""
    means, stds, frequencies = [], [], []
    for index, (count, mean, std) in enumerate(per_bin):
        frequencies.append(int(count))
        low = lowest if index == 0 else float(bins[index - 1])
        high = highest if index == len(bins) else float(bins[index])
        if count and low == high:
            # Every value of this bin is `low` (a constant column, or a mass of
            # values at the column minimum). LIME draws a value of such a bin
            # as (min - mean) / std without undoing the scaling, which with the
            # true mean yields 0 instead of `low`. Mean 0 and std 1 make that
            # formula give `low` itself.
            means.append(0.0)
            stds.append(1.0)
            continue
        means.append(float(mean) if count else 0.0)
        stds.append((float(std) if count else 0.0) + _STD_EPSILON)
    bins = [float(boundary) for boundary in bins]
    return {
        "bins": bins,
        "means": means,
        "stds": stds,
        "mins": [lowest] + bins,
        "maxs": bins + [highest],
        "feature_values": list(range(len(bins) + 1)),
        "feature_frequencies": frequencies,
    }


# -- stored statistics -------------------------------------------------------
#
# A stored file is checked as strictly as the computation checks its data: a
# damaged file must be refused, never explained from. LIME samples a numeric
# column by drawing one of len(bins) + 1 bins by its frequency and then a value
# between that bin's min and max from a normal curve of the bin's mean and
# std; a categorical column by drawing a code by its frequency. Every code must
# name a bin or a category (a negative one would wrap to the last), and every
# number LIME computes with must be finite.

def _shown(value):
    """``repr(value)`` cut to a length that fits a one-line error message."""
    return quote(value)


def _malformed(text, *values):
    return ValueError("Malformed training statistics: " + text.format(*values))


def _where(field, name):
    return "{0} of column {1}".format(field, _shown(name))


def _digest(document):
    """Hex SHA-256 of the canonical JSON text of ``document`` without its digest.

    JSON turns keys into text, and Python writes floats so that they read
    back exactly. Passing the document through JSON once before writing the
    canonical text therefore gives the same digest before and after a JSON
    round trip. Values JSON cannot hold are digested as their text.
    """
    rest = {key: value for key, value in document.items() if key != _DIGEST_KEY}
    try:
        plain = json.loads(json.dumps(rest, default=str))
        text = json.dumps(plain, sort_keys=True, separators=(",", ":"), ensure_ascii=True)
    except (TypeError, ValueError, RecursionError) as error:
        raise ValueError("The training statistics cannot be written as JSON: {0}"
                         .format(_shown(error))) from None
    return hashlib.sha256(text.encode("ascii")).hexdigest()


def _check_digest(data):
    if _DIGEST_KEY not in data:
        warnings.warn("the statistics file carries no sha256 digest and cannot be checked for "
                      "changes", UserWarning, stacklevel=3)
        return
    if data[_DIGEST_KEY] != _digest(data):
        raise ValueError(_CHANGED + " (its sha256 digest does not match its content)")


def _stored_dict(value, field):
    if not isinstance(value, dict):
        raise _malformed("{0} is a {1}, not a mapping", field, type(value).__name__)
    return dict(value)


def _stored_list(value, field):
    if not isinstance(value, (list, tuple, np.ndarray)):
        raise _malformed("{0} is a {1}, not a list", field, type(value).__name__)
    return [_plain(item) for item in value]


def _column_name(value, field):
    if not isinstance(value, (str, int, float)):
        raise _malformed("{0} holds {1}, not a column name", field, _shown(value))
    return value


def _column_names(value, field):
    names = _stored_list(value, field)
    seen = set()
    for name in names:
        if _column_name(name, field) in seen:
            raise _malformed("{0} lists the column {1} twice", field, _shown(name))
        seen.add(name)
    return names


def _stored_discretizer(value):
    if not isinstance(value, str) or value not in DISCRETIZERS:
        raise _malformed("discretizer is {0}, not one of {1}", _shown(value),
                         ", ".join(DISCRETIZERS))
    return value


def _stored_problem_type(value):
    if isinstance(value, ProblemType):
        return value
    try:
        return ProblemType(value)
    except (ValueError, TypeError):
        raise _malformed("problem_type is {0}, not one of {1}", _shown(value),
                         ", ".join(member.value for member in ProblemType)) from None


def _row_count(value):
    """The stored row count; None for statistics stored without one."""
    value = _plain(value)
    if value is not None and (isinstance(value, bool) or not isinstance(value, int)
                              or value < 0):
        raise _malformed("row_count is {0}, not a non-negative whole number", _shown(value))
    return value


def _position(key, field):
    """A column position key as its int: an int, or its decimal text as JSON writes it."""
    if isinstance(key, str) and 0 < len(key) <= 18 and key.isascii() and key.isdigit() \
            and key == str(int(key)):
        return int(key)
    if isinstance(key, int) and not isinstance(key, bool) and key >= 0:
        return key
    raise _malformed("{0} has the key {1}, not a column position", field, _shown(key))


def _by_position(value, field):
    by_position = {}
    for key, values in _stored_dict(value, field).items():
        position = _position(key, field)
        if position in by_position:
            raise _malformed("{0} lists the position {1} twice", field, position)
        by_position[position] = _stored_list(values, "{0} at position {1}".format(field, position))
    return by_position


def _stored_lime_stats(value):
    lime_stats = _stored_dict(value, "lime_stats")
    missing = [key for key in _LIME_STATS_KEYS if key not in lime_stats]
    if missing:
        raise _malformed("lime_stats lacks {0}", ", ".join(missing))
    return {key: _by_position(lime_stats[key], "lime_stats." + key) for key in _LIME_STATS_KEYS}


def _number(value, where):
    """``value`` as a finite float; ``where`` names the list holding it in errors."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise _malformed("{0} holds {1}, not a number", where, _shown(value))
    try:
        number = float(value)
    except OverflowError:
        number = math.inf
    if not math.isfinite(number):
        raise _malformed("{0} holds {1}, not a finite number", where, _shown(value))
    return number


def _check_distinct_values(values, where, missing_category=False):
    """Refuse a missing or repeated label or category: either makes the
    mapping between values and their positions ambiguous.

    With ``missing_category``, the gap category may stand once for a column's
    missing values (a stored file writes it as null).
    """
    seen = set()
    for value in values:
        if _is_missing(value) and not (missing_category and value is GAP_CATEGORY):
            raise _malformed("{0} holds the missing value {1}", where, _shown(value))
        if value is GAP_CATEGORY:
            value = None  # as the file writes it, in the messages below
        try:
            repeated = value in seen
            seen.add(value)
        except TypeError:
            raise _malformed("{0} holds {1}, not a single value", where, _shown(value)) from None
        if repeated:
            raise _malformed("{0} lists {1} twice", where, _shown(value))


def _check_columns(stats):
    names = stats.feature_columns
    known = set(names)
    if stats.label_column in known:
        raise _malformed("label_column {0} is also a feature column", _shown(stats.label_column))
    for name in stats.categorical_columns:
        if name not in known:
            raise _malformed("categorical_columns: {0} is not a feature column", _shown(name))
    if list(stats.schema) != names:
        untyped = [name for name in names if name not in stats.schema]
        if untyped:
            raise _malformed("schema gives no data type for column {0}", _shown(untyped[0]))
        unknown = [name for name in stats.schema if name not in known]
        if unknown:
            raise _malformed("schema types column {0}, which is not a feature column",
                             _shown(unknown[0]))
        raise _malformed("schema lists the columns in another order than feature_columns")
    for name, data_type in stats.schema.items():
        if not isinstance(data_type, str) or not data_type:
            raise _malformed("{0} is {1}, not a data-type name", _where("schema", name),
                             _shown(data_type))
    if len(stats.stds) != len(names):
        raise _malformed("{0} stds for {1} feature columns", len(stats.stds), len(names))
    for name, value in zip(names, stats.stds):
        if _number(value, _where("stds", name)) < 0:
            raise _malformed("{0} is negative: {1}", _where("stds", name), _shown(value))


def _check_class_labels(stats):
    labels = stats.class_labels
    kind = stats.problem_type
    if kind is ProblemType.REGRESSION:
        if labels:
            raise _malformed("class_labels of a regression problem must be empty, not {0}",
                             _shown(labels))
        return
    if not labels:
        raise _malformed("class_labels of a {0} problem are empty", kind.value)
    if kind is ProblemType.BINARY and len(labels) > 2:
        raise _malformed("class_labels of a binary problem hold {0} labels", len(labels))
    _check_distinct_values(labels, "class_labels")


def _check_positions(stats):
    """Every column has its entries, and only the entries of its kind."""
    names = stats.feature_columns
    categorical = set(stats.cat_col_indexes)
    numeric = set(range(len(names))) - categorical
    _check_position_set(stats.cat_cols_encoding_map, "cat_cols_encoding_map", categorical,
                        names)
    for key in _LIME_STATS_KEYS:
        expected = numeric | categorical if key in _EVERY_COLUMN_KEYS else numeric
        _check_position_set(stats._lime_stats[key], "lime_stats." + key, expected, names)


def _check_position_set(by_position, field, expected, names):
    for position in sorted(expected):
        if position not in by_position:
            raise _malformed("{0} has no entry for column {1}", field, _shown(names[position]))
    extra = sorted(set(by_position) - expected)
    if extra and extra[0] < len(names):
        raise _malformed("{0} has an entry for column {1}, which is {2}", field,
                         _shown(names[extra[0]]),
                         "numeric" if field == "cat_cols_encoding_map" else "categorical")
    if extra:
        raise _malformed("{0} has an entry for position {1}, beyond the {2} feature columns",
                         field, extra[0], len(names))


def _check_codes(codes, count, where):
    """The codes LIME draws from: each of 0..count-1 once, in any order."""
    if len(codes) != count:
        raise _malformed("{0} holds {1} codes for {2} values", where, len(codes), count)
    seen = set()
    for code in codes:
        if isinstance(code, bool) or not isinstance(code, numbers.Integral) \
                or not 0 <= code < count:
            raise _malformed("{0} holds {1}, not a code in 0..{2}", where, _shown(code),
                             count - 1)
        if code in seen:
            raise _malformed("{0} lists the code {1} twice", where, code)
        seen.add(code)


def _check_frequencies(frequencies, count, name):
    where = _where("lime_stats.feature_frequencies", name)
    if len(frequencies) != count:
        raise _malformed("{0} holds {1} frequencies for {2} values", where, len(frequencies),
                         count)
    total = 0.0
    for value in frequencies:
        frequency = _number(value, where)
        if frequency < 0:
            raise _malformed("{0} holds the negative frequency {1}", where, _shown(value))
        total += frequency
    if total == 0:
        raise _malformed("{0} are all zero", where)
    if not math.isfinite(total):
        raise _malformed("{0} add up to more than a float holds", where)


def _check_categorical_column(stats, position, name):
    where = _where("cat_cols_encoding_map", name)
    categories = stats.cat_cols_encoding_map[position]
    if not len(categories):
        raise _malformed("{0} is empty", where)
    _check_distinct_values(categories, where, missing_category=True)
    codes = stats._lime_stats["feature_values"][position]
    _check_codes(codes, len(categories), _where("lime_stats.feature_values", name))
    _check_frequencies(stats._lime_stats["feature_frequencies"][position], len(codes), name)


def _check_numeric_column(stats, position, name):
    lime_stats = stats._lime_stats
    where = _where("lime_stats.bins", name)
    bins = [_number(value, where) for value in lime_stats["bins"][position]]
    if not bins:
        raise _malformed("{0} are empty", where)
    if any(high <= low for low, high in zip(bins, bins[1:])):
        raise _malformed("{0} are not strictly increasing", where)
    if len(bins) > _MOST_BOUNDARIES[stats.discretizer]:
        raise _malformed("{0} hold {1} boundaries, more than the {2} discretizer draws", where,
                         len(bins), stats.discretizer)
    count = len(bins) + 1
    per_bin = {}
    for key in ("means", "stds", "mins", "maxs"):
        where = _where("lime_stats." + key, name)
        values = lime_stats[key][position]
        if len(values) != count:
            raise _malformed("{0} holds {1} values for {2} bins", where, len(values), count)
        per_bin[key] = [_number(value, where) for value in values]
    if min(per_bin["stds"]) <= 0:
        raise _malformed("{0} holds {1}, not a positive number", _where("lime_stats.stds", name),
                         _shown(min(per_bin["stds"])))
    # A bin's bounds are the bins around it, and the column's extremes at the ends.
    mins, maxs = per_bin["mins"], per_bin["maxs"]
    if mins[1:] != bins or mins[0] > bins[0]:
        raise _malformed("{0} disagree with its bins", _where("lime_stats.mins", name))
    if maxs[:-1] != bins or maxs[-1] < bins[-1]:
        raise _malformed("{0} disagree with its bins", _where("lime_stats.maxs", name))
    codes = lime_stats["feature_values"][position]
    _check_codes(codes, count, _where("lime_stats.feature_values", name))
    _check_frequencies(lime_stats["feature_frequencies"][position], len(codes), name)


def _problem_type(problem_type):
    if isinstance(problem_type, ProblemType):
        return problem_type
    try:
        return ProblemType(problem_type)
    except ValueError:
        raise ValueError("Unknown problem type {0!r}; expected one of {1}".format(
            problem_type, ", ".join(member.value for member in ProblemType))) from None


# A label of whole numbers with more distinct values than this (or than this
# share of the rows) may be a count or a score as well as class codes.
_MOST_CLASSES = 20
_MOST_CLASS_SHARE = 0.05


class AmbiguousLabelError(ValueError):
    """The label holds many distinct whole numbers: a regression target or class codes.

    ``hint(how)`` is the message with ``how.format(problem_type)`` as the way to
    give the problem type, so the command line can name its own option.
    """

    def __init__(self, label_column, distinct_count, how='problem_type="{0}"'):
        self.label_column, self.distinct_count = label_column, distinct_count
        super().__init__(self.hint(how))

    def hint(self, how):
        return ("The label column {0!r} holds {1} distinct whole numbers, which may be a "
                "regression target or class labels; pass {2} if it is a regression target, "
                "or {3} if they are classes"
                .format(self.label_column, self.distinct_count, how.format("regression"),
                        how.format("multiclass")))


def _inferred_problem_type(series, values, name, row_count=None, distinct_count=None):
    """The problem type the label's values call for, by scikit-learn's reading of a target.

    ``series`` and ``values`` may be the label's distinct values only (with at
    least one that is not a whole number, if there is one); ``row_count`` and
    ``distinct_count`` then say how many rows and distinct labels there are.
    """
    from sklearn.utils.multiclass import type_of_target

    if pd.api.types.is_object_dtype(series.dtype):
        series = series.infer_objects()  # Python ints in an object column are still whole numbers
    what = "The label column {0!r}".format(name)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # casting huge or infinite floats to test wholeness
            target = type_of_target(series, input_name=str(name))
    except (TypeError, ValueError) as error:
        _sorted_distinct(values, what)  # names the mixed kinds of value, if that is the cause
        raise ValueError("{0} cannot be read as a target: {1}".format(what, one_line(error))) \
            from None
    if target == "continuous":
        return ProblemType.REGRESSION
    if target == "binary":
        return ProblemType.BINARY
    if target != "multiclass":
        raise ValueError("{0} holds values of mixed kinds ({1}); pass problem_type to say what "
                         "it holds".format(what, ", ".join(sorted(
                             {type(value).__name__ for value in values}))))
    distinct = _sorted_distinct(values, what)
    whole_numbers = all(_is_number(value) and not isinstance(value, bool) for value in distinct)
    distinct_count = len(distinct) if distinct_count is None else distinct_count
    row_count = len(values) if row_count is None else row_count
    if whole_numbers and (distinct_count > _MOST_CLASSES
                          or distinct_count > _MOST_CLASS_SHARE * row_count):
        raise AmbiguousLabelError(name, distinct_count)
    return ProblemType.MULTICLASS


def _label_stats(series, name, problem_type):
    values = [_plain(value) for value in series.tolist()]
    if any(_is_missing(value) for value in values):  # pd.NA and the like that isna misses
        raise ValueError("The label column {0!r} has missing values".format(name))
    return label_problem(series, values, name, problem_type)


def label_problem(series, values, name, problem_type, row_count=None, distinct_count=None,
                  every_label=None):
    """(problem type, class labels) of a label column without missing values.

    By default ``series`` and ``values`` hold every label; engines that
    summarise the data pass the distinct labels (see ``_inferred_problem_type``)
    and ``every_label()``, which returns all distinct labels when the problem
    turns out to be a classification.
    """
    if problem_type is None:
        problem_type = _inferred_problem_type(series, values, name, row_count, distinct_count)
    problem_type = _problem_type(problem_type)

    if problem_type is ProblemType.REGRESSION:
        for value in values:
            if isinstance(value, (bool, str, bytes)) or not isinstance(value, numbers.Real) \
                    or not math.isfinite(value):
                raise ValueError("The regression label column {0!r} holds the value {1!r}, "
                                 "not a finite number".format(name, value))
        return problem_type, []

    if every_label is not None:
        values = every_label()
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
        # Floating, even when its present values are whole: the model was trained on
        # floats (a column of whole numbers with gaps, say) and gets floats.
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


def _stored_gaps(value):
    """The stored ``numeric_gaps``: {position: positive count}."""
    gaps = {}
    for key, count in _stored_dict(value, "numeric_gaps").items():
        position = _position(key, "numeric_gaps")
        count = _plain(count)
        if isinstance(count, bool) or not isinstance(count, int) or count <= 0:
            raise _malformed("numeric_gaps holds {0}, not a positive whole number",
                             _shown(count))
        gaps[position] = count
    return gaps
