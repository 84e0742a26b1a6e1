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

An engine (``engines``: pandas, DuckDB, Spark) sums the training data up
column by column, ``_assemble`` turns that into these statistics, and
``_stored`` gives them their file form and checks a file read back.
"""
import copy
from typing import Any, Dict, FrozenSet, Iterable, List, Optional, Sequence, Union

import pandas as pd

from veltra_utils.explainability.entity.constants import ProblemType
from veltra_utils.explainability.statistics import _stored, engines
from veltra_utils.explainability.statistics._assemble import assemble
from veltra_utils.explainability.statistics._checks import check_columns
from veltra_utils.explainability.statistics._columns import object_array
from veltra_utils.explainability.statistics._labels import AmbiguousLabelError
from veltra_utils.explainability.statistics._summary import (
    Request,
    TableSummary,
    check_missing,
    chosen_discretizer,
)
from veltra_utils.explainability.utils.text import one_line
from veltra_utils.explainability.utils.values import GAP_BOUNDARY, GAP_CATEGORY, GAP_NUMBER

__all__ = ["AmbiguousLabelError", "TrainingStats"]

Columns = Optional[Iterable[Any]]
Kind = Union[ProblemType, str, None]


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

    label_column: Any
    problem_type: ProblemType
    row_count: Optional[int]
    feature_columns: List[Any]
    categorical_columns: List[Any]
    cat_col_indexes: List[int]
    cat_cols_encoding_map: Dict[int, Any]
    stds: List[float]
    class_labels: List[Any]
    schema: Dict[Any, str]
    numeric_gaps: Dict[int, int]
    discretizer: str
    held_positions: FrozenSet[int]  # set by for_record only
    _lime_stats: Dict[str, Dict[int, List[Any]]]

    def __init__(self, data: Iterable[Sequence[Any]], column_names: Iterable[Any],
                 label_column: Any, categorical_columns: Iterable[Any] = (),
                 problem_type: Kind = None, feature_columns: Columns = None,
                 discretizer: str = "quartile", missing: str = "category") -> None:
        column_names = list(column_names)
        if isinstance(data, pd.DataFrame):
            raise ValueError("Use TrainingStats.from_dataframe for a DataFrame")
        try:
            frame = pd.DataFrame(list(data), columns=column_names)
        except (ValueError, TypeError) as error:
            raise ValueError("The rows do not match the {0} column names: {1}"
                             .format(len(column_names), error)) from None
        request = _request(label_column, categorical_columns, problem_type, feature_columns,
                           discretizer, missing)
        self._take(request, engines.ENGINES["pandas"].summarize_frame(frame.infer_objects(), request))

    @classmethod
    def from_dataframe(cls, df: Any, label_column: Any, categorical_columns: Iterable[Any] = (),
                       problem_type: Kind = None, feature_columns: Columns = None,
                       discretizer: str = "quartile",
                       missing: str = "category") -> "TrainingStats":
        """Compute the statistics of a pandas DataFrame.

        ``missing`` says what a missing value in a categorical column is:
        "category" (the default) one more category, None; "error" a ValueError.
        """
        if not isinstance(df, pd.DataFrame):
            raise ValueError("Expected a pandas DataFrame, got {0}".format(type(df).__name__))
        request = _request(label_column, categorical_columns, problem_type, feature_columns,
                           discretizer, missing)
        return cls._computed(request, engines.ENGINES["pandas"].summarize_frame(df, request))

    @classmethod
    def from_files(cls, path: Any, label_column: Any, categorical_columns: Iterable[Any] = (),
                   problem_type: Kind = None, feature_columns: Columns = None,
                   discretizer: str = "quartile", missing: str = "category",
                   engine: str = "duckdb", sep: Optional[str] = None,
                   memory_limit: str = "256MB", decimal: Optional[str] = None,
                   spark: Any = None) -> "TrainingStats":
        """Compute the statistics of CSV or Parquet files without loading them into memory.

        ``path`` is one file or a glob pattern (``"train/*.parquet"``) whose files
        share their columns. The keyword arguments and the result are those of
        ``from_dataframe`` on the same table. CSV files are read as
        ``tables.read_table`` reads them: a header row, the separator ``sep`` or
        the one their first lines use, the decimal mark ``decimal`` (``.``
        unless given; columns of numbers with decimal commas are text then,
        with a warning), empty cells and NA, n/a, ... missing.

        ``engine`` names one of ``engines.ENGINES``: "duckdb" (the default)
        computes every figure in DuckDB, in about ``memory_limit`` of memory,
        spilling to a temporary folder beyond it; "spark" on the Spark session
        ``spark`` (by default a local one, started for the purpose). The
        entropy discretizer, which fits a tree on the rows, needs
        ``engine="pandas"``, which reads the one file into pandas.
        Raises ValueError (``tables.TableError`` for unreadable files).
        """
        chosen = engines.engine(engine)
        request = _request(label_column, categorical_columns, problem_type, feature_columns,
                           discretizer, missing)
        return cls._computed(request, chosen.summarize_files(
            path, request, sep=sep, decimal=decimal, memory_limit=memory_limit, spark=spark))

    @classmethod
    def from_spark(cls, df: Any, label_column: Any, categorical_columns: Iterable[Any] = (),
                   problem_type: Kind = None, feature_columns: Columns = None,
                   discretizer: str = "quartile",
                   missing: str = "category") -> "TrainingStats":
        """Compute the statistics of a PySpark DataFrame on Spark.

        The keyword arguments and the result are those of ``from_dataframe`` on
        the same table; only aggregates come back to the driver. The entropy
        discretizer, which fits a tree on the rows, is refused: use
        ``from_dataframe``. Needs ``pip install "veltra_utils[spark]"``.
        """
        request = _request(label_column, categorical_columns, problem_type, feature_columns,
                           discretizer, missing)
        return cls._computed(request, engines.ENGINES["spark"].summarize_frame(df, request))

    @classmethod
    def _computed(cls, request: Request, summary: TableSummary) -> "TrainingStats":
        stats = cls.__new__(cls)
        stats._take(request, summary)
        return stats

    def _take(self, request: Request, summary: TableSummary) -> None:
        """Become the statistics ``summary`` gives, checked as a stored file is."""
        self.discretizer = request.discretizer
        assemble(self, summary)
        check_columns(self)

    # -- use -----------------------------------------------------------------

    def get_lime_stats(self) -> Dict[str, Dict[int, List[Any]]]:
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

    def for_record(self, gaps: Iterable[int] = (),
                   new_categories: Optional[Dict[int, Any]] = None) -> "TrainingStats":
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
        self.cat_cols_encoding_map[pos] = object_array(categories + [value])
        self._lime_stats["feature_values"][pos] = \
            list(self._lime_stats["feature_values"][pos]) + [len(categories)]
        self._lime_stats["feature_frequencies"][pos] = \
            list(self._lime_stats["feature_frequencies"][pos]) + [count]

    def to_dict(self) -> Dict[str, Any]:
        """Plain data for storing the statistics as JSON; see ``from_dict``.

        The "sha256" entry is the digest of everything else, so a file that is
        edited or cut short after it was written is refused when loaded.
        """
        return _stored.to_document(self)

    @classmethod
    def from_dict(cls, data: Dict[str, Any]) -> "TrainingStats":
        """Rebuild statistics from ``to_dict()`` output, also after a JSON round trip.

        Raises ValueError for statistics that were changed after they were
        written or whose parts LIME could not sample from. A dict without a
        digest still loads, with a UserWarning that it cannot be checked.
        """
        return _stored.from_document(cls.__new__(cls), data)

    def save(self, path: Any) -> None:
        """Write the statistics to ``path`` as JSON, in one step: a failure leaves no half file.

        Raises ValueError for statistics JSON cannot hold (non-text column names,
        say) and OSError when the file cannot be written.
        """
        from veltra_utils.explainability.utils.files import write_text_atomically

        write_text_atomically(path, self.to_json())

    def to_json(self) -> str:
        """The statistics as JSON text (``to_dict`` indented), as ``save`` writes them."""
        return _stored.to_json(self)

    @classmethod
    def load(cls, path: Any) -> "TrainingStats":
        """Read statistics that ``save`` (or ``veltra-explain stats``) wrote to ``path``.

        Raises ValueError, naming the file, when it cannot be read, is not JSON
        or does not hold sound statistics (see ``from_dict``); a file without a
        digest loads with a UserWarning.
        """
        data = _stored.read_document(path)
        try:
            return cls.from_dict(data)
        except ValueError as error:
            raise ValueError("the statistics file {0} does not hold training statistics: {1}"
                             .format(path, one_line(error))) from None

    def __repr__(self) -> str:
        return ("TrainingStats(label_column={0!r}, problem_type={1}, feature_columns={2!r}, "
                "categorical_columns={3!r}, row_count={4!r})").format(
                    self.label_column, self.problem_type, self.feature_columns,
                    self.categorical_columns, self.row_count)


def _request(label_column: Any, categorical_columns: Iterable[Any], problem_type: Kind,
             feature_columns: Columns, discretizer: Any, missing: Any) -> Request:
    discretizer = chosen_discretizer(discretizer)
    check_missing(missing)
    return Request(label_column, categorical_columns, problem_type, feature_columns,
                   discretizer, missing)
